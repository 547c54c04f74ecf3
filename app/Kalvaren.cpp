// The program entry: the application title, the seven windows created once in
// their fixed order (the main window shown before the others are built), the
// message loop.
#include "UAboutForm.h"
#include "UEULA.h"
#include "UFormatHelp.h"
#include "UMainForm.h"
#include "UOptionsForm.h"
#include "UProfileEventDialog.h"
#include "USingleInstance.h"
#include "UTerminalForm.h"

#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <memory>

using namespace kal;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // "-close <folder>", run by the installer: the program of that folder saves
    // and ends. The exit code says what happened (TCloseResult).
    if (const auto arguments = Application().Arguments();
        arguments.size() == 2 && IsSwitch(arguments[0], "-close"))
        return static_cast<int>(CloseRunningInstance(InstanceName(arguments[1]), 20000));

    // The folder picker and the picture loader need COM on this thread.
    const HRESULT com = OleInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_DATE_CLASSES |
                                                       ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    // Before any window: the tray base names its icon tip and registry value after it.
    Application().Title = "Kalvaren";

    // A second start shows the running program instead; a start at logon, which
    // nobody watches, just ends. A program that holds the claim but does not
    // answer may be ending, or was killed and not yet cleared away: wait for the
    // claim a while (a start at logon longer), then say so once.
    const std::string instance = InstanceName(ExecutableFolder());
    TInstanceLock instanceLock(instance);
    if (!instanceLock.Acquire(0)) {
        const auto arguments = Application().Arguments();
        const bool atLogon =
            std::any_of(arguments.begin(), arguments.end(),
                        [](const std::string& a) { return IsSwitch(a, "-startup"); });
        const ULONGLONG deadline = GetTickCount64() + (atLogon ? 60000 : 5000);
        HWND running = nullptr;
        while (!running && !instanceLock.Acquire(250) && GetTickCount64() < deadline)
            running = FindAnsweringInstance(instance, 0);
        if (!instanceLock.Held()) {
            if (running && !atLogon)
                ShowRunningInstance(running, instance);
            else if (!running)
                MessageBoxA(nullptr,
                            "Kalvaren is already running for this configuration but does not "
                            "answer. Close it (or end it in Task Manager), then start Kalvaren "
                            "again.",
                            "Kalvaren", MB_OK | MB_ICONWARNING);
            if (SUCCEEDED(com))
                OleUninitialize();
            return 0;
        }
    }
    int exitCode = 0;
    try {
        auto mainForm = std::make_unique<TMainForm>();
        Application().SetMainForm(mainForm.get());
        // The user sees the main window first; the windows that start hidden are
        // built while it is already on the screen. The start-up run waits for them.
        if (Application().ShowMainForm) {
            mainForm->Show();
            UpdateWindow(mainForm->Handle());
        }
        auto aboutForm = std::make_unique<TAboutForm>(mainForm->Handle());
        auto optionsForm = std::make_unique<TOptionsForm>(mainForm->Handle());
        auto terminalForm = std::make_unique<TTerminalForm>();
        auto profileEventDialog = std::make_unique<TProfileEventDialog>(mainForm->Handle());
        auto formatHelpDialog = std::make_unique<TFormatHelpDialog>(optionsForm->Handle());
        auto eulaForm = std::make_unique<TEULAForm>(mainForm->Handle());
        optionsForm->FormatHelp = formatHelpDialog.get();
        mainForm->AttachForms({.About = aboutForm.get(),
                               .Options = optionsForm.get(),
                               .Terminal = terminalForm.get(),
                               .ProfileEvent = profileEventDialog.get(),
                               .FormatHelp = formatHelpDialog.get(),
                               .EULA = eulaForm.get()});

        exitCode = Application().Run();

        // The main window goes first: it saves Data.dat and waits for a running
        // transfer, whose worker may still be writing to the terminal.
        Application().SetMainForm(nullptr);
        mainForm.reset();
    } catch (...) {
        Application().HandleException();
        exitCode = 1;
    }
    if (SUCCEEDED(com))
        OleUninitialize();
    return exitCode;
}
