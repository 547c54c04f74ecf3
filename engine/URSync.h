// The backup engine's configuration root: settings, destination, profiles,
// profile groups, the schedule that fires the profiles, and Data.dat.
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

#include "UProcess.h"
#include "USchedule.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace kal {

// An index outside a list: "List index out of bounds (%d)".
class EListError : public EStreamError {
public:
    explicit EListError(int index);
};

enum TCommonSource : std::uint8_t {
    csDesktop,
    csMyDocuments,
    csMyMusic,
    csMyVideos,
    csMyPictures,
    csSharedDocuments,
    csSharedMusic,
    csSharedPictures,
    csSharedVideos,
    csOutlook,
    csThunderBird
};
constexpr int CommonSourceCount = 11;

// Bit i stands for the source with ordinal i; stored as 2 bytes, bits 11-15 zero.
class TCommonSourceSet {
public:
    constexpr TCommonSourceSet() = default;
    constexpr TCommonSourceSet(std::initializer_list<TCommonSource> sources) {
        for (TCommonSource s : sources)
            Include(s);
    }
    constexpr bool Contains(TCommonSource s) const { return s < 16 && (FBits >> s) & 1u; }
    constexpr void Include(TCommonSource s) {
        if (s < CommonSourceCount)
            FBits = static_cast<std::uint16_t>(FBits | (1u << s));
    }
    constexpr void Exclude(TCommonSource s) {
        if (s < 16)
            FBits = static_cast<std::uint16_t>(FBits & ~(1u << s));
    }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr std::uint16_t Bits() const { return FBits; }
    // Unknown bits (only a damaged file has them) are dropped.
    static constexpr TCommonSourceSet FromBits(std::uint16_t bits) {
        TCommonSourceSet set;
        set.FBits = static_cast<std::uint16_t>(bits & ((1u << CommonSourceCount) - 1));
        return set;
    }
    friend constexpr bool operator==(TCommonSourceSet a, TCommonSourceSet b) = default;

private:
    std::uint16_t FBits = 0;
};

enum TRSyncProfileEvent : std::uint8_t {
    reInactive,
    reOnce,
    reHourly,
    reDaily,
    reWeekly,
    reFortnightly,
    reMonthly,
    reQuaterly,
    reYearly
};

// ---- platform ----

// Shell folders behind a small interface: SHGetSpecialFolderPathW on Windows;
// the POSIX default knows none. Tests install their own.
class IShellFolders {
public:
    virtual ~IShellFolders() = default;
    // The folder of a CSIDL, without creating it; false when there is none.
    virtual bool GetSpecialFolderPath(int csidl, std::string& path) = 0;
    // Whether a folder is there on this machine (a well-known one, or a profile
    // path to restore); tests answer for folders of machines they only describe.
    virtual bool FolderExists(const std::string& path);
};
IShellFolders& ShellFolders();
// nullptr restores the platform default. The provider is not owned.
void SetShellFolders(IShellFolders* provider);

// File tests on Windows-shaped paths. On POSIX a backslash counts as a separator,
// so the engine's paths work unchanged in native tests.
bool DirectoryExists(const std::string& path);
// One level, like CreateDirectoryA: the parent must exist.
bool CreateSingleDirectory(const std::string& path);
bool FileExists(const std::string& path);
// Folder of the running program, without a trailing separator.
std::string ExecutableFolder();
// Tests; "" restores the default.
void SetExecutableFolder(const std::string& folder);
// Replaces `target` by `source` in one step, durably; raises EWriteError naming
// the files and the system's reason. `target` is untouched on failure.
void ReplaceFileAtomic(const std::string& source, const std::string& target);
// Removes a file; false when it could not (missing is not an error to report).
bool DeleteFileIfExists(const std::string& path);

// Windows path to rsync's form (see URSyncTransfer.cpp).
std::string ToCygwinPath(std::string_view path, bool driveForm);
// A local or network path as rsync names it: ToCygwinPath's drive form behind
// "/cygdrive/", except a network path, which is "//server/share/..." already;
// a bare drive "D:" is "/cygdrive/D".
std::string ToRSyncPath(std::string_view path);

// ---- destinations ----

class TRSyncServer {
public:
    TRSyncServer() = default;
    virtual ~TRSyncServer();
    TRSyncServer(const TRSyncServer&) = delete;
    TRSyncServer& operator=(const TRSyncServer&) = delete;

    // rsync address prefix; the caller appends Module.
    virtual std::string GetDestination() const = 0;
    // Makes the destination usable; a run is not started when this answers false.
    virtual bool Prepare() = 0;
    virtual void SaveToStream(TStream& s) const = 0;
    virtual void LoadFromStream(TStream& s) = 0;
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);
};

class TLocalHost : public TRSyncServer {
public:
    TLocalHost() = default;
    explicit TLocalHost(const std::string& path);
    const std::string& Path() const { return FPath; }
    // Appends "\" to a non-empty path that lacks it.
    void SetPath(const std::string& path);

    std::string GetDestination() const override;
    // True when the folder exists or this one level could be created.
    bool Prepare() override;
    void SaveToStream(TStream& s) const override;
    // The stored path is taken unchanged.
    void LoadFromStream(TStream& s) override;

private:
    std::string FPath;
};

class TRemoteHost : public TRSyncServer {
public:
    const std::string& User() const { return FUser; }
    void SetUser(const std::string& user) { FUser = user; }
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& host) { FHost = host; }

    std::string GetDestination() const override;
    bool Prepare() override { return true; }
    void SaveToStream(TStream& s) const override;
    void LoadFromStream(TStream& s) override;

private:
    std::string FUser;
    std::string FHost;
};

// ServerClasses: the destination classes in registration order; the position is
// the class number stored in Data.dat (0 TLocalHost, 1 TRemoteHost).
using TServerFactory = std::unique_ptr<TRSyncServer> (*)();
void RegisterServerClass(const std::type_info& type, TServerFactory factory);
template <typename T> void RegisterServerClass() {
    RegisterServerClass(typeid(T), [] { return std::unique_ptr<TRSyncServer>(new T()); });
}
// Position of the object's class, -1 when not registered.
int GetId(const TRSyncServer& server);
// Factory at a position; EListError outside the registry.
TServerFactory GetClass(int id);

// ---- profiles, events, groups ----

class TRSync;
class TRSyncProfile;
class TRSyncProcess;

class TRSyncEvent : public TEvent {
public:
    TRSyncEvent(TSchedule* schedule, TDateTime dateTime, std::string name);
    TRSyncProfile* Profile = nullptr; // not owned: the profile owns its event

    void Trigger() override;
    // Re-sorts the schedule, then brings the owner's Profiles into its order.
    void Changed() override;
    void Fire() override;
};

class TRSyncSchedule : public TSchedule {
public:
    ~TRSyncSchedule() override;

protected:
    void DoEvents(const std::vector<TEvent*>& batch) override;
};

class TRSyncProfileGroup {
public:
    // Registers with the owner; the owner frees its groups.
    TRSyncProfileGroup(TRSync* sync, std::string name, bool isRestore);
    virtual ~TRSyncProfileGroup();
    TRSyncProfileGroup(const TRSyncProfileGroup&) = delete;
    TRSyncProfileGroup& operator=(const TRSyncProfileGroup&) = delete;

    std::string Name() const;
    void SetName(std::string name);
    bool IsRestore() const;
    void SetIsRestore(bool value);
    TRSync* Sync() const { return FSync; }

    int Count() const;
    TRSyncProfile* Profiles(int index) const; // EListError outside the list
    std::vector<TRSyncProfile*> Members() const;

    // Add, Remove and Contained ignore profiles of another owner.
    void Add(TRSyncProfile* profile);
    void Remove(TRSyncProfile* profile);
    bool Contained(const TRSyncProfile* profile) const;
    // Each member in order: Restore or Backup, then waits for that run to end.
    void Run();

    virtual void SaveToStream(TStream& s) const;
    // Adds the stored positions of the owner's Profiles; a repeated one adds nothing.
    virtual void LoadFromStream(TStream& s);
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

private:
    TRSync* const FSync;
    std::string FName;
    bool FIsRestore;
    std::vector<TRSyncProfile*> FProfiles;
};

class TRSyncProfile {
public:
    // Appends itself to the owner's Profiles and puts an inactive event, due now,
    // into the owner's schedule.
    TRSyncProfile(TRSync* sync, std::string name);
    // Frees its event, then leaves the owner and every group.
    virtual ~TRSyncProfile();
    TRSyncProfile(const TRSyncProfile&) = delete;
    TRSyncProfile& operator=(const TRSyncProfile&) = delete;

    TRSync* Sync() const { return FSync; }
    TRSyncEvent* Event() const { return FEvent.get(); }

    TCommonSourceSet CommonSources() const;
    void SetCommonSources(TCommonSourceSet value);

    int PathCount() const;
    // "" outside the list.
    std::string Paths(int index) const;
    std::vector<std::string> PathList() const;
    void AddPath(std::string path);
    // Nothing outside the list.
    void RemovePath(int index);
    void ClearPaths();

    TRSyncProfileEvent ProfileEvent() const;
    // reInactive deactivates the event and keeps its repeat kind; any other kind
    // activates it with the matching repeat kind (reOnce -> erNone ...).
    void SetProfileEvent(TRSyncProfileEvent value);
    // Plain store, as a firing of a one-shot profile does.
    void StoreProfileEvent(TRSyncProfileEvent value);
    TDateTime DateTime() const;
    void SetDateTime(TDateTime value);
    std::string Name() const;
    void SetName(std::string name);

    // Raised on the schedule thread after the profile's event has fired.
    std::function<void(TRSyncProfile& sender)> OnScheduledEvent;

    void AddToGroup(TRSyncProfileGroup& group) { group.Add(this); }
    void RemoveFromGroup(TRSyncProfileGroup& group) { group.Remove(this); }
    bool IsInGroup(const TRSyncProfileGroup& group) const { return group.Contained(this); }

    // rsync form of a well-known folder on this machine, "" when there is none.
    std::string GetCommonSourcePath(TCommonSource source) const;
    // Folder name on the destination, "Unknown/" for an unknown ordinal.
    static std::string GetCommonSourceName(TCommonSource source);

    // Implemented with the transfer runs.
    void Backup();
    void Restore();
    void RemoveBackup();

    virtual void SaveToStream(TStream& s) const;
    virtual void LoadFromStream(TStream& s);
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

private:
    friend class TRSync;
    std::unique_lock<std::recursive_mutex> Lock() const;

    TRSync* FSync = nullptr;
    std::unique_ptr<TRSyncEvent> FEvent;
    TCommonSourceSet FCommonSources;
    std::vector<std::string> FPaths;
    TRSyncProfileEvent FProfileEvent = reInactive;
};

class TRSync {
public:
    TRSync();
    // Stops a run in progress and waits for it, stops the schedule thread, then
    // frees profiles, groups and server.
    virtual ~TRSync();
    TRSync(const TRSync&) = delete;
    TRSync& operator=(const TRSync&) = delete;

    // Option bits: 0 verbose, 1-8 ArchiveGroup, 9 delete, 10 progress, 11 human-
    // readable, 31 compress; the others are kept as stored.
    static constexpr std::uint32_t DefaultFlags = 0x000009FF;
    static constexpr std::uint32_t ArchiveGroup = 0x000001FE;
    static constexpr std::uint16_t DefaultPort = 873;

    std::uint32_t Flags() const;
    void SetFlags(std::uint32_t value);
    std::uint16_t Port() const;
    // 0 stores the default port.
    void SetPort(std::uint16_t value);
    std::uint16_t Bandwidth() const;
    void SetBandwidth(std::uint16_t value);
    std::string LogFile() const;
    void SetLogFile(std::string value);
    std::string LogFormat() const;
    void SetLogFormat(std::string value);
    std::string OutputFormat() const;
    void SetOutputFormat(std::string value);
    // Never null. Edit it on the window thread only.
    TRSyncServer* Server() const { return FServer.get(); }
    void SetServer(std::unique_ptr<TRSyncServer> server);
    std::string PasswordFile() const;
    void SetPasswordFile(std::string value);
    std::string Module() const;
    void SetModule(std::string value);
    std::string RSyncLocation() const;
    void SetRSyncLocation(std::string value);
    IProcessOutput* OutputHandle() const;
    void SetOutputHandle(IProcessOutput* value);
    std::int32_t OutputAutoCloseDelay() const;
    void SetOutputAutoCloseDelay(std::int32_t value);
    std::string EmailRecipient() const;
    void SetEmailRecipient(std::string value);
    std::string EmailFrom() const;
    void SetEmailFrom(std::string value);
    std::string EmailServer() const;
    void SetEmailServer(std::string value);
    std::string EmailPassword() const;
    void SetEmailPassword(std::string value);

    TRSyncSchedule& Schedule() const { return *FSchedule; }
    std::recursive_mutex& Mutex() const { return FSchedule->Mutex(); }

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

    // Takes the profile over from another root; nothing when it is already ours.
    void AddProfile(TRSyncProfile* profile);
    // Takes it out of Profiles and every group; nothing for a stranger.
    void RemoveProfile(TRSyncProfile* profile);
    void RemoveFromGroups(TRSyncProfile* profile);
    // Called by the group constructor and destructor.
    void AddGroup(TRSyncProfileGroup* group);
    void RemoveGroup(TRSyncProfileGroup* group);
    // Exact, case-sensitive match; nullptr when none.
    TRSyncProfileGroup* FindGroupByName(std::string_view name) const;

    // Profiles into the schedule's order of their events. A profile whose event is
    // missing from the schedule keeps its relative place at the end, never lost.
    void ReorderProfiles();
    void TerminateProcess();
    // Returns when the current run has ended; at once when there is none.
    void WaitForProcess();
    // Returns when no worker of a run is left, a stopped one included, so that a
    // new run is not refused; waits for the run in progress first.
    void WaitUntilIdle();
    // The end of the program: no new run starts from now on, the run in progress
    // is aborted (its child ended, an auto-close countdown cut short) and the
    // schedule thread stopped. Returns within moments; the destructor calls it.
    void Close();
    bool Closing() const;

    // Loading adds to the profiles and groups already present.
    virtual void LoadFromStream(TStream& s);
    virtual void SaveToStream(TStream& s) const;
    // The raw record, without the zlib wrapper.
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

    // Implemented with the transfer runs.
    std::string BuildOptions(std::uint32_t bits) const;
    void RunTransfer(const std::vector<std::string>& items, std::uint32_t forceOff,
                     std::uint32_t forceOn);
    void EmergancyRecovery(const std::string& folder);

private:
    friend class TRSyncProfile;

    std::uint32_t FFlags = DefaultFlags;
    std::uint16_t FPort = DefaultPort;
    std::uint16_t FBandwidth = 0;
    std::string FLogFile;
    std::string FLogFormat;
    std::string FOutputFormat;
    std::string FPasswordFile;
    std::string FModule;
    std::string FRSyncLocation = "Bin\\RSync.exe";
    IProcessOutput* FOutputHandle = nullptr;
    std::int32_t FOutputAutoCloseDelay = -1;
    std::string FEmailRecipient;
    std::string FEmailFrom;
    std::string FEmailServer;
    std::string FEmailPassword;

    std::unique_ptr<TRSyncServer> FServer;
    std::unique_ptr<TRSyncSchedule> FSchedule;
    std::vector<TRSyncProfile*> FProfiles;
    std::vector<TRSyncProfileGroup*> FGroups;
    std::shared_ptr<TRSyncProcess> FProcess;
    bool FClosing = false;
};

} // namespace kal
