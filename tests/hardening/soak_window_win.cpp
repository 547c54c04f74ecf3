#include <windows.h>

#include "soak_driver.h"

#include "UWindowOutput.h"

#include <memory>

namespace kal::hardening {

struct TSoakWindow::TImpl {
    HWND Window = nullptr;
    std::unique_ptr<TWindowOutput> Output;

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* owner = reinterpret_cast<TSoakWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (owner && message == WM_CONSOLE_OUTPUT && wParam) {
            owner->Received(reinterpret_cast<const char*>(wParam));
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
};

TSoakWindow::TSoakWindow() : FImpl(new TImpl) {
    static const ATOM windowClass = [] {
        WNDCLASSA c{};
        c.lpfnWndProc = &TImpl::Procedure;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = "KalSoakWindow";
        return RegisterClassA(&c);
    }();
    // Message-only: it receives what the workers send and never shows.
    FImpl->Window = CreateWindowExA(0, MAKEINTATOM(windowClass), "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(FImpl->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    FImpl->Output = std::make_unique<TWindowOutput>(FImpl->Window);
}

TSoakWindow::~TSoakWindow() {
    if (FImpl->Window) {
        SetWindowLongPtrA(FImpl->Window, GWLP_USERDATA, 0);
        DestroyWindow(FImpl->Window);
    }
    delete FImpl;
}

IProcessOutput* TSoakWindow::Handle() const {
    return FImpl->Output.get();
}

bool TSoakWindow::ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        // The workers' SendMessage calls are served while this thread waits here.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

} // namespace kal::hardening
