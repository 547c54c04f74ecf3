// The real program under Wine, driven from outside: first start, profiles and
// files, the profile list's lines, destinations, branding, start-up and
// shutdown runs, a damaged Data.dat.
#include "UBranding.h"
#include "UMainForm.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

namespace kal::e2e {
namespace {

using M = TMainForm;

std::string TestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        CleanRegistry();
        Folder = ScratchFolder(TestName());
        Exe = InstallProgram(Folder);
    }
    void TearDown() override {
        Program.reset();
        CleanRegistry();
    }

    HWND Start(const std::string& arguments = "",
               std::map<std::string, std::string> environment = {},
               const std::string& caption = "Kalvaren") {
        environment.emplace("KAL_RECORD_FILE", Folder + "\\record.txt");
        environment.emplace("KALVAREN_SIMULATE_POWEROFF", Folder + "\\poweroff.txt");
        Program = std::make_unique<TProgram>(Exe, arguments, Folder, environment);
        Main = Program->WaitForWindow(caption, 30s, "KalvarenMainForm");
        EXPECT_NE(Main, nullptr) << "no main window";
        WaitUntil([&] { return Visible(Main); }, 10s);
        return Main;
    }
    HWND Control(int id) const { return FindChild(Main, id); }
    void Exit() {
        MenuCommand(Main, M::idExit);
        ASSERT_TRUE(Program->WaitForExit(30s)) << "the program did not end";
    }
    std::vector<std::string> Profiles() const { return ListLines(Control(M::idProfiles)); }
    bool WaitForProfiles(std::size_t count) const {
        return WaitUntil([&] { return Profiles().size() == count; });
    }
    std::vector<std::string> Recorded() const { return ReadLines(Folder + "\\record.txt"); }
    // One profile, in the start-up backup group only, backed up by the recorder.
    void WriteStartupBackupOnly() const {
        WriteConfig(Folder, [&](TRSync& sync) {
            UseRecorder(sync);
            auto* p = new TRSyncProfile(&sync, "P");
            p->AddPath("C:\\p");
            (new TRSyncProfileGroup(&sync, "StartupBackup", false))->Add(p);
        });
    }

    // A destination folder of the test's own and the recorder as rsync.
    void UseRecorder(TRSync& sync) const {
        sync.SetServer(std::make_unique<TLocalHost>(Folder + "\\dest"));
        CreateDirectoryA((Folder + "\\dest").c_str(), nullptr);
        sync.SetRSyncLocation(ArgRecorder());
    }

    std::string Folder, Exe;
    std::unique_ptr<TProgram> Program;
    HWND Main = nullptr;
};

TEST_F(MainWindow, FirstStartShowsTheDefaultsAndExitWritesThem) {
    Start();
    EXPECT_EQ(Text(Main), "Kalvaren");
    EXPECT_EQ(Text(Control(M::idServer)), "C:\\Kalvaren Backup\\");
    EXPECT_EQ(Text(Control(M::idAccount)), "Demo");
    EXPECT_FALSE(Enabled(Control(M::idAccount)));
    EXPECT_FALSE(Enabled(Control(M::idUser)));
    EXPECT_FALSE(Enabled(Control(M::idPasswordFile)));
    EXPECT_TRUE(Profiles().empty());
    EXPECT_FALSE(Enabled(Control(M::idFilePath)));
    for (int id : {M::idAddFile, M::idAddFolder, M::idRemovePath, M::idBackup, M::idRestore,
                   M::idMyDocuments, M::idDesktop, M::idSharedMusic})
        EXPECT_FALSE(Enabled(Control(id))) << id;
    EXPECT_TRUE(Enabled(Control(M::idNewProfile)));
    Exit();

    auto sync = ReadConfig(Folder);
    EXPECT_EQ(sync->Module(), "Demo");
    ASSERT_EQ(sync->GroupCount(), 4);
    const char* names[] = {"StartupRestore", "ShutdownRestore", "StartupBackup", "ShutdownBackup"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sync->Groups(i)->Name(), names[i]);
        EXPECT_EQ(sync->Groups(i)->Count(), 0);
    }
}

TEST_F(MainWindow, NewProfilesAreOfferedNumberedNamesAndSaved) {
    Start();
    for (int n = 1; n <= 3; ++n) {
        Click(Control(M::idNewProfile));
        HWND prompt = Program->WaitForWindow("New Profile");
        ASSERT_NE(prompt, nullptr);
        EXPECT_EQ(Text(FindChild(prompt, 100)), "Profile " + std::to_string(n));
        Click(FindChild(prompt, IDOK));
        ASSERT_TRUE(WaitForProfiles(static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(Profiles()[2], "Profile 3: Manual");
    EXPECT_EQ(ListSelection(Control(M::idProfiles)), 2);
    EXPECT_TRUE(Enabled(Control(M::idAddFile)));
    // Saved at once, before the program ends.
    EXPECT_EQ(ReadConfig(Folder)->ProfileCount(), 3);

    Click(Control(M::idNewProfile));
    HWND prompt = Program->WaitForWindow("New Profile");
    ASSERT_NE(prompt, nullptr);
    Click(FindChild(prompt, IDCANCEL));
    WaitUntil([&] { return !Program->FindWindow("New Profile"); });
    EXPECT_EQ(Profiles().size(), 3u);
    Exit();
}

TEST_F(MainWindow, ThreeFilesChosenAtOnceAreAddedInOrderAndSaved) {
    WriteConfig(Folder, [](TRSync& sync) { new TRSyncProfile(&sync, "Files"); });
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        WriteFile(Folder + "\\" + name, name);
    Start();
    ASSERT_TRUE(WaitForProfiles(1));
    Click(Control(M::idAddFile));
    HWND chooser = Program->WaitForDialog();
    ASSERT_NE(chooser, nullptr);
    // The file-name box: an edit of its own (edt1) or inside the combo box cmb13.
    HWND edit = nullptr;
    for (int id : {0x480, 0x47C}) {
        HWND box = FindChild(chooser, id);
        if (!box)
            continue;
        char cls[64] = {};
        GetClassNameA(box, cls, sizeof cls);
        if (_stricmp(cls, "Edit") == 0) {
            edit = box;
            break;
        }
        EnumChildWindows(
            box,
            [](HWND child, LPARAM param) -> BOOL {
                char c[64] = {};
                GetClassNameA(child, c, sizeof c);
                if (_stricmp(c, "Edit") != 0)
                    return TRUE;
                *reinterpret_cast<HWND*>(param) = child;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&edit));
        if (edit)
            break;
    }
    ASSERT_NE(edit, nullptr);
    SetText(edit, "\"a.txt\" \"b.txt\" \"c.txt\"");
    // The chooser's own "Open" command, as its default button gives it.
    PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return ListLines(Control(M::idFilePath)).size() == 3; }));
    const auto lines = ListLines(Control(M::idFilePath));
    EXPECT_EQ(lines[0], Folder + "\\a.txt");
    EXPECT_EQ(lines[1], Folder + "\\b.txt");
    EXPECT_EQ(lines[2], Folder + "\\c.txt");
    auto saved = ReadConfig(Folder);
    ASSERT_EQ(saved->ProfileCount(), 1);
    EXPECT_EQ(saved->GetProfile(0)->PathList(), lines);
    Exit();
}

TEST_F(MainWindow, ProfileLinesShowTheScheduleWithRegionalSeparators) {
    WriteConfig(Folder, [](TRSync& sync) {
        auto* home = new TRSyncProfile(&sync, "Home");
        home->SetDateTime(EncodeDateTime(2036, 12, 7, 4, 30));
        home->SetProfileEvent(reDaily);
        auto* manual = new TRSyncProfile(&sync, "Away");
        manual->SetProfileEvent(reInactive);
    });
    Start();
    ASSERT_TRUE(WaitForProfiles(2));
    const auto lines = Profiles();
    EXPECT_EQ(lines[0], "Home: 07/12/36 04:30 D");
    EXPECT_EQ(lines[1], "Away: Manual");
    Exit();
}

TEST_F(MainWindow, RemovingTheLastProfileEmptiesAndDisablesTheFilePanel) {
    WriteConfig(Folder, [](TRSync& sync) {
        auto* p = new TRSyncProfile(&sync, "Only");
        p->AddPath("C:\\one");
        p->AddPath("C:\\two");
        p->SetCommonSources({csDesktop});
    });
    Start();
    ASSERT_TRUE(WaitForProfiles(1));
    EXPECT_EQ(ListLines(Control(M::idFilePath)).size(), 2u);
    EXPECT_TRUE(Checked(Control(M::idDesktop)));
    EXPECT_TRUE(Enabled(Control(M::idRemovePath)));
    Click(Control(M::idRemoveProfile));
    HWND confirm = Program->WaitForDialog(20s, [](HWND w) { return FindChild(w, IDYES); });
    ASSERT_NE(confirm, nullptr);
    Click(FindChild(confirm, IDYES));
    ASSERT_TRUE(WaitForProfiles(0));
    EXPECT_TRUE(ListLines(Control(M::idFilePath)).empty());
    EXPECT_FALSE(Enabled(Control(M::idFilePath)));
    EXPECT_FALSE(Enabled(Control(M::idBackup)));
    Exit();
    EXPECT_EQ(ReadConfig(Folder)->ProfileCount(), 0);
}

TEST_F(MainWindow, SelectionStaysAtItsPositionWhenAScheduledEventMovesProfiles) {
    WriteConfig(Folder, [](TRSync& sync) {
        auto* due = new TRSyncProfile(&sync, "Due");
        due->SetDateTime(Now() - 2.0 / 24);
        due->SetProfileEvent(reHourly);
        new TRSyncProfile(&sync, "Idle");
    });
    Start();
    // The overdue profile fires with nothing to back up, moves behind the idle one.
    ASSERT_TRUE(WaitUntil([&] {
        const auto lines = Profiles();
        return lines.size() == 2 && lines[0] == "Idle: Manual";
    }));
    EXPECT_EQ(ListSelection(Control(M::idProfiles)), 0);
    EXPECT_EQ(Profiles()[1].rfind("Due: ", 0), 0u);
    Exit();
}

TEST_F(MainWindow, RemoteDestinationFillsTheFieldsAndEditsWaitForTheNextSave) {
    WriteConfig(Folder, [](TRSync& sync) {
        auto remote = std::make_unique<TRemoteHost>();
        remote->SetUser("jo");
        remote->SetHost("store");
        sync.SetServer(std::move(remote));
        sync.SetModule("Master");
        sync.SetPasswordFile("C:\\keys\\pw.txt");
    });
    const std::string before = ReadFile(Folder + "\\Data.dat");
    Start();
    EXPECT_EQ(Text(Control(M::idUser)), "jo");
    EXPECT_EQ(Text(Control(M::idServer)), "store");
    EXPECT_EQ(Text(Control(M::idAccount)), "Master");
    HWND password = Control(M::idPasswordFile);
    HWND passwordEdit = FindWindowExA(password, nullptr, "Edit", nullptr);
    ASSERT_NE(passwordEdit, nullptr);
    EXPECT_EQ(Text(passwordEdit), "C:\\keys\\pw.txt");
    for (int id : {M::idUser, M::idAccount, M::idPasswordFile})
        EXPECT_TRUE(Enabled(Control(id))) << id;

    SetText(Control(M::idUser), "ann");
    SetText(Control(M::idAccount), "Second");
    SetText(passwordEdit, "C:\\keys\\other.txt");
    Sleep(300);
    EXPECT_EQ(ReadFile(Folder + "\\Data.dat"), before) << "typing must not save";
    Exit();
    auto sync = ReadConfig(Folder);
    auto* remote = dynamic_cast<TRemoteHost*>(sync->Server());
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->User(), "ann");
    EXPECT_EQ(remote->Host(), "store");
    EXPECT_EQ(sync->Module(), "Second");
    EXPECT_EQ(sync->PasswordFile(), "C:\\keys\\other.txt");
}

TEST_F(MainWindow, SettingsIniBrandsTheWindow) {
    WriteFile(Folder + "\\Settings.ini", "[Header]\r\nSubTitle=Office\r\n"
                                         "SupportURL=http://127.0.0.1/help\r\n"
                                         "SupportTitle=&Help Desk\r\n"
                                         "[Text]\r\nFirst line\r\nSecond=2\r\nThird\r\n");
    Start("", {}, "Kalvaren - Office");
    ASSERT_NE(Main, nullptr);
    EXPECT_EQ(Text(Control(M::idDisplayLabel)), "First line\r\nSecond\r\nThird\r\n");
    Exit();
}

TEST_F(MainWindow, StartupRunRestoresThenBacksUp) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        auto* p4 = new TRSyncProfile(&sync, "P4");
        p4->AddPath("C:\\four");
        auto* p5 = new TRSyncProfile(&sync, "P5");
        p5->AddPath("C:\\five");
        (new TRSyncProfileGroup(&sync, "StartupRestore", true))->Add(p4);
        new TRSyncProfileGroup(&sync, "ShutdownRestore", true);
        (new TRSyncProfileGroup(&sync, "StartupBackup", false))->Add(p5);
        new TRSyncProfileGroup(&sync, "ShutdownBackup", false);
    });
    Start("-startup", {{"KAL_RECORD_SLEEP_MS", "300"}});
    ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 2; }, 30s));
    const auto lines = Recorded();
    // C:\four is not there: it is fetched into its folder.
    EXPECT_NE(lines[0].find("Demo//four\" \"/cygdrive/C/\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("/cygdrive/C/five \""), std::string::npos) << lines[1];
    Exit();
}

TEST_F(MainWindow, NoStartupRunWithoutTheSwitchOrWithoutDataDat) {
    WriteStartupBackupOnly();
    Start();
    Sleep(1500);
    EXPECT_FALSE(FileExists(Folder + "\\record.txt"));
    Exit();

    DeleteFileA((Folder + "\\Data.dat").c_str());
    Start("-startup");
    Sleep(1500);
    EXPECT_FALSE(FileExists(Folder + "\\record.txt"));
    Exit();
}

TEST_F(MainWindow, SessionEndRunsTheShutdownGroupsThenPowersOff) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        auto* p1 = new TRSyncProfile(&sync, "P1");
        p1->AddPath("C:\\one");
        auto* p2 = new TRSyncProfile(&sync, "P2");
        p2->AddPath("C:\\two");
        auto* p3 = new TRSyncProfile(&sync, "P3");
        p3->AddPath("C:\\three");
        new TRSyncProfileGroup(&sync, "StartupRestore", true);
        (new TRSyncProfileGroup(&sync, "ShutdownRestore", true))->Add(p3);
        new TRSyncProfileGroup(&sync, "StartupBackup", false);
        auto* backup = new TRSyncProfileGroup(&sync, "ShutdownBackup", false);
        backup->Add(p1);
        backup->Add(p2);
    });
    Start("", {{"KAL_RECORD_SLEEP_MS", "300"}});
    DWORD_PTR answer = 1;
    ASSERT_TRUE(SendMessageTimeoutA(Main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer));
    EXPECT_EQ(answer, 0u) << "the session end must be refused";
    ASSERT_TRUE(WaitUntil([&] { return FileExists(Folder + "\\poweroff.txt"); }, 30s));
    const auto lines = Recorded();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("/cygdrive/C/one \""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("/cygdrive/C/two \""), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("Demo//three\" \"/cygdrive/C/\""), std::string::npos) << lines[2];
    EXPECT_EQ(ReadLines(Folder + "\\poweroff.txt").size(), 1u);
    // Afterwards every session end is allowed.
    ASSERT_TRUE(SendMessageTimeoutA(Main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer));
    EXPECT_EQ(answer, 1u);
    Exit();
}

TEST_F(MainWindow, SessionEndWithEmptyShutdownGroupsIsAllowedAndRunsNothing) {
    WriteStartupBackupOnly();
    Start();
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(Main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer));
    EXPECT_EQ(answer, 1u);
    Sleep(1000);
    EXPECT_FALSE(FileExists(Folder + "\\record.txt"));
    EXPECT_FALSE(FileExists(Folder + "\\poweroff.txt"));
    Exit();
}

TEST_F(MainWindow, DamagedDataDatIsReportedKeptAsideAndDefaultsUsed) {
    const std::string damaged = std::string("\x78\x9c not really deflate data", 26);
    WriteFile(Folder + "\\Data.dat", damaged);
    Program = std::make_unique<TProgram>(Exe, "", Folder);
    HWND box = Program->WaitForDialog(30s);
    ASSERT_NE(box, nullptr);
    std::string message;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM param) -> BOOL {
            *reinterpret_cast<std::string*>(param) += Text(child) + "\n";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&message));
    EXPECT_NE(message.find("Data.dat could not be read"), std::string::npos) << message;
    EXPECT_NE(message.find("Data.dat.damaged"), std::string::npos) << message;
    Click(FindChild(box, IDOK));
    Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    WaitUntil([&] { return Visible(Main); });
    EXPECT_EQ(Text(Control(M::idServer)), "C:\\Kalvaren Backup\\");
    Exit();
    EXPECT_EQ(ReadFile(Folder + "\\Data.dat.damaged"), damaged);
    EXPECT_EQ(ReadConfig(Folder)->Module(), "Demo");
}

TEST_F(MainWindow, Screenshots) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        auto* home = new TRSyncProfile(&sync, "Home");
        home->AddPath("C:\\Users\\jo\\Documents\\Reports");
        home->AddPath("C:\\Users\\jo\\Pictures\\Holiday 2026");
        home->SetCommonSources({csMyDocuments, csDesktop});
        home->SetDateTime(EncodeDateTime(2036, 12, 7, 4, 30));
        home->SetProfileEvent(reDaily);
        new TRSyncProfile(&sync, "Office");
    });
    Start("", {{"KAL_RECORD_SLEEP_MS", "4000"}});
    ASSERT_TRUE(WaitForProfiles(2));
    const std::string shots = ScreenshotFolder();
    EXPECT_TRUE(SaveScreenshot(Main, shots + "\\main-window.png"));

    // The tray icon's menu, opened as a right click on the icon opens it.
    PostMessageA(Main, WM_TRAYNOTIFY, 0, WM_RBUTTONUP);
    HWND menu = Program->WaitForVisible("#32768");
    ASSERT_NE(menu, nullptr);
    Sleep(300);
    EXPECT_TRUE(SaveScreenshot(menu, shots + "\\tray-menu.png"));
    PostMessageA(Main, WM_CANCELMODE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(menu); }));

    Click(Control(M::idBackup));
    HWND terminal = Program->WaitForWindow("Backup Terminal", 20s);
    ASSERT_NE(terminal, nullptr);
    WaitUntil([&] { return Visible(terminal); });
    Sleep(500);
    EXPECT_TRUE(SaveScreenshot(terminal, shots + "\\running-transfer.png"));
    Exit();
}

// Branding values read in-process.
TEST(Branding, StretchIsReadAsAnInteger) {
    EXPECT_EQ(ParseIniInteger("yes"), 0);
    EXPECT_EQ(ParseIniInteger(""), 0);
    EXPECT_EQ(ParseIniInteger("1"), 1);
    EXPECT_EQ(ParseIniInteger("0x1"), 1);
    EXPECT_EQ(ParseIniInteger("0X1F"), 31);
    EXPECT_EQ(ParseIniInteger("12abc"), 0);
}

TEST(Branding, PicturesOutsideTheSixFormatsAreRefused) {
    EXPECT_THROW(TBrandingPicture("C:\\nowhere\\logo.png"), std::runtime_error);
    EXPECT_THROW(TBrandingPicture("C:\\nowhere\\logo.jpg"), std::runtime_error);
}

} // namespace
} // namespace kal::e2e
