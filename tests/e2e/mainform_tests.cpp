// The real program under Wine, driven from outside: first start, profiles and
// files, the profile list's lines, destinations, branding, start-up and
// shutdown runs, a damaged Data.dat.
#include "user_steps.h"
#include "UBranding.h"
#include "UMainForm.h"
#include "e2e_support.h"
#include "mainform_fixture.h"

#include <gtest/gtest.h>

namespace kal::e2e {
namespace {

std::vector<std::string> ProfileNamesOf(const TRSync& sync) {
    std::vector<std::string> names;
    for (const TRSyncProfile* profile : sync.ProfileList())
        names.push_back(profile->Name());
    return names;
}

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
    WriteConfig(Folder, [](TRSync& sync) { TRSyncProfile::Create(sync, "Files"); });
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
        auto* home = TRSyncProfile::Create(sync, "Home");
        home->SetDateTime(EncodeDateTime(2036, 12, 7, 4, 30));
        home->SetProfileEvent(reDaily);
        auto* manual = TRSyncProfile::Create(sync, "Away");
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
        auto* p = TRSyncProfile::Create(sync, "Only");
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

// An edited schedule re-orders the profiles; the selection, the panel and
// "Remove Selected" stay with the profile the user chose.
TEST_F(MainWindow, SelectionFollowsItsProfileWhenAnEditedScheduleMovesIt) {
    WriteConfig(Folder, [](TRSync& sync) {
        auto* moves = TRSyncProfile::Create(sync, "Moves");
        moves->AddPath("C:\\moves");
        moves->SetDateTime(Now() + 1);
        auto* stays = TRSyncProfile::Create(sync, "Stays");
        stays->AddPath("C:\\stays");
        stays->SetDateTime(Now() + 2);
    });
    Start();
    ASSERT_TRUE(WaitForProfiles(2));
    ASSERT_EQ(Profiles()[0], "Moves: Manual");
    DoubleClickListLine(Control(M::idProfiles), 0);
    HWND dialog = Program->WaitForWindow("Dialog");
    ASSERT_NE(dialog, nullptr);
    // Active events sort behind inactive ones: "Moves" goes to the second line.
    Click(FindChild(dialog, "BUTTON", "Daily"));
    Click(FindChild(dialog, "BUTTON", "OK"));
    ASSERT_TRUE(WaitUntil([&] { return Profiles()[0] == "Stays: Manual"; }));
    EXPECT_EQ(ListSelection(Control(M::idProfiles)), 1);
    EXPECT_EQ(ListLines(Control(M::idFilePath)), std::vector<std::string>{"C:\\moves"});
    SelectListLine(Control(M::idFilePath), 0);
    Click(Control(M::idRemovePath));
    ASSERT_TRUE(WaitUntil([&] { return ListLines(Control(M::idFilePath)).empty(); }));
    Exit();
    auto sync = ReadConfig(Folder);
    ASSERT_EQ(ProfileNamesOf(*sync), (std::vector<std::string>{"Stays", "Moves"}));
    EXPECT_EQ(sync->GetProfile(0)->PathList(), std::vector<std::string>{"C:\\stays"});
    EXPECT_TRUE(sync->GetProfile(1)->PathList().empty());
}

// Windows may end the process right after WM_ENDSESSION: the edits made since the
// last save must be on disk by then.
TEST_F(MainWindow, EditsSurviveTheEndOfTheSession) {
    WriteConfig(Folder, [](TRSync& sync) { TRSyncProfile::Create(sync, "Gone"); });
    Start();
    ASSERT_TRUE(WaitForProfiles(1));
    MenuCommand(Main, M::idShowOutput); // no save of its own
    // A tray setting, kept in the registry at exit or at the end of the session.
    MenuCommand(Main, M::idOptions);
    HWND options = Program->WaitForWindow("Options");
    ASSERT_NE(options, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Visible(options); })); // it lives hidden until asked for
    HWND trayOnClose = FindChild(options, "BUTTON", "Hide To Tray On Close");
    ASSERT_FALSE(Checked(trayOnClose));
    Click(trayOnClose);
    ASSERT_TRUE(WaitUntil([&] { return Checked(trayOnClose); }));
    Click(FindChild(options, "BUTTON", "OK"));
    ASSERT_TRUE(WaitUntil([&] { return !Visible(options); }));
    Click(Control(M::idRemoveProfile));
    HWND confirm = Program->WaitForDialog(20s, [](HWND w) { return FindChild(w, IDYES); });
    ASSERT_NE(confirm, nullptr);
    Click(FindChild(confirm, IDYES));
    ASSERT_TRUE(WaitForProfiles(0));
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(Main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer));
    EXPECT_EQ(answer, 1u);
    ASSERT_TRUE(SendMessageTimeoutA(Main, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, &answer));
    Kill();
    auto sync = ReadConfig(Folder);
    EXPECT_EQ(sync->ProfileCount(), 0);
    EXPECT_EQ(sync->Flags() & 1u, 0u);
    // The user's key first, then the machine's, as the program reads them.
    DWORD closeToTray = 0, size = sizeof closeToTray;
    const bool written =
        RegGetValueA(HKEY_CURRENT_USER, "Software\\Kalvaren", "Close To Tray", RRF_RT_REG_DWORD,
                     nullptr, &closeToTray, &size) == ERROR_SUCCESS ||
        RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Kalvaren", "Close To Tray", RRF_RT_REG_DWORD,
                     nullptr, &closeToTray, &size) == ERROR_SUCCESS;
    EXPECT_TRUE(written) << "the tray settings were not written";
    EXPECT_EQ(closeToTray, 1u);
}

// Exit while a transfer runs (its child silent for two minutes) and a scheduled
// firing waits for it: the program ends within seconds and so does the child.
TEST_F(MainWindow, ExitWhileATransferRunsAndAFiringWaitsEndsPromptly) {
    const TDateTime due = Now() + 12000.0 / MSecsPerDay;
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        WithPath(TRSyncProfile::Create(sync, "Hand"), "C:\\hand");
        auto* later = WithPath(TRSyncProfile::Create(sync, "Later"), "C:\\later");
        later->SetDateTime(due);
        later->SetProfileEvent(reHourly);
    });
    Start("", {{"KAL_RECORD_SLEEP_MS", "120000"}});
    ASSERT_TRUE(WaitForProfiles(2));
    ASSERT_EQ(Profiles()[0], "Hand: Manual");
    Click(Control(M::idBackup));
    ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 20s));
    while (Now() < due + 1500.0 / MSecsPerDay)
        Sleep(100);
    EXPECT_EQ(LiveChildren(), 1);
    Exit(10s);
    EXPECT_EQ(LiveChildren(), 0) << "the rsync child outlived the program";
    EXPECT_EQ(Recorded().size(), 1u) << "no run may start during the exit";
}

TEST_F(MainWindow, ExitDuringALongAutoCloseCountdownEndsPromptly) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        sync.SetOutputAutoCloseDelay(3600);
        TRSyncProfile::Create(sync, "Quick")->AddPath("C:\\quick");
    });
    Start();
    ASSERT_TRUE(WaitForProfiles(1));
    Click(Control(M::idBackup));
    HWND terminal = Program->WaitForWindow("Backup Terminal");
    ASSERT_NE(terminal, nullptr);
    ASSERT_TRUE(WaitUntil([&] {
        for (HWND pane : TerminalPanes(terminal))
            if (Text(pane).find("will close in 3600 seconds") != std::string::npos)
                return true;
        return false;
    }));
    Exit(10s);
}

// A damaged Data.dat that another program holds can be neither moved nor
// copied aside: the program runs on defaults and never saves over it.
TEST_F(MainWindow, ALockedDamagedDataDatIsNeverOverwritten) {
    const std::string damaged = std::string("\x78\x9c not really deflate data", 26);
    WriteFile(Folder + "\\Data.dat", damaged);
    HANDLE lock = CreateFileA((Folder + "\\Data.dat").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Program = std::make_unique<TProgram>(Exe, "", Folder);
    HWND box = Program->WaitForDialog(30s);
    ASSERT_NE(box, nullptr);
    Click(FindChild(box, IDOK));
    Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    CloseHandle(lock);
    // An edit that saves at once, then the exit that saves.
    Click(Control(M::idNewProfile));
    HWND prompt = Program->WaitForWindow("New Profile");
    ASSERT_NE(prompt, nullptr);
    Click(FindChild(prompt, IDOK));
    ASSERT_TRUE(WaitForProfiles(1));
    Exit();
    EXPECT_EQ(ReadFile(Folder + "\\Data.dat"), damaged);
}

// A second start shows the running program (here from the tray) and ends; one
// with -startup just ends. The overdue backup runs once.
TEST_F(MainWindow, ASecondStartShowsTheRunningProgramAndEnds) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        auto* due = TRSyncProfile::Create(sync, "Due");
        due->AddPath("C:\\due");
        due->SetDateTime(Now() - 2.0 / 24);
        due->SetProfileEvent(reHourly);
    });
    std::map<std::string, std::string> environment{{"KAL_RECORD_FILE", Folder + "\\record.txt"}};
    Program = std::make_unique<TProgram>(Exe, "-startup -minimise", Folder, environment);
    Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 20s));
    EXPECT_FALSE(Visible(Main));

    TProgram atLogon(Exe, "-startup", Folder, environment);
    EXPECT_TRUE(atLogon.WaitForExit(20s));
    EXPECT_FALSE(Visible(Main));
    TProgram second(Exe, "", Folder, environment);
    EXPECT_TRUE(second.WaitForExit(20s));
    EXPECT_TRUE(WaitUntil([&] { return Visible(Main); }));
    Sleep(1500);
    EXPECT_EQ(Recorded().size(), 1u);
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
        auto* p4 = TRSyncProfile::Create(sync, "P4");
        p4->AddPath("C:\\four");
        auto* p5 = TRSyncProfile::Create(sync, "P5");
        p5->AddPath("C:\\five");
        TRSyncProfileGroup::Create(sync, "StartupRestore", true)->Add(p4);
        TRSyncProfileGroup::Create(sync, "ShutdownRestore", true);
        TRSyncProfileGroup::Create(sync, "StartupBackup", false)->Add(p5);
        TRSyncProfileGroup::Create(sync, "ShutdownBackup", false);
    });
    Start("-startup", {{"KAL_RECORD_SLEEP_MS", "300"}});
    ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 2; }, 30s));
    const auto lines = Recorded();
    // C:\four is not there: it is fetched into its folder.
    EXPECT_NE(lines[0].find("Demo//four\" \"/cygdrive/C/\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("/cygdrive/C/five \""), std::string::npos) << lines[1];
    Exit();
}

// A start-up run waits for its transfers away from the window thread: while a
// member's transfer runs, the window still answers a command within a second.
TEST_F(MainWindow, TheWindowAnswersWhileAStartupRunWaitsForATransfer) {
    WriteStartupBackupOnly();
    Start("-startup", {{"KAL_RECORD_SLEEP_MS", "8000"}});
    ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 30s));
    MenuCommand(Main, M::idMinimiseToTray);
    EXPECT_TRUE(WaitUntil([&] { return !Visible(Main); }, 1s)) << "the window did not answer";
    Exit();
}

// An error box shown while the window is still being built runs a message loop;
// the start-up run waits for the program's own loop, with the terminal there.
TEST_F(MainWindow, StartupRunWaitsForAllWindowsNotForAnErrorBox) {
    WriteStartupBackupOnly();
    WriteFile(Folder + "\\Settings.ini", "[Image]\r\nImage=" + Folder + "\\missing.jpg\r\n");
    Program = std::make_unique<TProgram>(
        Exe, "-startup", Folder,
        std::map<std::string, std::string>{{"KAL_RECORD_FILE", Folder + "\\record.txt"}});
    HWND box = Program->WaitForDialog(30s);
    ASSERT_NE(box, nullptr);
    Sleep(1500);
    EXPECT_FALSE(FileExists(Folder + "\\record.txt")) << "ran inside the error box";
    Click(FindChild(box, IDOK));
    Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 20s));
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

TEST_F(MainWindow, StartedAtLogonElsewhereItFindsRsyncInItsOwnBinFolder) {
    // Windows starts the programs of the Run key in a folder of its own; the
    // default rsync location "Bin\RSync.exe" must still lead to the program's
    // (a relative program name is looked for beside the starting program first).
    CreateDirectoryA((Folder + "\\Bin").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ArgRecorder().c_str(), (Folder + "\\Bin\\RSync.exe").c_str(), FALSE));
    WriteConfig(Folder, [&](TRSync& sync) {
        sync.SetServer(std::make_unique<TLocalHost>(Folder + "\\dest"));
        auto* p = TRSyncProfile::Create(sync, "P");
        p->AddPath("C:\\p");
        TRSyncProfileGroup::Create(sync, "StartupBackup", false)->Add(p);
    });
    CreateDirectoryA((Folder + "\\dest").c_str(), nullptr);
    const std::string elsewhere = Folder + "\\elsewhere";
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    Program = std::make_unique<TProgram>(
        Exe, "-startup", elsewhere,
        std::map<std::string, std::string>{{"KAL_RECORD_FILE", Folder + "\\record.txt"}});
    Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 30s));
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
        auto* home = TRSyncProfile::Create(sync, "Home");
        home->AddPath("C:\\Users\\jo\\Documents\\Reports");
        home->AddPath("C:\\Users\\jo\\Pictures\\Holiday 2026");
        home->SetCommonSources({csMyDocuments, csDesktop});
        home->SetDateTime(EncodeDateTime(2036, 12, 7, 4, 30));
        home->SetProfileEvent(reDaily);
        TRSyncProfile::Create(sync, "Office");
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
