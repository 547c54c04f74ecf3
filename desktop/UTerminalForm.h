// The "Backup Terminal": shows, live, what a transfer writes. Output and error
// text arrive as WM_CONSOLE_OUTPUT / WM_CONSOLE_ERROR (UWindowOutput.h), sent
// synchronously by the runner's worker through ProcessOutput(); the window shows
// itself on text.
#pragma once

#include "UConsoleLines.h"
#include "UWindow.h"
#include "UWindowOutput.h"

#include <memory>
#include <string>

namespace kal {

// A pane keeps only the newest text. rsync -v writes a line per file, so a first
// backup of a home folder brings hundreds of thousands of lines; an edit control
// that holds them all grows to tens of megabytes, every insertion then costs more,
// and the window freezes with the transfer waiting behind it. 20,000 lines (or
// 2 MB of text, whichever comes first) is far more than anyone reads back in the
// window and far below where the control slows down; rsync's own log file, an
// option of the transfer, keeps a complete record.
constexpr long PaneLineLimit = 20000;
constexpr long PaneCharLimit = 2 * 1024 * 1024;

// The line a trimmed pane shows at its top in place of its `hidden` oldest lines.
std::string HiddenLinesMarker(unsigned long long hidden);

// Appends CR LF-ended lines to the end of a multi-line edit and keeps it within its
// bound: past it, the oldest lines go in one block and the marker line counts them
// (`hidden` carries the count from call to call). The newest line stays in view,
// unless the user is selecting text: then the selection and the view stay put.
void AppendToPane(HWND pane, const std::string& lines, unsigned long long& hidden);

class TTerminalForm : public TWindow {
public:
    TTerminalForm();
    ~TTerminalForm() override;

    // What a run writes to, to appear here.
    IProcessOutput& ProcessOutput() { return *FProcessOutput; }

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

    // Text is collected for a moment and added to a pane in one piece: the edit
    // control's cost is per insertion, so a flood of small chunks would
    // otherwise keep the window busy for minutes.
    struct TPaneText {
        std::string Pending;
        unsigned long long Hidden = 0; // lines trimmed from the top since the last Clear
    };
    void Queue(TPaneText& pane, WPARAM text);
    TPaneText FOutput;
    TPaneText FError;
    ULONGLONG FLastFlush = 0;
    std::unique_ptr<TWindowOutput> FProcessOutput;
    bool FFlushTimer = false;
    static LRESULT CALLBACK PaneProc(HWND pane, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
};

} // namespace kal
