// A read-only text pane for a flood of lines: it keeps the newest lines in a
// bounded ring and paints only the lines in view, so adding a block of text costs
// the same whatever the pane already holds (an edit control re-lays out its whole
// text on every insertion and slows down as it fills).
//
// It answers what a read-only multi-line edit answers to other programs and to
// screen readers: WM_GETTEXT and WM_GETTEXTLENGTH give the held lines, each ended
// by CR LF, and EM_GETSEL, EM_SETSEL, EM_LINEINDEX, EM_LINEFROMCHAR,
// EM_LINELENGTH, EM_GETLINE, EM_GETLINECOUNT, EM_GETFIRSTVISIBLELINE,
// EM_LINESCROLL, EM_SCROLLCARET and WM_COPY work on that text as on an edit's.
#pragma once

#include "UWindow.h"

#include <deque>
#include <string>
#include <string_view>

namespace kal {

// A pane keeps only the newest text. rsync -v writes a line per file, so a first
// backup of a home folder brings hundreds of thousands of lines. 20,000 lines (or
// 2 MB of text, whichever comes first) is far more than anyone reads back in the
// window; rsync's own log file, an option of the transfer, keeps a complete record.
constexpr long PaneLineLimit = 20000;
constexpr long PaneCharLimit = 2 * 1024 * 1024;

// The line a trimmed pane shows at its top in place of its `hidden` oldest lines.
std::string HiddenLinesMarker(unsigned long long hidden);

class TTerminalPane : public TWindow {
public:
    // A child of `parent`, hidden unless `style` holds WS_VISIBLE.
    TTerminalPane(HWND parent, DWORD style);
    ~TTerminalPane() override;

    // Adds lines, each ended by CR LF. Past the bound the oldest lines go and the
    // marker line counts them. The newest line comes into view unless the user has
    // text selected: then the selection and the view stay put.
    void Append(std::string_view lines);
    void Clear();
    void SelectAll();
    std::string SelectedText() const;
    // The held text as WM_GETTEXT gives it.
    std::string Text() const;

    // The context menu's "Clear"; without a handler it clears this pane.
    TNotifyEvent OnClear;

    // The context menu's items, as WM_COMMAND ids.
    static constexpr int Copy1 = 1;
    static constexpr int SelectAll1 = 2;
    static constexpr int Clear1 = 3;

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // A place in the text: Line counts every line added since the last Clear, so
    // places stay put while the oldest lines go; the marker is line FFirst - 1.
    struct TPos {
        long long Line = 0;
        std::size_t Col = 0; // bytes
        auto operator<=>(const TPos&) const = default;
    };

    bool HasMarker() const { return FFirst > 0; }
    long long FirstLine() const { return FFirst - (HasMarker() ? 1 : 0); }
    long long EndLine() const { return FFirst + static_cast<long long>(FLines.size()); }
    long Rows() const { return static_cast<long>(EndLine() - FirstLine()); }
    std::string_view LineText(long long line) const;
    TPos End() const;
    TPos Clamp(TPos pos) const;
    long long TextLength() const;
    long long Offset(TPos pos) const;
    TPos PosAt(long long offset) const;

    void Trim();
    int PageRows() const;
    void ScrollTo(long long top, int left);
    void ScrollIntoView(TPos pos);
    void UpdateScrollBars();
    void MeasureFont();
    struct TBar {
        long Max = -1;
        int Page = -1;
        int Pos = -1;
        bool operator==(const TBar&) const = default;
    };
    void SetBar(int bar, TBar values);
    void Paint(HDC dc, const RECT& area);
    int DrawPiece(HDC dc, int x, int y, std::string_view text, bool selected) const;
    TPos HitTest(int x, int y) const;
    void MoveCaret(TPos to, bool extend);
    void KeyDown(WORD key);
    void Scroll(int bar, WORD request);
    void ShowContextMenu(int x, int y);
    void Copy() const;

    std::deque<std::string> FLines;
    long long FFirst = 0;    // lines dropped since the last Clear
    long long FChars = 0;    // characters of FLines, line breaks included
    std::string FMarker;     // the marker line's text while HasMarker()
    std::size_t FWidest = 0; // longest line held, bytes: the horizontal range
    TPos FAnchor, FCaret;
    long long FTop = 0; // first line in view
    int FLeft = 0;      // pixels scrolled to the right
    int FLineHeight = 1;
    int FCharWidth = 1;
    int FWheel = 0; // wheel turns not yet scrolled
    bool FSelecting = false;
    TBar FBars[2]; // as last set: vertical, horizontal
};

} // namespace kal
