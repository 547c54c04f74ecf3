// Base of the main window: a notification-area icon that stands in for the
// hidden window, hiding to the tray on minimise or close, the run-at-logon
// entry ("-startup", "-minimise"), and the session-end messages.
//
// Registry: the Run value named RegistryKey, and "Software\<RegistryKey>" with
// the DWORDs "Minimise To Tray" and "Close To Tray", written at destruction.
// Values are read from the user's keys first, then the machine's; they are
// written to the machine's keys, or to the user's when the machine's refuse (a
// standard account), and only when they changed. A write that fails throws
// ERegistryException from the setters, which keep their old value; during
// construction and destruction the first failure goes to the default error
// report instead.
#pragma once

#include "UWindow.h"

#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kal {

// Shell to window: a mouse event over the tray icon. WPARAM: the icon id (0);
// LPARAM: the mouse message (WM_LBUTTONDOWN ...). Nothing to free.
constexpr UINT WM_TRAYNOTIFY = 0x4030;

class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Flags: the lParam of WM_QUERYENDSESSION (ENDSESSION_CLOSEAPP, ENDSESSION_LOGOFF ...).
using TQueryEndSessionEvent =
    std::function<void(TWindow* Sender, int Source, UINT Flags, int& Result)>;
using TEndSessionEvent = std::function<void(TWindow* Sender, bool& EndSession, UINT Flags)>;
using TMinimizeEvent = std::function<void(TWindow* Sender, bool& Minimize)>;
using TMaximizeEvent = std::function<void(TWindow* Sender, bool& Maximize)>;

// What the tray base takes from its surroundings, replaceable for tests.
struct TTrayEnvironment {
    HKEY MachineRoot = HKEY_LOCAL_MACHINE;
    HKEY UserRoot = HKEY_CURRENT_USER;
    // Roots that refuse write access, as HKEY_LOCAL_MACHINE does for a standard
    // user on Windows (Wine grants it to everybody). None: Windows decides.
    std::function<bool(HKEY root)> RefusesWrites;
    // None: the process's own command line.
    std::optional<std::vector<std::string>> Arguments;
    // None: Shell_NotifyIconA.
    std::function<BOOL(DWORD message, NOTIFYICONDATAA* data)> NotifyIcon;
};

// Whether a command-line argument is the switch `name` ("-startup"), in any case.
bool IsSwitch(const std::string& argument, const std::string& name);

class TTrayForm : public TWindow {
public:
    // The registry name is the application title of this moment.
    explicit TTrayForm(const TWindowParams& params);
    TTrayForm(const TWindowParams& params, const std::string& registryKey,
              TTrayEnvironment environment = {});
    ~TTrayForm() override;

    HICON TrayIcon() const noexcept { return FIconData.hIcon; }
    void SetTrayIcon(HICON icon);
    const std::string& TrayHint() const noexcept { return FTrayHint; }
    void SetTrayHint(const std::string& hint);
    bool RunOnStartup() const noexcept { return FRunOnStartup; }
    void SetRunOnStartup(bool value);
    bool TrayOnStartup() const noexcept { return FTrayOnStartup; }
    void SetTrayOnStartup(bool value);
    bool MinimisedToTray() const noexcept { return FMinimisedToTray; }
    bool SystemStartup() const noexcept { return FSystemStartup; }
    const std::string& RegistryKey() const noexcept { return FRegistryKey; }
    const NOTIFYICONDATAA& IconData() const noexcept { return FIconData; }

    bool MinimiseToTray = false;
    bool CloseToTray = false;
    // Days that earlier versions on the destination are kept (0: for ever); kept
    // per user beside the flags above.
    std::int32_t KeepVersionDays = 30;

    TQueryEndSessionEvent OnQueryEndSession;
    TEndSessionEvent OnEndSession;
    TMinimizeEvent OnMinimize;
    TMaximizeEvent OnMaximize;
    TMouseEvent OnTrayMouseDown;
    TMouseEvent OnTrayMouseUp;

    // A notice balloon over the tray icon, shown even while the window is: the
    // icon is added for it and goes again with the balloon. A click on the
    // balloon raises OnNoticeClick.
    void ShowNotice(const std::string& title, const std::string& text);
    std::function<void()> OnNoticeClick;

    void SendToTray();
    void AddTrayIcon();
    void RemoveTrayIcon();
    void UpdateRunKey();

protected:
    virtual void DefaultTrayMessage(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void DoSystemStartup();
    virtual void DoQueryEndSession(int source, UINT flags, int& result);
    virtual void DoEndSession(bool& endSession, UINT flags);
    virtual void DoMinimize(bool& allow);
    virtual void DoMaximize(bool& allow);
    virtual void DoTrayMouseDown(TMouseButton button);
    virtual void DoTrayMouseUp(TMouseButton button);
    void DoClose(TCloseAction& action) override;
    void DoShow() override;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Writes MinimiseToTray and CloseToTray to the settings key now.
    void WriteSettings();

private:
    std::optional<std::string> ReadRunValue() const;
    std::string RunCommand() const;
    bool TryUpdateRunKey();
    void ReadStartupState();
    void WriteSetting(const char* name, bool value, bool& stored);
    bool WriteValue(const std::string& path, bool createMachineKey, const char* name,
                    const std::function<LONG(HKEY)>& write, bool userMayOverride);
    LONG OpenForWrite(HKEY root, const std::string& path, bool create, unique_hkey& key) const;
    void ReportRegistryFailure(const ERegistryException& e);
    BOOL Notify(DWORD message);

    TTrayEnvironment FEnvironment;
    NOTIFYICONDATAA FIconData{};
    std::string FTrayHint;
    std::string FRegistryKey;
    bool FRunOnStartup = false;
    bool FTrayOnStartup = false;
    bool FMinimisedToTray = false;
    bool FSystemStartup = false;
    bool FRegistryFailureReported = false;
    // As read at construction (a missing value reads as false), so that only
    // changes are written back.
    bool FStoredMinimiseToTray = false;
    bool FStoredCloseToTray = false;
    std::int32_t FStoredKeepVersionDays = 30;
    UINT FTaskbarCreated = 0;
    bool FNoticeIcon = false; // the icon is there only for a notice
};

} // namespace kal
