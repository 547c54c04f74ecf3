// The "Backup Terminal": shows, live, what a transfer writes. Output and error
// text arrive as WM_CONSOLE_OUTPUT / WM_CONSOLE_ERROR (UProcess.h), sent
// synchronously by the runner's worker; the window shows itself on text.
#pragma once

#include "UWindow.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kal {

// The lines of one received text: an LF ends a line (an LF CR pair counts as
// one break), a CR anywhere else stays in the text, and a last line without a
// break is kept. Views into `text`.
std::vector<std::string_view> SplitConsoleLines(std::string_view text);

// Adds the lines of `text` to `lines`, each ended by CR LF as a multi-line
// edit holds them. A null text adds nothing.
void AppendLines(const char* text, std::string& lines);

// Appends CR LF-ended lines to the end of a multi-line edit and keeps the
// newest line in view.
void AppendToPane(HWND pane, const std::string& lines);

class TTerminalForm : public TWindow {
public:
    TTerminalForm();
    ~TTerminalForm() override;

    // Empties both panes and hides the error pane.
    void Clear();
    // Puts text still held back into the panes now.
    void Flush();

    // Keys pressed in either pane; the main window stops a run on VK_CANCEL.
    TKeyEvent OnKeyDown;
    TKeyEvent OnKeyUp;
    TKeyPressEvent OnKeyPress;

    HWND mem_ConsoleOutput = nullptr;
    HWND mem_ConsoleError = nullptr;
    std::unique_ptr<TSplitter> Splitter1;

    static constexpr int Clear1 = 101;
    static constexpr int Close1 = 102;

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    virtual void DoKeyDown(WORD& key, TShiftState shift);
    virtual void DoKeyUp(WORD& key, TShiftState shift);
    virtual void DoKeyPress(char& key);

private:
    void Clear1Click() { Clear(); }
    void Close1Click() { Close(); }
    void AKeyDown(WORD& key, TShiftState shift) { DoKeyDown(key, shift); }
    void AKeyUp(WORD& key, TShiftState shift) { DoKeyUp(key, shift); }
    void AKeyPressed(char& key) { DoKeyPress(key); }
    void ShowIfHidden();
    void Queue(std::string& pending, WPARAM text);

    // Text is collected for a moment and added to a pane in one piece: the edit
    // control's cost is per insertion, so a flood of small chunks would
    // otherwise keep the window busy for minutes.
    std::string FPendingOutput;
    std::string FPendingError;
    ULONGLONG FLastFlush = 0;
    bool FFlushTimer = false;
    static LRESULT CALLBACK PaneProc(HWND pane, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
};

} // namespace kal
