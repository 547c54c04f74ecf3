#include "UTerminalForm.h"

#include "UProcess.h"

#include <commctrl.h>

#include <string>

namespace kal {

std::vector<std::string_view> SplitConsoleLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0, pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\n') {
            lines.push_back(text.substr(start, pos - start));
            ++pos;
            if (pos < text.size() && text[pos] == '\r')
                ++pos;
            start = pos;
        } else {
            ++pos;
        }
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

void AppendLines(const char* text, std::string& lines) {
    if (!text)
        return;
    for (std::string_view line : SplitConsoleLines(text)) {
        lines.append(line);
        lines.append("\r\n");
    }
}

void AppendToPane(HWND pane, const std::string& lines) {
    if (lines.empty())
        return;
    // The wide length: the ANSI one is counted anew over the whole text on some
    // hosts. The code page is single-byte, so both count the same characters.
    const int end = GetWindowTextLengthW(pane);
    SendMessageA(pane, EM_SETSEL, end, end);
    SendMessageA(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(lines.c_str()));
    SendMessageA(pane, EM_SCROLLCARET, 0, 0);
}

namespace {

HMENU CreateMainMenu1() {
    HMENU file1 = CreatePopupMenu();
    AppendMenuA(file1, MF_STRING, TTerminalForm::Clear1, "Clear");
    AppendMenuA(file1, MF_SEPARATOR, 0, nullptr); // N1
    AppendMenuA(file1, MF_STRING, TTerminalForm::Close1, "Close");
    HMENU mainMenu1 = CreateMenu();
    AppendMenuA(mainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(file1), "File");
    return mainMenu1;
}

constexpr UINT_PTR kFlushTimer = 1;
constexpr ULONGLONG kFlushInterval = 50; // ms: quick enough to read as live
constexpr size_t kFlushSize = 64 * 1024;

constexpr DWORD kPaneStyle = WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                             ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL;

} // namespace

TTerminalForm::TTerminalForm() {
    Create({.ClassName = "TTerminalForm",
            .Caption = "Backup Terminal",
            .Style = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN,
            .ExStyle = WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT,
            .ClientWidth = 662,
            .ClientHeight = 363,
            .Menu = CreateMainMenu1()});
    Constraints.MinWidth = 464;
    Constraints.MinHeight = 273;

    Splitter1 = std::make_unique<TSplitter>(Handle(), Layout, TAlign::alBottom, 3);
    mem_ConsoleOutput = CreateControl({.ClassName = "EDIT",
                                       .Style = kPaneStyle | WS_VISIBLE,
                                       .ExStyle = WS_EX_CLIENTEDGE,
                                       .Width = 662,
                                       .Height = 249,
                                       .Parent = Handle()});
    mem_ConsoleError = CreateControl({.ClassName = "EDIT",
                                      .Style = kPaneStyle,
                                      .ExStyle = WS_EX_CLIENTEDGE,
                                      .Top = 252,
                                      .Width = 662,
                                      .Height = 111,
                                      .Parent = Handle()});
    for (HWND pane : {mem_ConsoleOutput, mem_ConsoleError}) {
        // The default limit (30,000 characters) would cut long runs short.
        SendMessageA(pane, EM_SETLIMITTEXT, 0, 0);
        SetWindowSubclass(pane, &TTerminalForm::PaneProc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
    // The error pane sits at the very bottom, the splitter above it.
    Layout.Align(mem_ConsoleError, TAlign::alBottom);
    Layout.Align(Splitter1->Handle(), TAlign::alBottom);
    Layout.Align(mem_ConsoleOutput, TAlign::alClient);
    Relayout();
}

TTerminalForm::~TTerminalForm() {
    DestroyHandle();
}

void TTerminalForm::Clear() {
    FPendingOutput.clear();
    FPendingError.clear();
    SetWindowTextA(mem_ConsoleOutput, "");
    SetWindowTextA(mem_ConsoleError, "");
    ShowWindow(mem_ConsoleError, SW_HIDE);
    Relayout();
}

void TTerminalForm::Queue(std::string& pending, WPARAM text) {
    AppendLines(reinterpret_cast<const char*>(text), pending);
    if (pending.size() >= kFlushSize || GetTickCount64() - FLastFlush >= kFlushInterval) {
        Flush();
    } else if (!FFlushTimer) {
        FFlushTimer = SetTimer(Handle(), kFlushTimer, kFlushInterval, nullptr) != 0;
    }
}

void TTerminalForm::Flush() {
    if (FFlushTimer) {
        KillTimer(Handle(), kFlushTimer);
        FFlushTimer = false;
    }
    AppendToPane(mem_ConsoleOutput, FPendingOutput);
    AppendToPane(mem_ConsoleError, FPendingError);
    FPendingOutput.clear();
    FPendingError.clear();
    FLastFlush = GetTickCount64();
}

void TTerminalForm::ShowIfHidden() {
    if (!Visible())
        Show();
}

void TTerminalForm::DoKeyDown(WORD& key, TShiftState shift) {
    if (OnKeyDown)
        OnKeyDown(this, key, shift);
}

void TTerminalForm::DoKeyUp(WORD& key, TShiftState shift) {
    if (OnKeyUp)
        OnKeyUp(this, key, shift);
}

void TTerminalForm::DoKeyPress(char& key) {
    if (OnKeyPress)
        OnKeyPress(this, key);
}

LRESULT TTerminalForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CONSOLE_OUTPUT:
        ShowIfHidden();
        Queue(FPendingOutput, wParam);
        return 0;
    case WM_CONSOLE_ERROR:
        ShowIfHidden();
        if (!IsWindowVisible(mem_ConsoleError)) {
            ShowWindow(mem_ConsoleError, SW_SHOWNA);
            Relayout();
        }
        Queue(FPendingError, wParam);
        return 0;
    case WM_TIMER:
        if (wParam == kFlushTimer) {
            Flush();
            return 0;
        }
        break;
    case WM_CONSOLE_CLEAR:
        Clear();
        return 0;
    case WM_COMMAND:
        if (lParam == 0 && LOWORD(wParam) == Clear1) {
            Clear1Click();
            return 0;
        }
        if (lParam == 0 && LOWORD(wParam) == Close1) {
            Close1Click();
            return 0;
        }
        break;
    case WM_SETFOCUS:
        SetFocus(mem_ConsoleOutput);
        return 0;
    case WM_CTLCOLORSTATIC: // read-only edits paint through this one
    case WM_CTLCOLOREDIT: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

LRESULT CALLBACK TTerminalForm::PaneProc(HWND pane, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<TTerminalForm*>(data);
    try {
        const TShiftState alt = (lParam & (1 << 29)) ? ssAlt : 0;
        switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            WORD key = static_cast<WORD>(wParam);
            self->AKeyDown(key, KeyboardShiftState() | alt);
            if (!key)
                return 0; // the handler took the key
            wParam = key;
            break;
        }
        case WM_KEYUP:
        case WM_SYSKEYUP: {
            WORD key = static_cast<WORD>(wParam);
            self->AKeyUp(key, KeyboardShiftState() | alt);
            if (!key)
                return 0;
            wParam = key;
            break;
        }
        case WM_CHAR: {
            char key = static_cast<char>(wParam);
            self->AKeyPressed(key);
            if (!key)
                return 0;
            wParam = static_cast<unsigned char>(key);
            break;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(pane, &TTerminalForm::PaneProc, 0);
            break;
        default:
            break;
        }
    } catch (...) {
        Application().HandleException();
    }
    return DefSubclassProc(pane, message, wParam, lParam);
}

} // namespace kal
