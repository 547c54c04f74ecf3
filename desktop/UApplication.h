// The application object: the program's title and icon, its main window, the
// message loop, the default error report, and the one way other threads hand
// work to the window thread (Post).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace kal {

class TWindow;

// A task run on the window thread. LPARAM: std::function<void()>*, owned by the
// receiver, which runs and frees it.
constexpr UINT WM_KAL_RUNTASK = WM_APP + 0x100;

class TApplication {
public:
    static TApplication& Instance();

    std::string Title = "Kalvaren";
    // Shown by Run when it starts; a start into the tray clears it.
    bool ShowMainForm = true;
    // Replaces the message box of ShowException (tests record instead of blocking).
    std::function<void(const std::string& message)> OnException;

    HINSTANCE InstanceHandle() const noexcept { return FInstance; }
    HICON Icon() const noexcept { return FIcon; }
    void SetIcon(HICON icon) noexcept { FIcon = icon; }
    // Full path of the running executable.
    std::string ExeName() const;
    // Arguments after the program name, as the process received them.
    std::vector<std::string> Arguments() const;

    TWindow* MainForm() const noexcept { return FMainForm; }
    void SetMainForm(TWindow* form) noexcept { FMainForm = form; }

    // The default error report: a message box with the text, titled with Title.
    void ShowException(const std::string& message);
    // Reports the exception being handled; call only inside a catch block.
    void HandleException() noexcept;

    // Runs the task on the window thread; callable from any thread. Exceptions go
    // to the default error report. False when it could not be queued.
    bool Post(std::function<void()> task);

    // Shows the main form when ShowMainForm, then dispatches until WM_QUIT.
    int Run();
    // Dispatches one message with dialog navigation for our top-level windows.
    static void DispatchOne(MSG& msg);
    // Handles every message waiting now; for tests and long loops on the window thread.
    static void ProcessMessages();

private:
    TApplication();
    ~TApplication();
    static LRESULT CALLBACK DispatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE FInstance;
    HICON FIcon;
    TWindow* FMainForm = nullptr;
    // A message-only window of the window thread that carries the tasks other
    // threads post. Made with the application object and kept to the end, so its
    // handle never changes while another thread may read it.
    HWND FDispatcher = nullptr;
};

inline TApplication& Application() {
    return TApplication::Instance();
}

} // namespace kal
