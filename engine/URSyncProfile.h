// Backup profiles, their schedule events, and profile groups. A root TRSync owns
// every profile and group; they are made through Create, which registers them
// with it, and freed by it (DeleteProfile, DeleteGroup, or its destructor).
#pragma once

#include "USchedule.h"
#include "UVersions.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kal {

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

class TRSync;
class TRSyncProfile;

class TRSyncEvent : public TEvent {
public:
    TRSyncEvent(TSchedule* schedule, TDateTime dateTime, std::string name);
    TRSyncProfile* Profile = nullptr; // not owned: the profile owns its event

    // The backup, waited for; then the move to the next occurrence only when the
    // run completed (with or without errors). An occurrence whose run was refused,
    // could not start or was stopped stays due, tried again after RetryDelay and
    // caught up at the next start; it mails its Error report once.
    void Trigger() override;
    // Re-sorts the schedule, then brings the owner's Profiles into its order.
    void Changed() override;
    void Fire() override;

    static constexpr TDateTime RetryDelay = 15.0 / (24 * 60);

private:
    struct TFiring {
        TDateTime Due = 0;
        bool Done = false;
        bool Edited = false;
    };
    TFiring FFiring;                // schedule thread only
    TDateTime FErrorMailedFor = -1; // the occurrence whose Error report went out
};

class TRSyncSchedule : public TSchedule {
public:
    ~TRSyncSchedule() override;

protected:
    void DoEvents(const std::vector<TEvent*>& batch) override;
};

class TRSyncProfileGroup {
public:
    // A new, empty group at the end of the root's Groups; the root owns it.
    static TRSyncProfileGroup* Create(TRSync& sync, std::string name, bool isRestore);
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
    TRSyncProfileGroup(TRSync& sync, std::string name, bool isRestore);
    std::unique_lock<std::recursive_mutex> Lock() const;

    TRSync* const FSync;
    std::string FName;
    bool FIsRestore;
    std::vector<TRSyncProfile*> FProfiles;
};

class TRSyncProfile {
public:
    // A new profile at the end of the root's Profiles, which owns it, with an
    // inactive event, due now, in the root's schedule.
    static TRSyncProfile* Create(TRSync& sync, std::string name);
    // Its event leaves the schedule, and a firing of it ends, before anything goes.
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
    // The items as they were before the last run of `versions` changed them:
    // `versions` holds that run and every later one, newest first. Files made after
    // it stay; nothing is deleted.
    void RestoreEarlierVersion(const std::vector<TVersion>& versions);
    void RemoveBackup();

    virtual void SaveToStream(TStream& s) const;
    virtual void LoadFromStream(TStream& s);
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

private:
    friend class TRSync;
    TRSyncProfile(TRSync& sync, std::string name);
    std::unique_lock<std::recursive_mutex> Lock() const;
    // Takes the event out of the schedule, then waits (serving sent messages)
    // until a firing of it has ended. Call it without the mutex.
    void LeaveSchedule();

    TRSync* FSync;
    std::unique_ptr<TRSyncEvent> FEvent;
    TCommonSourceSet FCommonSources;
    std::vector<std::string> FPaths;
    TRSyncProfileEvent FProfileEvent = reInactive;
};

} // namespace kal
