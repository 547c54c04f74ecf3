// Start-up and shutdown runs, the end of the session and the power-off after the
// shutdown groups.
#include "UMainFormParts.h"

namespace kal {

void mainform::DefaultPowerOff() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        unique_handle_t token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                             token.put())) {
            TOKEN_PRIVILEGES privileges{};
            if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege",
                                      &privileges.Privileges[0].Luid)) {
                privileges.PrivilegeCount = 1;
                privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
                TOKEN_PRIVILEGES previous{};
                DWORD length = 0;
                AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, &previous,
                                      &length);
            }
        }
    }
    // Programs that still answer may save their work; only hung ones are forced.
    ExitWindowsEx(EWX_POWEROFF | EWX_FORCEIFHUNG, 0);
}

void TMainForm::FormQueryEndSession(int, UINT flags, int& result) {
    // An installer or the Restart Manager asks this program alone to close: no
    // shutdown run and no power-off. It saves and closes at WM_ENDSESSION.
    if (flags & ENDSESSION_CLOSEAPP)
        return;
    if (FShutdownRestore->Count() > 0 || FShutdownBackup->Count() > 0) {
        result = 0;
        // A second request (the user tried again) waits for the run already asked for.
        if (!FShutdownRequested)
            PostMessageA(Handle(), WM_RUNSHUTDOWN, 0, 0);
        FShutdownRequested = true;
    }
}

void TMainForm::WMRunStartup() {
    FGroupRuns->Run({FStartupRestore, FStartupBackup}, nullptr);
}

void TMainForm::FormEndSession(bool endSession, UINT flags) {
    // Windows may end the process as soon as this returns, with no destruction
    // that would save: removed profiles and advanced due times must be on disk.
    if (!endSession)
        return;
    try {
        SaveData();
    } catch (...) {
        // Nobody is left to read an error box; the save before stays on disk.
    }
    // Asked to close, not ended with the session: leave as at Exit.
    if (flags & ENDSESSION_CLOSEAPP)
        Exit1Click();
}

void TMainForm::RunFailed(const std::string& label, const std::string& error) {
    ShowNotice(label.empty() ? std::string("Kalvaren - Error") : "Kalvaren - Error: " + label,
               error.empty() ? std::string("The run ended in error.") : error);
}

void TMainForm::WMRunShutdown() {
    FGroupRuns->Run({FShutdownBackup, FShutdownRestore},
                    [this] { PostTask([this] { FinishShutdown(); }); });
}

void TMainForm::FinishShutdown() {
    OnQueryEndSession = nullptr;
    // The power-off ends the process without a destruction.
    WriteSettings();
    FormEndSession(true);
    if (PowerOff)
        PowerOff();
}

} // namespace kal
