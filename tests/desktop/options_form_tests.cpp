// The options dialog and the main window's use of it, driven in-process.
#include "UOptionsForm.h"
#include "UVersions.h"

#include "dialogs_testing.h"
#include "window_testing.h"

#include <commctrl.h>

#include <filesystem>
#include <functional>
#include <memory>

using namespace kal;
using namespace kal::testing;

namespace {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        FRootPath = "Software\\KalvarenTests\\Options" + std::to_string(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, FRootPath.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &FRoot, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegCreateKeyExA(FRoot, "User", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &FUserRoot,
                                  nullptr),
                  ERROR_SUCCESS);
        Form.FormatHelp = &Help;
    }
    void TearDown() override {
        Tray.reset();
        RegCloseKey(FUserRoot);
        RegCloseKey(FRoot);
        RegDeleteTreeA(HKEY_CURRENT_USER, FRootPath.c_str());
    }

    // The main window's tray base on a private key; with `writable` false it
    // refuses every write, as no key of the registry would take them.
    void MakeTray(bool writable = true) {
        HKEY run;
        ASSERT_EQ(
            RegCreateKeyExA(FRoot, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &run, nullptr),
            ERROR_SUCCESS);
        RegCloseKey(run);
        TTrayEnvironment environment;
        environment.MachineRoot = FRoot;
        environment.UserRoot = FUserRoot;
        environment.RefusesWrites = [writable](HKEY) {
            return !writable;
        };
        environment.Arguments = std::vector<std::string>{};
        environment.NotifyIcon = [](DWORD, NOTIFYICONDATAA*) {
            return TRUE;
        };
        Tray = std::make_unique<TTrayForm>(TWindowParams{.ClassName = "TOptionsTestTray"},
                                           "KalvarenOptionsTest", std::move(environment));
    }

    // Runs the main window's "Options" with `user` acting inside the dialog.
    bool Run(std::function<void()> user) {
        if (!Tray)
            MakeTray();
        Form.Post(std::move(user));
        return RunOptionsDialog(Form, Sync, *Tray);
    }

    static void Press(HWND button) { SendMessageA(button, BM_CLICK, 0, 0); }
    static bool Checked(HWND box) { return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    static void TypeInto(TValueEdit& edit, const std::string& text) {
        SetFocus(edit.Handle());
        SendMessageA(edit.Handle(), EM_SETSEL, 0, -1);
        SendMessageA(edit.Handle(), WM_CHAR, VK_BACK, 1);
        Type(edit.Handle(), text);
    }

    TRSync Sync;
    TFormatHelpDialog Help;
    TOptionsForm Form;
    std::unique_ptr<TTrayForm> Tray;
    std::string FRootPath;
    HKEY FRoot = nullptr;
    HKEY FUserRoot = nullptr;
};

TEST_F(OptionsTest, DefaultConfigurationOpensOnEmailWithTheDefaults) {
    ASSERT_FALSE(Run([&] {
        EXPECT_EQ(Form.Caption(), "Options");
        EXPECT_EQ(ClientSize(Form.Handle()).cx, 373);
        EXPECT_EQ(Form.ActivePage(), 3);
        EXPECT_TRUE(IsWindowVisible(Form.Email->Handle()));
        EXPECT_FALSE(IsWindowVisible(Form.tab_General->Handle()));
        EXPECT_FALSE(Checked(Form.chk_Delete));
        EXPECT_FALSE(Checked(Form.chk_Progress));
        EXPECT_FALSE(Checked(Form.chk_Compress));
        EXPECT_FALSE(Checked(Form.chk_Versions));
        EXPECT_EQ(Form.edt_VersionDays->Text(), "30");
        EXPECT_EQ(Form.edt_Port->Text(), "873");
        EXPECT_EQ(Form.edt_Bandwidth->Text(), "0");
        EXPECT_FALSE(Checked(Form.chk_Autoclose));
        EXPECT_FALSE(Form.edt_Delay->Enabled());
        EXPECT_TRUE(GetWindowLongPtrA(Form.edt_Password, GWL_STYLE) & ES_PASSWORD);
        EXPECT_EQ(SendMessageA(Form.edt_Password, EM_GETPASSWORDCHAR, 0, 0), '#');
        EXPECT_EQ(GetText(Form.edt_LogFile->ButtonHandle()), "...");
        EXPECT_EQ(GetText(Form.edt_LogFormat->ButtonHandle()), "?");
        const char* names[] = {"general", "connection", "advanced", "email", "skip"};
        for (int page = 0; page < 5; ++page) {
            Form.SetActivePage(page);
            Screenshot(Form.Handle(), std::string("options_") + names[page]);
        }
        Form.SetActivePage(1);
        Press(Form.CancelBtn);
    }));
    // Later openings come back to the page last used.
    ASSERT_FALSE(Run([&] {
        EXPECT_EQ(Form.ActivePage(), 1);
        Press(Form.CancelBtn);
    }));
}

TEST_F(OptionsTest, AutoCloseBoxDecidesTheDelayStored) {
    Sync.SetOutputAutoCloseDelay(-1);
    ASSERT_TRUE(Run([&] {
        Press(Form.chk_Autoclose);
        EXPECT_TRUE(Form.edt_Delay->Enabled());
        TypeInto(*Form.edt_Delay, "0");
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.OutputAutoCloseDelay(), 0);

    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(Checked(Form.chk_Autoclose));
        TypeInto(*Form.edt_Delay, "30");
        Press(Form.chk_Autoclose);
        EXPECT_FALSE(Form.edt_Delay->Enabled());
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.OutputAutoCloseDelay(), -1);
    // The number survives in the disabled field for the next time.
    EXPECT_EQ(Form.edt_Delay->Text(), "30");
}

TEST_F(OptionsTest, TrayAndStartupBoxesReachTheMainWindow) {
    MakeTray();
    Tray->SetRunOnStartup(true);
    Tray->SetTrayOnStartup(true);
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(Checked(Form.chk_Startup));
        EXPECT_TRUE(Checked(Form.chk_Minimised));
        Press(Form.chk_Startup); // cleared; "Minimised" stays ticked
        Press(Form.chk_TrayOnClose);
        Press(Form.OKBtn);
    }));
    EXPECT_FALSE(Tray->RunOnStartup());
    EXPECT_FALSE(Tray->TrayOnStartup());
    EXPECT_TRUE(Tray->CloseToTray);
    EXPECT_FALSE(Tray->MinimiseToTray);
}

// Keys pressed and released one after the other at the focused control of
// `window`, as the keyboard delivers them, with Ctrl and Shift held as given. A
// window another test's window took the activation from gets it back.
struct TKey {
    TKey(WORD code, TShiftState shift = 0) : Code(code), Shift(shift) {}
    WORD Code;
    TShiftState Shift;
};
void PressKeys(HWND window, std::vector<TKey> keys) {
    if (!GetFocus())
        SetActiveWindow(window);
    BYTE state[256];
    GetKeyboardState(state);
    state[VK_CONTROL] = !keys.empty() && (keys[0].Shift & ssCtrl) ? 0x80 : 0;
    state[VK_SHIFT] = !keys.empty() && (keys[0].Shift & ssShift) ? 0x80 : 0;
    SetKeyboardState(state);
    if (keys.empty())
        return;
    PostMessageA(GetFocus(), WM_KEYDOWN, keys[0].Code, 1);
    PostMessageA(GetFocus(), WM_KEYUP, keys[0].Code, static_cast<LPARAM>(0xC0000001));
    keys.erase(keys.begin());
    Application().Post([window, keys] { PressKeys(window, keys); });
}

TEST_F(OptionsTest, EveryControlIsReachedByKeyboardInReadingOrder) {
    // Tab from the page strip visits the page, then OK and Cancel.
    const std::vector<std::vector<HWND>> pages{
        {Form.chk_Startup, Form.chk_Minimised, Form.chk_TrayOnMin, Form.chk_TrayOnClose,
         Form.chk_Autoclose},
        {Form.edt_Bandwidth->Handle(), Form.edt_Port->Handle(), Form.chk_Delete, Form.chk_Progress,
         Form.chk_Compress, Form.chk_Versions, Form.edt_VersionDays->Handle()},
        {Form.edt_LogFile->EditHandle(), Form.edt_LogFile->ButtonHandle(),
         Form.edt_LogFormat->EditHandle(), Form.edt_LogFormat->ButtonHandle(),
         Form.edt_OutputFormat->EditHandle(), Form.edt_OutputFormat->ButtonHandle()},
        {Form.edt_Recipient, Form.edt_From, Form.edt_Server, Form.edt_Password},
        {Form.edt_SkipList, Form.btn_Suggested}};
    for (int page = 0; page < 5; ++page) {
        Form.SetActivePage(page);
        std::vector<HWND> expected = pages[page], order{Form.PageControl1};
        expected.insert(expected.end(), {Form.OKBtn, Form.CancelBtn, Form.PageControl1});
        for (std::size_t i = 0; i < expected.size(); ++i)
            order.push_back(GetNextDlgTabItem(Form.Handle(), order.back(), FALSE));
        EXPECT_EQ(std::vector<HWND>(order.begin() + 1, order.end()), expected) << "page " << page;
    }
    Form.SetActivePage(3);

    // A fresh dialog opens on Email with the focus on the strip; the arrows and
    // Ctrl+(Shift+)Tab turn to General; Tab, Space, Tab, Space tick both
    // start-up boxes; Enter is OK.
    MakeTray();
    bool startedOnStrip = false;
    ASSERT_TRUE(Run([&] {
        startedOnStrip = GetFocus() == Form.PageControl1;
        const TKey next{VK_TAB, ssCtrl}, back{VK_TAB, ssCtrl | ssShift};
        PressKeys(Form.Handle(), {VK_LEFT, next, back, back, VK_LEFT, VK_TAB, VK_SPACE, VK_TAB,
                                  VK_SPACE, VK_RETURN});
    }));
    EXPECT_TRUE(startedOnStrip);
    EXPECT_TRUE(Tray->RunOnStartup());
    EXPECT_TRUE(Tray->TrayOnStartup());
}

TEST_F(OptionsTest, PortAndBandwidthFieldsKeepToSixteenBits) {
    ASSERT_TRUE(Run([&] {
        TypeInto(*Form.edt_Port, "70000");
        EXPECT_EQ(Form.edt_Port->Text(), "70000");
        TypeInto(*Form.edt_Bandwidth, "70000");
        EXPECT_EQ(Form.edt_Port->Text(), "65535"); // corrected on leaving
        SetFocus(Form.edt_Port->Handle());
        EXPECT_EQ(Form.edt_Bandwidth->Text(), "65535");
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.Port(), 65535);
    EXPECT_EQ(Sync.Bandwidth(), 65535);

    ASSERT_TRUE(Run([&] {
        TypeInto(*Form.edt_Port, "0");
        SendMessageA(Form.edt_Bandwidth->Handle(), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>("fast")); // pasted
        SetFocus(Form.edt_Bandwidth->Handle());
        SetFocus(Form.edt_Port->Handle());
        EXPECT_EQ(Form.edt_Bandwidth->Text(), "0");
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.Port(), 873);
    EXPECT_EQ(Sync.Bandwidth(), 0);
}

TEST_F(OptionsTest, EnterTakesTheNumberStillBeingTyped) {
    ASSERT_TRUE(Run([&] {
        Form.SetActivePage(1);
        TypeInto(*Form.edt_Port, "2222");
        // Enter reaches the dialog through the message loop's keyboard navigation.
        PostMessageA(Form.edt_Port->Handle(), WM_KEYDOWN, VK_RETURN, 1);
    }));
    EXPECT_EQ(Sync.Port(), 2222);
}

TEST_F(OptionsTest, FlagBoxesChangeOnlyTheirOwnBits) {
    const std::uint32_t others = 0x1234F9FFu & ~0x80000600u;
    Sync.SetFlags(others | 0x400);
    ASSERT_TRUE(Run([&] {
        EXPECT_FALSE(Checked(Form.chk_Delete));
        EXPECT_TRUE(Checked(Form.chk_Progress));
        Press(Form.chk_Delete);
        Press(Form.chk_Progress);
        Press(Form.chk_Compress);
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.Flags(), others | 0x200 | 0x80000000u);
    ASSERT_TRUE(Run([&] {
        Press(Form.chk_Delete);
        Press(Form.chk_Progress);
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.Flags(), others | 0x400 | 0x80000000u);
}

TEST_F(OptionsTest, EarlierVersionsAndTheSkipListReachTheConfigurationAndTheUsersKey) {
    const std::string list = (std::filesystem::temp_directory_path() /
                              ("kal-skip-" + std::to_string(GetCurrentProcessId()) + ".txt"))
                                 .string();
    Sync.SetSkipListFile(list);
    SaveSkipList(list, "*.bak\n");
    ASSERT_TRUE(Run([&] {
        EXPECT_EQ(Form.SkipList(), "*.bak\r\n");
        Press(Form.chk_Versions);
        Press(Form.btn_Suggested);
        Press(Form.btn_Suggested); // nothing twice
        TypeInto(*Form.edt_VersionDays, "7");
        Press(Form.OKBtn);
    }));
    EXPECT_TRUE(Sync.Flags() & TRSync::KeepVersionsBit);
    EXPECT_EQ(Sync.KeepVersionDays(), 7);
    const std::string stored = LoadSkipList(list);
    EXPECT_TRUE(stored.starts_with("*.bak\r\nNTUSER.DAT*\r\n")) << stored;
    EXPECT_EQ(stored.find("Thumbs.db"), stored.rfind("Thumbs.db")) << stored;
    std::filesystem::remove(list);
    Tray.reset(); // writes its settings
    DWORD days = 0, size = sizeof days;
    EXPECT_EQ(RegGetValueA(FUserRoot, "Software\\KalvarenOptionsTest", "Keep Versions Days",
                           RRF_RT_REG_DWORD, nullptr, &days, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(days, 7u);
    EXPECT_NE(RegGetValueA(FRoot, "Software\\KalvarenOptionsTest", "Keep Versions Days",
                           RRF_RT_REG_DWORD, nullptr, &days, &size),
              ERROR_SUCCESS)
        << "one user's choice, never the machine's";
    MakeTray();
    EXPECT_EQ(Tray->KeepVersionDays, 7);
}

TEST_F(OptionsTest, TextSettingsRoundTripAndCancelChangesNothing) {
    Sync.SetLogFile("C:\\Logs\\rsync.log");
    Sync.SetLogFormat("%i %n%L");
    Sync.SetEmailRecipient("me@example.org");
    Sync.SetEmailPassword("secret");
    ASSERT_FALSE(Run([&] {
        EXPECT_EQ(Form.LogFile(), "C:\\Logs\\rsync.log");
        EXPECT_EQ(Form.LogFormat(), "%i %n%L");
        EXPECT_EQ(Form.Recipient(), "me@example.org");
        EXPECT_EQ(Form.Password(), "secret");
        Form.edt_LogFile->SetText("D:\\other.log");
        SetText(Form.edt_Recipient, "someone@example.org");
        Press(Form.chk_Compress);
        TypeInto(*Form.edt_Port, "99");
        Press(Form.CancelBtn);
    }));
    EXPECT_EQ(Sync.LogFile(), "C:\\Logs\\rsync.log");
    EXPECT_EQ(Sync.EmailRecipient(), "me@example.org");
    EXPECT_EQ(Sync.Flags(), TRSync::DefaultFlags);
    EXPECT_EQ(Sync.Port(), 873);

    ASSERT_TRUE(Run([&] {
        EXPECT_EQ(Form.LogFile(), "C:\\Logs\\rsync.log"); // the configuration again
        EXPECT_EQ(Form.Port(), 873);
        EXPECT_FALSE(Checked(Form.chk_Compress));
        Form.edt_OutputFormat->SetText("%n");
        SetText(Form.edt_From, "kalvaren@example.org");
        SetText(Form.edt_Server, "127.0.0.1");
        Press(Form.OKBtn);
    }));
    EXPECT_EQ(Sync.OutputFormat(), "%n");
    EXPECT_EQ(Sync.EmailFrom(), "kalvaren@example.org");
    EXPECT_EQ(Sync.EmailServer(), "127.0.0.1");
    EXPECT_EQ(Sync.EmailPassword(), "secret");
}

TEST_F(OptionsTest, FormatHelpOpensBesideTheDialogAndHidesWithIt) {
    ASSERT_TRUE(Run([&] {
        Form.SetActivePage(2);
        SetWindowPos(Form.Handle(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        Press(Form.edt_OutputFormat->ButtonHandle());
        EXPECT_TRUE(Help.Visible());
        RECT dialog, help;
        GetWindowRect(Form.Handle(), &dialog);
        GetWindowRect(Help.Handle(), &help);
        EXPECT_EQ(help.left, dialog.right);
        EXPECT_TRUE(IsWindowEnabled(Help.Handle())) << "usable beside the modal dialog";
        Help.Hide();
        Press(Form.edt_LogFormat->ButtonHandle());
        EXPECT_TRUE(Help.Visible());
        Press(Form.OKBtn);
    }));
    EXPECT_FALSE(Help.Visible());
}

TEST_F(OptionsTest, RegistryFailureStillCopiesEveryOtherSetting) {
    ExceptionRecorder errors;
    MakeTray(false);
    ASSERT_THROW(Run([&] {
                     Press(Form.chk_Startup);
                     Press(Form.chk_TrayOnMin);
                     Press(Form.chk_Autoclose);
                     TypeInto(*Form.edt_Delay, "5");
                     SetText(Form.edt_Recipient, "me@example.org");
                     SetText(Form.edt_Password, "pw");
                     Press(Form.OKBtn);
                 }),
                 ERegistryException);
    EXPECT_TRUE(Tray->MinimiseToTray);
    EXPECT_EQ(Sync.OutputAutoCloseDelay(), 5);
    EXPECT_EQ(Sync.EmailRecipient(), "me@example.org");
    EXPECT_EQ(Sync.EmailPassword(), "pw");
    // The entry was not written, and the next opening says so.
    EXPECT_FALSE(Tray->RunOnStartup());
    EXPECT_FALSE(Run([&] {
        EXPECT_FALSE(Checked(Form.chk_Startup));
        Press(Form.CancelBtn);
    }));
    // The tray flags fail at exit, reported by the default error report.
    Tray.reset();
    EXPECT_EQ(errors.Messages.size(), 1u);
}

} // namespace
