#include "URSync.h"

#include "URSyncPlatform.h"
#include "URSyncProcess.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <typeindex>
#include <unordered_set>
#include <utility>

namespace kal {

namespace {

using TLock = std::unique_lock<std::recursive_mutex>;

// Guarded settings: the schedule thread reads them for a run while the window
// thread may be editing them.
// Profiles and groups share their root's mutex; without a root there is no one
// to share them with.
TLock LockOf(const TRSync* sync) {
    return sync ? TLock(sync->Mutex()) : TLock();
}

template <typename T> T GetGuarded(const TRSync& sync, const T& field) {
    TLock lock(sync.Mutex());
    return field;
}
template <typename T, typename V> void SetGuarded(const TRSync& sync, T& field, V&& value) {
    TLock lock(sync.Mutex());
    field = std::forward<V>(value);
}

struct TServerClass {
    std::type_index Type;
    TServerFactory Factory;
};

std::vector<TServerClass>& ServerClasses() {
    static std::vector<TServerClass> classes = {
        {typeid(TLocalHost),
         [] {
             return std::unique_ptr<TRSyncServer>(new TLocalHost());
         }},
        {typeid(TRemoteHost),
         [] {
             return std::unique_ptr<TRSyncServer>(new TRemoteHost());
         }},
    };
    return classes;
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

// The group record has no restore flag; the main window's four groups are known
// by name. Any other group keeps the flag it has.
void SettleRestoreFromName(std::string_view name, bool& isRestore) {
    if (name == "StartupRestore" || name == "ShutdownRestore")
        isRestore = true;
    else if (name == "StartupBackup" || name == "ShutdownBackup")
        isRestore = false;
}

std::atomic<IShellFolders*> GShellFolders{nullptr};

std::mutex GExecutableFolderLock;
std::string GExecutableFolder;

} // namespace

IShellFolders& ShellFolders() {
    IShellFolders* provider = GShellFolders.load();
    return provider ? *provider : platform::DefaultShellFolders();
}

void SetShellFolders(IShellFolders* provider) {
    GShellFolders.store(provider);
}

bool IShellFolders::FolderExists(const std::string& path) {
    return DirectoryExists(path);
}

std::string ExecutableFolder() {
    {
        std::lock_guard<std::mutex> lock(GExecutableFolderLock);
        if (!GExecutableFolder.empty())
            return GExecutableFolder;
    }
    return platform::ModuleFolder();
}

void SetExecutableFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(GExecutableFolderLock);
    GExecutableFolder = folder;
}

EListError::EListError(int index)
    : EStreamError("List index out of bounds (" + std::to_string(index) + ")") {}

// ---- destinations ----

TRSyncServer::~TRSyncServer() = default;

void TRSyncServer::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, TFileMode::fmCreate);
    SaveToStream(file);
    file.Close();
}

void TRSyncServer::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    LoadFromStream(file);
}

TLocalHost::TLocalHost(const std::string& path) {
    SetPath(path);
}

void TLocalHost::SetPath(const std::string& path) {
    FPath = path;
    if (!FPath.empty() && FPath.back() != '\\')
        FPath += '\\';
}

std::string TLocalHost::GetDestination() const {
    return ToRSyncPath(FPath);
}

bool TLocalHost::Prepare() {
    return DirectoryExists(FPath) || CreateSingleDirectory(FPath);
}

void TLocalHost::SaveToStream(TStream& s) const {
    WriteString(s, FPath);
}

void TLocalHost::LoadFromStream(TStream& s) {
    FPath = ReadString(s);
}

std::string TRemoteHost::GetDestination() const {
    return FUser.empty() ? FHost + "::" : FUser + "@" + FHost + "::";
}

void TRemoteHost::SaveToStream(TStream& s) const {
    WriteString(s, FUser);
    WriteString(s, FHost);
}

void TRemoteHost::LoadFromStream(TStream& s) {
    std::string user = ReadString(s);
    FHost = ReadString(s);
    FUser = std::move(user);
}

void RegisterServerClass(const std::type_info& type, TServerFactory factory) {
    auto& classes = ServerClasses();
    const std::type_index index(type);
    if (std::none_of(classes.begin(), classes.end(),
                     [&](const TServerClass& c) { return c.Type == index; }))
        classes.push_back({index, factory});
}

int GetId(const TRSyncServer& server) {
    const auto& classes = ServerClasses();
    const std::type_index index(typeid(server));
    for (std::size_t i = 0; i < classes.size(); ++i)
        if (classes[i].Type == index)
            return static_cast<int>(i);
    return -1;
}

TServerFactory GetClass(int id) {
    const auto& classes = ServerClasses();
    if (id < 0 || static_cast<std::size_t>(id) >= classes.size())
        throw EListError(id);
    return classes[static_cast<std::size_t>(id)].Factory;
}

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

TRSyncProfileGroup::TRSyncProfileGroup(TRSync* sync, std::string name, bool isRestore)
    : FSync(sync), FName(std::move(name)), FIsRestore(isRestore) {
    if (FSync)
        FSync->AddGroup(this);
}

TRSyncProfileGroup::~TRSyncProfileGroup() {
    if (FSync)
        FSync->RemoveGroup(this);
}

std::string TRSyncProfileGroup::Name() const {
    TLock lock = LockOf(FSync);
    return FName;
}

void TRSyncProfileGroup::SetName(std::string name) {
    TLock lock = LockOf(FSync);
    FName = std::move(name);
}

bool TRSyncProfileGroup::IsRestore() const {
    TLock lock = LockOf(FSync);
    return FIsRestore;
}

void TRSyncProfileGroup::SetIsRestore(bool value) {
    TLock lock = LockOf(FSync);
    FIsRestore = value;
}

int TRSyncProfileGroup::Count() const {
    TLock lock = LockOf(FSync);
    return static_cast<int>(FProfiles.size());
}

TRSyncProfile* TRSyncProfileGroup::Profiles(int index) const {
    TLock lock = LockOf(FSync);
    if (index < 0 || static_cast<std::size_t>(index) >= FProfiles.size())
        throw EListError(index);
    return FProfiles[static_cast<std::size_t>(index)];
}

std::vector<TRSyncProfile*> TRSyncProfileGroup::Members() const {
    TLock lock = LockOf(FSync);
    return FProfiles;
}

void TRSyncProfileGroup::Add(TRSyncProfile* profile) {
    if (!FSync || !profile)
        return;
    TLock lock(FSync->Mutex());
    // A profile taken out of the list keeps its owner; as a member it would be
    // saved as a position the loader refuses.
    if (profile->Sync() != FSync || FSync->IndexOfProfile(profile) < 0)
        return;
    if (std::find(FProfiles.begin(), FProfiles.end(), profile) == FProfiles.end())
        FProfiles.push_back(profile);
}

void TRSyncProfileGroup::Remove(TRSyncProfile* profile) {
    if (!FSync || !profile)
        return;
    TLock lock(FSync->Mutex());
    // By address first: a profile being destroyed must not be asked anything.
    auto it = std::find(FProfiles.begin(), FProfiles.end(), profile);
    if (it != FProfiles.end())
        FProfiles.erase(it);
}

bool TRSyncProfileGroup::Contained(const TRSyncProfile* profile) const {
    if (!FSync || !profile)
        return false;
    TLock lock(FSync->Mutex());
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
        for (;;) {
            FSync->WaitUntilIdle();
            if (!Contained(profile) || FSync->Closing())
                break;
            const auto before = FSync->ProcessRef();
            if (restore)
                profile->Restore();
            else
                profile->Backup();
            // Refused only because the schedule thread started a run in between:
            // wait for that one too and try again.
            const auto after = FSync->ProcessRef();
            if (after != before || !after || !after->Running())
                break;
        }
        FSync->WaitForProcess();
    }
}

void TRSyncProfileGroup::SaveToStream(TStream& s) const {
    TLock lock = LockOf(FSync);
    // Only members that are in the list: a position of -1 would make the loader
    // refuse the whole file.
    std::vector<std::int32_t> positions;
    for (const TRSyncProfile* profile : FProfiles)
        if (const int position = FSync ? FSync->IndexOfProfile(profile) : -1; position >= 0)
            positions.push_back(position);
    WriteString(s, FName);
    WriteInt32(s, static_cast<std::int32_t>(positions.size()));
    for (const std::int32_t position : positions)
        WriteInt32(s, position);
}

void TRSyncProfileGroup::LoadFromStream(TStream& s) {
    TLock lock = LockOf(FSync);
    FName = ReadString(s);
    SettleRestoreFromName(FName, FIsRestore);
    const std::int32_t count = ReadCount(s, "group member");
    // Add's own test for a member is a search; a long damaged list of repeats
    // must not make loading quadratic.
    std::unordered_set<const TRSyncProfile*> members(FProfiles.begin(), FProfiles.end());
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t position = ReadInt32(s);
        if (!FSync)
            throw EListError(position);
        TRSyncProfile* profile = FSync->GetProfile(position);
        if (profile->Sync() == FSync && members.insert(profile).second)
            FProfiles.push_back(profile);
    }
}

void TRSyncProfileGroup::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, TFileMode::fmCreate);
    SaveToStream(file);
    file.Close();
}

void TRSyncProfileGroup::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    LoadFromStream(file);
}

// ---- profiles ----

TRSyncProfile::TRSyncProfile(TRSync* sync, std::string name) {
    // Held until the event is inactive and linked: the schedule thread must not see
    // it active and due, nor fire a half-built profile.
    TLock lock = LockOf(sync);
    if (sync)
        sync->AddProfile(this);
    FEvent =
        std::make_unique<TRSyncEvent>(sync ? &sync->Schedule() : nullptr, Now(), std::move(name));
    FEvent->SetActive(false);
    FEvent->Profile = this;
}

TRSyncProfile::~TRSyncProfile() {
    // The schedule thread may be firing this profile's event, using the event and
    // the profile: take the event out of the schedule, then let that firing end
    // before anything it uses goes. Taken out, the event cannot start firing anew.
    if (FEvent) {
        if (TSchedule* schedule = FEvent->Schedule()) {
            schedule->RemoveEvent(FEvent.get());
            WaitHandlingSentMessages([&] { return !schedule->Firing(FEvent.get()); });
        }
    }
    TLock lock = Lock();
    FEvent.reset();
    if (FSync)
        FSync->RemoveProfile(this);
}

std::unique_lock<std::recursive_mutex> TRSyncProfile::Lock() const {
    return LockOf(FSync);
}

TCommonSourceSet TRSyncProfile::CommonSources() const {
    TLock lock = Lock();
    return FCommonSources;
}

void TRSyncProfile::SetCommonSources(TCommonSourceSet value) {
    TLock lock = Lock();
    FCommonSources = value;
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
    TLock lock = Lock();
    return FPaths;
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
    TLock lock = Lock();
    return FProfileEvent;
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
    TFileStream file(fileName, TFileMode::fmCreate);
    SaveToStream(file);
    file.Close();
}

void TRSyncProfile::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    LoadFromStream(file);
}

// ---- the root ----

TRSync::TRSync()
    : FServer(std::make_unique<TLocalHost>("C:\\Kalvaren Backup")),
      FSchedule(std::make_unique<TRSyncSchedule>()) {}

TRSync::~TRSync() {
    Close();
    // The events belong to the profiles, which free them. The schedule, now
    // idle, lives on until the end because its mutex guards the lists below.
    FSchedule->SetOwnsEvents(false);
    std::vector<TRSyncProfile*> profiles;
    profiles.swap(FProfiles);
    for (TRSyncProfile* profile : profiles) {
        profile->FSync = nullptr; // so it does not call back into the lists
        delete profile;
    }
    while (!FGroups.empty())
        delete FGroups.back();
    FSchedule.reset();
}

std::uint32_t TRSync::Flags() const {
    return GetGuarded(*this, FFlags);
}
void TRSync::SetFlags(std::uint32_t value) {
    SetGuarded(*this, FFlags, value);
}
std::uint16_t TRSync::Port() const {
    return GetGuarded(*this, FPort);
}
void TRSync::SetPort(std::uint16_t value) {
    SetGuarded(*this, FPort, value == 0 ? DefaultPort : value);
}
std::uint16_t TRSync::Bandwidth() const {
    return GetGuarded(*this, FBandwidth);
}
void TRSync::SetBandwidth(std::uint16_t value) {
    SetGuarded(*this, FBandwidth, value);
}
std::string TRSync::LogFile() const {
    return GetGuarded(*this, FLogFile);
}
void TRSync::SetLogFile(std::string value) {
    SetGuarded(*this, FLogFile, std::move(value));
}
std::string TRSync::LogFormat() const {
    return GetGuarded(*this, FLogFormat);
}
void TRSync::SetLogFormat(std::string value) {
    SetGuarded(*this, FLogFormat, std::move(value));
}
std::string TRSync::OutputFormat() const {
    return GetGuarded(*this, FOutputFormat);
}
void TRSync::SetOutputFormat(std::string value) {
    SetGuarded(*this, FOutputFormat, std::move(value));
}
std::string TRSync::PasswordFile() const {
    return GetGuarded(*this, FPasswordFile);
}
void TRSync::SetPasswordFile(std::string value) {
    SetGuarded(*this, FPasswordFile, std::move(value));
}
std::string TRSync::Module() const {
    return GetGuarded(*this, FModule);
}
void TRSync::SetModule(std::string value) {
    SetGuarded(*this, FModule, std::move(value));
}
std::string TRSync::RSyncLocation() const {
    return GetGuarded(*this, FRSyncLocation);
}
void TRSync::SetRSyncLocation(std::string value) {
    SetGuarded(*this, FRSyncLocation, std::move(value));
}
IProcessOutput* TRSync::OutputHandle() const {
    return GetGuarded(*this, FOutputHandle);
}
void TRSync::SetOutputHandle(IProcessOutput* value) {
    SetGuarded(*this, FOutputHandle, value);
}
std::int32_t TRSync::OutputAutoCloseDelay() const {
    return GetGuarded(*this, FOutputAutoCloseDelay);
}
void TRSync::SetOutputAutoCloseDelay(std::int32_t value) {
    SetGuarded(*this, FOutputAutoCloseDelay, value);
}
std::string TRSync::EmailRecipient() const {
    return GetGuarded(*this, FEmailRecipient);
}
void TRSync::SetEmailRecipient(std::string value) {
    SetGuarded(*this, FEmailRecipient, std::move(value));
}
std::string TRSync::EmailFrom() const {
    return GetGuarded(*this, FEmailFrom);
}
void TRSync::SetEmailFrom(std::string value) {
    SetGuarded(*this, FEmailFrom, std::move(value));
}
std::string TRSync::EmailServer() const {
    return GetGuarded(*this, FEmailServer);
}
void TRSync::SetEmailServer(std::string value) {
    SetGuarded(*this, FEmailServer, std::move(value));
}
std::string TRSync::EmailPassword() const {
    return GetGuarded(*this, FEmailPassword);
}
void TRSync::SetEmailPassword(std::string value) {
    SetGuarded(*this, FEmailPassword, std::move(value));
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
    return FProfiles[static_cast<std::size_t>(index)];
}

std::vector<TRSyncProfile*> TRSync::ProfileList() const {
    TLock lock(Mutex());
    return FProfiles;
}

int TRSync::IndexOfProfile(const TRSyncProfile* profile) const {
    TLock lock(Mutex());
    auto it = std::find(FProfiles.begin(), FProfiles.end(), profile);
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
    return FGroups[static_cast<std::size_t>(index)];
}

void TRSync::AddProfile(TRSyncProfile* profile) {
    if (!profile || profile->FSync == this)
        return;
    if (profile->FSync)
        profile->FSync->RemoveProfile(profile);
    TLock lock(Mutex());
    FProfiles.push_back(profile);
    profile->FSync = this;
    // Its event follows it, so the profile stays in step with this schedule.
    if (profile->FEvent && profile->FEvent->Schedule() != FSchedule.get())
        FSchedule->AddEvent(profile->FEvent.get());
}

void TRSync::RemoveProfile(TRSyncProfile* profile) {
    TLock lock(Mutex());
    auto it = std::find(FProfiles.begin(), FProfiles.end(), profile);
    if (it == FProfiles.end())
        return;
    FProfiles.erase(it);
    RemoveFromGroups(profile);
}

void TRSync::RemoveFromGroups(TRSyncProfile* profile) {
    TLock lock(Mutex());
    for (TRSyncProfileGroup* group : FGroups)
        group->Remove(profile);
}

void TRSync::AddGroup(TRSyncProfileGroup* group) {
    if (!group)
        return;
    TLock lock(Mutex());
    // Only a group's constructor calls this, once per group.
    FGroups.push_back(group);
}

void TRSync::RemoveGroup(TRSyncProfileGroup* group) {
    TLock lock(Mutex());
    // From the back: the root frees its groups last first.
    auto it = std::find(FGroups.rbegin(), FGroups.rend(), group);
    if (it != FGroups.rend())
        FGroups.erase(std::next(it).base());
}

TRSyncProfileGroup* TRSync::FindGroupByName(std::string_view name) const {
    TLock lock(Mutex());
    for (TRSyncProfileGroup* group : FGroups)
        if (group->Name() == name)
            return group;
    return nullptr;
}

void TRSync::ReorderProfiles() {
    TLock lock(Mutex());
    std::unordered_set<const TRSyncProfile*> ours(FProfiles.begin(), FProfiles.end());
    std::vector<TRSyncProfile*> ordered;
    ordered.reserve(FProfiles.size());
    for (TEvent* event : FSchedule->EventList()) {
        auto* own = dynamic_cast<TRSyncEvent*>(event);
        if (own && own->Profile && ours.erase(own->Profile))
            ordered.push_back(own->Profile);
    }
    for (TRSyncProfile* profile : FProfiles)
        if (ours.count(profile))
            ordered.push_back(profile);
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

void TRSync::TerminateProcess() {
    if (auto process = ProcessRef())
        process->Terminate();
}

void TRSync::WaitForProcess() {
    if (auto process = ProcessRef())
        process->WaitFor();
}

void TRSync::LoadFromStream(TStream& s) {
    // The whole load under the lock: the schedule thread must not scan events that
    // are still being filled in.
    TLock lock(Mutex());
    FFlags = ReadUInt32(s);
    FPort = ReadUInt16(s);
    FBandwidth = ReadUInt16(s);
    FOutputAutoCloseDelay = ReadInt32(s);
    FLogFile = ReadString(s);
    FLogFormat = ReadString(s);
    FOutputFormat = ReadString(s);
    FPasswordFile = ReadString(s);
    std::unique_ptr<TRSyncServer> server = GetClass(ReadInt32(s))();
    server->LoadFromStream(s);
    FServer = std::move(server);
    FModule = ReadString(s);
    FRSyncLocation = ReadString(s);
    FEmailRecipient = ReadString(s);
    FEmailFrom = ReadString(s);
    FEmailServer = ReadString(s);
    FEmailPassword = ReadString(s);

    struct TSortAtEnd {
        TSchedule& Schedule;
        // Also after a failure, so the scan's early stop holds for what was read.
        ~TSortAtEnd() { Schedule.SortEvents(); }
    } sortAtEnd{*FSchedule};

    const std::int32_t profiles = ReadLimitedCount(s, "profile", MaxProfiles);
    for (std::int32_t i = 0; i < profiles; ++i)
        (new TRSyncProfile(this, ""))->LoadFromStream(s);
    const std::int32_t groups = ReadLimitedCount(s, "group", MaxGroups);
    for (std::int32_t i = 0; i < groups; ++i)
        (new TRSyncProfileGroup(this, "", false))->LoadFromStream(s);
}

void TRSync::SaveToStream(TStream& s) const {
    TLock lock(Mutex());
    WriteUInt32(s, FFlags);
    WriteUInt16(s, FPort);
    WriteUInt16(s, FBandwidth);
    WriteInt32(s, FOutputAutoCloseDelay);
    WriteString(s, FLogFile);
    WriteString(s, FLogFormat);
    WriteString(s, FOutputFormat);
    WriteString(s, FPasswordFile);
    const int id = GetId(*FServer);
    if (id < 0)
        throw EWriteError("The destination's class is not registered");
    WriteInt32(s, id);
    FServer->SaveToStream(s);
    WriteString(s, FModule);
    WriteString(s, FRSyncLocation);
    WriteString(s, FEmailRecipient);
    WriteString(s, FEmailFrom);
    WriteString(s, FEmailServer);
    WriteString(s, FEmailPassword);
    WriteInt32(s, static_cast<std::int32_t>(FProfiles.size()));
    for (const TRSyncProfile* profile : FProfiles)
        profile->SaveToStream(s);
    WriteInt32(s, static_cast<std::int32_t>(FGroups.size()));
    for (const TRSyncProfileGroup* group : FGroups)
        group->SaveToStream(s);
}

void TRSync::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, TFileMode::fmCreate);
    SaveToStream(file);
    file.Close();
}

void TRSync::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    LoadFromStream(file);
}

} // namespace kal
