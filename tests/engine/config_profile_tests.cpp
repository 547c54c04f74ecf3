// Profiles: paths, well-known folders, schedule kind, their record, and the order
// of Profiles following the schedule.
#include "config_testing.h"

#include <atomic>
#include <map>
#include <set>
#include <thread>

using namespace kal;
using namespace kal::test;

namespace {

// Years ahead: the schedule thread must not fire a test's profile.
constexpr TDateTime FarAhead = 48000;

Bytes ProfileRecord(const TRSyncProfile& profile) {
    TMemoryStream s;
    profile.SaveToStream(s);
    return s.Bytes();
}

// The order the schedule gives, as profile names.
std::vector<std::string> ScheduleOrder(const TRSync& sync) {
    std::vector<std::string> names;
    for (TEvent* event : sync.Schedule().EventList())
        names.push_back(static_cast<TRSyncEvent*>(event)->Profile->Name());
    return names;
}

class TFakeShell final : public IShellFolders {
public:
    std::map<int, std::string> Folders;
    bool GetSpecialFolderPath(int csidl, std::string& path) override {
        auto it = Folders.find(csidl);
        if (it == Folders.end())
            return false;
        path = it->second;
        return true;
    }
};

struct TShellGuard {
    explicit TShellGuard(IShellFolders& shell) { SetShellFolders(&shell); }
    ~TShellGuard() { SetShellFolders(nullptr); }
};

} // namespace

TEST(ConfigProfile, NewProfileIsLastAndInactive) {
    TRSync sync;
    TRSyncProfile::Create(sync, "First");
    auto* p = TRSyncProfile::Create(sync, "Second");
    EXPECT_EQ(sync.GetProfile(1), p);
    EXPECT_EQ(p->Name(), "Second");
    EXPECT_FALSE(p->Event()->Active());
    EXPECT_EQ(p->Event()->Profile, p);
    EXPECT_EQ(p->ProfileEvent(), reInactive);
    EXPECT_TRUE(p->CommonSources().Empty());
    EXPECT_EQ(p->PathCount(), 0);
    EXPECT_EQ(sync.Schedule().EventCount(), 2);
}

TEST(ConfigProfile, PathEditing) {
    TRSync sync;
    TRSyncProfile& p = *TRSyncProfile::Create(sync, "P");
    p.AddPath("C:\\a");
    p.AddPath("C:\\b");
    p.AddPath("C:\\a"); // duplicates are the user's business
    p.AddPath("C:\\c");
    EXPECT_EQ(p.PathCount(), 4);
    EXPECT_EQ(p.Paths(3), "C:\\c");
    EXPECT_EQ(p.Paths(4), "");
    EXPECT_EQ(p.Paths(-1), "");
    p.RemovePath(4);
    p.RemovePath(-1);
    EXPECT_EQ(p.PathCount(), 4);
    p.RemovePath(1);
    EXPECT_EQ(p.PathList(), (std::vector<std::string>{"C:\\a", "C:\\a", "C:\\c"}));
    p.ClearPaths();
    EXPECT_EQ(p.PathCount(), 0);
}

TEST(ConfigProfile, CommonSourcesAreTwoLittleEndianBytes) {
    TRSync sync;
    TRSyncProfile& p = *TRSyncProfile::Create(sync, "P");
    p.SetCommonSources({csOutlook});
    Bytes record = ProfileRecord(p);
    EXPECT_EQ(record[0], 0x00);
    EXPECT_EQ(record[1], 0x02);
    p.SetCommonSources({csDesktop});
    record = ProfileRecord(p);
    EXPECT_EQ(record[0], 0x01);
    EXPECT_EQ(record[1], 0x00);

    // Bits the program never writes are dropped when read.
    record[1] = 0xF8 | 0x04; // bits 11-15 and csThunderBird
    TMemoryStream s(record);
    p.LoadFromStream(s);
    EXPECT_EQ(p.CommonSources(), TCommonSourceSet({csDesktop, csThunderBird}));
}

TEST(ConfigProfile, ProfileRecordLayout) {
    TRSync sync;
    TRSyncProfile& p = *TRSyncProfile::Create(sync, "Home");
    p.SetDateTime(0.5);
    p.Event()->SetEventRepeat(erWeekly);
    p.StoreProfileEvent(reWeekly);
    p.AddPath("C:\\x");
    const Bytes expected = {
        0x00, 0x00, 0x04,                                                   // sources, kind
        0x04, 0,    0,    0, 'H',  'o', 'm',  'e',                          // event name
        0,    0,    0,    0, 0,    0,   0xE0, 0x3F, 0x00, 0x03,             // due, inactive, weekly
        0x01, 0,    0,    0, 0x04, 0,   0,    0,    'C',  ':',  '\\', 'x'}; // one path
    EXPECT_EQ(ProfileRecord(p), expected);
}

TEST(ConfigProfile, ProfileEventDrivesTheEvent) {
    TRSync sync;
    TRSyncProfile& p = *TRSyncProfile::Create(sync, "P");
    p.SetDateTime(FarAhead);
    p.SetProfileEvent(reWeekly);
    EXPECT_TRUE(p.Event()->Active());
    EXPECT_EQ(p.Event()->EventRepeat(), erWeekly);
    p.SetProfileEvent(reInactive);
    EXPECT_FALSE(p.Event()->Active());
    EXPECT_EQ(p.Event()->EventRepeat(), erWeekly);
    p.SetProfileEvent(reOnce);
    EXPECT_EQ(p.Event()->EventRepeat(), erNone);
    p.SetProfileEvent(reYearly);
    EXPECT_EQ(p.Event()->EventRepeat(), erYearly);
    EXPECT_EQ(p.ProfileEvent(), reYearly);
}

TEST(ConfigProfile, LoadingTakesKindAndEventRaw) {
    TRSync sync;
    TRSyncProfile& source = *TRSyncProfile::Create(sync, "S");
    source.SetDateTime(FarAhead);
    source.SetProfileEvent(reDaily);
    source.StoreProfileEvent(reHourly); // kind and event disagree on purpose
    const Bytes record = ProfileRecord(source);
    TRSyncProfile& copy = *TRSyncProfile::Create(sync, "");
    TMemoryStream s(record);
    copy.LoadFromStream(s);
    EXPECT_EQ(copy.ProfileEvent(), reHourly);
    EXPECT_EQ(copy.Event()->EventRepeat(), erDaily);
    EXPECT_TRUE(copy.Event()->Active());
    EXPECT_EQ(copy.Name(), "S");
}

TEST(ConfigProfile, EditingScheduleReordersProfiles) {
    TRSync sync;
    auto* a = TRSyncProfile::Create(sync, "A");
    auto* b = TRSyncProfile::Create(sync, "B");
    auto* c = TRSyncProfile::Create(sync, "C");
    auto* idle = TRSyncProfile::Create(sync, "Idle");
    a->SetDateTime(FarAhead + 2);
    b->SetDateTime(FarAhead + 3);
    c->SetDateTime(FarAhead + 1);
    for (TRSyncProfile* p : {a, b, c})
        p->SetProfileEvent(reDaily);
    EXPECT_EQ(ProfileNames(sync), (std::vector<std::string>{"Idle", "C", "A", "B"}));
    EXPECT_EQ(ProfileNames(sync), ScheduleOrder(sync));

    a->SetDateTime(FarAhead + 10);
    EXPECT_EQ(ProfileNames(sync), (std::vector<std::string>{"Idle", "C", "B", "A"}));
    idle->SetDateTime(FarAhead + 5);
    idle->SetProfileEvent(reOnce);
    EXPECT_EQ(ProfileNames(sync), (std::vector<std::string>{"C", "B", "Idle", "A"}));
    EXPECT_EQ(ProfileNames(sync), ScheduleOrder(sync));
    // A rename is no change of the event.
    c->SetName("Z");
    EXPECT_EQ(sync.GetProfile(0), c);
}

TEST(ConfigProfile, WellKnownFolderPaths) {
    TTempFolder temp;
    const std::string existing = temp.Path().string();
    TFakeShell shell;
    shell.Folders[0x05] = existing;                        // My Documents
    shell.Folders[0x0D] = (temp.Path() / "gone").string(); // My Music, missing
    shell.Folders[0x1C] = existing;                        // local application data
    TShellGuard guard(shell);

    TRSync sync;
    TRSyncProfile& p = *TRSyncProfile::Create(sync, "P");
    const std::string documents = p.GetCommonSourcePath(csMyDocuments);
    EXPECT_EQ(documents, "/cygdrive/" + ToCygwinPath(existing, true));
    EXPECT_NE(documents.back(), '/');
    EXPECT_EQ(p.GetCommonSourcePath(csMyMusic), ""); // folder does not exist
    EXPECT_EQ(p.GetCommonSourcePath(csDesktop), ""); // shell knows none
    EXPECT_EQ(p.GetCommonSourcePath(static_cast<TCommonSource>(12)), "");
    EXPECT_EQ(TRSyncProfile::GetCommonSourceName(csOutlook), "Outlook/");
    EXPECT_EQ(TRSyncProfile::GetCommonSourceName(static_cast<TCommonSource>(11)), "Unknown/");
    const std::string outlook = p.GetCommonSourcePath(csOutlook);
    EXPECT_EQ(outlook, "/cygdrive/" + ToCygwinPath(existing + "\\Microsoft\\Outlook\\", true));
    EXPECT_EQ(outlook.back(), '/');
    EXPECT_EQ(p.GetCommonSourcePath(csThunderBird),
              "/cygdrive/" + ToCygwinPath(existing + "\\Thunderbird\\", true));
}

TEST(ConfigProfile, FileFormsRoundTrip) {
    TTempFolder temp;
    TRSync sync;
    Populate(sync);
    TRSyncProfile& source = *sync.GetProfile(0);
    source.SaveToFile(temp.File("profile.bin"));
    TRSyncProfile& copy = *TRSyncProfile::Create(sync, "");
    copy.LoadFromFile(temp.File("profile.bin"));
    EXPECT_EQ(ProfileRecord(copy), ProfileRecord(source));

    sync.SaveToFile(temp.File("root.bin"));
    TRSync loaded;
    loaded.LoadFromFile(temp.File("root.bin"));
    EXPECT_EQ(RecordOf(loaded), RecordOf(sync));
    EXPECT_THROW(loaded.LoadFromFile(temp.File("missing.bin")), EFOpenError);
}

TEST(ConfigGroup, RunSkipsProfilesWithNothingToTransfer) {
    TRSync sync;
    auto* p = TRSyncProfile::Create(sync, "Empty");
    auto& backup = *TRSyncProfileGroup::Create(sync, "B", false);
    auto& restore = *TRSyncProfileGroup::Create(sync, "R", true);
    auto& empty = *TRSyncProfileGroup::Create(sync, "E", false);
    empty.Run();
    backup.Add(p);
    restore.Add(p);
    backup.Run();
    restore.Run();
    EXPECT_EQ(sync.Process(), nullptr);
}

// The schedule thread moves events and re-orders Profiles while the window thread
// saves: every save must be a whole, readable configuration.
TEST(ConfigConcurrency, SaveSeesAConsistentConfiguration) {
    TRSync sync;
    std::vector<TRSyncProfile*> profiles;
    for (int i = 0; i < 40; ++i) {
        std::string name = "P"; // not "P" + ...: GCC 12 -O3 warns falsely (-Wrestrict)
        name += std::to_string(i);
        auto* p = TRSyncProfile::Create(sync, name);
        p->AddPath("C:\\data\\" + std::to_string(i));
        profiles.push_back(p);
    }
    auto* group = TRSyncProfileGroup::Create(sync, "G", false);
    for (int i = 0; i < 40; i += 3)
        group->Add(profiles[static_cast<std::size_t>(i)]);

    std::atomic<bool> stop{false};
    std::thread mover([&] {
        unsigned n = 0;
        while (!stop.load()) {
            TRSyncProfile* p = profiles[n % profiles.size()];
            p->SetDateTime(FarAhead + (n * 7919u) % 1000u);
            p->SetProfileEvent(n % 5 ? reDaily : reInactive);
            ++n;
        }
    });
    std::set<std::string> names;
    for (TRSyncProfile* p : profiles)
        names.insert(p->Name());
    for (int round = 0; round < 50; ++round) {
        TRSync copy;
        LoadRecord(copy, RecordOf(sync));
        ASSERT_EQ(copy.ProfileCount(), 40);
        std::set<std::string> loaded;
        for (TRSyncProfile* p : copy.ProfileList())
            loaded.insert(p->Name());
        EXPECT_EQ(loaded, names);
        ASSERT_EQ(copy.GroupCount(), 1);
        std::set<std::string> members;
        for (TRSyncProfile* p : copy.Groups(0)->Members())
            members.insert(p->Name());
        EXPECT_EQ(members.size(), 14u);
        for (const std::string& m : members)
            EXPECT_EQ(std::stoi(m.substr(1)) % 3, 0) << m;
    }
    stop = true;
    mover.join();
}

TEST(ConfigPlatform, DefaultShellAndProgramFolder) {
    EXPECT_TRUE(DirectoryExists(ExecutableFolder())) << ExecutableFolder();
    SetExecutableFolder("X:\\Elsewhere");
    EXPECT_EQ(ExecutableFolder(), "X:\\Elsewhere");
    SetExecutableFolder("");
    EXPECT_NE(ExecutableFolder(), "X:\\Elsewhere");

    std::string documents;
    const bool known = ShellFolders().GetSpecialFolderPath(0x05, documents);
#ifdef _WIN32
    ASSERT_TRUE(known);
    EXPECT_TRUE(DirectoryExists(documents)) << documents;
    EXPECT_NE(documents.back(), '\\');
#else
    EXPECT_FALSE(known); // no shell folders off Windows
#endif
}
