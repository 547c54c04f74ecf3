// Shared pieces of the dialog and input-control tests.
#pragma once

#include "screenshot.h"
#include "UWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kal::testing {

// A visible top-level window to place controls on, with a button to move the
// focus to (so a field's focus-leave step runs as when the user tabs away).
class HostWindow : public TWindow {
public:
    HostWindow() {
        Create({.ClassName = "KalvarenDialogTestHost",
                .Caption = "Host",
                .ClientWidth = 320,
                .ClientHeight = 120});
        Other = CreateControl({.ClassName = "BUTTON",
                               .Text = "Other",
                               .Style = WS_VISIBLE | WS_TABSTOP,
                               .Left = 200,
                               .Top = 80,
                               .Width = 75,
                               .Height = 25,
                               .Parent = Handle()});
        Show();
    }
    ~HostWindow() override { DestroyHandle(); }
    HWND Other = nullptr;
};

// Types text as WM_CHAR messages, the way the keyboard delivers it.
inline void Type(HWND control, const std::string& text) {
    for (unsigned char c : text)
        SendMessageA(control, WM_CHAR, c, 1);
}

// Saves the window into <binary dir>/screenshots/<name>.png.
inline void Screenshot(HWND window, const std::string& name) {
    const char* binary = std::getenv("KAL_BINARY_DIR");
    const std::filesystem::path folder =
        std::filesystem::path(binary ? binary : ".") / "screenshots";
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / (name + ".png");
    SaveWindowPng(window, file.string());
    EXPECT_GT(std::filesystem::file_size(file), 100u) << file;
}

} // namespace kal::testing
