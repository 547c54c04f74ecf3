#include "kal_driver.h"

#include "screenshot.h"

#include <cstring>
#include <stdexcept>
#include <thread>

namespace kal::e2e {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

namespace {

std::string EnvironmentBlock(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> vars;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += std::strlen(p) + 1) {
            const std::string entry = p;
            const auto eq = entry.find('=', 1);
            if (eq != std::string::npos)
                vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        FreeEnvironmentStringsA(block);
    }
    for (const auto& [name, value] : extra)
        vars[name] = value;
    std::string result;
    for (const auto& [name, value] : vars)
        result += name + "=" + value + '\0';
    result += '\0';
    return result;
}

struct TFindData {
    DWORD Pid;
    std::vector<HWND> Found;
};

} // namespace

TProgram::TProgram(const std::string& exe, const std::string& arguments, const std::string& folder,
                   const std::map<std::string, std::string>& environment) {
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    std::string env = EnvironmentBlock(environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, env.data(),
                        folder.empty() ? nullptr : folder.c_str(), &startup, &FInfo))
        throw std::runtime_error("cannot start " + commandLine);
    WaitForInputIdle(FInfo.hProcess, 20000);
}

TProgram::~TProgram() {
    if (Running()) {
        for (HWND window : Windows()) {
            if (IsWindowVisible(window) || GetWindow(window, GW_OWNER) == nullptr)
                PostMessageA(window, WM_CLOSE, 0, 0);
        }
        if (!WaitForExit(15s))
            TerminateProcess(FInfo.hProcess, 1);
    }
    WaitForSingleObject(FInfo.hProcess, 5000);
    for (void* p : FRemote)
        VirtualFreeEx(FInfo.hProcess, p, 0, MEM_RELEASE);
    CloseHandle(FInfo.hThread);
    CloseHandle(FInfo.hProcess);
}

std::vector<HWND> TProgram::Windows() const {
    TFindData data{FInfo.dwProcessId, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* d = reinterpret_cast<TFindData*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (pid == d->Pid)
                d->Found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&data));
    return data.Found;
}

HWND TProgram::FindWindow(const std::string& caption, const char* className) const {
    for (HWND window : Windows()) {
        if (Text(window) != caption)
            continue;
        if (className) {
            char cls[256] = {};
            GetClassNameA(window, cls, sizeof cls);
            if (std::string(cls) != className)
                continue;
        }
        return window;
    }
    return nullptr;
}

HWND TProgram::WaitForWindow(const std::string& caption, std::chrono::milliseconds timeout,
                             const char* className) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindWindow(caption, className)) != nullptr; }, timeout);
    return found;
}

HWND TProgram::WaitForDialog(std::chrono::milliseconds timeout,
                             const std::function<bool(HWND)>& accept) const {
    return WaitForVisible("#32770", timeout, accept);
}

HWND TProgram::WaitForVisible(const char* className, std::chrono::milliseconds timeout,
                              const std::function<bool(HWND)>& accept) const {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : Windows()) {
                char cls[64] = {};
                GetClassNameA(window, cls, sizeof cls);
                if (std::string(cls) == className && IsWindowVisible(window) &&
                    (!accept || accept(window))) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

bool TProgram::WaitForExit(std::chrono::milliseconds timeout) {
    return WaitForSingleObject(FInfo.hProcess, static_cast<DWORD>(timeout.count())) ==
           WAIT_OBJECT_0;
}

bool TProgram::Running() const {
    return WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD TProgram::ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(FInfo.hProcess, &code);
    return code;
}

void* TProgram::RemoteString(const std::string& text) {
    return RemoteBytes(text.c_str(), text.size() + 1);
}

void* TProgram::RemoteString(const std::wstring& text) {
    return RemoteBytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void* TProgram::RemoteBytes(const void* bytes, std::size_t size) {
    void* p =
        VirtualAllocEx(FInfo.hProcess, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!p || !WriteProcessMemory(FInfo.hProcess, p, bytes, size, nullptr))
        throw std::runtime_error("cannot write into the program's memory");
    FRemote.push_back(p);
    return p;
}

namespace {
struct TChildSearch {
    int Id;
    const char* ClassName;
    const std::string* Text;
    HWND Found = nullptr;
};
} // namespace

HWND FindChild(HWND top, int id) {
    TChildSearch search{id, nullptr, nullptr};
    EnumChildWindows(
        top,
        [](HWND child, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<TChildSearch*>(param);
            if (GetDlgCtrlID(child) == s->Id) {
                s->Found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND FindChild(HWND top, const char* className, const std::string& text) {
    TChildSearch search{0, className, &text};
    EnumChildWindows(
        top,
        [](HWND child, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<TChildSearch*>(param);
            char cls[256] = {};
            GetClassNameA(child, cls, sizeof cls);
            if (_stricmp(cls, s->ClassName) == 0 && Text(child) == *s->Text) {
                s->Found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::string Text(HWND window) {
    const int length = static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = static_cast<int>(
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return Narrow(text);
}

void SetText(HWND window, const std::string& text) {
    SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool Enabled(HWND window) {
    return IsWindowEnabled(window) != FALSE;
}

bool Visible(HWND window) {
    return IsWindowVisible(window) != FALSE;
}

bool Checked(HWND box) {
    return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Click(HWND button) {
    PostMessageA(button, BM_CLICK, 0, 0);
}

void MenuCommand(HWND window, int id) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

// Texts read from another process come as UTF-16, which Wine carries reliably
// across processes; the program's own text is ANSI.
std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::vector<std::string> ListLines(HWND list) {
    std::vector<std::string> lines;
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        // The program may be rebuilding the list meanwhile: a line that is gone
        // reads as LB_ERR, and what was read so far is the answer of this look.
        const int length = static_cast<int>(SendMessageW(list, LB_GETTEXTLEN, i, 0));
        if (length < 0)
            break;
        std::wstring line(static_cast<std::size_t>(length) + 1, L'\0');
        const int got = static_cast<int>(
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data())));
        if (got < 0 || got > length)
            break;
        line.resize(static_cast<std::size_t>(got));
        lines.push_back(Narrow(line));
    }
    return lines;
}

int ListSelection(HWND list) {
    return static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
}

void SelectListLine(HWND list, int index) {
    SendMessageA(list, LB_SETCURSEL, index, 0);
    SendMessageA(GetParent(list), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
}

void DoubleClickListLine(HWND list, int index) {
    SendMessageA(list, LB_SETCURSEL, index, 0);
    PostMessageA(GetParent(list), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), LBN_DBLCLK),
                 reinterpret_cast<LPARAM>(list));
}

std::string MenuText(HMENU menu, int id) {
    wchar_t text[256] = {};
    GetMenuStringW(menu, static_cast<UINT>(id), text, 256, MF_BYCOMMAND);
    return Narrow(text);
}

UINT MenuState(HMENU menu, int id) {
    return GetMenuState(menu, static_cast<UINT>(id), MF_BYCOMMAND);
}

bool SaveScreenshot(HWND window, const std::string& fileName) {
    try {
        SaveWindowPng(window, fileName);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace kal::e2e
