// Drives the real Kalvaren.exe from outside its process, as a user would: finds
// its windows by caption and its controls by identifier or text, clicks, types,
// reads texts and list lines. Everything goes through window messages that
// Windows (and Wine) carry across processes.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kal::e2e {

using namespace std::chrono_literals;

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

class TProgram {
public:
    // Starts `exe` with `arguments` in `folder`; `environment` adds or replaces variables.
    TProgram(const std::string& exe, const std::string& arguments, const std::string& folder,
             const std::map<std::string, std::string>& environment = {});
    ~TProgram(); // asks the main window to close, then ends the process if it must
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    DWORD ProcessId() const noexcept { return FInfo.dwProcessId; }
    // A visible or hidden top-level window of the program with this caption (and class).
    HWND FindWindow(const std::string& caption, const char* className = nullptr) const;
    HWND WaitForWindow(const std::string& caption, std::chrono::milliseconds timeout = 20s,
                       const char* className = nullptr) const;
    // A visible standard dialog of the program (class "#32770": message boxes,
    // task dialogs, file choosers, the folder picker) that `accept` agrees to.
    HWND WaitForDialog(std::chrono::milliseconds timeout = 20s,
                       const std::function<bool(HWND)>& accept = {}) const;
    // A visible top-level window of the program of this class (a pop-up menu is "#32768").
    HWND WaitForVisible(const char* className, std::chrono::milliseconds timeout = 20s,
                        const std::function<bool(HWND)>& accept = {}) const;
    // Every top-level window of the program.
    std::vector<HWND> Windows() const;
    bool WaitForExit(std::chrono::milliseconds timeout);
    bool Running() const;
    DWORD ExitCode() const;

    // Copies `text` into the program's memory (for messages that take a pointer
    // the system does not carry across processes); freed with the program.
    void* RemoteString(const std::string& text);
    void* RemoteString(const std::wstring& text);

private:
    void* RemoteBytes(const void* bytes, std::size_t size);

    PROCESS_INFORMATION FInfo{};
    std::vector<void*> FRemote;
};

// A descendant control by its identifier, or by class and exact text.
HWND FindChild(HWND top, int id);
HWND FindChild(HWND top, const char* className, const std::string& text);
std::string Text(HWND window);
// Between the program's ANSI texts and the UTF-16 that Wine carries across processes.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
// WM_SETTEXT: an edit notifies its parent as if the user had typed.
void SetText(HWND window, const std::string& text);
bool Enabled(HWND window);
bool Visible(HWND window);
bool Checked(HWND box);
// BM_CLICK, posted: a click that opens a modal window must not block the driver.
void Click(HWND button);
// The menu command `id` of the window, posted as the menu would.
void MenuCommand(HWND window, int id);
std::vector<std::string> ListLines(HWND list);
int ListSelection(HWND list);
// Selects a line and notifies the list's parent, as a click does.
void SelectListLine(HWND list, int index);
void DoubleClickListLine(HWND list, int index);
// The text of a menu item of `menu` by command identifier, and its state.
std::string MenuText(HMENU menu, int id);
UINT MenuState(HMENU menu, int id);

// Captures a window into a PNG file (on the screen, so it must be visible).
bool SaveScreenshot(HWND window, const std::string& fileName);

} // namespace kal::e2e
