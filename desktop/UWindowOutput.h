// A run's output as window messages: each call of the runner's worker becomes one
// synchronous message to a window on the window thread, as the terminal expects
// them. The worker waits until the window has handled the text.
#pragma once

#include <windows.h>

#include "UProcess.h"

namespace kal {

// wParam: the runner's private NUL-terminated copy of the text; the receiver may
// change it in place; valid only during the call. lParam: its length including
// the NUL.
constexpr UINT WM_CONSOLE_OUTPUT = 0x500;
constexpr UINT WM_CONSOLE_ERROR = 0x501;
// Empties the terminal; no runner sends it.
constexpr UINT WM_CONSOLE_CLEAR = 0x502;

class TWindowOutput final : public IProcessOutput {
public:
    // The window must outlive every run that writes to it.
    explicit TWindowOutput(HWND window) : FWindow(window) {}

    void Output(char* text, std::size_t length) override { Send(WM_CONSOLE_OUTPUT, text, length); }
    void Error(char* text, std::size_t length) override { Send(WM_CONSOLE_ERROR, text, length); }
    // The auto-close step closes the window as its close button does.
    void Finished() override { SendMessageA(FWindow, WM_CLOSE, 0, 0); }

private:
    void Send(UINT message, char* text, std::size_t length) {
        SendMessageA(FWindow, message, reinterpret_cast<WPARAM>(text),
                     static_cast<LPARAM>(length + 1));
    }
    HWND FWindow;
};

} // namespace kal
