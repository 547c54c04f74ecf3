#include "UTerminalForm.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

namespace kal {

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

// ES_READONLY tells other programs, as an edit's style does, that the pane takes no input.
constexpr DWORD kPaneStyle = WS_TABSTOP | ES_READONLY;

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
    FOutputPane = std::make_unique<TTerminalPane>(Handle(), kPaneStyle | WS_VISIBLE);
    FErrorPane = std::make_unique<TTerminalPane>(Handle(), kPaneStyle);
    mem_ConsoleOutput = FOutputPane->Handle();
    mem_ConsoleError = FErrorPane->Handle();
    SetWindowPos(mem_ConsoleError, nullptr, 0, 0, 662, 111, SWP_NOMOVE | SWP_NOZORDER);
    for (TTerminalPane* pane : {FOutputPane.get(), FErrorPane.get()}) {
        pane->OnClear = [this](TWindow*) {
            Clear();
        };
        SetWindowSubclass(pane->Handle(), &TTerminalForm::PaneProc, 0,
                          reinterpret_cast<DWORD_PTR>(this));
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
    FOutputPane->Clear();
    FErrorPane->Clear();
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
    FOutputPane->Append(FOutput.Pending);
    FErrorPane->Append(FError.Pending);
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
