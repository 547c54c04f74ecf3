#include "UTrayForm.h"

#include "window_testing.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace kal;
using namespace kal::testing;

namespace {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct NotifyCall {
    DWORD Message;
    NOTIFYICONDATAA Data;
};

// Two private keys under HKEY_CURRENT_USER stand in for HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, so tests neither need nor disturb the real ones; either can
// refuse writes, as HKEY_LOCAL_MACHINE does for a standard user.
class TrayFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        FRootPath = "Software\\KalvarenTests\\Tray" + std::to_string(GetCurrentProcessId());
        for (auto [key, name] : {std::pair{&Machine, "\\Machine"}, std::pair{&User, "\\User"}})
            ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (FRootPath + name).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, key, nullptr),
                      ERROR_SUCCESS);
        Application().ShowMainForm = true;
    }
    void TearDown() override {
        Form.reset();
        RegCloseKey(Machine);
        RegCloseKey(User);
        RegDeleteTreeA(HKEY_CURRENT_USER, FRootPath.c_str());
    }

    void CreateRunKey(HKEY root) {
        HKEY run;
        ASSERT_EQ(
            RegCreateKeyExA(root, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &run, nullptr),
            ERROR_SUCCESS);
        RegCloseKey(run);
    }
    void CreateRunKey() { CreateRunKey(Machine); }

    void Make(std::vector<std::string> arguments) {
        TTrayEnvironment environment;
        environment.MachineRoot = Machine;
        environment.UserRoot = User;
        environment.RefusesWrites = [this](HKEY root) {
            return (root == Machine && MachineRefuses) || (root == User && UserRefuses);
        };
        environment.Arguments = std::move(arguments);
        environment.NotifyIcon = [this](DWORD message, NOTIFYICONDATAA* data) {
            Calls.push_back({message, *data});
            return TRUE;
        };
        Form = std::make_unique<TTrayForm>(
            TWindowParams{.ClassName = "TTrayTestForm", .Caption = "Tray test"}, "Kalvaren",
            std::move(environment));
    }

    std::optional<std::string> RunValue(HKEY root) const {
        char data[1024];
        DWORD size = sizeof data, type = 0;
        if (RegGetValueA(root, kRunKey, "Kalvaren", RRF_RT_ANY, &type, data, &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        EXPECT_EQ(type, DWORD(REG_SZ));
        return std::string(data);
    }
    std::optional<std::string> RunValue() const { return RunValue(User); }

    // What the program writes: its path quoted, then the switches.
    static std::string Command(const std::string& switches) {
        return "\"" + Application().ExeName() + "\" " + switches;
    }

    void SetRunValue(const std::string& data, HKEY root) {
        CreateRunKey(root);
        ASSERT_EQ(RegSetKeyValueA(root, kRunKey, "Kalvaren", REG_SZ, data.c_str(),
                                  static_cast<DWORD>(data.size() + 1)),
                  ERROR_SUCCESS);
    }
    void SetRunValue(const std::string& data) { SetRunValue(data, Machine); }

    std::optional<DWORD> Setting(const char* name, HKEY root) const {
        DWORD value = 0, size = sizeof value;
        if (RegGetValueA(root, "Software\\Kalvaren", name, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS)
            return std::nullopt;
        return value;
    }
    std::optional<DWORD> Setting(const char* name) const { return Setting(name, Machine); }

    size_t CountOf(DWORD message) const {
        size_t count = 0;
        for (const NotifyCall& call : Calls)
            count += call.Message == message;
        return count;
    }

    HKEY Machine = nullptr;
    HKEY User = nullptr;
    bool MachineRefuses = false;
    bool UserRefuses = false;
    std::string FRootPath;
    std::vector<NotifyCall> Calls;
    std::unique_ptr<TTrayForm> Form;
};

} // namespace

TEST_F(TrayFormTest, StartupThenMinimiseStaysHiddenWithOneIcon) {
    CreateRunKey();
    Make({"-startup", "-minimise"});
    EXPECT_TRUE(Form->SystemStartup());
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_TRUE(Form->TrayOnStartup());
    EXPECT_TRUE(Form->MinimisedToTray());
    EXPECT_FALSE(Form->Visible());
    EXPECT_FALSE(Application().ShowMainForm);
    ASSERT_EQ(Calls.size(), 1u);
    const NOTIFYICONDATAA& data = Calls[0].Data;
    EXPECT_EQ(Calls[0].Message, DWORD(NIM_ADD));
    EXPECT_STREQ(data.szTip, "Kalvaren");
    EXPECT_EQ(data.cbSize, DWORD(NOTIFYICONDATAA_V2_SIZE));
    EXPECT_EQ(data.hWnd, Form->Handle());
    EXPECT_EQ(data.uID, 0u);
    EXPECT_EQ(data.uFlags, UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(data.uCallbackMessage, 0x4030u);
    EXPECT_EQ(data.hIcon, Application().Icon());
    EXPECT_EQ(RunValue(), Command("-startup -minimise"));
}

TEST_F(TrayFormTest, StartupInAnyCaseShowsTheWindowAndMinimiseCountsOnlyAfterIt) {
    CreateRunKey();
    Make({"-StartUP"});
    EXPECT_TRUE(Form->SystemStartup());
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_FALSE(Form->TrayOnStartup());
    EXPECT_FALSE(Form->MinimisedToTray());
    EXPECT_TRUE(Application().ShowMainForm);
    EXPECT_TRUE(Calls.empty());
    EXPECT_EQ(RunValue(), Command("-startup"));

    Form.reset();
    RegDeleteKeyValueA(User, kRunKey, "Kalvaren");
    Make({"-minimise", "-startup", "other"});
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_FALSE(Form->TrayOnStartup());
    EXPECT_TRUE(Calls.empty());
    EXPECT_EQ(RunValue(), Command("-startup"));
}

TEST_F(TrayFormTest, AStoredRunValueTurnsBothFlagsOnAndIsRewrittenWithThisPath) {
    SetRunValue("C:\\Old Place\\Kalvaren.exe -startup -MINIMISE");
    Make({});
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_TRUE(Form->TrayOnStartup());
    EXPECT_FALSE(Form->SystemStartup());
    EXPECT_FALSE(Form->MinimisedToTray());
    EXPECT_TRUE(Application().ShowMainForm);
    // The machine-wide entry of an earlier version moves to the user's key: it
    // would start this user's copy for every user.
    EXPECT_EQ(RunValue(), Command("-startup -minimise"));
    EXPECT_EQ(RunValue(Machine), std::nullopt);
}

TEST_F(TrayFormTest, RunKeyFollowsTheTwoFlags) {
    CreateRunKey();
    Make({});
    EXPECT_FALSE(Form->RunOnStartup());
    EXPECT_FALSE(Form->TrayOnStartup());
    EXPECT_EQ(RunValue(), std::nullopt); // nothing written without a reason

    Form->SetTrayOnStartup(true);
    EXPECT_EQ(RunValue(), std::nullopt);
    Form->SetRunOnStartup(true);
    EXPECT_EQ(RunValue(), Command("-startup -minimise"));
    Form->SetTrayOnStartup(false);
    EXPECT_EQ(RunValue(), Command("-startup"));
    Form->SetRunOnStartup(false);
    EXPECT_EQ(RunValue(), std::nullopt);
    Form->SetRunOnStartup(false); // deleting a missing value is no error
}

TEST_F(TrayFormTest, TraySettingsAreReadAtStartAndWrittenAtDestruction) {
    Make({});
    EXPECT_FALSE(Form->MinimiseToTray);
    EXPECT_FALSE(Form->CloseToTray);
    Form->CloseToTray = true;
    Form.reset();
    EXPECT_EQ(Setting("Minimise To Tray"), std::nullopt); // unchanged: not written
    EXPECT_EQ(Setting("Close To Tray"), 1u);

    Make({});
    EXPECT_FALSE(Form->MinimiseToTray);
    EXPECT_TRUE(Form->CloseToTray);
    Form.reset();

    // Values of another type or missing count as false rather than failing the start.
    RegSetKeyValueA(Machine, "Software\\Kalvaren", "Minimise To Tray", REG_SZ, "1", 2);
    RegDeleteKeyValueA(Machine, "Software\\Kalvaren", "Close To Tray");
    ExceptionRecorder errors;
    Make({});
    EXPECT_FALSE(Form->MinimiseToTray);
    EXPECT_FALSE(Form->CloseToTray);
    Form->MinimiseToTray = true;
    Form.reset();
    EXPECT_TRUE(errors.Messages.empty());
    EXPECT_EQ(Setting("Minimise To Tray"), 1u);
    EXPECT_EQ(Setting("Close To Tray"), std::nullopt);
}

TEST_F(TrayFormTest, AStandardUserKeepsEverythingInItsOwnKeysWithoutAnErrorBox) {
    CreateRunKey();
    MachineRefuses = true;
    ExceptionRecorder errors;
    Make({"-startup", "-minimise"});
    EXPECT_TRUE(Form->MinimisedToTray());
    EXPECT_EQ(RunValue(User), Command("-startup -minimise"));
    EXPECT_EQ(RunValue(Machine), std::nullopt);
    Form->SetTrayOnStartup(false);
    EXPECT_EQ(RunValue(User), Command("-startup"));
    Form->CloseToTray = true;
    Form.reset();
    EXPECT_EQ(Setting("Close To Tray", User), 1u);
    EXPECT_EQ(Setting("Close To Tray", Machine), std::nullopt);

    // The user's keys are read first; a later start rewrites nothing.
    SetRunValue("C:\\Old Place\\Kalvaren.exe -startup -minimise", Machine);
    RegSetKeyValueA(Machine, "Software\\Kalvaren", "Close To Tray", REG_DWORD, "\0\0\0\0", 4);
    Make({});
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_FALSE(Form->TrayOnStartup());
    EXPECT_TRUE(Form->CloseToTray);
    EXPECT_EQ(RunValue(User), Command("-startup"));
    // The machine's entry of an earlier version cannot be removed by this user:
    // the setter says so and keeps the truth.
    EXPECT_THROW(Form->SetRunOnStartup(false), ERegistryException);
    EXPECT_TRUE(Form->RunOnStartup());
    Form.reset();
    EXPECT_TRUE(errors.Messages.empty()) << errors.Messages[0];

    // That entry counts, unquoted as it is, and stays where it is: a copy in
    // the user's key would start the program twice at logon.
    Make({});
    EXPECT_TRUE(Form->RunOnStartup());
    EXPECT_TRUE(Form->TrayOnStartup());
    EXPECT_EQ(RunValue(User), std::nullopt);
    EXPECT_EQ(RunValue(Machine), "C:\\Old Place\\Kalvaren.exe -startup -minimise");
    EXPECT_THROW(Form->SetTrayOnStartup(false), ERegistryException);
    EXPECT_TRUE(Form->TrayOnStartup());
    EXPECT_TRUE(errors.Messages.empty());

    // Elevated, the machine's settings key is written and no stale copy of the
    // user's hides it; the Run entry moves to the user's key.
    Form.reset();
    MachineRefuses = false;
    SetRunValue(Command("-startup"), User);
    Make({});
    Form->CloseToTray = false;
    Form->SetTrayOnStartup(true);
    Form.reset();
    EXPECT_EQ(RunValue(User), Command("-startup -minimise"));
    EXPECT_EQ(RunValue(Machine), std::nullopt);
    EXPECT_EQ(Setting("Close To Tray", Machine), 0u);
    EXPECT_EQ(Setting("Close To Tray", User), std::nullopt);
}

TEST_F(TrayFormTest, WhenNoKeyTakesAWriteTheSettersKeepTheirValueAndStartIsReportedOnce) {
    MachineRefuses = UserRefuses = true;
    ExceptionRecorder errors;
    Make({"-startup", "-minimise"});
    ASSERT_NE(Form, nullptr);
    EXPECT_TRUE(Form->SystemStartup());
    EXPECT_TRUE(Form->MinimisedToTray());
    ASSERT_EQ(errors.Messages.size(), 1u);
    EXPECT_NE(errors.Messages[0].find("Kalvaren"), std::string::npos) << errors.Messages[0];
    Form.reset();

    Make({});
    EXPECT_THROW(Form->SetRunOnStartup(true), ERegistryException);
    EXPECT_FALSE(Form->RunOnStartup());
    Form->SetTrayOnStartup(true); // nothing to write while the entry is off
    EXPECT_TRUE(Form->TrayOnStartup());
    Form->CloseToTray = true;
    Form.reset();
    ASSERT_EQ(errors.Messages.size(), 2u);
    EXPECT_NE(errors.Messages[1].find("Close To Tray"), std::string::npos) << errors.Messages[1];
}

TEST_F(TrayFormTest, TheTipHoldsTheFirst127CharactersOfTheHint) {
    Make({});
    const std::string hint(200, 'h');
    Form->SetTrayHint(hint);
    EXPECT_EQ(Form->TrayHint(), hint);
    EXPECT_EQ(std::string(Form->IconData().szTip), hint.substr(0, 127));
    EXPECT_TRUE(Calls.empty()); // shown from the next add on
    Form->AddTrayIcon();
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(std::string(Calls[0].Data.szTip), hint.substr(0, 127));
}

TEST_F(TrayFormTest, CloseToTrayHidesWithoutOnCloseAndADoubleClickBringsItBack) {
    Make({});
    Form->CloseToTray = true;
    int closes = 0;
    Form->OnClose = [&](TWindow*, TCloseAction&) {
        ++closes;
    };
    Form->Show();
    SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(Form->Visible());
    EXPECT_TRUE(Form->MinimisedToTray());
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(CountOf(NIM_ADD), 1u);

    SendMessageA(Form->Handle(), WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(Form->Visible());
    EXPECT_FALSE(Form->MinimisedToTray());
    EXPECT_EQ(CountOf(NIM_DELETE), 1u);

    Form->CloseToTray = false;
    SendMessageA(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(Form->Visible());
    EXPECT_FALSE(Form->MinimisedToTray());
}

TEST_F(TrayFormTest, MinimiseGoesToTheTrayUnlessTheHandlerRefuses) {
    Make({});
    Form->MinimiseToTray = true;
    Form->Show();
    bool allow = false;
    Form->OnMinimize = [&](TWindow*, bool& minimize) {
        minimize = allow;
    };
    SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(Form->Visible());
    EXPECT_FALSE(IsIconic(Form->Handle()));
    EXPECT_TRUE(Calls.empty());

    allow = true;
    SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_FALSE(Form->Visible());
    EXPECT_TRUE(Form->MinimisedToTray());

    int maximizes = 0;
    Form->OnMaximize = [&](TWindow*, bool& maximize) {
        ++maximizes;
        maximize = false;
    };
    Form->Show();
    SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    EXPECT_EQ(maximizes, 1);
    EXPECT_FALSE(IsZoomed(Form->Handle()));
}

TEST_F(TrayFormTest, TrayMouseEventsCarryButtonAndCursorPosition) {
    Make({});
    std::vector<TMouseButton> downs, ups;
    POINT at{-1, -1};
    TShiftState shift = 0xFF;
    Form->OnTrayMouseDown = [&](TWindow*, TMouseButton b, TShiftState, int, int) {
        downs.push_back(b);
    };
    Form->OnTrayMouseUp = [&](TWindow*, TMouseButton b, TShiftState s, int x, int y) {
        ups.push_back(b);
        shift = s;
        at = {x, y};
    };
    SetCursorPos(123, 45);
    POINT cursor;
    GetCursorPos(&cursor);
    for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE})
        SendMessageA(Form->Handle(), WM_TRAYNOTIFY, 0, event);
    EXPECT_EQ(downs, (std::vector{TMouseButton::mbLeft, TMouseButton::mbRight}));
    EXPECT_EQ(ups, (std::vector{TMouseButton::mbLeft, TMouseButton::mbRight}));
    EXPECT_EQ(shift, 0);
    EXPECT_EQ(at.x, cursor.x);
    EXPECT_EQ(at.y, cursor.y);
}

TEST_F(TrayFormTest, SessionEndMessagesReachTheEvents) {
    Make({});
    EXPECT_EQ(SendMessageA(Form->Handle(), WM_QUERYENDSESSION, 0, 0), 1);
    int source = -1;
    UINT flags = 0;
    Form->OnQueryEndSession = [&](TWindow*, int s, UINT f, int& result) {
        source = s;
        flags = f;
        result = 0;
    };
    EXPECT_EQ(SendMessageA(Form->Handle(), WM_QUERYENDSESSION, 7, ENDSESSION_CLOSEAPP), 0);
    EXPECT_EQ(source, 7);
    EXPECT_EQ(flags, static_cast<UINT>(ENDSESSION_CLOSEAPP));

    std::optional<bool> seen;
    Form->OnEndSession = [&](TWindow*, bool& end, UINT) {
        seen = end;
    };
    // A cancelled session end says so: the program goes on and need not save.
    EXPECT_EQ(SendMessageA(Form->Handle(), WM_ENDSESSION, FALSE, 0), 0);
    EXPECT_EQ(seen, false);
    EXPECT_EQ(SendMessageA(Form->Handle(), WM_ENDSESSION, TRUE, 0), 0);
    EXPECT_EQ(seen, true);
}

TEST_F(TrayFormTest, TheIconComesBackWithTheShellAndGoesWithTheWindow) {
    Make({});
    SendMessageA(Form->Handle(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(Calls.empty()); // not in the tray: nothing to restore
    Form->SendToTray();
    SendMessageA(Form->Handle(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_EQ(CountOf(NIM_ADD), 2u);

    Form->SetTrayIcon(LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_WARNING)));
    EXPECT_EQ(CountOf(NIM_MODIFY), 1u);

    Form.reset();
    ASSERT_FALSE(Calls.empty());
    EXPECT_EQ(Calls.back().Message, DWORD(NIM_DELETE));
}
