#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>

#include "hardening_support.h"

namespace kal::hardening {

namespace {
int CountThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self)
            ++count;
    CloseHandle(snapshot);
    return count;
}
// Wine answers GetProcessHandleCount with 0: count the handle values that are
// open instead. Handle values are multiples of 4, handed out lowest first.
int ProbeHandles() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x40000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}
} // namespace

TResources MeasureResources() {
    TResources r;
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        r.ResidentKb = static_cast<long>(memory.WorkingSetSize / 1024);
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        r.Handles = static_cast<int>(handles);
    if (r.Handles <= 0)
        r.Handles = ProbeHandles();
    r.Threads = CountThreads();
    return r;
}

} // namespace kal::hardening
