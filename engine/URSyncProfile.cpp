#include "URSync.h"

#include "URSyncProcess.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

namespace kal {

namespace {

using TLock = std::unique_lock<std::recursive_mutex>;

// The group record has no restore flag; the main window's four groups are known
// by name. Any other group keeps the flag it has.
void SettleRestoreFromName(std::string_view name, bool& isRestore) {
    if (name == "StartupRestore" || name == "ShutdownRestore")
        isRestore = true;
    else if (name == "StartupBackup" || name == "ShutdownBackup")
        isRestore = false;
}

} // namespace

// ---- events ----

TRSyncEvent::TRSyncEvent(TSchedule* schedule, TDateTime dateTime, std::string name)
    : TEvent(schedule, dateTime, std::move(name)) {}

void TRSyncEvent::Changed() {
    TEvent::Changed();
    if (Profile && Profile->Sync())
        Profile->Sync()->ReorderProfiles();
}

TRSyncSchedule::~TRSyncSchedule() {
    // DoEvents is ours: the thread must not reach it once this part is gone.
    StopThread();
}

// ---- groups ----

TRSyncProfileGroup* TRSyncProfileGroup::Create(TRSync& sync, std::string name, bool isRestore) {
    return sync.AddGroup(std::unique_ptr<TRSyncProfileGroup>(
        new TRSyncProfileGroup(sync, std::move(name), isRestore)));
}

TRSyncProfileGroup::TRSyncProfileGroup(TRSync& sync, std::string name, bool isRestore)
    : FSync(&sync), FName(std::move(name)), FIsRestore(isRestore) {}

TRSyncProfileGroup::~TRSyncProfileGroup() = default;

// Profiles and groups share their root's mutex.
std::unique_lock<std::recursive_mutex> TRSyncProfileGroup::Lock() const {
    return TLock(FSync->Mutex());
}

std::string TRSyncProfileGroup::Name() const {
    return FSync->Guarded(FName);
}

void TRSyncProfileGroup::SetName(std::string name) {
    FSync->SetGuarded(FName, std::move(name));
}

bool TRSyncProfileGroup::IsRestore() const {
    return FSync->Guarded(FIsRestore);
}

void TRSyncProfileGroup::SetIsRestore(bool value) {
    FSync->SetGuarded(FIsRestore, value);
}

int TRSyncProfileGroup::Count() const {
    TLock lock = Lock();
    return static_cast<int>(FProfiles.size());
}

TRSyncProfile* TRSyncProfileGroup::Profiles(int index) const {
    TLock lock = Lock();
    if (index < 0 || static_cast<std::size_t>(index) >= FProfiles.size())
        throw EListError(index);
    return FProfiles[static_cast<std::size_t>(index)];
}

std::vector<TRSyncProfile*> TRSyncProfileGroup::Members() const {
    return FSync->Guarded(FProfiles);
}

void TRSyncProfileGroup::Add(TRSyncProfile* profile) {
    if (!profile)
        return;
    TLock lock = Lock();
    // A profile taken out of the list keeps its owner; as a member it would be
    // saved as a position the loader refuses.
    if (profile->Sync() != FSync || FSync->IndexOfProfile(profile) < 0)
        return;
    if (std::find(FProfiles.begin(), FProfiles.end(), profile) == FProfiles.end())
        FProfiles.push_back(profile);
}

void TRSyncProfileGroup::Remove(TRSyncProfile* profile) {
    if (!profile)
        return;
    TLock lock = Lock();
    // By address first: a profile on its way out must not be asked anything.
    auto it = std::find(FProfiles.begin(), FProfiles.end(), profile);
    if (it != FProfiles.end())
        FProfiles.erase(it);
}

bool TRSyncProfileGroup::Contained(const TRSyncProfile* profile) const {
    if (!profile)
        return false;
    TLock lock = Lock();
    return std::find(FProfiles.begin(), FProfiles.end(), profile) != FProfiles.end() &&
           profile->Sync() == FSync;
}

void TRSyncProfileGroup::Run() {
    // A snapshot, because each run is waited for without the lock; a member that
    // left the group meanwhile is skipped.
    const std::vector<TRSyncProfile*> members = Members();
    const bool restore = IsRestore();
    for (TRSyncProfile* profile : members) {
        if (!Contained(profile))
            continue;
        // A member whose turn comes while another transfer runs waits for it, as a
        // scheduled firing does, instead of being refused and skipped.
        const auto run = FSync->StartWhenIdle([&] {
            if (!Contained(profile))
                return;
            if (restore)
                profile->Restore();
            else
                profile->Backup();
        });
        if (run)
            run->WaitFor();
    }
}

void TRSyncProfileGroup::SaveToStream(TStream& s) const {
    TLock lock = Lock();
    // Only members that are in the list: a position of -1 would make the loader
    // refuse the whole file.
    std::vector<std::int32_t> positions;
    for (const TRSyncProfile* profile : FProfiles)
        if (const int position = FSync->IndexOfProfile(profile); position >= 0)
            positions.push_back(position);
    WriteString(s, FName);
    WriteInt32(s, static_cast<std::int32_t>(positions.size()));
    for (const std::int32_t position : positions)
        WriteInt32(s, position);
}

void TRSyncProfileGroup::LoadFromStream(TStream& s) {
    TLock lock = Lock();
    FName = ReadString(s);
    SettleRestoreFromName(FName, FIsRestore);
    const std::int32_t count = ReadCount(s, "group member");
    // Add's own test for a member is a search; a long damaged list of repeats
    // must not make loading quadratic.
    std::unordered_set<const TRSyncProfile*> members(FProfiles.begin(), FProfiles.end());
    for (std::int32_t i = 0; i < count; ++i) {
        TRSyncProfile* profile = FSync->GetProfile(ReadInt32(s));
        if (profile->Sync() == FSync && members.insert(profile).second)
            FProfiles.push_back(profile);
    }
}

void TRSyncProfileGroup::SaveToFile(const std::string& fileName) const {
    SaveRecordToFile(*this, fileName);
}

void TRSyncProfileGroup::LoadFromFile(const std::string& fileName) {
    LoadRecordFromFile(*this, fileName);
}

// ---- profiles ----

TRSyncProfile* TRSyncProfile::Create(TRSync& sync, std::string name) {
    // Held until the profile is listed with its event inactive and linked: the
    // schedule thread must not see the event active and due, nor fire a
    // half-built profile.
    TLock lock(sync.Mutex());
    std::unique_ptr<TRSyncProfile> profile(new TRSyncProfile(sync, std::move(name)));
    TRSyncProfile* const created = profile.get();
    sync.AddProfile(std::move(profile));
    return created;
}

TRSyncProfile::TRSyncProfile(TRSync& sync, std::string name)
    : FSync(&sync),
      FEvent(std::make_unique<TRSyncEvent>(&sync.Schedule(), Now(), std::move(name))) {
    FEvent->SetActive(false);
    FEvent->Profile = this;
}

TRSyncProfile::~TRSyncProfile() {
    LeaveSchedule();
    TLock lock = Lock();
    FEvent.reset();
}

void TRSyncProfile::LeaveSchedule() {
    // The schedule thread may be firing this profile's event, using the event and
    // the profile: take the event out of the schedule, then let that firing end
    // before anything it uses goes. Taken out, the event cannot start firing anew.
    if (FEvent) {
        if (TSchedule* schedule = FEvent->Schedule()) {
            schedule->RemoveEvent(FEvent.get());
            WaitHandlingSentMessages([&] { return !schedule->Firing(FEvent.get()); });
        }
    }
}

std::unique_lock<std::recursive_mutex> TRSyncProfile::Lock() const {
    return TLock(FSync->Mutex());
}

TCommonSourceSet TRSyncProfile::CommonSources() const {
    return FSync->Guarded(FCommonSources);
}

void TRSyncProfile::SetCommonSources(TCommonSourceSet value) {
    FSync->SetGuarded(FCommonSources, value);
}

int TRSyncProfile::PathCount() const {
    TLock lock = Lock();
    return static_cast<int>(FPaths.size());
}

std::string TRSyncProfile::Paths(int index) const {
    TLock lock = Lock();
    if (index < 0 || static_cast<std::size_t>(index) >= FPaths.size())
        return {};
    return FPaths[static_cast<std::size_t>(index)];
}

std::vector<std::string> TRSyncProfile::PathList() const {
    return FSync->Guarded(FPaths);
}

void TRSyncProfile::AddPath(std::string path) {
    TLock lock = Lock();
    FPaths.push_back(std::move(path));
}

void TRSyncProfile::RemovePath(int index) {
    TLock lock = Lock();
    if (index >= 0 && static_cast<std::size_t>(index) < FPaths.size())
        FPaths.erase(FPaths.begin() + index);
}

void TRSyncProfile::ClearPaths() {
    TLock lock = Lock();
    FPaths.clear();
}

TRSyncProfileEvent TRSyncProfile::ProfileEvent() const {
    return FSync->Guarded(FProfileEvent);
}

void TRSyncProfile::SetProfileEvent(TRSyncProfileEvent value) {
    TLock lock = Lock();
    FProfileEvent = value;
    if (value == reInactive) {
        FEvent->SetActive(false);
    } else {
        FEvent->SetActive(true);
        FEvent->SetEventRepeat(static_cast<TEventRepeat>(value - 1));
    }
}

void TRSyncProfile::StoreProfileEvent(TRSyncProfileEvent value) {
    TLock lock = Lock();
    FProfileEvent = value;
}

TDateTime TRSyncProfile::DateTime() const {
    return FEvent->DateTime();
}

void TRSyncProfile::SetDateTime(TDateTime value) {
    FEvent->SetDateTime(value);
}

std::string TRSyncProfile::Name() const {
    return FEvent->Name();
}

void TRSyncProfile::SetName(std::string name) {
    FEvent->SetName(std::move(name));
}

std::string TRSyncProfile::GetCommonSourcePath(TCommonSource source) const {
    static constexpr int csidl[CommonSourceCount] = {0x00, 0x05, 0x0D, 0x0E, 0x27, 0x2E,
                                                     0x35, 0x36, 0x37, 0x1C, 0x1C};
    if (source >= CommonSourceCount)
        return {};
    std::string path;
    if (!ShellFolders().GetSpecialFolderPath(csidl[source], path) || path.empty() ||
        !ShellFolders().FolderExists(path))
        return {};
    if (source == csOutlook)
        path += "\\Microsoft\\Outlook\\";
    else if (source == csThunderBird)
        path += "\\Thunderbird\\";
    return ToRSyncPath(path);
}

std::string TRSyncProfile::GetCommonSourceName(TCommonSource source) {
    static constexpr const char* names[CommonSourceCount] = {
        "Desktop/",       "My Documents/",     "My Music/",     "My Videos/",
        "My Pictures/",   "Shared Documents/", "Shared Music/", "Shared Pictures/",
        "Shared Videos/", "Outlook/",          "Thunderbird/"};
    return source < CommonSourceCount ? names[source] : "Unknown/";
}

void TRSyncProfile::SaveToStream(TStream& s) const {
    TLock lock = Lock();
    WriteUInt16(s, FCommonSources.Bits());
    WriteUInt8(s, FProfileEvent);
    FEvent->SaveToStream(s);
    WriteInt32(s, static_cast<std::int32_t>(FPaths.size()));
    for (const std::string& path : FPaths)
        WriteString(s, path);
}

void TRSyncProfile::LoadFromStream(TStream& s) {
    TLock lock = Lock();
    const std::uint16_t sources = ReadUInt16(s);
    const std::uint8_t kind = ReadUInt8(s);
    if (kind > reYearly)
        throw EReadError("Invalid schedule kind " + std::to_string(kind));
    FCommonSources = TCommonSourceSet::FromBits(sources);
    FProfileEvent = static_cast<TRSyncProfileEvent>(kind);
    FEvent->LoadFromStream(s);
    // Grown as the paths arrive: a damaged count cannot demand memory up front.
    const std::int32_t count = ReadCount(s, "path");
    std::vector<std::string> paths;
    for (std::int32_t i = 0; i < count; ++i)
        paths.push_back(ReadString(s));
    FPaths = std::move(paths);
}

void TRSyncProfile::SaveToFile(const std::string& fileName) const {
    SaveRecordToFile(*this, fileName);
}

void TRSyncProfile::LoadFromFile(const std::string& fileName) {
    LoadRecordFromFile(*this, fileName);
}

} // namespace kal
