// rsync command lines, transfer runs, and the firing of scheduled profiles.
#include "URSyncTransfer.h"

#include "URSyncProcess.h"

#include <algorithm>
#include <exception>
#include <mutex>

namespace kal {

namespace {

constexpr char Q = '"';
constexpr std::uint32_t VerboseBit = 1u << 0;
constexpr std::uint32_t DeleteBit = 1u << 9;
constexpr std::uint32_t ProgressBit = 1u << 10;
constexpr std::uint32_t HumanBit = 1u << 11;
constexpr std::uint32_t CompressBit = 1u << 31;

// A local Windows path in rsync's form. Network paths (\\server\share) already
// are rsync paths once their separators are turned.
std::string LocalRSyncPath(std::string_view path) {
    std::string converted = ToCygwinPath(path, true);
    if (converted.size() >= 2 && converted.compare(0, 2, "//") == 0)
        return converted;
    return "/cygdrive/" + converted;
}

std::string WithTrailingSlash(const std::string& path) {
    return !path.empty() && path.back() == '/' ? path : path + "/";
}

std::string Quoted(std::string_view text) {
    return Q + std::string(text) + Q;
}

// Bare when rsync's command-line parser would take it as one argument anyway.
std::string SourceArgument(const std::string& source) {
    const bool needsQuotes = std::any_of(source.begin(), source.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == ' ' || u < 0x20 || u == 0x7F || c == Q;
    });
    if (!needsQuotes)
        return source;
    std::string quoted(1, Q);
    for (char c : source) {
        if (c == Q)
            quoted += Q;
        quoted += c;
    }
    quoted += Q;
    return quoted;
}

// The text after the last "\" or ":".
std::string LastComponent(const std::string& path) {
    const auto pos = path.find_last_of("\\:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

// The account on the destination, ending in "/".
std::string AccountAddress(const TRSync& sync) {
    return sync.Server()->GetDestination() + sync.Module() + "/";
}

// The profile's well-known folders that exist here, in ordinal order.
template <typename F> void ForEachCommonSource(const TRSyncProfile& profile, F&& each) {
    const TCommonSourceSet sources = profile.CommonSources();
    for (int s = csDesktop; s < CommonSourceCount; ++s) {
        const auto source = static_cast<TCommonSource>(s);
        if (!sources.Contains(source))
            continue;
        const std::string path = profile.GetCommonSourcePath(source);
        if (!path.empty())
            each(source, path);
    }
}

// Items of a profile's operation, built under the configuration lock from the
// account address; none when the profile has nothing to transfer.
template <typename F>
std::vector<std::string> ProfileItems(const TRSyncProfile& profile, F&& build) {
    TRSync* sync = profile.Sync();
    if (!sync)
        return {};
    std::lock_guard lock(sync->Mutex());
    if (profile.CommonSources().Empty() && profile.PathCount() == 0)
        return {};
    return build(AccountAddress(*sync));
}

bool IsExistingFile(const std::string& path) {
    return FileExists(path) && !DirectoryExists(path);
}

// While the schedule fires a batch on this thread, the runs it starts keep the
// terminal open, except the last one. Kept beside the setting rather than in it, so
// a save of the configuration during the batch never stores the stand-in value.
thread_local const int* tBatchAutoCloseDelay = nullptr;

// Through the schedule's own error channel, like any failing action.
void ReportScheduleFailure(TEvent& event, const std::string& message) {
    TSchedule* schedule = event.Schedule();
    if (schedule && schedule->OnError)
        schedule->OnError(*schedule, &event, message);
}

} // namespace

std::string ToCygwinPath(std::string_view path, bool driveForm) {
    std::string result;
    result.reserve(path.size());
    if (driveForm) {
        const auto pos = path.find(":\\");
        if (pos != std::string_view::npos) {
            result.append(path.substr(0, pos)).push_back('/');
            path.remove_prefix(pos + 2);
        }
    }
    for (char c : path)
        result.push_back(c == '\\' ? '/' : c);
    return result;
}

std::string TRSync::BuildOptions(std::uint32_t bits) const {
    std::string options = (bits & VerboseBit) ? "-v " : "-q ";
    if (bits & HumanBit)
        options += "-h ";
    if ((bits & ArchiveGroup) == ArchiveGroup) {
        options += "-a ";
    } else {
        static constexpr const char* Pieces[] = {"-r ", "-l ", "-p ",        "-t ",
                                                 "-g ", "-o ", "--devices ", "--specials "};
        for (int bit = 1; bit <= 8; ++bit) {
            if (bits & (1u << bit))
                options += Pieces[bit - 1];
        }
    }
    if (bits & DeleteBit)
        options += "--delete ";
    if (bits & ProgressBit)
        options += "--progress ";
    if (Bandwidth() > 0)
        options += "--bwlimit=" + std::to_string(Bandwidth()) + " ";
    const std::string passwordFile = PasswordFile();
    if (!passwordFile.empty() && FileExists(passwordFile))
        options += "--password-file=" + Quoted(ToCygwinPath(passwordFile, false)) + " ";
    if (Port() != TRSync::DefaultPort)
        options += "--port=" + std::to_string(Port()) + " ";
    if (!OutputFormat().empty())
        options += "--out-format=" + Quoted(OutputFormat()) + " ";
    if (!LogFile().empty()) {
        options += "--log-file=" + Quoted(LogFile()) + " ";
        if (!LogFormat().empty())
            options += "--log-file-format=" + Quoted(LogFormat()) + " ";
    }
    if (bits & CompressBit)
        options += "--compress ";
    return options;
}

void TRSync::RunTransfer(const std::vector<std::string>& items, std::uint32_t forceOff,
                         std::uint32_t forceOn) {
    // The window thread and the schedule thread both start runs: the test for a run
    // in progress and the replacement of the runner happen as one step.
    std::shared_ptr<TRSyncProcess> previous;
    std::lock_guard lock(Mutex());
    if (FClosing || !Server()->Prepare())
        return;
    previous = ProcessRef();
    if (previous && previous->Running())
        return;
    const std::string options = BuildOptions((Flags() | forceOn) & ~forceOff);
    const int autoCloseDelay =
        tBatchAutoCloseDelay ? *tBatchAutoCloseDelay : OutputAutoCloseDelay();
    auto process = std::make_shared<TRSyncProcess>(this, options, OutputHandle(), autoCloseDelay);
    SetProcess(process);
    process->RunProcesses(&items);
}

std::vector<std::string> BackupItems(const TRSyncProfile& profile) {
    return ProfileItems(profile, [&](const std::string& target) {
        std::string sources;
        for (int i = 0; i < profile.PathCount(); ++i) {
            if (i > 0)
                sources += ' ';
            sources += SourceArgument(LocalRSyncPath(profile.Paths(i)));
        }
        std::vector<std::string> items{sources + " " + Quoted(target)};
        ForEachCommonSource(profile, [&](TCommonSource source, const std::string& path) {
            // The folder's contents go into its own folder on the destination, where
            // Restore fetches them from; without the slash rsync would nest the folder
            // one level deeper and a restore would bring it back in the wrong place.
            items.push_back(Quoted(WithTrailingSlash(path)) + " " +
                            Quoted(target + TRSyncProfile::GetCommonSourceName(source)));
        });
        return items;
    });
}

std::vector<std::string> RestoreItems(const TRSyncProfile& profile) {
    return ProfileItems(profile, [&](const std::string& remote) {
        std::vector<std::string> items;
        for (int i = 0; i < profile.PathCount(); ++i) {
            const std::string path = profile.Paths(i);
            const std::string name = LastComponent(path);
            if (IsExistingFile(path)) {
                // A file is fetched into its folder: in the folder form rsync refuses the
                // file and leaves an empty folder of its name in its place.
                const std::string folder = path.substr(0, path.size() - name.size());
                items.push_back(Quoted(remote + "/" + name) + " " + Quoted(LocalRSyncPath(folder)));
            } else {
                items.push_back(Quoted(remote + "/" + name + "/") + " " +
                                Quoted(LocalRSyncPath(path + "/")));
            }
        }
        ForEachCommonSource(profile, [&](TCommonSource source, const std::string& path) {
            items.push_back(Quoted(remote + TRSyncProfile::GetCommonSourceName(source)) + " " +
                            Quoted(path));
        });
        return items;
    });
}

std::string RemoveBackupItem(const TRSync& sync) {
    // The contents of an empty folder mirrored with --delete empty the account. The
    // slash matters: the folder itself would only be added beside what is there.
    const std::string temp = ExecutableFolder() + "\\Temp";
    if (!DirectoryExists(temp))
        CreateSingleDirectory(temp);
    return Quoted("/cygdrive/" + ToCygwinPath(temp, true) + "/") + " " +
           Quoted(AccountAddress(sync));
}

std::string EmergancyRecoveryItem(const TRSync& sync, const std::string& folder) {
    return Quoted(AccountAddress(sync)) + " " +
           Quoted("/cygdrive/" + ToCygwinPath(folder, true) + "/");
}

void TRSync::EmergancyRecovery(const std::string& folder) {
    // Recovery never deletes, whatever the options say.
    RunTransfer({EmergancyRecoveryItem(*this, folder)}, DeleteBit, 0);
}

void TRSyncProfile::Backup() {
    const auto items = BackupItems(*this);
    if (!items.empty())
        Sync()->RunTransfer(items, 0, 0);
}

void TRSyncProfile::Restore() {
    const auto items = RestoreItems(*this);
    if (!items.empty())
        Sync()->RunTransfer(items, 0, 0);
}

void TRSyncProfile::RemoveBackup() {
    if (Sync())
        Sync()->RunTransfer({RemoveBackupItem(*Sync())}, 0, DeleteBit);
}

void TRSyncEvent::Fire() {
    TRSyncProfile* profile = Profile;
    if (!profile)
        return;
    try {
        if (TRSync* sync = profile->Sync())
            sync->WaitUntilIdle();
        profile->Backup();
    } catch (const std::exception& e) {
        // Nobody waits on the schedule thread for this; the event must still move on
        // and the window still hear about the firing.
        ReportScheduleFailure(*this, e.what());
    } catch (...) {
        ReportScheduleFailure(*this, "Scheduled backup failed.");
    }
    if (profile->ProfileEvent() == reOnce)
        profile->StoreProfileEvent(reInactive);
}

void TRSyncEvent::Trigger() {
    TEvent::Trigger();
    if (Profile && Profile->OnScheduledEvent)
        Profile->OnScheduledEvent(*Profile);
}

void TRSyncSchedule::DoEvents(const std::vector<TEvent*>& batch) {
    // Only events still in the schedule are looked at: a profile removed since the
    // batch was collected has freed its event. TriggerEvent passes such events over.
    TRSyncEvent* last = nullptr;
    TRSync* sync = nullptr;
    {
        std::lock_guard lock(Mutex());
        const std::vector<TEvent*> events = EventList();
        for (auto it = batch.rbegin(); it != batch.rend() && !last; ++it)
            if (std::find(events.begin(), events.end(), *it) != events.end())
                last = dynamic_cast<TRSyncEvent*>(*it);
        sync = last && last->Profile ? last->Profile->Sync() : nullptr;
    }
    if (!sync) {
        TSchedule::DoEvents(batch);
        return;
    }
    // Only the last run of the batch closes the terminal, after the configured delay.
    static constexpr int HoldOpen = -1;
    struct Release {
        ~Release() { tBatchAutoCloseDelay = nullptr; }
    } release;
    tBatchAutoCloseDelay = &HoldOpen;
    for (TEvent* event : batch) {
        if (event == last)
            tBatchAutoCloseDelay = nullptr;
        TriggerEvent(*event);
    }
}

} // namespace kal
