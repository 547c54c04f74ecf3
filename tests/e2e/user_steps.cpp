#include "user_steps.h"

#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kal::e2e {

using namespace std::chrono_literals;

namespace {

// Reads item texts of a tree view in the program's process: tree-view items
// carry pointers the system does not marshal across processes.
class TRemoteTree {
public:
    TRemoteTree(TProgram& program, HWND tree) : FTree(tree) {
        FProcess = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                               program.ProcessId());
        if (FProcess)
            FRemote = static_cast<char*>(
                VirtualAllocEx(FProcess, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~TRemoteTree() {
        if (FRemote)
            VirtualFreeEx(FProcess, FRemote, 0, MEM_RELEASE);
        if (FProcess)
            CloseHandle(FProcess);
    }
    TRemoteTree(const TRemoteTree&) = delete;
    TRemoteTree& operator=(const TRemoteTree&) = delete;

    std::wstring Text(HTREEITEM item) const {
        wchar_t text[512] = {};
        if (!item || !FRemote)
            return text;
        TVITEMW query{};
        query.mask = TVIF_TEXT;
        query.hItem = item;
        query.pszText = reinterpret_cast<wchar_t*>(FRemote + sizeof query);
        query.cchTextMax = 511;
        if (WriteProcessMemory(FProcess, FRemote, &query, sizeof query, nullptr) &&
            SendMessageW(FTree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(FRemote)))
            ReadProcessMemory(FProcess, FRemote + sizeof query, text, sizeof text - sizeof *text,
                              nullptr);
        return text;
    }
    HTREEITEM Next(HTREEITEM item, UINT relation) const {
        return reinterpret_cast<HTREEITEM>(
            SendMessageW(FTree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    }
    HTREEITEM Selected() const { return Next(nullptr, TVGN_CARET); }
    // The first child of `parent` named like one of `names` (in their order), once
    // the tree lists it; nullptr after ten seconds without.
    HTREEITEM ExpandToChild(HTREEITEM parent, const std::vector<std::wstring>& names) const {
        HTREEITEM found = nullptr;
        WaitUntil(
            [&] {
                SendMessageW(FTree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(parent));
                for (const auto& name : names)
                    for (HTREEITEM c = Next(parent, TVGN_CHILD); c; c = Next(c, TVGN_NEXT))
                        if (_wcsicmp(Text(c).c_str(), name.c_str()) == 0)
                            return (found = c) != nullptr;
                return false;
            },
            10s);
        return found;
    }

private:
    HWND FTree;
    HANDLE FProcess = nullptr;
    char* FRemote = nullptr;
};

HWND PickerTree(HWND picker) {
    return FindWindowExA(picker, nullptr, "SysTreeView32", nullptr);
}

// The folders of `folder` below its drive, e.g. {"tmp", "x"} for Z:\tmp\x.
std::vector<std::wstring> FolderSteps(const std::string& folder) {
    std::vector<std::wstring> steps;
    std::size_t from = folder.find('\\');
    while (from != std::string::npos && from + 1 < folder.size()) {
        const std::size_t to = folder.find('\\', from + 1);
        steps.push_back(
            Widen(folder.substr(from + 1, to == std::string::npos ? to : to - from - 1)));
        from = to;
    }
    return steps;
}

// Goes on from wherever the picker's selection got to, as a user would: expands
// the selected folder and clicks the next one by name. A whole path handed to
// Wine's picker sometimes stops at the drive (its query of the root file system's
// volume is refused), while its tree still lists every folder.
bool WalkTheRest(TProgram& program, HWND picker, const std::string& folder) {
    HWND tree = PickerTree(picker);
    if (!tree)
        return false;
    TRemoteTree remote(program, tree);
    const std::vector<std::wstring> steps = FolderSteps(folder);
    const std::wstring drive = L"(" + Widen(folder.substr(0, 2)) + L")";

    // Which of the steps the selection already stands on: its ancestors up to the drive.
    std::vector<std::wstring> reached;
    HTREEITEM item = remote.Selected();
    for (HTREEITEM at = item; at; at = remote.Next(at, TVGN_PARENT)) {
        const std::wstring text = remote.Text(at);
        if (text.ends_with(drive))
            break;
        reached.insert(reached.begin(), text);
        if (!remote.Next(at, TVGN_PARENT))
            return false; // not below the drive at all
    }
    if (reached.size() > steps.size() ||
        !std::equal(reached.begin(), reached.end(), steps.begin(),
                    [](const std::wstring& a, const std::wstring& b) {
                        return _wcsicmp(a.c_str(), b.c_str()) == 0;
                    }))
        return false;

    for (std::size_t i = reached.size(); i < steps.size(); ++i) {
        HTREEITEM next = remote.ExpandToChild(item, {steps[i]});
        if (!next)
            return false;
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(next));
        SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(next));
        item = next;
    }
    return remote.Selected() == item;
}

} // namespace

std::wstring PickerSelection(TProgram& program, HWND picker) {
    HWND tree = PickerTree(picker);
    if (!tree)
        return L"";
    TRemoteTree remote(program, tree);
    return remote.Text(remote.Selected());
}

bool PickFolder(TProgram& program, const std::string& folder, const std::string& screenshot) {
    HWND picker = program.WaitForDialog();
    if (!picker)
        return false;
    const std::wstring expected = Widen(folder.substr(folder.find_last_of('\\') + 1));
    // The drive by its path (the wide form: Wine's picker ignores the ANSI one),
    // the folders below it by clicking through the tree.
    const std::string root = folder.substr(0, 3);
    void* remoteRoot = program.RemoteString(Widen(root));
    const std::wstring drive = L"(" + Widen(root.substr(0, 2)) + L")";
    const auto driveSelected = [&] {
        SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remoteRoot),
                            SMTO_NORMAL, 10000, nullptr);
        return PickerSelection(program, picker).ends_with(drive);
    };
    const bool shown = WaitUntil(driveSelected, 20s) && WalkTheRest(program, picker, folder) &&
                       PickerSelection(program, picker) == expected;
    if (!screenshot.empty())
        SaveScreenshot(picker, screenshot);
    if (!shown)
        return false;
    PostMessageA(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitUntil([&] { return !IsWindow(picker); });
}

bool PickVirtualFolder(TProgram& program, const std::vector<std::wstring>& names) {
    HWND picker = program.WaitForDialog();
    HWND tree = picker ? PickerTree(picker) : nullptr;
    if (!tree)
        return false;
    TRemoteTree remote(program, tree);
    HTREEITEM found = remote.ExpandToChild(remote.Next(nullptr, TVGN_ROOT), names);
    if (!found)
        return false;
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(found));
    if (remote.Selected() != found)
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
            if (std::strcmp(cls, "TTerminalPane") == 0)
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
