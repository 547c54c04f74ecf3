// rsync command lines, transfer runs, and the firing of scheduled profiles.
#include "URSyncTransfer.h"

#include "UItemNames.h"
#include "URSyncProcess.h"
#include "UScoped.h"
#include "UVersions.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <exception>
#include <mutex>
#include <thread>

namespace kal {

namespace {

constexpr char Q = '"';
constexpr std::uint32_t VerboseBit = 1u << 0;
constexpr std::uint32_t DeleteBit = TRSync::DeleteBit;
constexpr std::uint32_t VersionsBit = TRSync::KeepVersionsBit;
constexpr std::uint32_t ProgressBit = 1u << 10;
constexpr std::uint32_t HumanBit = 1u << 11;
constexpr std::uint32_t CompressBit = 1u << 31;

std::string WithTrailingSlash(const std::string& path) {
    return !path.empty() && path.back() == '/' ? path : path + "/";
}

// An item's place in the account. A name that begins with "-" would reach a
// daemon bare and be read as one of its options; "./" keeps it a name.
std::string RemoteItem(const std::string& account, const std::string& name) {
    return account + (name.starts_with('-') ? "./" : "/") + name;
}

// A profile path or a chosen folder as rsync names the folder (or file) itself.
std::string RSyncPathOf(std::string_view path) {
    return ToRSyncPath(WithoutTrailingSeparators(path));
}

// The account on the destination, ending in "/".
std::string AccountAddress(const TRSync& sync) {
    return sync.Server()->GetDestination() + sync.Module() + "/";
}

// The profile's well-known folders that exist here and keep a name of their own,
// in ordinal order.
template <typename F>
void ForEachCommonSource(const TRSyncProfile& profile, const TNameRefusals& refused, F&& each) {
    const TCommonSourceSet sources = profile.CommonSources();
    for (int s = csDesktop; s < CommonSourceCount; ++s) {
        const auto source = static_cast<TCommonSource>(s);
        if (!sources.Contains(source) || refused.Sources.Contains(source))
            continue;
        const std::string path = profile.GetCommonSourcePath(source);
        if (!path.empty())
            each(source, path);
    }
}

// Items of a profile's operation, built under the configuration lock from the
// account address and which items have no place of their own (a flag per path);
// none when the profile has nothing to transfer. The lines saying which items were
// left out go to `refusals`.
template <typename F>
std::vector<std::string> ProfileItems(const TRSyncProfile& profile,
                                      std::vector<std::string>* refusals, F&& build) {
    TRSync* sync = profile.Sync();
    if (!sync)
        return {};
    std::lock_guard lock(sync->Mutex());
    if (profile.CommonSources().Empty() && profile.PathCount() == 0)
        return {};
    TNameRefusals refused = RefusedItems(profile);
    if (refusals)
        *refusals = std::move(refused.Lines);
    return build(AccountAddress(*sync), refused);
}

// While the schedule fires a batch on this thread, the runs it starts keep the
// terminal open, except the last one. Kept beside the setting rather than in it, so
// a save of the configuration during the batch never stores the stand-in value.
thread_local const int* tBatchAutoCloseDelay = nullptr;
// While a firing retries an occurrence whose failure was already mailed.
thread_local bool tQuietErrorReport = false;

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

std::string ToRSyncPath(std::string_view path) {
    if (IsDriveLetter(path))
        return "/cygdrive/" + std::string(1, path[0]);
    std::string converted = ToCygwinPath(path, true);
    if (converted.starts_with("//"))
        return converted;
    return "/cygdrive/" + converted;
}

bool IsPlainArgument(std::string_view text) {
    if (text.empty() || text.front() == '~' || text.front() == '@')
        return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= ' ' || u == 0x7F ||
               std::string_view("\"'*?[]{}").find(c) != std::string_view::npos;
    });
}

std::string QuotedArgument(std::string_view text) {
    std::string quoted(1, Q);
    std::size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled, and the
        // quote itself escaped.
        if (c == Q)
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += Q;
    return quoted;
}

std::string RSyncArgument(std::string_view text) {
    return IsPlainArgument(text) ? std::string(text) : QuotedArgument(text);
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
    // Deletions wait for the transfer when they become versions: deleting and
    // updating at once race to create the same version folders.
    if (bits & DeleteBit)
        options += (bits & VersionsBit) ? "--delete-delay " : "--delete ";
    if (bits & ProgressBit)
        options += "--progress ";
    if (Bandwidth() > 0)
        options += "--bwlimit=" + std::to_string(Bandwidth()) + " ";
    options += AccessOptions();
    if (!OutputFormat().empty())
        options += "--out-format=" + QuotedArgument(OutputFormat()) + " ";
    if (!LogFile().empty()) {
        options += "--log-file=" + QuotedArgument(LogFile()) + " ";
        if (!LogFormat().empty())
            options += "--log-file-format=" + QuotedArgument(LogFormat()) + " ";
    }
    if (bits & CompressBit)
        options += "--compress ";
    return options;
}

std::string TRSync::AccessOptions() const {
    std::string options;
    const std::string passwordFile = PasswordFile();
    if (!passwordFile.empty() && FileExists(passwordFile))
        options += "--password-file=" + QuotedArgument(ToCygwinPath(passwordFile, false)) + " ";
    if (Port() != TRSync::DefaultPort)
        options += "--port=" + std::to_string(Port()) + " ";
    return options;
}

namespace {

// The whole output of a run that nobody watches.
class TCollectedOutput final : public IProcessOutput {
public:
    std::string Text, Errors;
    void Output(char* text, std::size_t length) override { Text.append(text, length); }
    void Error(char* text, std::size_t length) override { Errors.append(text, length); }
    void Finished() override {}
};

} // namespace

bool TRSync::ListVersions(std::vector<TVersion>& versions, std::string& error) const {
    versions.clear();
    error.clear();
    std::string commandLine;
    {
        std::lock_guard lock(Mutex());
        if (!Server()->Prepare()) {
            error = Server()->PrepareFailure();
            return false;
        }
        commandLine = RSyncProgramArgument(RSyncLocation()) +
                      " --list-only --recursive --timeout=60 " + VersionListingRules + " " +
                      AccessOptions() +
                      QuotedArgument(AccountAddress(*this) + std::string(VersionsFolder) + "/");
    }
    // The window waits for it: a stalled connection gives up after a minute.
    TCollectedOutput output;
    TSerialProcess listing;
    listing.SetOutputHandle(&output);
    const std::vector<std::string> items{commandLine};
    listing.RunProcessesAndWait(&items);
    const TChildExit exit = listing.ChildExit();
    versions = VersionsInListing(output.Text);
    if (listing.StartFailed() || !exit.Known || exit.Code != 0) {
        // An account that never kept a version has no folder of them.
        if (output.Errors.find("No such file or directory") != std::string::npos)
            return true;
        bool warning = false;
        error = listing.FirstError();
        if (error.empty())
            error = RSyncExitLine(exit, warning);
        return false;
    }
    return true;
}

bool TRSync::RunTransfer(const std::vector<std::string>& items, std::uint32_t forceOff,
                         std::uint32_t forceOn, std::string label,
                         const std::vector<std::string>& refusals) {
    // The window thread and the schedule thread both start runs: the test for a run
    // in progress and the replacement of the runner happen as one step.
    std::shared_ptr<TRSyncProcess> previous;
    std::lock_guard lock(Mutex());
    if (FClosing)
        return false;
    previous = ProcessRef();
    if (previous && previous->Running())
        return false;
    const std::string options = BuildOptions((Flags() | forceOn) & ~forceOff);
    const int autoCloseDelay =
        tBatchAutoCloseDelay ? *tBatchAutoCloseDelay : OutputAutoCloseDelay();
    auto process = std::make_shared<TRSyncProcess>(this, options, OutputHandle(), autoCloseDelay);
    process->SetLabel(std::move(label));
    process->SetErrorReportAllowed(!tQuietErrorReport);
    // A missing destination (a disk not plugged in) must be as loud as a failed
    // transfer: the run shows why and reports Error.
    if (!Server()->Prepare())
        process->SetPreparationFailure(Server()->PrepareFailure());
    process->SetRefusals(refusals);
    SetProcess(process);
    process->RunProcesses(&items);
    return true;
}

std::vector<std::string> BackupItems(const TRSyncProfile& profile,
                                     std::vector<std::string>* refusals,
                                     const std::string& versionStamp) {
    return ProfileItems(profile, refusals, [&](const std::string& target, const auto& refused) {
        const TRSync& sync = *profile.Sync();
        const std::string skipList = sync.SkipListFile();
        const std::string skip =
            SkipListInUse(skipList)
                ? "--exclude-from=" + QuotedArgument(ToCygwinPath(skipList, false)) + " "
                : std::string();
        // What an item overwrites or deletes goes under the run's stamp, at the place
        // the item has in the account, so every version of a run lies in one folder.
        const auto options = [&](const std::string& place) {
            if (versionStamp.empty())
                return skip;
            const std::string folder = std::string(VersionsFolder) + "/" + versionStamp;
            return skip + "--backup --backup-dir=" +
                   RSyncArgument(place.empty() ? folder
                                               : sync.Server()->ReceiverPath(sync.Module()) +
                                                     folder + "/" + place) +
                   " ";
        };
        std::string sources;
        std::vector<std::string> driveRoots;
        const std::vector<std::string> paths = profile.PathList();
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::string& path = paths[i];
            // An empty path (a picker choice without one, stored by older versions)
            // would stand for every drive.
            if (path.empty() || refused.Paths[i])
                continue;
            // A drive root's contents go into a folder named after its letter, one item
            // each: sent with the other paths they would land in the account itself,
            // where --delete would remove every other backup.
            if (IsDriveRoot(path)) {
                driveRoots.push_back(options(ItemName(path)) +
                                     QuotedArgument(RSyncPathOf(path) + "/") + " " +
                                     QuotedArgument(target + ItemName(path) + "/"));
                continue;
            }
            if (!sources.empty())
                sources += ' ';
            sources += RSyncArgument(RSyncPathOf(path));
        }
        std::vector<std::string> items;
        if (!sources.empty() || driveRoots.empty())
            items.push_back(options({}) + sources + " " + QuotedArgument(target));
        items.insert(items.end(), driveRoots.begin(), driveRoots.end());
        ForEachCommonSource(profile, refused, [&](TCommonSource source, const std::string& path) {
            // The folder's contents go into its own folder on the destination, where
            // Restore fetches them from; without the slash rsync would nest the folder
            // one level deeper and a restore would bring it back in the wrong place.
            const std::string name = TRSyncProfile::GetCommonSourceName(source);
            items.push_back(options(name) + QuotedArgument(WithTrailingSlash(path)) + " " +
                            QuotedArgument(target + name));
        });
        return items;
    });
}

std::vector<std::string> RestoreItems(const TRSyncProfile& profile,
                                      std::vector<std::string>* refusals,
                                      std::vector<std::string>* places, const TVersion* version) {
    return ProfileItems(profile, refusals, [&](const std::string& account, const auto& refused) {
        const std::string remote =
            version ? account + std::string(VersionsFolder) + "/" + version->Stamp + "/" : account;
        // A run keeps nothing of an item it left alone: there is nothing to fetch.
        const auto kept = [&](std::string name) {
            if (!version)
                return true;
            if (name.ends_with('/'))
                name.pop_back();
            return std::find(version->Names.begin(), version->Names.end(), name) !=
                   version->Names.end();
        };
        std::vector<std::string> items;
        const std::vector<std::string> paths = profile.PathList();
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::string& path = paths[i];
            if (path.empty() || refused.Paths[i])
                continue;
            const std::string name = ItemName(path);
            if (!kept(name))
                continue;
            const std::string parent = ItemParent(path);
            if (parent.empty() || ShellFolders().FolderExists(path)) {
                items.push_back(QuotedArgument(RemoteItem(remote, name) + "/") + " " +
                                QuotedArgument(RSyncPathOf(path) + "/"));
            } else {
                // A file, or whatever is gone (the usual reason to restore), is fetched
                // into its folder: the folder form would fail on a file and could leave
                // an empty folder in its place.
                items.push_back(QuotedArgument(RemoteItem(remote, name)) + " " +
                                QuotedArgument(RSyncPathOf(parent) + "/"));
                if (places)
                    places->push_back(parent);
            }
        }
        ForEachCommonSource(profile, refused, [&](TCommonSource source, const std::string& path) {
            const std::string name = TRSyncProfile::GetCommonSourceName(source);
            if (kept(name))
                items.push_back(QuotedArgument(remote + name) + " " + QuotedArgument(path));
        });
        return items;
    });
}

namespace {

// The contents of an empty folder, mirrored with --delete, remove what they are
// mirrored onto. The slash matters: the folder itself would only be added beside
// what is there.
std::string EmptyFolderContents() {
    const std::string temp = ExecutableFolder() + "\\Temp";
    if (!DirectoryExists(temp))
        CreateSingleDirectory(temp);
    return QuotedArgument(ToRSyncPath(temp) + "/");
}

} // namespace

std::string RemoveBackupItem(const TRSync& sync) {
    return EmptyFolderContents() + " " + QuotedArgument(AccountAddress(sync));
}

std::string VersionRetentionItem(const TRSync& sync, TDateTime now) {
    // Only stamp folders older than the cutoff are open to deletion; everything
    // else in the folder of versions, and everything outside it, is excluded.
    std::string item = "--recursive --delete ";
    const std::string cutoff = VersionStamp(now - sync.KeepVersionDays());
    for (const std::string& pattern : StampPatternsBefore(cutoff))
        item += RSyncArgument("--include=" + pattern + "/***") + " ";
    return item + RSyncArgument("--exclude=*") + " " + EmptyFolderContents() + " " +
           QuotedArgument(AccountAddress(sync) + std::string(VersionsFolder) + "/");
}

std::string EmergancyRecoveryItem(const TRSync& sync, const std::string& folder) {
    // The account's earlier versions are the destination's, never the user's files.
    return "--exclude=/" + std::string(VersionsFolder) + "/ " +
           QuotedArgument(AccountAddress(sync)) + " " + QuotedArgument(RSyncPathOf(folder) + "/");
}

void TRSync::EmergancyRecovery(const std::string& folder) {
    // A choice without a path (a virtual folder of the picker) names no place at all.
    if (folder.empty())
        return;
    // A folder typed or gone since it was picked is made, as rsync makes only the last level.
    ShellFolders().CreateFolders(folder);
    // Recovery never deletes, whatever the options say.
    RunTransfer({EmergancyRecoveryItem(*this, folder)}, DeleteBit | VersionsBit, 0,
                "Emergancy Recovery");
}

void TRSyncProfile::Backup() {
    TRSync* sync = Sync();
    if (!sync)
        return;
    const TDateTime now = Now();
    const bool versions = sync->Flags() & VersionsBit;
    std::vector<std::string> refusals;
    auto items = BackupItems(*this, &refusals, versions ? VersionStamp(now) : std::string());
    if (items.empty())
        return;
    if (versions && sync->KeepVersionDays() > 0)
        items.push_back(VersionRetentionItem(*sync, now));
    sync->RunTransfer(items, 0, 0, Name(), refusals);
}

void TRSyncProfile::Restore() {
    RestoreEarlierVersion({});
}

void TRSyncProfile::RestoreEarlierVersion(const std::vector<TVersion>& versions) {
    std::vector<std::string> refusals, places;
    auto items = RestoreItems(*this, &refusals, &places);
    if (items.empty() && refusals.empty())
        return;
    // The versions of each later run laid over the current backup, newest first: a
    // file comes back as the oldest of them kept it.
    for (const TVersion& version : versions) {
        const auto layer = RestoreItems(*this, nullptr, nullptr, &version);
        items.insert(items.end(), layer.begin(), layer.end());
    }
    // Onto a new disk: rsync makes only the last folder of a place, and older
    // Windows builds of it cannot be asked for more.
    for (const std::string& place : places)
        ShellFolders().CreateFolders(place);
    // Laid over each other, the layers must not delete what an earlier one brought.
    Sync()->RunTransfer(items, VersionsBit | (versions.empty() ? 0 : DeleteBit), 0, Name(),
                        refusals);
}

void TRSyncProfile::RemoveBackup() {
    if (Sync())
        Sync()->RunTransfer({RemoveBackupItem(*Sync())}, VersionsBit, DeleteBit);
}

void TRSyncEvent::Fire() {
    FFiring = {};
    TRSyncProfile* profile = Profile;
    TRSync* sync = profile ? profile->Sync() : nullptr;
    if (!sync)
        return;
    const TDateTime due = FFiring.Due = DateTime();
    const bool quiet = FErrorMailedFor == due;
    try {
        // Waiting and starting are one step, and the schedule is read again once the
        // wait is over: an edit made meanwhile (Manual, a new time) is what counts.
        bool edited = false;
        const auto run = sync->StartWhenIdle([&] {
            edited = !Schedule() || !Active() || DateTime() != due;
            if (edited)
                return;
            tQuietErrorReport = quiet;
            const scope_exit loud([] { tQuietErrorReport = false; });
            profile->Backup();
            // Nothing to back up is done as well.
            FFiring.Done = true;
        });
        FFiring.Edited = edited;
        if (!run) {
            FFiring.Done = FFiring.Done && !sync->Closing();
            return;
        }
        // The occurrence counts as done only once its run has really ended. A profile
        // deleted meanwhile (its event out of the schedule) is let go at once: the
        // window thread waits for this firing.
        while (run->Running() && Schedule())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!Schedule())
            return;
        run->WaitFor();
        FFiring.Done = run->Outcome() == TRunOutcome::Completed;
        if (run->ErrorReported())
            FErrorMailedFor = due;
    } catch (const std::exception& e) {
        // Nobody waits on the schedule thread for this; the window still hears of it.
        ReportScheduleFailure(*this, e.what());
    } catch (...) {
        ReportScheduleFailure(*this, "Scheduled backup failed.");
    }
}

void TRSyncEvent::Trigger() {
    Fire();
    // A profile deleted during the firing keeps no schedule to decide on.
    if (TRSyncProfile* profile = Schedule() ? Profile : nullptr) {
        std::lock_guard lock(profile->Sync()->Mutex());
        // An edit made during the wait or the run stands as the user left it.
        if (!FFiring.Edited && Active() && DateTime() == FFiring.Due) {
            if (FFiring.Done) {
                if (profile->ProfileEvent() == reOnce)
                    profile->StoreProfileEvent(reInactive);
                SkipPast(Now(), FFiring.Due);
            } else {
                // Refused, not started or interrupted: still due, tried again later
                // and at the next start.
                DeferUntil(Now() + RetryDelay);
            }
        }
    }
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
