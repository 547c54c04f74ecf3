#include "KalUserSteps.h"

#include <commctrl.h>
#include <shlobj.h>

#include <chrono>

namespace kal::e2e {

using namespace std::chrono_literals;

std::wstring PickerSelection(TProgram& program, HWND picker) {
    HWND tree = FindWindowExA(picker, nullptr, "SysTreeView32", nullptr);
    if (!tree)
        return L"";
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                                 program.ProcessId());
    if (!process)
        return L"";
    wchar_t text[512] = {};
    auto* remote = static_cast<char*>(
        VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (item && remote) {
        TVITEMW query{};
        query.mask = TVIF_TEXT;
        query.hItem = item;
        query.pszText = reinterpret_cast<wchar_t*>(remote + sizeof query);
        query.cchTextMax = 511;
        if (WriteProcessMemory(process, remote, &query, sizeof query, nullptr) &&
            SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote)))
            ReadProcessMemory(process, remote + sizeof query, text, sizeof text - sizeof *text,
                              nullptr);
    }
    if (remote)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return text;
}

bool PickFolder(TProgram& program, const std::string& folder, const std::string& screenshot) {
    HWND picker = program.WaitForDialog();
    if (!picker)
        return false;
    const std::string name = folder.substr(folder.find_last_of('\\') + 1);
    const std::wstring expected(name.begin(), name.end());
    // The wide form: the ANSI one is not taken up by Wine's picker.
    std::string wide;
    for (char c : folder)
        wide += {c, '\0'};
    wide += '\0';
    void* remotePath = program.RemoteString(wide);
    // Each selection expands the tree from Z:\ down, which takes a while on a
    // loaded machine: give each request time to land before asking again.
    bool shown = false;
    const auto deadline = std::chrono::steady_clock::now() + 45s;
    while (!shown && IsWindow(picker) && std::chrono::steady_clock::now() < deadline) {
        SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remotePath),
                            SMTO_NORMAL, 15000, nullptr);
        shown = WaitUntil([&] { return PickerSelection(program, picker) == expected; }, 3s);
    }
    if (!screenshot.empty())
        SaveScreenshot(picker, screenshot);
    if (!shown)
        return false;
    PostMessageA(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitUntil([&] { return !IsWindow(picker); });
}

std::vector<HWND> TerminalPanes(HWND terminal) {
    std::vector<HWND> panes;
    EnumChildWindows(
        terminal,
        [](HWND child, LPARAM param) -> BOOL {
            char cls[16] = {};
            GetClassNameA(child, cls, sizeof cls);
            if (_stricmp(cls, "Edit") == 0)
                reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&panes));
    return panes;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace kal::e2e
