// The backup engine's configuration root: settings, destination, profiles,
// profile groups, the schedule that fires the profiles, and Data.dat. The chief
// header of the engine: it brings the destinations (URSyncServer.h), profiles and
// groups (URSyncProfile.h) and the file helpers (UFiles.h) along.
//
// Ownership. The root owns its profiles and groups. TRSyncProfile::Create and
// TRSyncProfileGroup::Create make them and list them with the root, which hands
// out plain pointers; DeleteProfile and DeleteGroup free them, and so does the
// destructor: profiles first, then the groups, last first, then the schedule.
//
// Threads. The window thread edits the configuration; the schedule thread fires
// profiles (Backup, WaitForProcess) and re-orders Profiles when an event moves.
// Schedule().Mutex(), one recursive mutex, guards the schedule's events, the
// profile and group lists, every profile's fields and the root's settings.
// SaveToStream holds it for the whole write, so a save never sees a half-moved
// list. It is never held while waiting for a transfer.
//
// Loading. A damaged record raises a clear error and leaves what was read so far
// in place (the object stays safe to use and to destroy):
//   - a record that ends early: EReadError "Stream read error";
//   - a class number other than 0 or 1, a group member position outside the
//     profiles: EListError "List index out of bounds (%d)";
//   - a negative profile, path, group or member count, or string length:
//     EReadError naming the field and the value ("Invalid path count -1");
//   - more than 10,000 profiles or groups: EReadError "Invalid profile count
//     12345 (at most 10000)" (a crafted count must not make loading crawl);
//   - a profile schedule kind above reYearly: EReadError "Invalid schedule kind %d".
// Absurd counts and lengths allocate only what the stream really delivers and
// then fail with "Stream read error".
//
// Groups carry no restore flag in their record: a group read back named
// "StartupRestore" or "ShutdownRestore" restores, one named "StartupBackup" or
// "ShutdownBackup" backs up; any other name keeps the flag it had.
#pragma once

#include "UFiles.h"
#include "UProcess.h"
#include "URSyncProfile.h"
#include "URSyncServer.h"
#include "UVersions.h"
#include "USchedule.h"
#include "USecret.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kal {

class TRSyncProcess;

// Where Data.dat keeps a setting: before the destination's record, after it, or
// nowhere.
enum class TSettingPlace { BeforeServer, AfterServer, NotStored };

// Every setting of the root, named once: type, name, default, place in the
// record, and what its setter stores (AsGiven: the value; ZeroMeansDefault: the
// default for 0). The members, the guarded accessors Name() and SetName(),
// LoadFromStream and SaveToStream all come from this table; the stored settings
// of each place follow each other in this order. Loading takes stored values as
// they are, without the setter's rule: a stored Port of 0 stays 0.
#define KAL_RSYNC_SETTINGS(X)                                                                      \
    X(std::uint32_t, Flags, DefaultFlags, BeforeServer, AsGiven)                                   \
    X(std::uint16_t, Port, DefaultPort, BeforeServer, ZeroMeansDefault)                            \
    X(std::uint16_t, Bandwidth, 0, BeforeServer, AsGiven)                                          \
    X(std::int32_t, OutputAutoCloseDelay, -1, BeforeServer, AsGiven)                               \
    X(std::string, LogFile, "", BeforeServer, AsGiven)                                             \
    X(std::string, LogFormat, "", BeforeServer, AsGiven)                                           \
    X(std::string, OutputFormat, "", BeforeServer, AsGiven)                                        \
    X(std::string, PasswordFile, "", BeforeServer, AsGiven)                                        \
    X(std::string, Module, "", AfterServer, AsGiven)                                               \
    X(std::string, RSyncLocation, "Bin\\RSync.exe", AfterServer, AsGiven)                          \
    X(std::string, EmailRecipient, "", AfterServer, AsGiven)                                       \
    X(std::string, EmailFrom, "", AfterServer, AsGiven)                                            \
    X(std::string, EmailServer, "", AfterServer, AsGiven)                                          \
    X(std::string, EmailPassword, "", AfterServer, AsGiven)                                        \
    X(std::int32_t, KeepVersionDays, 30, NotStored, AsGiven)                                       \
    X(std::string, SkipListFile, "", NotStored, AsGiven)                                           \
    X(IProcessOutput*, OutputHandle, nullptr, NotStored, AsGiven)

class TRSync {
public:
    TRSync();
    // Stops a run in progress and waits for it, stops the schedule thread, then
    // frees profiles, groups and server.
    virtual ~TRSync();
    TRSync(const TRSync&) = delete;
    TRSync& operator=(const TRSync&) = delete;

    // Option bits: 0 verbose, 1-8 ArchiveGroup, 9 delete, 10 progress, 11 human-
    // readable, 12 keep earlier versions, 31 compress; the others are kept as stored.
    static constexpr std::uint32_t DefaultFlags = 0x000009FF;
    static constexpr std::uint32_t DeleteBit = 0x00000200;
    static constexpr std::uint32_t KeepVersionsBit = 0x00001000;
    static constexpr std::uint32_t ArchiveGroup = 0x000001FE;
    static constexpr std::uint16_t DefaultPort = 873;

    // Never null. Edit it on the window thread only.
    TRSyncServer* Server() const { return FServer.get(); }
    void SetServer(std::unique_ptr<TRSyncServer> server);

    TRSyncSchedule& Schedule() const { return *FSchedule; }
    std::recursive_mutex& Mutex() const { return FSchedule->Mutex(); }
    // A field of the root, a profile or a group read or written under Mutex(): the
    // schedule thread reads for a run what the window thread may be editing.
    template <typename T> T Guarded(const T& field) const {
        std::lock_guard lock(Mutex());
        return field;
    }
    template <typename T, typename V> void SetGuarded(T& field, V&& value) const {
        std::lock_guard lock(Mutex());
        field = std::forward<V>(value);
    }

    // The current or last run. Process() is for inspection on the window thread;
    // code that waits on or stops a run holds the shared reference meanwhile, so a
    // new run replacing it cannot free it underneath.
    TRSyncProcess* Process() const;
    std::shared_ptr<TRSyncProcess> ProcessRef() const;
    void SetProcess(std::shared_ptr<TRSyncProcess> process);

    int ProfileCount() const;
    TRSyncProfile* GetProfile(int index) const; // EListError outside the list
    std::vector<TRSyncProfile*> ProfileList() const;
    int IndexOfProfile(const TRSyncProfile* profile) const; // -1 when absent
    int GroupCount() const;
    TRSyncProfileGroup* Groups(int index) const; // EListError outside the list

    // Takes a profile over from the root that lists it, its event with it; nothing
    // when it is already ours or no root lists it.
    void AddProfile(TRSyncProfile* profile);
    // Takes over a profile handed out by RemoveProfile (ours or another root's).
    void AddProfile(std::unique_ptr<TRSyncProfile> profile);
    // Takes it out of Profiles and every group and hands it to the caller; nullptr
    // for a stranger. It keeps its owner reference and its event in the schedule,
    // and must go before this root does.
    [[nodiscard]] std::unique_ptr<TRSyncProfile> RemoveProfile(TRSyncProfile* profile);
    // Frees one of our profiles: its event leaves the schedule and a firing of it
    // ends first, then it leaves Profiles and every group. Nothing for a stranger.
    // Not with Mutex() held: the firing may need it.
    void DeleteProfile(TRSyncProfile* profile);
    void RemoveFromGroups(TRSyncProfile* profile);
    // Frees one of our groups; nothing for a stranger.
    void DeleteGroup(TRSyncProfileGroup* group);
    // Exact, case-sensitive match; nullptr when none.
    TRSyncProfileGroup* FindGroupByName(std::string_view name) const;

    // Profiles into the schedule's order of their events. A profile whose event is
    // missing from the schedule keeps its relative place at the end, never lost.
    void ReorderProfiles();
    // Ctrl+Break: ends the run's rsync and all it started; the run then ends.
    void TerminateProcess();
    // Returns when the current run has ended; at once when there is none.
    void WaitForProcess();
    // Returns when no worker of a run is left, a stopped one included, so that a
    // new run is not refused; waits for the run in progress first.
    void WaitUntilIdle();
    // Waits until no run is in progress, then calls `start` with Mutex() held, as
    // one step: no other run can begin in between, so a waiting start is never
    // refused. The run `start` began, if any; none once closing.
    std::shared_ptr<TRSyncProcess> StartWhenIdle(const std::function<void()>& start);
    // While held, StartWhenIdle waits: the program holds the runs of the schedule
    // and the groups until its terminal is there to show them.
    void HoldRuns(bool hold);
    // The end of the program: no new run starts from now on, the run in progress
    // is aborted (its child ended, an auto-close countdown cut short) and the
    // schedule thread stopped. Returns within moments; the destructor calls it.
    void Close();
    bool Closing() const;

    // Raised on the run's worker when a run ends in Error: its label and first
    // error line. Set it before runs start.
    std::function<void(const std::string& label, const std::string& error)> OnRunFailed;

    // Loading adds to the profiles and groups already present, made through
    // TRSyncProfile::Create and TRSyncProfileGroup::Create.
    virtual void LoadFromStream(TStream& s);
    virtual void SaveToStream(TStream& s) const;
    // The raw record, without the zlib wrapper.
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

    // Implemented with the transfer runs.
    std::string BuildOptions(std::uint32_t bits) const;
    // The options that reach the destination at all: password file and port.
    std::string AccessOptions() const;
    // The runs that kept versions in the account, newest first, from an rsync
    // listing run here and now. False with rsync's first error line in `error`
    // when the destination cannot be listed; no versions yet is no error.
    bool ListVersions(std::vector<TVersion>& versions, std::string& error) const;
    // Starts a run of `items` unless one is in progress or the program is closing;
    // true when it started. `label` names it in the notice of a failure. A
    // destination that cannot be prepared still makes a run, which reports why.
    // `refusals`: lines of error text about items left out, shown as the run starts.
    bool RunTransfer(const std::vector<std::string>& items, std::uint32_t forceOff,
                     std::uint32_t forceOn, std::string label = {},
                     const std::vector<std::string>& refusals = {});
    void EmergancyRecovery(const std::string& folder);

    // Flags(), SetFlags() and the others of the settings table, under Mutex().
#define KAL_SETTING_ACCESSORS(Type, Name, Default, Place, Rule)                                    \
    Type Name() const;                                                                             \
    void Set##Name(Type value);
    KAL_RSYNC_SETTINGS(KAL_SETTING_ACCESSORS)
#undef KAL_SETTING_ACCESSORS

private:
    friend class TRSyncProfileGroup;

    // Appends a new group; TRSyncProfileGroup::Create's second half.
    TRSyncProfileGroup* AddGroup(std::unique_ptr<TRSyncProfileGroup> group);
    // Calls each(field) for the stored settings of one place, in record order.
    template <TSettingPlace Place, typename Self, typename F>
    static void ForEachStored(Self& self, F&& each);

#define KAL_SETTING_MEMBER(Type, Name, Default, Place, Rule) Type F##Name = Default;
    KAL_RSYNC_SETTINGS(KAL_SETTING_MEMBER)
#undef KAL_SETTING_MEMBER

    std::unique_ptr<TRSyncServer> FServer;
    // Before the lists, so it outlives them: its mutex guards them.
    std::unique_ptr<TRSyncSchedule> FSchedule;
    std::vector<std::unique_ptr<TRSyncProfile>> FProfiles;
    std::vector<std::unique_ptr<TRSyncProfileGroup>> FGroups;
    std::shared_ptr<TRSyncProcess> FProcess;
    bool FClosing = false;
    bool FRunsHeld = false;
    mutable TSecretAtRest FPasswordAtRest; // EmailPassword as Data.dat holds it
};

} // namespace kal
