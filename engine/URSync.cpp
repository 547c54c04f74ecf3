#include "URSync.h"

#include "URSyncProcess.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace kal {

namespace {

using TLock = std::unique_lock<std::recursive_mutex>;

// The setters' rules of the settings table.
template <typename T> T AsGiven(T value, const T&) {
    return value;
}
template <typename T> T ZeroMeansDefault(T value, const T& fallback) {
    return value == 0 ? fallback : value;
}

// Data.dat's encoding of each type in the settings table.
void WriteSetting(TStream& s, std::uint32_t value) {
    WriteUInt32(s, value);
}
void WriteSetting(TStream& s, std::uint16_t value) {
    WriteUInt16(s, value);
}
void WriteSetting(TStream& s, std::int32_t value) {
    WriteInt32(s, value);
}
void WriteSetting(TStream& s, const std::string& value) {
    WriteString(s, value);
}
void ReadSetting(TStream& s, std::uint32_t& value) {
    value = ReadUInt32(s);
}
void ReadSetting(TStream& s, std::uint16_t& value) {
    value = ReadUInt16(s);
}
void ReadSetting(TStream& s, std::int32_t& value) {
    value = ReadInt32(s);
}
void ReadSetting(TStream& s, std::string& value) {
    value = ReadString(s);
}

// Far beyond any real configuration (the program lists them in one list box),
// and low enough that a crafted count cannot make loading crawl: each profile
// joins the sorted schedule, a cost that grows with the profiles before it.
constexpr std::int32_t MaxProfiles = 10000;
constexpr std::int32_t MaxGroups = 10000;

std::int32_t ReadLimitedCount(TStream& s, const char* what, std::int32_t limit) {
    const std::int32_t count = ReadCount(s, what);
    if (count > limit)
        throw EReadError(std::string("Invalid ") + what + " count " + std::to_string(count) +
                         " (at most " + std::to_string(limit) + ")");
    return count;
}

} // namespace

TRSync::TRSync()
    : FServer(std::make_unique<TLocalHost>("C:\\Kalvaren Backup")),
      FSchedule(std::make_unique<TRSyncSchedule>()) {}

TRSync::~TRSync() {
    Close();
    // The events belong to the profiles, which free them. The schedule, now
    // idle, lives on until the end because its mutex guards the lists below.
    FSchedule->SetOwnsEvents(false);
    // Out of the list first, so no profile is found while it goes.
    std::exchange(FProfiles, {}).clear();
    // Then the groups, last first.
    while (!FGroups.empty())
        FGroups.pop_back();
    FSchedule.reset();
}

#define KAL_SETTING_ACCESSORS(Type, Name, Default, Place, Rule)                                    \
    Type TRSync::Name() const {                                                                    \
        return Guarded(F##Name);                                                                   \
    }                                                                                              \
    void TRSync::Set##Name(Type value) {                                                           \
        SetGuarded(F##Name, Rule<Type>(std::move(value), Default));                                \
    }
KAL_RSYNC_SETTINGS(KAL_SETTING_ACCESSORS)
#undef KAL_SETTING_ACCESSORS

template <TSettingPlace Place, typename Self, typename F>
void TRSync::ForEachStored(Self& self, F&& each) {
#define KAL_STORED_SETTING(Type, Name, Default, Where, Rule)                                       \
    if constexpr (TSettingPlace::Where == Place)                                                   \
        each(self.F##Name);
    KAL_RSYNC_SETTINGS(KAL_STORED_SETTING)
#undef KAL_STORED_SETTING
}

void TRSync::SetServer(std::unique_ptr<TRSyncServer> server) {
    if (!server)
        return;
    TLock lock(Mutex());
    FServer = std::move(server);
}

TRSyncProcess* TRSync::Process() const {
    TLock lock(Mutex());
    return FProcess.get();
}

std::shared_ptr<TRSyncProcess> TRSync::ProcessRef() const {
    TLock lock(Mutex());
    return FProcess;
}

void TRSync::SetProcess(std::shared_ptr<TRSyncProcess> process) {
    std::shared_ptr<TRSyncProcess> previous;
    {
        TLock lock(Mutex());
        previous = std::exchange(FProcess, std::move(process));
    }
    // `previous` may wait for its worker as it goes: outside the lock.
}

int TRSync::ProfileCount() const {
    TLock lock(Mutex());
    return static_cast<int>(FProfiles.size());
}

TRSyncProfile* TRSync::GetProfile(int index) const {
    TLock lock(Mutex());
    if (index < 0 || static_cast<std::size_t>(index) >= FProfiles.size())
        throw EListError(index);
    return FProfiles[static_cast<std::size_t>(index)].get();
}

std::vector<TRSyncProfile*> TRSync::ProfileList() const {
    TLock lock(Mutex());
    std::vector<TRSyncProfile*> profiles;
    profiles.reserve(FProfiles.size());
    for (const auto& profile : FProfiles)
        profiles.push_back(profile.get());
    return profiles;
}

int TRSync::IndexOfProfile(const TRSyncProfile* profile) const {
    TLock lock(Mutex());
    auto it = std::find_if(FProfiles.begin(), FProfiles.end(),
                           [&](const auto& p) { return p.get() == profile; });
    return it == FProfiles.end() ? -1 : static_cast<int>(it - FProfiles.begin());
}

int TRSync::GroupCount() const {
    TLock lock(Mutex());
    return static_cast<int>(FGroups.size());
}

TRSyncProfileGroup* TRSync::Groups(int index) const {
    TLock lock(Mutex());
    if (index < 0 || static_cast<std::size_t>(index) >= FGroups.size())
        throw EListError(index);
    return FGroups[static_cast<std::size_t>(index)].get();
}

void TRSync::AddProfile(TRSyncProfile* profile) {
    if (!profile || profile->FSync == this)
        return;
    // Whoever holds a profile that no list has keeps it.
    if (std::unique_ptr<TRSyncProfile> owned = profile->FSync->RemoveProfile(profile))
        AddProfile(std::move(owned));
}

void TRSync::AddProfile(std::unique_ptr<TRSyncProfile> profile) {
    if (!profile)
        return;
    TLock lock(Mutex());
    profile->FSync = this;
    // Its event follows it, so the profile stays in step with this schedule.
    if (profile->FEvent && profile->FEvent->Schedule() != FSchedule.get())
        FSchedule->AddEvent(profile->FEvent.get());
    FProfiles.push_back(std::move(profile));
}

std::unique_ptr<TRSyncProfile> TRSync::RemoveProfile(TRSyncProfile* profile) {
    TLock lock(Mutex());
    auto it = std::find_if(FProfiles.begin(), FProfiles.end(),
                           [&](const auto& p) { return p.get() == profile; });
    if (it == FProfiles.end())
        return nullptr;
    std::unique_ptr<TRSyncProfile> owned = std::move(*it);
    FProfiles.erase(it);
    RemoveFromGroups(profile);
    return owned;
}

void TRSync::DeleteProfile(TRSyncProfile* profile) {
    if (IndexOfProfile(profile) < 0)
        return;
    profile->LeaveSchedule();
    RemoveProfile(profile).reset();
}

void TRSync::RemoveFromGroups(TRSyncProfile* profile) {
    TLock lock(Mutex());
    for (const auto& group : FGroups)
        group->Remove(profile);
}

TRSyncProfileGroup* TRSync::AddGroup(std::unique_ptr<TRSyncProfileGroup> group) {
    TLock lock(Mutex());
    FGroups.push_back(std::move(group));
    return FGroups.back().get();
}

void TRSync::DeleteGroup(TRSyncProfileGroup* group) {
    TLock lock(Mutex());
    auto it = std::find_if(FGroups.begin(), FGroups.end(),
                           [&](const auto& g) { return g.get() == group; });
    if (it != FGroups.end())
        FGroups.erase(it);
}

TRSyncProfileGroup* TRSync::FindGroupByName(std::string_view name) const {
    TLock lock(Mutex());
    for (const auto& group : FGroups)
        if (group->Name() == name)
            return group.get();
    return nullptr;
}

void TRSync::ReorderProfiles() {
    TLock lock(Mutex());
    std::unordered_map<const TRSyncProfile*, std::size_t> ours;
    for (std::size_t i = 0; i < FProfiles.size(); ++i)
        ours.emplace(FProfiles[i].get(), i);
    std::vector<std::unique_ptr<TRSyncProfile>> ordered;
    ordered.reserve(FProfiles.size());
    for (TEvent* event : FSchedule->EventList()) {
        auto* own = dynamic_cast<TRSyncEvent*>(event);
        if (!own || !own->Profile)
            continue;
        if (auto it = ours.find(own->Profile); it != ours.end()) {
            ordered.push_back(std::move(FProfiles[it->second]));
            ours.erase(it);
        }
    }
    // What the schedule did not place, in its old order.
    for (auto& profile : FProfiles)
        if (profile)
            ordered.push_back(std::move(profile));
    FProfiles = std::move(ordered);
}

void TRSync::Close() {
    {
        TLock lock(Mutex());
        FClosing = true;
    }
    // Every wait here keeps serving the messages sent to this thread's windows: the
    // worker writes to the terminal, and a firing on the schedule thread waits for
    // that worker. No new run starts once closing, so the firing ends promptly.
    FSchedule->RequestStopThread();
    if (auto process = ProcessRef()) {
        process->Abort();
        process->FreeThread();
    }
    WaitHandlingSentMessages([this] { return FSchedule->ThreadEnded(); });
    FSchedule->StopThread();
}

bool TRSync::Closing() const {
    TLock lock(Mutex());
    return FClosing;
}

void TRSync::WaitUntilIdle() {
    WaitForProcess();
    // A run asked to stop answers that wait at once while its child may still be
    // ending; a new run would then be refused as "already running".
    if (const auto process = ProcessRef())
        process->FreeThread();
}

std::shared_ptr<TRSyncProcess> TRSync::StartWhenIdle(const std::function<void()>& start) {
    for (;;) {
        WaitUntilIdle();
        {
            TLock lock(Mutex());
            if (FClosing)
                return nullptr;
            const auto before = ProcessRef();
            // Another waiter got in first: wait for that run too.
            if (!FRunsHeld && !(before && before->Running())) {
                start();
                const auto after = ProcessRef();
                return after != before ? after : nullptr;
            }
        }
        if (Guarded(FRunsHeld))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void TRSync::HoldRuns(bool hold) {
    SetGuarded(FRunsHeld, hold);
}

void TRSync::TerminateProcess() {
    if (auto process = ProcessRef())
        process->Stop();
}

void TRSync::WaitForProcess() {
    if (auto process = ProcessRef())
        process->WaitFor();
}

void TRSync::LoadFromStream(TStream& s) {
    // The whole load under the lock: the schedule thread must not scan events that
    // are still being filled in.
    TLock lock(Mutex());
    const auto read = [&](auto& field) {
        ReadSetting(s, field);
    };
    ForEachStored<TSettingPlace::BeforeServer>(*this, read);
    std::unique_ptr<TRSyncServer> server = GetClass(ReadInt32(s))();
    server->LoadFromStream(s);
    FServer = std::move(server);
    ForEachStored<TSettingPlace::AfterServer>(*this, read);
    // Protected by this version, plain text by earlier ones: both load, and the
    // next save protects it.
    FEmailPassword = FPasswordAtRest.Reveal(FEmailPassword);

    struct TSortAtEnd {
        TSchedule& Schedule;
        // Also after a failure, so the scan's early stop holds for what was read.
        ~TSortAtEnd() { Schedule.SortEvents(); }
    } sortAtEnd{*FSchedule};
    FSchedule->DeferSorting();

    const std::int32_t profiles = ReadLimitedCount(s, "profile", MaxProfiles);
    for (std::int32_t i = 0; i < profiles; ++i)
        TRSyncProfile::Create(*this, "")->LoadFromStream(s);
    const std::int32_t groups = ReadLimitedCount(s, "group", MaxGroups);
    for (std::int32_t i = 0; i < groups; ++i)
        TRSyncProfileGroup::Create(*this, "", false)->LoadFromStream(s);
}

void TRSync::SaveToStream(TStream& s) const {
    TLock lock(Mutex());
    const auto write = [&](const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>)
            if (&field == &FEmailPassword)
                return WriteSetting(s, FPasswordAtRest.Store(field)); // never in clear on disk
        WriteSetting(s, field);
    };
    ForEachStored<TSettingPlace::BeforeServer>(*this, write);
    const int id = GetId(*FServer);
    if (id < 0)
        throw EWriteError("The destination's class is not registered");
    WriteInt32(s, id);
    FServer->SaveToStream(s);
    ForEachStored<TSettingPlace::AfterServer>(*this, write);
    WriteInt32(s, static_cast<std::int32_t>(FProfiles.size()));
    for (const auto& profile : FProfiles)
        profile->SaveToStream(s);
    WriteInt32(s, static_cast<std::int32_t>(FGroups.size()));
    for (const auto& group : FGroups)
        group->SaveToStream(s);
}

void TRSync::SaveToFile(const std::string& fileName) const {
    SaveRecordToFile(*this, fileName);
}

void TRSync::LoadFromFile(const std::string& fileName) {
    LoadRecordFromFile(*this, fileName);
}

} // namespace kal
