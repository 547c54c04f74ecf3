// The "Backup Terminal": shows, live, what a transfer writes. Output and error
// text arrive as WM_CONSOLE_OUTPUT / WM_CONSOLE_ERROR (UWindowOutput.h), sent
// synchronously by the runner's worker through ProcessOutput(); the window shows
// itself on text.
#pragma once

#include "UConsoleLines.h"
#include "UTerminalPane.h"
#include "UWindow.h"
#include "UWindowOutput.h"

#include <memory>
#include <string>

namespace kal {

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

    // The panes' handles; the panes belong to the window.
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

    // Text is collected for a moment and added to a pane in one piece, so a flood
    // of small chunks repaints the pane a few times a second, not with every chunk.
    struct TPaneText {
        std::string Pending;
    };
    void Queue(TPaneText& pane, WPARAM text);
    TPaneText FOutput;
    TPaneText FError;
    std::unique_ptr<TTerminalPane> FOutputPane;
    std::unique_ptr<TTerminalPane> FErrorPane;
    ULONGLONG FLastFlush = 0;
    std::unique_ptr<TWindowOutput> FProcessOutput;
    bool FFlushTimer = false;
    static LRESULT CALLBACK PaneProc(HWND pane, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
};

} // namespace kal
