// The configuration root: defaults, its record, lists, groups and destinations.
#include "config_testing.h"

#include "UGroupRuns.h"
#include "URSyncProcess.h"
#ifndef _WIN32
#include "output_messages.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

using namespace kal;
using namespace kal::test;

namespace {

void AppendString(Bytes& out, std::string_view text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    out.insert(out.end(), text.begin(), text.end());
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(ConfigRecord, FreshObjectWritesTheDefaultRecord) {
    TRSync sync;
    Bytes expected = {0xFF, 0x09, 0x00, 0x00, 0x69, 0x03, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 4; ++i)
        AppendString(expected, "");
    expected.insert(expected.end(), {0, 0, 0, 0}); // class number: TLocalHost
    AppendString(expected, "C:\\Kalvaren Backup\\");
    AppendString(expected, "");
    AppendString(expected, "Bin\\RSync.exe");
    for (int i = 0; i < 4; ++i)
        AppendString(expected, "");
    expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0, 0}); // no profiles, no groups
    EXPECT_EQ(RecordOf(sync), expected);
}

TEST(ConfigRecord, SaveThenLoadGivesBackEverything) {
    TRSync source;
    Populate(source);
    const Bytes record = RecordOf(source);

    TRSync copy;
    LoadRecord(copy, record);
    EXPECT_EQ(copy.Flags(), 0x80101DFFu);
    EXPECT_EQ(copy.Port(), 2873);
    EXPECT_EQ(copy.Bandwidth(), 512);
    EXPECT_EQ(copy.OutputAutoCloseDelay(), 10);
    EXPECT_EQ(copy.LogFile(), "C:\\Logs\\rsync.log");
    EXPECT_EQ(copy.LogFormat(), "%t %f %b");
    EXPECT_EQ(copy.OutputFormat(), "%n");
    EXPECT_EQ(copy.PasswordFile(), "C:\\Secrets\\pw.txt");
    auto* remote = dynamic_cast<TRemoteHost*>(copy.Server());
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->User(), "alice");
    EXPECT_EQ(remote->Host(), "backup.example");
    EXPECT_EQ(copy.Module(), "alice-module");
    EXPECT_EQ(copy.RSyncLocation(), "D:\\Tools\\rsync.exe");
    EXPECT_EQ(copy.EmailRecipient(), "boss@example.com; me@example.com");
    EXPECT_EQ(copy.EmailFrom(), "me@example.com");
    EXPECT_EQ(copy.EmailServer(), "smtp.example.com");
    EXPECT_EQ(copy.EmailPassword(), "p\xC3\xA4ss word");

    EXPECT_EQ(ProfileNames(copy), ProfileNames(source));
    ASSERT_EQ(copy.ProfileCount(), 3);
    for (int i = 0; i < 3; ++i) {
        const TRSyncProfile& want = *source.GetProfile(i);
        const TRSyncProfile& got = *copy.GetProfile(i);
        SCOPED_TRACE(want.Name());
        EXPECT_EQ(got.PathList(), want.PathList());
        EXPECT_EQ(got.CommonSources(), want.CommonSources());
        EXPECT_EQ(got.ProfileEvent(), want.ProfileEvent());
        EXPECT_EQ(got.DateTime(), want.DateTime());
        EXPECT_EQ(got.Event()->Active(), want.Event()->Active());
        EXPECT_EQ(got.Event()->EventRepeat(), want.Event()->EventRepeat());
        EXPECT_EQ(got.Sync(), &copy);
    }
    ASSERT_EQ(copy.GroupCount(), 2);
    EXPECT_EQ(copy.Groups(0)->Name(), "StartupRestore");
    EXPECT_EQ(copy.Groups(1)->Name(), "Custom");
    EXPECT_EQ(MemberNames(*copy.Groups(0)), (std::vector<std::string>{"Gamma", "Alpha"}));
    EXPECT_EQ(MemberNames(*copy.Groups(1)), (std::vector<std::string>{"Beta"}));

    // Nothing the record holds was lost or changed on the way.
    EXPECT_EQ(RecordOf(copy), record);
}

TEST(ConfigRecord, LoadedScheduleIsSortedButProfilesKeepFileOrder) {
    TRSync source;
    Populate(source);
    const auto fileOrder = ProfileNames(source);
    TRSync copy;
    LoadRecord(copy, RecordOf(source));
    EXPECT_EQ(ProfileNames(copy), fileOrder);
    const auto events = copy.Schedule().EventList();
    for (std::size_t i = 1; i < events.size(); ++i)
        EXPECT_LE(CompareEvents(*events[i - 1], *events[i]), 0) << "at " << i;
}

TEST(ConfigRecord, GroupsRegainRestoreFromTheirNames) {
    TRSync source;
    for (const char* name :
         {"StartupRestore", "ShutdownRestore", "StartupBackup", "ShutdownBackup", "Mine"})
        TRSyncProfileGroup::Create(source, name, std::strcmp(name, "Mine") == 0);
    TRSync copy;
    LoadRecord(copy, RecordOf(source));
    ASSERT_EQ(copy.GroupCount(), 5);
    EXPECT_TRUE(copy.FindGroupByName("StartupRestore")->IsRestore());
    EXPECT_TRUE(copy.FindGroupByName("ShutdownRestore")->IsRestore());
    EXPECT_FALSE(copy.FindGroupByName("StartupBackup")->IsRestore());
    EXPECT_FALSE(copy.FindGroupByName("ShutdownBackup")->IsRestore());
    // The record carries no flag: other groups come back as backups.
    EXPECT_FALSE(copy.FindGroupByName("Mine")->IsRestore());
}

TEST(ConfigRecord, PortSetterDefaultsZeroButStoredZeroStays) {
    TRSync sync;
    sync.SetPort(0);
    EXPECT_EQ(sync.Port(), 873);
    sync.SetPort(22);
    EXPECT_EQ(sync.Port(), 22);

    Bytes record = RecordOf(TRSync());
    record[4] = record[5] = 0;
    TRSync loaded;
    LoadRecord(loaded, record);
    EXPECT_EQ(loaded.Port(), 0);
}

TEST(ConfigRecord, LoadingAddsBehindWhatIsThere) {
    TRSync source;
    Populate(source);
    TRSync sync;
    TRSyncProfile::Create(sync, "Existing");
    LoadRecord(sync, RecordOf(source));
    ASSERT_EQ(sync.ProfileCount(), 4);
    EXPECT_EQ(sync.GetProfile(0)->Name(), "Existing");
}

TEST(ConfigLists, AddAndRemoveProfile) {
    TRSync sync, other;
    auto* mine = TRSyncProfile::Create(sync, "Mine");
    auto* theirs = TRSyncProfile::Create(other, "Theirs");
    auto* group = TRSyncProfileGroup::Create(other, "G", false);
    group->Add(theirs);

    sync.AddProfile(mine); // already a member
    EXPECT_EQ(sync.ProfileCount(), 1);
    (void)sync.RemoveProfile(theirs); // a stranger
    EXPECT_EQ(sync.ProfileCount(), 1);
    EXPECT_EQ(other.ProfileCount(), 1);
    EXPECT_EQ(group->Count(), 1);

    // Taking a profile over removes it from its old owner and that owner's groups,
    // and its event follows it.
    sync.AddProfile(theirs);
    EXPECT_EQ(sync.ProfileCount(), 2);
    EXPECT_EQ(other.ProfileCount(), 0);
    EXPECT_EQ(group->Count(), 0);
    EXPECT_EQ(theirs->Sync(), &sync);
    EXPECT_EQ(theirs->Event()->Schedule(), &sync.Schedule());
    EXPECT_EQ(sync.Schedule().EventCount(), 2);
    EXPECT_EQ(other.Schedule().EventCount(), 0);
}

TEST(ConfigLists, DeletingAProfileLeavesListsGroupsAndSchedule) {
    TRSync sync;
    auto* a = TRSyncProfile::Create(sync, "A");
    auto* b = TRSyncProfile::Create(sync, "B");
    auto* group = TRSyncProfileGroup::Create(sync, "G", false);
    group->Add(a);
    group->Add(b);
    sync.DeleteProfile(a);
    EXPECT_EQ(ProfileNames(sync), std::vector<std::string>{"B"});
    EXPECT_EQ(MemberNames(*group), std::vector<std::string>{"B"});
    EXPECT_EQ(sync.Schedule().EventCount(), 1);
    sync.DeleteGroup(group);
    EXPECT_EQ(sync.GroupCount(), 0);
}

TEST(ConfigLists, IndexesOutsideTheListsRaiseListError) {
    TRSync sync;
    TRSyncProfile::Create(sync, "A");
    EXPECT_EQ(ErrorOf([&] { sync.GetProfile(1); }), "List index out of bounds (1)");
    EXPECT_EQ(ErrorOf([&] { sync.GetProfile(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(ErrorOf([&] { sync.Groups(0); }), "List index out of bounds (0)");
}

TEST(ConfigLists, FindGroupByNameIsExact) {
    TRSync sync;
    auto* first = TRSyncProfileGroup::Create(sync, "StartupBackup", false);
    TRSyncProfileGroup::Create(sync, "StartupBackup", true);
    EXPECT_EQ(sync.FindGroupByName("StartupBackup"), first);
    EXPECT_EQ(sync.FindGroupByName("startupbackup"), nullptr);
    EXPECT_EQ(sync.FindGroupByName("StartupBackup "), nullptr);
    EXPECT_EQ(sync.FindGroupByName(""), nullptr);
}

TEST(ConfigLists, GroupIgnoresProfilesOfAnotherOwner) {
    TRSync sync, other;
    auto* stranger = TRSyncProfile::Create(other, "Stranger");
    auto& group = *TRSyncProfileGroup::Create(sync, "G", false);
    group.Add(stranger);
    EXPECT_EQ(group.Count(), 0);
    EXPECT_FALSE(group.Contained(stranger));
    EXPECT_FALSE(stranger->IsInGroup(group));
}

TEST(ConfigLists, GroupRecordWithARepeatedPositionYieldsOneMember) {
    TRSync sync;
    auto* a = TRSyncProfile::Create(sync, "A");
    auto* group = TRSyncProfileGroup::Create(sync, "", false);
    Bytes record;
    AppendString(record, "Twice");
    record.insert(record.end(), {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    TMemoryStream s(record);
    group->LoadFromStream(s);
    EXPECT_EQ(group->Name(), "Twice");
    EXPECT_EQ(group->Members(), std::vector<TRSyncProfile*>{a});
    // Written back, the member appears once.
    TMemoryStream out;
    group->SaveToStream(out);
    EXPECT_EQ(out.Size(), 4u + 5u + 4u + 4u);
}

TEST(ConfigLists, ProcessCallsBeforeTheFirstRunDoNothing) {
    TRSync sync;
    EXPECT_EQ(sync.Process(), nullptr);
    sync.WaitForProcess();
    sync.TerminateProcess();
    EXPECT_EQ(sync.Process(), nullptr);
}

TEST(ConfigDestinations, LocalPathGetsOneTrailingBackslash) {
    TLocalHost host("D:\\Backup");
    EXPECT_EQ(host.Path(), "D:\\Backup\\");
    host.SetPath("D:\\Backup\\");
    EXPECT_EQ(host.Path(), "D:\\Backup\\");
    host.SetPath("");
    EXPECT_EQ(host.Path(), "");
    // A stored path is taken unchanged.
    TMemoryStream s;
    WriteString(s, "E:\\Raw");
    s.SetPosition(0);
    host.LoadFromStream(s);
    EXPECT_EQ(host.Path(), "E:\\Raw");
}

TEST(ConfigDestinations, Addresses) {
    EXPECT_EQ(TLocalHost("C:\\Kalvaren Backup").GetDestination(), "/cygdrive/C/Kalvaren Backup/");
    TRemoteHost remote;
    remote.SetHost("server");
    EXPECT_EQ(remote.GetDestination(), "server::");
    remote.SetUser("bob");
    EXPECT_EQ(remote.GetDestination(), "bob@server::");
    EXPECT_TRUE(remote.Prepare());
}

TEST(ConfigDestinations, LocalPrepareCreatesOneLevelOnly) {
    TTempFolder temp;
    EXPECT_TRUE(TLocalHost(temp.Path().string()).Prepare());
    TLocalHost fresh((temp.Path() / "new").string());
    EXPECT_TRUE(fresh.Prepare());
    EXPECT_TRUE(std::filesystem::is_directory(temp.Path() / "new"));
    TLocalHost deep((temp.Path() / "missing" / "deeper").string());
    EXPECT_FALSE(deep.Prepare());
    EXPECT_FALSE(std::filesystem::exists(temp.Path() / "missing"));
}

namespace {
class TTestHost final : public TRSyncServer {
public:
    std::string GetDestination() const override { return "test::"; }
    bool Prepare() override { return true; }
    void SaveToStream(TStream& s) const override { WriteString(s, "t"); }
    void LoadFromStream(TStream& s) override { ReadString(s); }
};
} // namespace

TEST(ConfigDestinations, ServerClassRegistry) {
    EXPECT_EQ(GetId(TLocalHost()), 0);
    EXPECT_EQ(GetId(TRemoteHost()), 1);
    EXPECT_NE(dynamic_cast<TLocalHost*>(GetClass(0)().get()), nullptr);
    EXPECT_NE(dynamic_cast<TRemoteHost*>(GetClass(1)().get()), nullptr);
    EXPECT_EQ(ErrorOf([] { GetClass(7); }), "List index out of bounds (7)");

    // An unregistered destination cannot be written: its class number would be -1.
    TRSync sync;
    sync.SetServer(std::make_unique<TTestHost>());
    EXPECT_EQ(GetId(*sync.Server()), -1);
    TMemoryStream s;
    EXPECT_THROW(sync.SaveToStream(s), EWriteError);

    RegisterServerClass<TTestHost>();
    RegisterServerClass<TTestHost>(); // once only
    const int id = GetId(*sync.Server());
    EXPECT_GE(id, 2);
    EXPECT_THROW(GetClass(id + 1), EListError);
    TRSync copy;
    LoadRecord(copy, RecordOf(sync));
    EXPECT_NE(dynamic_cast<TTestHost*>(copy.Server()), nullptr);
}

#ifndef _WIN32
namespace {
class TTextRecorder final : public test::TMessageOutput {
public:
    void Receive(unsigned message, char* text, std::intptr_t) override {
        if (message == test::WM_CONSOLE_OUTPUT) {
            std::lock_guard<std::mutex> lock(FLock);
            FTexts.emplace_back(text);
        }
    }
    int Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(FLock);
        return static_cast<int>(std::count(FTexts.begin(), FTexts.end(), text));
    }

private:
    mutable std::mutex FLock;
    std::vector<std::string> FTexts;
};
} // namespace

// Each member's run ends before the next starts; without the wait the second
// backup would be refused while the first still runs.
TEST(ConfigGroupRun, RunsMembersOneAfterTheOther) {
    TTempFolder temp;
    TTextRecorder window;
    TRSync sync;
    sync.SetServer(std::make_unique<TLocalHost>(temp.Path().string()));
    sync.SetRSyncLocation("/bin/sh -c \"sleep 0.2\"");
    sync.SetOutputHandle(&window);
    auto& group = *TRSyncProfileGroup::Create(sync, "StartupBackup", false);
    for (const char* name : {"One", "Two", "Three"}) {
        auto* p = TRSyncProfile::Create(sync, name);
        p->AddPath((temp.Path() / name).string());
        group.Add(p);
    }
    group.Run();
    EXPECT_EQ(window.Count("Transfer Complete."), 3);
    ASSERT_NE(sync.Process(), nullptr);
    EXPECT_FALSE(sync.Process()->Running());
}

// A configuration whose runs go to a local folder of its own, with `rsync` as
// the program and the runner's texts recorded.
struct TRecordedConfig {
    explicit TRecordedConfig(const std::string& rsync) {
        Sync.SetServer(std::make_unique<TLocalHost>(Temp.Path().string()));
        Sync.SetRSyncLocation(rsync);
        Sync.SetOutputHandle(&Window);
    }
    TRSyncProfile* Profile(const std::string& name) {
        auto* p = TRSyncProfile::Create(Sync, name);
        p->AddPath((Temp.Path() / name).string());
        return p;
    }
    // How long Close takes.
    std::chrono::steady_clock::duration TimeClose() {
        const auto start = std::chrono::steady_clock::now();
        Sync.Close();
        return std::chrono::steady_clock::now() - start;
    }
    TTempFolder Temp;
    TTextRecorder Window;
    TRSync Sync;
};

// A member whose turn comes while a transfer started elsewhere still runs waits
// for it instead of being refused and skipped.
TEST(ConfigGroupRun, AMemberWaitsForATransferAlreadyRunning) {
    TRecordedConfig config("/bin/sh -c \"sleep 0.4\"");
    config.Sync.RunTransfer({"by-hand"}, 0, 0);
    auto& group = *TRSyncProfileGroup::Create(config.Sync, "ShutdownBackup", false);
    group.Add(config.Profile("Member"));
    group.Run();
    EXPECT_EQ(config.Window.Count("Transfer Complete."), 2);
}

// Start-up and shutdown runs wait on a thread of their own: requests run in the
// order made, each one done after its transfers; a request still running when the
// root closes ends with its transfer and reports nothing done.
TEST(ConfigGroupRun, GroupRunsKeepTheOrderOfRequestsOffTheCallersThread) {
    TRecordedConfig config("/bin/sh -c \"sleep 0.2\"");
    std::mutex lock;
    std::vector<std::string> done;
    std::thread::id ranOn;
    const auto request = [&](const char* name) {
        auto* group = TRSyncProfileGroup::Create(config.Sync, name, false);
        group->Add(config.Profile(name));
        return std::pair{std::vector{group}, [&, name] {
                             std::lock_guard guard(lock);
                             ranOn = std::this_thread::get_id();
                             done.push_back(
                                 std::string(name) + " after " +
                                 std::to_string(config.Window.Count("Transfer Complete.")));
                         }};
    };
    {
        TGroupRuns runs(config.Sync);
        for (const char* name : {"Restore", "Backup"}) {
            auto [groups, then] = request(name);
            runs.Run(groups, then);
        }
        for (int i = 0; i < 500 && runs.Busy(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(done, (std::vector<std::string>{"Restore after 1", "Backup after 2"}));
    EXPECT_NE(ranOn, std::this_thread::get_id());

    TRecordedConfig slow("/bin/sh -c \"sleep 60\"");
    auto* group = TRSyncProfileGroup::Create(slow.Sync, "StartupBackup", false);
    group->Add(slow.Profile("Member"));
    bool called = false;
    const auto start = std::chrono::steady_clock::now();
    {
        TGroupRuns runs(slow.Sync);
        runs.Run({group}, [&] { called = true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        slow.Sync.Close();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(called);
}

// Closing while a silent child runs (it would sleep a minute) and a scheduled
// firing waits for it: the child is ended, and no run starts afterwards.
TEST(ConfigLifetime, CloseEndsASilentChildAtOnce) {
    TRecordedConfig config("/bin/sh -c \"sleep 60\"");
    config.Sync.RunTransfer({"silent"}, 0, 0);
    config.Profile("Due")->SetProfileEvent(reOnce);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_LT(config.TimeClose(), std::chrono::seconds(5));
    EXPECT_EQ(config.Window.Count("Transfer Intialising. Press Ctrl+Break to Terminate transfer."),
              1)
        << "the waiting firing must not start a run";
}

// Destroyed while a run goes on and a scheduled firing waits for it: the run is
// stopped, the firing released, and nothing hangs or outlives the root.
TEST(ConfigLifetime, DestroyingDuringARunStopsItFirst) {
    TTempFolder temp;
    TTextRecorder window;
    auto sync = std::make_unique<TRSync>();
    sync->SetServer(std::make_unique<TLocalHost>(temp.Path().string()));
    sync->SetRSyncLocation("/bin/sh -c \"sleep 0.3\"");
    sync->SetOutputHandle(&window);
    sync->RunTransfer({"one", "two", "three", "four"}, 0, 0);
    ASSERT_NE(sync->Process(), nullptr);
    EXPECT_TRUE(sync->Process()->Running());

    auto* due = TRSyncProfile::Create(*sync, "Due");
    due->AddPath((temp.Path() / "source").string());
    due->SetProfileEvent(reOnce); // due now: fires within a turn and waits for the run
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    sync.reset();
    EXPECT_GE(window.Count("Process Terminated!"), 1);
    EXPECT_EQ(window.Count("Transfer Complete."), 0);
}
#endif

// Configurations built through the public operations, in random order: every one
// saves, loads back equal (profiles, paths, schedules, groups and their members)
// and saves again to the same bytes. A member that is no longer in the profile
// list must never be written: the loader would refuse the whole file.
TEST(ConfigProperty, EveryConfigurationBuiltThroughTheOperationsLoadsBackEqual) {
    for (unsigned run = 1; run <= 15; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::mt19937 random(run);
        const auto pick = [&](std::size_t n) {
            return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
        };
        TRSync sync;
        // Taken out of the list but not freed: they keep their owner reference.
        std::vector<std::unique_ptr<TRSyncProfile>> detached;
        std::vector<TRSyncProfileGroup*> groups;
        for (const char* name : {"StartupRestore", "ShutdownRestore", "StartupBackup"})
            groups.push_back(TRSyncProfileGroup::Create(sync, name, false));
        for (int step = 0; step < 60; ++step) {
            const std::vector<TRSyncProfile*> profiles = sync.ProfileList();
            std::vector<TRSyncProfile*> all = profiles;
            for (const auto& p : detached)
                all.push_back(p.get());
            switch (pick(8)) {
            case 0:
            case 1:
                TRSyncProfile::Create(sync, "P" + std::to_string(step))
                    ->AddPath("C:\\f" + std::to_string(step));
                break;
            case 2:
                if (!profiles.empty())
                    sync.DeleteProfile(profiles[pick(profiles.size())]);
                break;
            case 3:
                if (!profiles.empty()) {
                    TRSyncProfile* p = profiles[pick(profiles.size())];
                    detached.push_back(sync.RemoveProfile(p));
                }
                break;
            case 4:
            case 5:
                if (!all.empty())
                    groups[pick(groups.size())]->Add(all[pick(all.size())]);
                break;
            case 6:
                if (!all.empty())
                    groups[pick(groups.size())]->Remove(all[pick(all.size())]);
                break;
            default:
                if (!profiles.empty()) {
                    TRSyncProfile* p = profiles[pick(profiles.size())];
                    p->SetDateTime(Now() + 1 + static_cast<double>(pick(100)));
                    p->SetProfileEvent(static_cast<TRSyncProfileEvent>(2 + pick(7)));
                }
                break;
            }
            const Bytes saved = RecordOf(sync);
            TRSync loaded;
            ASSERT_NO_THROW(LoadRecord(loaded, saved)) << "step " << step;
            ASSERT_EQ(ProfileNames(loaded), ProfileNames(sync)) << "step " << step;
            for (int i = 0; i < sync.ProfileCount(); ++i) {
                EXPECT_EQ(loaded.GetProfile(i)->PathList(), sync.GetProfile(i)->PathList());
                EXPECT_EQ(loaded.GetProfile(i)->DateTime(), sync.GetProfile(i)->DateTime());
                EXPECT_EQ(loaded.GetProfile(i)->ProfileEvent(), sync.GetProfile(i)->ProfileEvent());
            }
            ASSERT_EQ(loaded.GroupCount(), sync.GroupCount());
            for (int g = 0; g < sync.GroupCount(); ++g) {
                std::vector<std::string> listed;
                for (TRSyncProfile* member : sync.Groups(g)->Members())
                    if (sync.IndexOfProfile(member) >= 0)
                        listed.push_back(member->Name());
                EXPECT_EQ(MemberNames(*loaded.Groups(g)), listed) << "step " << step;
            }
            ASSERT_EQ(RecordOf(loaded), saved) << "step " << step;
        }
        // Freed while their owner still exists: they leave its schedule on the way.
        detached.clear();
    }
}
