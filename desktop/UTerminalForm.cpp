#include "UTerminalForm.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

namespace kal {

std::string HiddenLinesMarker(unsigned long long hidden) {
    std::string text = "[";
    text += std::to_string(hidden);
    text +=
        hidden == 1 ? " earlier line is no longer shown]" : " earlier lines are no longer shown]";
    return text;
}

namespace {

LRESULT Send(HWND pane, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageA(pane, message, wParam, lParam);
}

// How far a trim moved the kept text up.
struct TTrim {
    long Lines = 0;
    long Chars = 0;
    long Cut = 0; // old position of the first kept character
};

// A pane past its bound drops its oldest lines down to three quarters of it in
// one block, so a trim comes once every few thousand lines, not with every chunk.
TTrim TrimPane(HWND pane, unsigned long long& hidden) {
    const long marker = hidden > 0 ? 1 : 0;
    // Every line ends with a break, so the control counts an empty last line.
    const long lines = static_cast<long>(Send(pane, EM_GETLINECOUNT)) - 1 - marker;
    // The wide length: the ANSI one is counted anew over the whole text on some hosts.
    const long chars = GetWindowTextLengthW(pane);
    if (lines <= PaneLineLimit && chars <= PaneCharLimit)
        return {};
    long first = marker + lines - PaneLineLimit / 4 * 3;
    if (chars > PaneCharLimit / 4 * 3) {
        const long byChars =
            static_cast<long>(Send(pane, EM_LINEFROMCHAR, chars - PaneCharLimit / 4 * 3)) + 1;
        first = std::max(first, byChars);
    }
    first = std::min(first, marker + lines - 1); // the newest line always stays
    if (first <= marker)
        return {};
    const long cut = static_cast<long>(Send(pane, EM_LINEINDEX, first));
    hidden += static_cast<unsigned long long>(first - marker);
    const std::string text = HiddenLinesMarker(hidden) + "\r\n";
    Send(pane, EM_SETSEL, 0, cut);
    Send(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    return {first - 1, cut - static_cast<long>(text.size()), cut};
}

} // namespace

void AppendToPane(HWND pane, const std::string& lines, unsigned long long& hidden) {
    if (lines.empty())
        return;
    DWORD selStart = 0, selEnd = 0;
    Send(pane, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    const long top = static_cast<long>(Send(pane, EM_GETFIRSTVISIBLELINE));

    const int end = GetWindowTextLengthW(pane);
    Send(pane, EM_SETSEL, end, end);
    Send(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(lines.c_str()));
    const TTrim trim = TrimPane(pane, hidden);

    // A selection means the user is reading or copying: neither it nor the view may
    // move under them, as long as the selected text is still there.
    if (selStart != selEnd && static_cast<long>(selStart) >= trim.Cut) {
        Send(pane, EM_SETSEL, selStart - trim.Chars, selEnd - trim.Chars);
        const long now = static_cast<long>(Send(pane, EM_GETFIRSTVISIBLELINE));
        Send(pane, EM_LINESCROLL, 0, std::max(0L, top - trim.Lines) - now);
        return;
    }
    const int newEnd = GetWindowTextLengthW(pane);
    Send(pane, EM_SETSEL, newEnd, newEnd);
    Send(pane, EM_SCROLLCARET);
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
    FProcessOutput = std::make_unique<TWindowOutput>(Handle());
}

TTerminalForm::~TTerminalForm() {
    DestroyHandle();
}

void TTerminalForm::Clear() {
    FOutput = {};
    FError = {};
    SetWindowTextA(mem_ConsoleOutput, "");
    SetWindowTextA(mem_ConsoleError, "");
    ShowWindow(mem_ConsoleError, SW_HIDE);
    Relayout();
}

void TTerminalForm::Queue(TPaneText& pane, WPARAM text) {
    AppendLines(reinterpret_cast<const char*>(text), pane.Pending);
    if (pane.Pending.size() >= kFlushSize || GetTickCount64() - FLastFlush >= kFlushInterval) {
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
    AppendToPane(mem_ConsoleOutput, FOutput.Pending, FOutput.Hidden);
    AppendToPane(mem_ConsoleError, FError.Pending, FError.Hidden);
    // clear() keeps the capacity: the buffers stay allocated, at most one flush in size.
    FOutput.Pending.clear();
    FError.Pending.clear();
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
        Queue(FOutput, wParam);
        return 0;
    case WM_CONSOLE_ERROR:
        ShowIfHidden();
        if (!IsWindowVisible(mem_ConsoleError)) {
            ShowWindow(mem_ConsoleError, SW_SHOWNA);
            Relayout();
        }
        Queue(FError, wParam);
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
