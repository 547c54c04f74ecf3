#include "UThread.h"

#include <windows.h>

#include <string>

namespace kal {

void SetCurrentThreadName(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems and Wine
    // builds without it simply keep the thread unnamed.
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;
    const auto setDescription = reinterpret_cast<SetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (!setDescription)
        return;
    const int length = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (length <= 0)
        return;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), length);
    setDescription(GetCurrentThread(), wide.c_str());
}

} // namespace kal
