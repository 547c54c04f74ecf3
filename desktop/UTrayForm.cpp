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
constexpr const char* kVersionDaysValue = "Keep Versions Days";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

bool IsSwitch(const std::string& argument, const std::string& name) {
    return Lower(argument) == Lower(name);
}

namespace {

unique_hkey OpenKey(HKEY root, const std::string& path, REGSAM access) {
    HKEY key = nullptr;
    // What a failed call leaves in `key` is no handle to free.
    if (RegOpenKeyExA(root, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return {};
    return unique_hkey(key);
}

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

bool HasValue(HKEY root, const std::string& path, const char* name) {
    unique_hkey key = OpenKey(root, path, KEY_QUERY_VALUE);
    return key &&
           RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Missing, or not a DWORD: none.
std::optional<DWORD> ReadNumber(HKEY root, const std::string& path, const char* name) {
    unique_hkey key = OpenKey(root, path, KEY_QUERY_VALUE);
    DWORD type = 0, value = 0, size = sizeof value;
    if (!key ||
        RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

std::optional<bool> ReadFlag(HKEY root, const std::string& path, const char* name) {
    const std::optional<DWORD> value = ReadNumber(root, path, name);
    return value ? std::optional<bool>(*value != 0) : std::nullopt;
}

LONG WriteNumber(HKEY key, const char* name, DWORD data) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data);
}

LONG WriteString(HKEY key, const char* name, const std::string& data) {
    // The stored length includes the terminating zero.
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
}

} // namespace

TTrayForm::TTrayForm(const TWindowParams& params) : TTrayForm(params, Application().Title) {}

TTrayForm::TTrayForm(const TWindowParams& params, const std::string& registryKey,
                     TTrayEnvironment environment)
    : FEnvironment(std::move(environment)), FRegistryKey(registryKey) {
    Create(params);
    FTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    // Explorer runs with less privilege than an elevated program, whose message
    // filter would otherwise drop the shell's restart notice.
    if (FTaskbarCreated)
        ChangeWindowMessageFilterEx(Handle(), FTaskbarCreated, MSGFLT_ALLOW, nullptr);

    FIconData.cbSize = NOTIFYICONDATAA_V2_SIZE;
    FIconData.hWnd = Handle();
    FIconData.uID = 0;
    FIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    FIconData.uCallbackMessage = WM_TRAYNOTIFY;
    FIconData.hIcon = Application().Icon();
    SetTrayHint(Application().Title);

    const std::vector<std::string> arguments =
        FEnvironment.Arguments ? *FEnvironment.Arguments : Application().Arguments();
    for (const std::string& argument : arguments) {
        if (IsSwitch(argument, "-startup")) {
            FSystemStartup = true;
            FRunOnStartup = true;
        } else if (FRunOnStartup && IsSwitch(argument, "-minimise")) {
            FTrayOnStartup = true;
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

std::optional<std::string> TTrayForm::ReadRunValue() const {
    for (HKEY root : {FEnvironment.UserRoot, FEnvironment.MachineRoot}) {
        unique_hkey run = OpenKey(root, kRunKey, KEY_QUERY_VALUE);
        if (std::optional<std::string> data =
                run ? ReadString(run.get(), FRegistryKey.c_str()) : std::nullopt)
            return data;
    }
    return std::nullopt;
}

std::string TTrayForm::RunCommand() const {
    // Quoted: Windows would otherwise try "C:\Program.exe" and the like for a
    // path with blanks.
    std::string data(1, '"');
    data += Application().ExeName();
    data += "\" -startup";
    if (FTrayOnStartup)
        data += " -minimise";
    return data;
}

// The switches of the command line come first; without "-startup" a stored
// entry sets both flags. An entry that differs from this program's command
// (another folder, the unquoted form of earlier versions) is rewritten.
void TTrayForm::ReadStartupState() {
    const std::optional<std::string> found = ReadRunValue();
    if (!FRunOnStartup && found) {
        FRunOnStartup = true;
        FTrayOnStartup = Lower(*found).find("-minimise") != std::string::npos;
    }
    if (FRunOnStartup && found != RunCommand()) {
        try {
            // A machine-wide entry this user may not change still starts the
            // program; it is left as it is.
            TryUpdateRunKey();
        } catch (const ERegistryException& e) {
            ReportRegistryFailure(e);
        }
    }
    const std::string settings = "Software\\" + FRegistryKey;
    const auto read = [&](const char* name) {
        std::optional<bool> value = ReadFlag(FEnvironment.UserRoot, settings, name);
        if (!value)
            value = ReadFlag(FEnvironment.MachineRoot, settings, name);
        return value.value_or(false);
    };
    MinimiseToTray = FStoredMinimiseToTray = read(kMinimiseValue);
    CloseToTray = FStoredCloseToTray = read(kCloseValue);
    if (const auto days = ReadNumber(FEnvironment.UserRoot, settings, kVersionDaysValue))
        KeepVersionDays = FStoredKeepVersionDays = static_cast<std::int32_t>(*days & 0x7FFFFFFF);
}

void TTrayForm::WriteSettings() {
    WriteSetting(kMinimiseValue, MinimiseToTray, FStoredMinimiseToTray);
    WriteSetting(kCloseValue, CloseToTray, FStoredCloseToTray);
    // The user's own choice: never the machine's key.
    if (KeepVersionDays != FStoredKeepVersionDays) {
        unique_hkey key;
        if (OpenForWrite(FEnvironment.UserRoot, "Software\\" + FRegistryKey, true, key) ==
                ERROR_SUCCESS &&
            WriteNumber(key.get(), kVersionDaysValue, static_cast<DWORD>(KeepVersionDays)) ==
                ERROR_SUCCESS)
            FStoredKeepVersionDays = KeepVersionDays;
        else
            ReportRegistryFailure(ERegistryException("Failed to set data for '" +
                                                     std::string(kVersionDaysValue) + "'"));
    }
}

void TTrayForm::WriteSetting(const char* name, bool value, bool& stored) {
    if (value == stored)
        return;
    try {
        WriteValue(
            "Software\\" + FRegistryKey, true, name,
            [&](HKEY key) { return WriteNumber(key, name, value ? 1 : 0); }, true);
        stored = value;
    } catch (const ERegistryException& e) {
        ReportRegistryFailure(e);
    }
}

// The machine's key first; a value the user's key still holds would hide the
// new one, so it goes. When the machine's key refuses, the user's key, if
// `userMayOverride`; false when the value was not written for that reason.
bool TTrayForm::WriteValue(const std::string& path, bool createMachineKey, const char* name,
                           const std::function<LONG(HKEY)>& write, bool userMayOverride) {
    unique_hkey key;
    LONG status = OpenForWrite(FEnvironment.MachineRoot, path, createMachineKey, key);
    if (status == ERROR_SUCCESS)
        status = write(key.get());
    if (status == ERROR_SUCCESS) {
        RegFlushKey(key.get());
        if (OpenForWrite(FEnvironment.UserRoot, path, false, key) == ERROR_SUCCESS)
            RegDeleteValueA(key.get(), name);
        return true;
    }
    if (!userMayOverride)
        return false;
    CheckWrite(OpenForWrite(FEnvironment.UserRoot, path, true, key), name);
    CheckWrite(write(key.get()), name);
    RegFlushKey(key.get());
    return true;
}

LONG TTrayForm::OpenForWrite(HKEY root, const std::string& path, bool create,
                             unique_hkey& key) const {
    key.reset();
    if (FEnvironment.RefusesWrites && FEnvironment.RefusesWrites(root))
        return ERROR_ACCESS_DENIED;
    HKEY opened = nullptr;
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE;
    const LONG status =
        create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                 nullptr, &opened, nullptr)
               : RegOpenKeyExA(root, path.c_str(), 0, access, &opened);
    if (status == ERROR_SUCCESS)
        key.reset(opened);
    return status;
}

void TTrayForm::ReportRegistryFailure(const ERegistryException& e) {
    if (FRegistryFailureReported)
        return;
    FRegistryFailureReported = true;
    Application().ShowException(e.what());
}

// The user's Run key only: the program is installed for its user, and a
// machine-wide entry would start this user's copy for everyone. An entry of an
// earlier version in the machine's key goes, or the program would start twice.
// False: the machine's key holds an entry that this user may not remove.
bool TTrayForm::TryUpdateRunKey() {
    const char* name = FRegistryKey.c_str();
    const bool machineHasEntry = HasValue(FEnvironment.MachineRoot, kRunKey, name);
    unique_hkey machine, user;
    const bool machineRemovable = machineHasEntry && OpenForWrite(FEnvironment.MachineRoot, kRunKey,
                                                                  false, machine) == ERROR_SUCCESS;
    if (FRunOnStartup) {
        if (machineHasEntry && !machineRemovable)
            return false;
        CheckWrite(OpenForWrite(FEnvironment.UserRoot, kRunKey, true, user), name);
        CheckWrite(WriteString(user.get(), name, RunCommand()), name);
        RegFlushKey(user.get());
    } else if (HasValue(FEnvironment.UserRoot, kRunKey, name)) {
        const LONG status = OpenForWrite(FEnvironment.UserRoot, kRunKey, false, user);
        CheckWrite(status == ERROR_SUCCESS ? RegDeleteValueA(user.get(), name) : status, name);
    }
    return !machineHasEntry ||
           (machineRemovable && RegDeleteValueA(machine.get(), name) == ERROR_SUCCESS);
}

void TTrayForm::UpdateRunKey() {
    if (!TryUpdateRunKey())
        throw ERegistryException("The start-up entry '" + FRegistryKey +
                                 "' is set for every user of this computer; only an "
                                 "administrator can change it");
}

// A failed write leaves the flag as it was, so that what the options dialog
// shows next is what Windows will do at logon.
void TTrayForm::SetRunOnStartup(bool value) {
    if (value == FRunOnStartup)
        return;
    FRunOnStartup = value;
    try {
        UpdateRunKey();
    } catch (...) {
        FRunOnStartup = !value;
        throw;
    }
}

void TTrayForm::SetTrayOnStartup(bool value) {
    if (value == FTrayOnStartup)
        return;
    FTrayOnStartup = value;
    if (!FRunOnStartup)
        return;
    try {
        UpdateRunKey();
    } catch (...) {
        FTrayOnStartup = !value;
        throw;
    }
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
    if (!FNoticeIcon)
        Notify(NIM_DELETE);
    FMinimisedToTray = false;
}

void TTrayForm::ShowNotice(const std::string& title, const std::string& text) {
    if (!FMinimisedToTray && !FNoticeIcon)
        FNoticeIcon = Notify(NIM_ADD) != FALSE;
    const auto copy = [](char* field, std::size_t size, const std::string& value) {
        const std::size_t fit = Utf8Fit(value, size - 1);
        std::memcpy(field, value.data(), fit);
        field[fit] = '\0';
    };
    copy(FIconData.szInfoTitle, sizeof FIconData.szInfoTitle, title);
    copy(FIconData.szInfo, sizeof FIconData.szInfo, text);
    FIconData.dwInfoFlags = NIIF_ERROR;
    FIconData.uFlags |= NIF_INFO;
    Notify(NIM_MODIFY);
    FIconData.uFlags &= ~NIF_INFO;
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

void TTrayForm::DoQueryEndSession(int source, UINT flags, int& result) {
    if (OnQueryEndSession)
        OnQueryEndSession(this, source, flags, result);
}

void TTrayForm::DoEndSession(bool& endSession, UINT flags) {
    if (OnEndSession)
        OnEndSession(this, endSession, flags);
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
        case NIN_BALLOONUSERCLICK:
        case NIN_BALLOONTIMEOUT:
        case NIN_BALLOONHIDE:
            // The icon added for the notice goes with it, unless the window went
            // to the tray meanwhile.
            if (FNoticeIcon && !FMinimisedToTray)
                Notify(NIM_DELETE);
            FNoticeIcon = false;
            if (lParam == NIN_BALLOONUSERCLICK && OnNoticeClick)
                OnNoticeClick();
            break;
        default:
            DefaultTrayMessage(message, wParam, lParam);
            break;
        }
        return 0;
    case WM_QUERYENDSESSION: {
        int result = 1;
        DoQueryEndSession(static_cast<int>(wParam), static_cast<UINT>(lParam), result);
        return result;
    }
    case WM_ENDSESSION: {
        // wParam false: the session end was cancelled and the program goes on. True:
        // the process may be ended as soon as this returns, without a destruction
        // that would write the settings.
        bool endSession = wParam != 0;
        if (endSession)
            WriteSettings();
        DoEndSession(endSession, static_cast<UINT>(lParam));
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
