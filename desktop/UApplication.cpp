#include "UApplication.h"

#include "UScoped.h"
#include "UWindow.h"

#include <shellapi.h>

#include <memory>

namespace kal {

TApplication::TApplication() : FInstance(GetModuleHandleA(nullptr)) {
    // Icon 1 of the executable's resources, the system's application icon otherwise.
    FIcon = LoadIconA(FInstance, MAKEINTRESOURCEA(1));
    if (!FIcon)
        FIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TApplication::DispatcherProc;
    wc.hInstance = FInstance;
    wc.lpszClassName = "KalvarenDispatcher";
    RegisterClassExA(&wc);
    FDispatcher = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  FInstance, nullptr);
}

TApplication::~TApplication() {
    if (!FDispatcher)
        return;
    // Tasks still queued at the very end are freed, not run.
    MSG pending;
    while (PeekMessageA(&pending, FDispatcher, WM_KAL_RUNTASK, WM_KAL_RUNTASK, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(pending.lParam);
    DestroyWindow(FDispatcher);
}

LRESULT CALLBACK TApplication::DispatcherProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message != WM_KAL_RUNTASK)
        return DefWindowProcA(window, message, wParam, lParam);
    const std::unique_ptr<std::function<void()>> task(
        reinterpret_cast<std::function<void()>*>(lParam));
    try {
        (*task)();
    } catch (...) {
        Instance().HandleException();
    }
    return 0;
}

bool TApplication::Post(std::function<void()> task) {
    auto boxed = std::make_unique<std::function<void()>>(std::move(task));
    if (!FDispatcher ||
        !PostMessageA(FDispatcher, WM_KAL_RUNTASK, 0, reinterpret_cast<LPARAM>(boxed.get())))
        return false;
    boxed.release();
    return true;
}

TApplication& TApplication::Instance() {
    static TApplication application;
    return application;
}

std::string TApplication::ExeName() const {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::vector<std::string> TApplication::Arguments() const {
    // lpCmdLine and __argv disagree on quoting under some hosts; the shell's
    // parser is the reference for how Windows splits a command line.
    std::vector<std::string> result;
    int count = 0;
    const unique_hlocal owner(CommandLineToArgvW(GetCommandLineW(), &count));
    const auto arguments = static_cast<LPWSTR*>(owner.get());
    if (!arguments)
        return result;
    for (int i = 1; i < count; ++i) {
        int size = WideCharToMultiByte(CP_ACP, 0, arguments[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(size > 0 ? size - 1 : 0, '\0');
        if (size > 1)
            WideCharToMultiByte(CP_ACP, 0, arguments[i], -1, argument.data(), size, nullptr,
                                nullptr);
        result.push_back(std::move(argument));
    }
    return result;
}

void TApplication::ShowException(const std::string& message) {
    if (OnException) {
        OnException(message);
        return;
    }
    MessageBoxA(GetActiveWindow(), message.c_str(), Title.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::HandleException() noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            ShowException(e.what());
        } catch (...) {
            ShowException("Unknown error");
        }
    } catch (...) {
        // The report itself failed; nothing sensible is left to do.
    }
}

void TApplication::DispatchOne(MSG& msg) {
    // Tab and arrow navigation between controls of our own windows.
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        if (TWindow* window = TWindow::FromHandle(root); window && window->PreTranslateMessage(msg))
            return;
    }
    if (root && (GetWindowLongPtrA(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) &&
        IsDialogMessageA(root, &msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        DispatchOne(msg);
    }
}

int TApplication::Run() {
    if (FMainForm && ShowMainForm)
        FMainForm->Show();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchOne(msg);
    return static_cast<int>(msg.wParam);
}

} // namespace kal
