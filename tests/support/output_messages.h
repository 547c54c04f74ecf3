// A run's output in the tests: every call of the runner's worker told apart as
// the terminal's window messages tell them apart on Windows, so one recorder
// reads the same natively (called on the worker) and under Wine (a window).
#pragma once

#ifdef _WIN32
#include "UWindowOutput.h"
#else
#include "UProcess.h"
#endif

#include <cstdint>

namespace kal::test {

#ifdef _WIN32
using kal::WM_CONSOLE_ERROR;
using kal::WM_CONSOLE_OUTPUT;
constexpr unsigned CloseMessage = WM_CLOSE;
#else
constexpr unsigned WM_CONSOLE_OUTPUT = 0x500;
constexpr unsigned WM_CONSOLE_ERROR = 0x501;
// The close at the end of the auto-close delay, under the name of its message.
constexpr unsigned WM_CLOSE = 0x0010;
constexpr unsigned CloseMessage = WM_CLOSE;
#endif

// Hands each call on as the message the terminal receives for it: the text with
// its length including the NUL, or no text for the close.
class TMessageOutput : public IProcessOutput {
public:
    virtual void Receive(unsigned message, char* text, std::intptr_t lParam) = 0;

    void Output(char* text, std::size_t length) override {
        Receive(WM_CONSOLE_OUTPUT, text, static_cast<std::intptr_t>(length + 1));
    }
    void Error(char* text, std::size_t length) override {
        Receive(WM_CONSOLE_ERROR, text, static_cast<std::intptr_t>(length + 1));
    }
    void Finished() override { Receive(CloseMessage, nullptr, 0); }
};

} // namespace kal::test
