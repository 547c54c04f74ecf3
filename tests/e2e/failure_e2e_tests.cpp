// When things go wrong, through the real program with the bridge or the argument
// recorder as rsync (and its main window in this process where the power-off or
// the tray must be the test's own): every failure is seen, and every backup
// that falls due runs once.
#include <winsock2.h>

#include "mainform_fixture.h"
#include "test_support.h"
#include "user_steps.h"

namespace kal::e2e {
namespace {

namespace fs = std::filesystem;

class WhenThingsGoWrong : public MainWindow {
protected:
    void UseBridge(TRSync& sync, const std::string& destination) const {
        sync.SetServer(std::make_unique<TLocalHost>(destination));
        sync.SetRSyncLocation(test::BridgePath().string());
        sync.SetOutputAutoCloseDelay(-1);
    }
    // The report to the loopback STARTTLS server, to a recipient of this test.
    std::string UseMail(TRSync& sync) const {
        const std::string port = ReadFile(MailFixture("starttls", "port").string());
        const std::string rcpt = "failure." + std::to_string(GetTickCount64()) + "@example.test";
        sync.SetEmailServer("localhost:" + std::to_string(std::stoi(port)));
        sync.SetEmailFrom("kalvaren@example.test");
        sync.SetEmailRecipient(rcpt);
        sync.SetEmailPassword("s3cret pass");
        return rcpt;
    }
    bool MailSays(const std::string& rcpt, const std::string& subject) const {
        return WaitUntil(
            [&] { return RecordedFor("starttls", rcpt).find("\nsubject=" + subject) != npos; },
            30s);
    }
    HWND BackUp() {
        SelectListLine(Control(M::idProfiles), 0);
        Click(Control(M::idBackup));
        return Program->WaitForWindow("Backup Terminal", 30s);
    }
    static bool PaneHas(HWND terminal, int pane, const std::string& text,
                        std::chrono::milliseconds timeout = 60s) {
        return WaitUntil([&] { return Text(TerminalPanes(terminal).at(pane)).find(text) != npos; },
                         timeout);
    }
    // A profile due an hour ago, repeating hourly, backed up by the recorder.
    TDateTime WriteOverdueProfile() const {
        const TDateTime due = Now() - 1.0 / 24;
        WriteConfig(Folder, [&](TRSync& sync) {
            UseRecorder(sync);
            auto* p = WithPath(TRSyncProfile::Create(sync, "Due"), "C:\\due");
            p->SetDateTime(due);
            p->SetProfileEvent(reHourly);
        });
        return due;
    }
    static std::string Panes(HWND terminal) {
        return Text(TerminalPanes(terminal).at(0)) + "\n---\n" +
               Text(TerminalPanes(terminal).at(1));
    }
    static constexpr auto npos = std::string::npos;
};

TEST_F(WhenThingsGoWrong, RsyncKilledMidTransferIsAnErrorInThePaneAndTheMail) {
    test::WriteTextFile(fs::path(Folder) / "Killed" / "large.bin", std::string(8 << 20, 'k'));
    std::string rcpt;
    WriteConfig(Folder, [&](TRSync& sync) {
        UseBridge(sync, Folder + "\\Backup\\");
        rcpt = UseMail(sync);
        sync.SetBandwidth(200); // kB/s: forty seconds for the file
        TRSyncProfile::Create(sync, "Killed")->AddPath(Folder + "\\Killed");
    });
    Start("", {{"KAL_RSYNC", KAL_KILLED_RSYNC}});
    HWND terminal = BackUp();
    ASSERT_TRUE(PaneHas(terminal, 1, "rsync ended with exit code 137")) << Panes(terminal);
    EXPECT_TRUE(MailSays(rcpt, "Kalvaren - Error ("));
}

TEST_F(WhenThingsGoWrong, AMissingDriveIsAnErrorAndTheBackupStaysDue) {
    char drive = 'Q';
    while (GetLogicalDrives() & (1u << (drive - 'A')))
        ++drive;
    const TDateTime due = Now() - 1.0 / 24;
    std::string rcpt;
    WriteConfig(Folder, [&](TRSync& sync) {
        UseBridge(sync, std::string(1, drive) + ":\\Backup\\");
        rcpt = UseMail(sync);
        auto* p = WithPath(TRSyncProfile::Create(sync, "Unplugged"), Folder);
        p->SetDateTime(due);
        p->SetProfileEvent(reDaily);
    });
    Start();
    HWND terminal = Program->WaitForWindow("Backup Terminal", 30s);
    ASSERT_TRUE(PaneHas(terminal, 1, std::string(1, drive) + ":\\Backup\\ is not available"))
        << Panes(terminal);
    EXPECT_TRUE(MailSays(rcpt, "Kalvaren - Error ("));
    Exit();
    EXPECT_EQ(ReadConfig(Folder)->GetProfile(0)->DateTime(), due);
}

// When a start-up group's transfer ends, the group's next member and a firing
// that waited both want to start; neither may lose.
TEST_F(WhenThingsGoWrong, AFiringDueDuringAStartupRunRunsOnceInEveryRound) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        DeleteFileA((Folder + "\\record.txt").c_str());
        WriteConfig(Folder, [&](TRSync& sync) {
            UseRecorder(sync);
            auto* group = TRSyncProfileGroup::Create(sync, "StartupBackup", false);
            for (const char* name : {"one", "two", "three"})
                group->Add(WithPath(TRSyncProfile::Create(sync, name), "C:\\" + std::string(name)));
            auto* timed = WithPath(TRSyncProfile::Create(sync, "Timed"), "C:\\timed");
            timed->SetDateTime(Now() + 2.0 / 86400);
            timed->SetProfileEvent(reHourly);
        });
        Start("-startup", {{"KAL_RECORD_SLEEP_MS", "600"}});
        ASSERT_TRUE(WaitUntil([&] { return Recorded().size() >= 4; }, 20s)) << Recorded().size();
        Sleep(1500);
        const auto lines = Recorded();
        EXPECT_EQ(lines.size(), 4u);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.find("timed") != npos; }),
                  1);
        Exit();
    }
}

// A backup cut short by Exit, or by a killed program, runs again at the next start.
TEST_F(WhenThingsGoWrong, ABackupCutShortRunsAgainAtTheNextStart) {
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "Exit");
        DeleteFileA((Folder + "\\record.txt").c_str());
        WriteOverdueProfile();
        Start("", {{"KAL_RECORD_SLEEP_MS", "60000"}});
        ASSERT_TRUE(WaitUntil([&] { return Recorded().size() == 1; }, 20s));
        if (killed)
            Kill();
        else
            Exit(15s);
        Start();
        EXPECT_TRUE(WaitUntil([&] { return Recorded().size() == 2; }, 20s));
        Exit();
    }
}

TEST_F(WhenThingsGoWrong, CtrlBreakEndsAQuietRsyncAtOnce) {
    // A daemon that never greets: rsync waits without a word.
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    listen(listener, 4);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    WriteConfig(Folder, [&](TRSync& sync) {
        UseBridge(sync, "");
        auto remote = std::make_unique<TRemoteHost>();
        remote->SetHost("127.0.0.1");
        sync.SetServer(std::move(remote));
        sync.SetModule("Quiet");
        sync.SetPort(ntohs(address.sin_port));
        TRSyncProfile::Create(sync, "Quiet")->AddPath(Folder);
    });
    Start();
    HWND terminal = BackUp();
    ASSERT_TRUE(PaneHas(terminal, 0, "Transfering: "));
    Sleep(1500);
    ASSERT_EQ(LiveChildren(), 1) << Panes(terminal);
    PostMessageA(TerminalPanes(terminal).at(0), WM_KEYDOWN, VK_CANCEL, 0);
    EXPECT_TRUE(PaneHas(terminal, 0, "Process Terminated!", 2s));
    EXPECT_EQ(LiveChildren(), 0) << "rsync outlived Ctrl+Break";
    closesocket(listener);
    WSACleanup();
}

// The main window in this process: the power-off and the tray are the test's.
class WhenThingsGoWrongInProcess : public WhenThingsGoWrong {
protected:
    std::unique_ptr<TMainForm> Create(TTrayEnvironment tray = StandardUserTray()) {
        SetEnvironmentVariableA("KAL_RECORD_FILE", (Folder + "\\record.txt").c_str());
        auto form = std::make_unique<TMainForm>(Folder, std::move(tray));
        form->PowerOff = [this] {
            ++PowerOffs;
        };
        form->AttachForms({});
        return form;
    }
    void TearDown() override {
        SetEnvironmentVariableA("KAL_RECORD_FILE", nullptr);
        SetEnvironmentVariableA("KAL_RECORD_EXIT", nullptr);
        WhenThingsGoWrong::TearDown();
    }
    static void Pump(const std::function<bool()>& until, DWORD ms) {
        const ULONGLONG deadline = GetTickCount64() + ms;
        while (!until() && GetTickCount64() < deadline) {
            Application().ProcessMessages();
            Sleep(10);
        }
    }
    int PowerOffs = 0;
};

TEST_F(WhenThingsGoWrongInProcess, ACloseRequestSavesAndClosesWithoutAShutdownRun) {
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        auto* p = WithPath(TRSyncProfile::Create(sync, "P"), "C:\\p");
        TRSyncProfileGroup::Create(sync, "ShutdownBackup", false)->Add(p);
    });
    auto form = Create();
    SendMessageA(form->Handle(), WM_COMMAND, TMainForm::idShowOutput, 0); // not saved by itself
    EXPECT_EQ(SendMessageA(form->Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP), 1);
    SendMessageA(form->Handle(), WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    MSG quit{};
    Pump([&] { return PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE; }, 3000);
    EXPECT_EQ(quit.message, static_cast<UINT>(WM_QUIT)) << "the program did not close";
    EXPECT_EQ(PowerOffs, 0);
    EXPECT_FALSE(FileExists(Folder + "\\record.txt"));
    EXPECT_EQ(ReadConfig(Folder)->Flags(), TRSync::DefaultFlags & ~1u);
}

TEST_F(WhenThingsGoWrongInProcess, AFailedRunIsNoticedAtTheTray) {
    std::vector<NOTIFYICONDATAA> notices;
    TTrayEnvironment tray = StandardUserTray();
    tray.NotifyIcon = [&](DWORD, NOTIFYICONDATAA* data) {
        if (data->uFlags & NIF_INFO)
            notices.push_back(*data);
        return TRUE;
    };
    WriteConfig(Folder, [&](TRSync& sync) {
        UseRecorder(sync);
        WithPath(TRSyncProfile::Create(sync, "Nightly"), "C:\\nightly");
    });
    SetEnvironmentVariableA("KAL_RECORD_EXIT", "23");
    auto form = Create(tray);
    SendMessageA(form->Handle(), WM_COMMAND, TMainForm::idBackup, 0);
    Pump([&] { return !notices.empty(); }, 20000);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_STREQ(notices[0].szInfoTitle, "Kalvaren - Error: Nightly");
    EXPECT_STREQ(notices[0].szInfo, "rsync ended with exit code 23: Partial transfer due to error");
}

} // namespace
} // namespace kal::e2e
