// Saves what a window shows as a PNG file, for screenshots made by the tests.
#pragma once

#include <windows.h>

#include <string>

namespace kal {

// Brings the window to the front, repaints it and copies its frame from the
// screen (PrintWindow misses child controls under some hosts). Throws
// std::runtime_error when the picture cannot be taken or written.
void SaveWindowPng(HWND window, const std::string& path);

} // namespace kal
