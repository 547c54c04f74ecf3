#include "USingleInstance.h"

#include <cstdint>
#include <cstdio>

namespace kal {

std::string InstanceName(const std::string& dataFolder) {
    // FNV-1a of the folder as Windows compares paths, without regard to case.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : dataFolder) {
        hash ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("Kalvaren.") + text;
}

HWND FindInstanceWindow(const std::string& name) {
    struct TSearch {
        const std::string& Name;
        HWND Found = nullptr;
    } search{name};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* search = reinterpret_cast<TSearch*>(param);
            if (!GetPropA(window, search->Name.c_str()))
                return TRUE;
            search->Found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

void ShowRunningInstance(const std::string& name) {
    // The first program may still be creating its window.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (HWND window = FindInstanceWindow(name)) {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            // Only the program the user just started may hand the foreground on.
            AllowSetForegroundWindow(process);
            PostMessageA(window, RegisterWindowMessageA(name.c_str()), 0, 0);
            return;
        }
        Sleep(50);
    }
}

TInstanceLock::TInstanceLock(const std::string& name)
    : FMutex(CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str())) {
    FAnotherRuns = FMutex && GetLastError() == ERROR_ALREADY_EXISTS;
}

TInstanceWindow::TInstanceWindow(HWND window, const std::string& name)
    : FWindow(window), FName(name), FShowRequest(RegisterWindowMessageA(name.c_str())) {
    SetPropA(FWindow, FName.c_str(), reinterpret_cast<HANDLE>(1));
}

TInstanceWindow::~TInstanceWindow() {
    RemovePropA(FWindow, FName.c_str());
}

} // namespace kal
