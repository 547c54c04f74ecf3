#include "USingleInstance.h"

#include <cstdint>
#include <cstdio>

namespace kal {

std::string InstanceName(const std::string& dataFolder) {
    char text[40];
    const unique_handle_t folder(
        CreateFileA(dataFolder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (folder && GetFileInformationByHandle(folder.get(), &info)) {
        std::snprintf(text, sizeof text, "%08lx%08lx%08lx", info.dwVolumeSerialNumber,
                      info.nFileIndexHigh, info.nFileIndexLow);
        return std::string("Kalvaren.") + text;
    }
    // A folder the system cannot open: its path as Windows compares paths, FNV-1a
    // without regard to case.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : dataFolder) {
        hash ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        hash *= 1099511628211ull;
    }
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

HWND FindAnsweringInstance(const std::string& name, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (HWND window = FindInstanceWindow(name)) {
            DWORD_PTR ignored = 0;
            if (SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored))
                return window;
        }
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

void ShowRunningInstance(HWND window, const std::string& name) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    // Only the program the user just started may hand the foreground on.
    AllowSetForegroundWindow(process);
    PostMessageA(window, RegisterWindowMessageA(name.c_str()), 0, 0);
}

namespace {

UINT CloseRequestOf(const std::string& name) {
    return RegisterWindowMessageA((name + ".Close").c_str());
}

} // namespace

TCloseResult CloseRunningInstance(const std::string& name, DWORD timeoutMs) {
    TInstanceLock lock(name);
    if (lock.Acquire(0))
        return TCloseResult::NoneRunning;
    // Held, but the window may not be there yet (starting) or any more (ending).
    HWND window = FindAnsweringInstance(name, timeoutMs);
    if (!window)
        return lock.Acquire(timeoutMs) ? TCloseResult::Closed : TCloseResult::StillRunning;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const unique_handle_t process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    PostMessageA(window, CloseRequestOf(name), 0, 0);
    // The claim goes before the process has ended and unmapped its files.
    if (process)
        return WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0
                   ? TCloseResult::Closed
                   : TCloseResult::StillRunning;
    return lock.Acquire(timeoutMs) ? TCloseResult::Closed : TCloseResult::StillRunning;
}

TInstanceLock::TInstanceLock(const std::string& name)
    : FMutex(CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str())) {}

TInstanceLock::~TInstanceLock() {
    if (FHeld && FMutex)
        ReleaseMutex(FMutex.get());
}

bool TInstanceLock::Acquire(DWORD waitMs) {
    if (FHeld)
        return true;
    if (!FMutex)
        return FHeld = true;
    // Abandoned: the program that held it was killed; the claim is ours now.
    const DWORD result = WaitForSingleObject(FMutex.get(), waitMs);
    FHeld = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return FHeld;
}

TInstanceWindow::TInstanceWindow(HWND window, const std::string& name)
    : FWindow(window), FName(name), FShowRequest(RegisterWindowMessageA(name.c_str())),
      FCloseRequest(CloseRequestOf(name)) {
    SetPropA(FWindow, FName.c_str(), reinterpret_cast<HANDLE>(1));
}

TInstanceWindow::~TInstanceWindow() {
    RemovePropA(FWindow, FName.c_str());
}

} // namespace kal
