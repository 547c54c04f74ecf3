#include "UTrayForm.h"

#include "UText.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kal {

namespace {

// The record is the shell's version-2 form: 488 bytes in 32-bit builds, the
// same fields with 64-bit handles and padding in 64-bit builds.
static_assert(NOTIFYICONDATAA_V2_SIZE == (sizeof(void*) == 8 ? 504 : 488));

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kMinimiseValue = "Minimise To Tray";
constexpr const char* kCloseValue = "Close To Tray";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

unique_hkey OpenKey(HKEY root, const std::string& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return {};
    return unique_hkey(key);
}

unique_hkey CreateKey(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return {};
    return unique_hkey(key);
}

// A key that could not be opened fails here too, so an unwritable root is
// reported by the value it was meant to hold.
void CheckWrite(LONG status, const char* name) {
    if (status != ERROR_SUCCESS)
        throw ERegistryException("Failed to set data for '" + std::string(name) + "'");
}

std::optional<std::string> ReadString(HKEY key, const char* name) {
    DWORD type = 0, size = 0;
    if (!key || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::string data(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    data.resize(std::min<size_t>(size, data.size()));
    // The stored data need not end in a zero, or may hold several.
    data.resize(std::min(data.size(), data.find('\0')));
    return data;
}

// Missing, or not a DWORD: false.
bool ReadFlag(HKEY key, const char* name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return false;
    return value != 0;
}

void WriteFlag(HKEY key, const char* name, bool value) {
    const DWORD data = value ? 1 : 0;
    CheckWrite(
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data),
        name);
}

} // namespace

TTrayForm::TTrayForm(const TWindowParams& params) : TTrayForm(params, Application().Title) {}

TTrayForm::TTrayForm(const TWindowParams& params, const std::string& registryKey,
                     TTrayEnvironment environment)
    : FEnvironment(std::move(environment)), FRegistryKey(registryKey) {
    Create(params);
    FTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");

    FIconData.cbSize = NOTIFYICONDATAA_V2_SIZE;
    FIconData.hWnd = Handle();
    FIconData.uID = 0;
    FIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    FIconData.uCallbackMessage = WM_TRAYNOTIFY;
    FIconData.hIcon = Application().Icon();
    SetTrayHint(Application().Title);

    // An unwritable registry (an ordinary user and HKEY_LOCAL_MACHINE) must not
    // stop the program from starting: the failure is reported, once.
    const std::vector<std::string> arguments =
        FEnvironment.Arguments ? *FEnvironment.Arguments : Application().Arguments();
    for (const std::string& argument : arguments) {
        const std::string lower = Lower(argument);
        try {
            if (lower == "-startup") {
                FSystemStartup = true;
                SetRunOnStartup(true);
            } else if (FRunOnStartup && lower == "-minimise") {
                SetTrayOnStartup(true);
            }
        } catch (const ERegistryException& e) {
            ReportRegistryFailure(e);
        }
    }
    ReadStartupState();
    if (FSystemStartup)
        DoSystemStartup();
}

TTrayForm::~TTrayForm() {
    WriteSettings();
    if (FMinimisedToTray)
        RemoveTrayIcon();
    DestroyHandle();
}

void TTrayForm::ReadStartupState() {
    if (!FRunOnStartup) {
        // Read access only: an ordinary user may read what it cannot write.
        unique_hkey run = OpenKey(FEnvironment.Root, kRunKey, KEY_READ);
        if (std::optional<std::string> data =
                run ? ReadString(run.get(), FRegistryKey.c_str()) : std::nullopt) {
            run.reset();
            try {
                // The member first: the value is written once, complete.
                FTrayOnStartup = Lower(*data).find("-minimise") != std::string::npos;
                SetRunOnStartup(true);
            } catch (const ERegistryException& e) {
                ReportRegistryFailure(e);
            }
        }
    }
    if (unique_hkey settings = OpenKey(FEnvironment.Root, "Software\\" + FRegistryKey, KEY_READ)) {
        MinimiseToTray = ReadFlag(settings.get(), kMinimiseValue);
        CloseToTray = ReadFlag(settings.get(), kCloseValue);
    }
}

void TTrayForm::WriteSettings() {
    try {
        unique_hkey settings = CreateKey(FEnvironment.Root, "Software\\" + FRegistryKey);
        WriteFlag(settings.get(), kMinimiseValue, MinimiseToTray);
        WriteFlag(settings.get(), kCloseValue, CloseToTray);
        RegFlushKey(settings.get());
    } catch (const ERegistryException& e) {
        ReportRegistryFailure(e);
    }
}

void TTrayForm::ReportRegistryFailure(const ERegistryException& e) {
    if (FRegistryFailureReported)
        return;
    FRegistryFailureReported = true;
    Application().ShowException(e.what());
}

void TTrayForm::UpdateRunKey() {
    unique_hkey run = OpenKey(FEnvironment.Root, kRunKey, KEY_ALL_ACCESS);
    if (FRunOnStartup) {
        std::string data = Application().ExeName() + " -startup";
        if (FTrayOnStartup)
            data += " -minimise";
        CheckWrite(RegSetValueExA(run.get(), FRegistryKey.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(data.c_str()),
                                  static_cast<DWORD>(data.size() + 1)),
                   FRegistryKey.c_str());
    } else if (run) {
        RegDeleteValueA(run.get(), FRegistryKey.c_str()); // a missing value is no error
    }
    if (run)
        RegFlushKey(run.get());
}

void TTrayForm::SetRunOnStartup(bool value) {
    if (value == FRunOnStartup)
        return;
    FRunOnStartup = value;
    UpdateRunKey();
}

void TTrayForm::SetTrayOnStartup(bool value) {
    if (value == FTrayOnStartup)
        return;
    FTrayOnStartup = value;
    if (FRunOnStartup)
        UpdateRunKey();
}

void TTrayForm::SetTrayIcon(HICON icon) {
    FIconData.hIcon = icon;
    if (FMinimisedToTray)
        Notify(NIM_MODIFY);
}

void TTrayForm::SetTrayHint(const std::string& hint) {
    FTrayHint = hint;
    // The tip field is bytes; a long name is cut before a character, never inside one.
    const std::size_t fit = Utf8Fit(hint, sizeof FIconData.szTip - 1);
    std::memcpy(FIconData.szTip, hint.data(), fit);
    FIconData.szTip[fit] = '\0';
}

BOOL TTrayForm::Notify(DWORD message) {
    return FEnvironment.NotifyIcon ? FEnvironment.NotifyIcon(message, &FIconData)
                                   : Shell_NotifyIconA(message, &FIconData);
}

void TTrayForm::SendToTray() {
    Hide();
    AddTrayIcon();
}

void TTrayForm::AddTrayIcon() {
    Notify(NIM_ADD); // without a notification area the window just stays hidden
    FMinimisedToTray = true;
}

void TTrayForm::RemoveTrayIcon() {
    if (!FMinimisedToTray)
        return;
    Notify(NIM_DELETE);
    FMinimisedToTray = false;
}

void TTrayForm::DefaultTrayMessage(UINT, WPARAM, LPARAM) {}

void TTrayForm::DoSystemStartup() {
    if (FTrayOnStartup) {
        Application().ShowMainForm = false;
        AddTrayIcon();
    } else {
        FMinimisedToTray = false;
    }
}

void TTrayForm::DoQueryEndSession(int source, int& result) {
    if (OnQueryEndSession)
        OnQueryEndSession(this, source, result);
}

void TTrayForm::DoEndSession(bool& endSession) {
    if (OnEndSession)
        OnEndSession(this, endSession);
}

void TTrayForm::DoMinimize(bool& allow) {
    if (OnMinimize)
        OnMinimize(this, allow);
    if (MinimiseToTray && allow) {
        SendToTray();
        Hide();
        allow = false;
    }
}

void TTrayForm::DoMaximize(bool& allow) {
    if (OnMaximize)
        OnMaximize(this, allow);
}

namespace {

// Shift is always empty; the position is the cursor's when the shell's note is handled.
void RaiseTrayMouse(const TMouseEvent& event, TWindow* sender, TMouseButton button) {
    if (!event)
        return;
    POINT cursor{};
    GetCursorPos(&cursor);
    event(sender, button, 0, cursor.x, cursor.y);
}

} // namespace

void TTrayForm::DoTrayMouseDown(TMouseButton button) {
    RaiseTrayMouse(OnTrayMouseDown, this, button);
}

void TTrayForm::DoTrayMouseUp(TMouseButton button) {
    RaiseTrayMouse(OnTrayMouseUp, this, button);
}

void TTrayForm::DoClose(TCloseAction& action) {
    if (action == TCloseAction::caHide && CloseToTray) {
        action = TCloseAction::caNone;
        SendToTray();
        return;
    }
    TWindow::DoClose(action);
}

void TTrayForm::DoShow() {
    if (FMinimisedToTray)
        RemoveTrayIcon();
    TWindow::DoShow();
}

LRESULT TTrayForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == FTaskbarCreated && FTaskbarCreated) {
        // A restarted shell has forgotten the icon.
        if (FMinimisedToTray)
            Notify(NIM_ADD);
        return 0;
    }
    switch (message) {
    case WM_TRAYNOTIFY:
        switch (lParam) {
        case WM_LBUTTONDOWN:
            DoTrayMouseDown(TMouseButton::mbLeft);
            break;
        case WM_LBUTTONUP:
            DoTrayMouseUp(TMouseButton::mbLeft);
            break;
        case WM_LBUTTONDBLCLK:
            Show();
            break;
        case WM_RBUTTONDOWN:
            DoTrayMouseDown(TMouseButton::mbRight);
            break;
        case WM_RBUTTONUP:
            DoTrayMouseUp(TMouseButton::mbRight);
            break;
        default:
            DefaultTrayMessage(message, wParam, lParam);
            break;
        }
        return 0;
    case WM_QUERYENDSESSION: {
        int result = 1;
        DoQueryEndSession(static_cast<int>(wParam), result);
        return result;
    }
    case WM_ENDSESSION: {
        bool endSession = true;
        DoEndSession(endSession);
        return 0;
    }
    case WM_SYSCOMMAND: {
        bool allow = true;
        if (wParam == SC_MINIMIZE)
            DoMinimize(allow);
        else if (wParam == SC_MAXIMIZE)
            DoMaximize(allow);
        if (!allow)
            return 0;
        break;
    }
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

} // namespace kal
