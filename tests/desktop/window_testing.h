// Helpers for tests that drive real windows in-process.
#pragma once

#include "UWindow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kal::testing {

// Records the default error report instead of showing a message box.
class ExceptionRecorder {
public:
    ExceptionRecorder() {
        Application().OnException = [this](const std::string& m) {
            Messages.push_back(m);
        };
    }
    ~ExceptionRecorder() { Application().OnException = nullptr; }
    std::vector<std::string> Messages;
};

// The window's rectangle in its parent's client coordinates.
inline RECT BoundsInParent(HWND control) {
    RECT bounds;
    GetWindowRect(control, &bounds);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&bounds), 2);
    return bounds;
}

inline SIZE ClientSize(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    return {client.right, client.bottom};
}

} // namespace kal::testing
