#include "UTerminalPane.h"

#include "UText.h"

#include <windowsx.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace kal {

std::string HiddenLinesMarker(unsigned long long hidden) {
    std::string text = "[";
    text += std::to_string(hidden);
    text +=
        hidden == 1 ? " earlier line is no longer shown]" : " earlier lines are no longer shown]";
    return text;
}

namespace {

constexpr int kMargin = 2;       // pixels left of the text
constexpr long kMarkerRoom = 64; // characters kept free for the marker line

int TextWidth(HDC dc, std::string_view text) {
    if (text.empty())
        return 0;
    const std::wstring wide = Utf8ToWide(text);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.data(), static_cast<int>(wide.size()), &size);
    return size.cx;
}

} // namespace

TTerminalPane::TTerminalPane(HWND parent, DWORD style) {
    Create({.ClassName = "TTerminalPane",
            .Style = style | WS_CHILD | WS_VSCROLL | WS_HSCROLL,
            .ExStyle = WS_EX_CLIENTEDGE,
            .Left = 0,
            .Top = 0,
            .Centred = false,
            .Parent = parent,
            .Cursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_IBEAM))});
    MeasureFont();
    UpdateScrollBars();
}

// Again after the display scale changed the font; a resize follows every change.
void TTerminalPane::MeasureFont() {
    TEXTMETRICA metrics{};
    {
        // A common DC: releasing it drops the font again.
        unique_window_dc dc(Handle());
        SelectObject(dc.get(), Font());
        GetTextMetricsA(dc.get(), &metrics);
    }
    FLineHeight = std::max(1, static_cast<int>(metrics.tmHeight));
    FCharWidth = std::max(1, static_cast<int>(metrics.tmAveCharWidth));
}

TTerminalPane::~TTerminalPane() {
    DestroyHandle();
}

// ---- the text ----------------------------------------------------------------------------

std::string_view TTerminalPane::LineText(long long line) const {
    if (HasMarker() && line == FFirst - 1)
        return FMarker;
    if (line < FFirst || line >= EndLine())
        return {};
    return FLines[static_cast<std::size_t>(line - FFirst)];
}

// After the last line break, where an edit puts the end of its text.
TTerminalPane::TPos TTerminalPane::End() const {
    return {EndLine(), 0};
}

TTerminalPane::TPos TTerminalPane::Clamp(TPos pos) const {
    pos.Line = std::clamp(pos.Line, FirstLine(), EndLine());
    pos.Col = std::min(pos.Col, LineText(pos.Line).size());
    return pos;
}

long long TTerminalPane::TextLength() const {
    return FChars + (HasMarker() ? static_cast<long long>(FMarker.size()) + 2 : 0);
}

long long TTerminalPane::Offset(TPos pos) const {
    pos = Clamp(pos);
    long long offset = 0;
    for (long long line = FirstLine(); line < pos.Line; ++line)
        offset += static_cast<long long>(LineText(line).size()) + 2;
    return offset + static_cast<long long>(pos.Col);
}

TTerminalPane::TPos TTerminalPane::PosAt(long long offset) const {
    long long line = FirstLine();
    for (; line < EndLine(); ++line) {
        const auto size = static_cast<long long>(LineText(line).size());
        if (offset <= size)
            return {line, static_cast<std::size_t>(std::max(0LL, offset))};
        offset -= size + 2;
    }
    return End();
}

std::string TTerminalPane::Text() const {
    std::string text;
    text.reserve(static_cast<std::size_t>(TextLength()));
    for (long long line = FirstLine(); line < EndLine(); ++line)
        text.append(LineText(line)).append("\r\n");
    return text;
}

std::string TTerminalPane::SelectedText() const {
    const TPos from = std::min(FAnchor, FCaret), to = std::max(FAnchor, FCaret);
    std::string text;
    for (long long line = from.Line; line <= to.Line && line < EndLine(); ++line) {
        const std::string_view whole = LineText(line);
        const std::size_t start = line == from.Line ? std::min(from.Col, whole.size()) : 0;
        const std::size_t end = line == to.Line ? std::min(to.Col, whole.size()) : whole.size();
        text.append(whole.substr(start, end - start));
        if (line != to.Line)
            text.append("\r\n");
    }
    return text;
}

void TTerminalPane::Append(std::string_view lines) {
    if (lines.empty())
        return;
    const bool selected = FAnchor != FCaret;
    std::size_t widest = 0;
    for (std::size_t at = 0; at < lines.size();) {
        std::size_t end = lines.find("\r\n", at);
        const std::size_t next = end == std::string_view::npos ? lines.size() : end + 2;
        end = std::min(end, lines.size());
        FLines.emplace_back(lines.substr(at, end - at));
        FChars += static_cast<long long>(end - at) + 2;
        widest = std::max(widest, end - at);
        at = next;
    }
    FWidest = std::max(FWidest, widest);
    Trim();
    // A selection means the user is reading or copying: neither it nor the view may
    // move under them, as long as the selected text is still there.
    if (selected && std::min(FAnchor, FCaret).Line >= FirstLine()) {
        FAnchor = Clamp(FAnchor);
        FCaret = Clamp(FCaret);
        FTop = std::max(FTop, FirstLine());
    } else {
        FAnchor = FCaret = End();
        FTop = std::max(FirstLine(), EndLine() - PageRows());
    }
    UpdateScrollBars();
    InvalidateRect(Handle(), nullptr, FALSE);
}

// Drops the oldest lines past the bound, one by one: the deque makes each drop
// cheap, so the pane holds the full bound at all times.
void TTerminalPane::Trim() {
    const long long before = FFirst;
    while (FLines.size() > 1 && (static_cast<long>(FLines.size()) > PaneLineLimit ||
                                 FChars + kMarkerRoom > PaneCharLimit)) {
        FChars -= static_cast<long long>(FLines.front().size()) + 2;
        FLines.pop_front();
        ++FFirst;
    }
    if (FFirst != before)
        FMarker = HiddenLinesMarker(static_cast<unsigned long long>(FFirst));
}

void TTerminalPane::Clear() {
    FLines.clear();
    FFirst = FChars = FTop = 0;
    FMarker.clear();
    FWidest = 0;
    FLeft = 0;
    FAnchor = FCaret = {};
    UpdateScrollBars();
    InvalidateRect(Handle(), nullptr, FALSE);
}

void TTerminalPane::SelectAll() {
    FAnchor = {FirstLine(), 0};
    FCaret = End();
    InvalidateRect(Handle(), nullptr, FALSE);
}

void TTerminalPane::Copy() const {
    if (FAnchor == FCaret)
        return;
    const std::wstring text = Utf8ToWide(SelectedText());
    unique_hglobal memory(GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t)));
    if (!memory)
        return;
    void* data = GlobalLock(memory.get());
    if (!data)
        return;
    std::memcpy(data, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(memory.get());
    if (!OpenClipboard(Handle()))
        return;
    EmptyClipboard();
    if (SetClipboardData(CF_UNICODETEXT, memory.get()))
        static_cast<void>(memory.release()); // the clipboard owns it now
    CloseClipboard();
}

// ---- view --------------------------------------------------------------------------------

int TTerminalPane::PageRows() const {
    RECT client{};
    GetClientRect(Handle(), &client);
    return std::max(1, static_cast<int>(client.bottom) / FLineHeight);
}

void TTerminalPane::ScrollTo(long long top, int left) {
    RECT client{};
    GetClientRect(Handle(), &client);
    top = std::clamp(top, FirstLine(), std::max(FirstLine(), EndLine() - PageRows()));
    const int range = static_cast<int>(FWidest) * FCharWidth + 2 * kMargin;
    left = std::clamp(left, 0, std::max(0, range - static_cast<int>(client.right)));
    if (top == FTop && left == FLeft)
        return;
    FTop = top;
    FLeft = left;
    UpdateScrollBars();
    InvalidateRect(Handle(), nullptr, FALSE);
}

void TTerminalPane::ScrollIntoView(TPos pos) {
    long long top = FTop;
    if (pos.Line < top)
        top = pos.Line;
    else if (pos.Line >= top + PageRows())
        top = pos.Line - PageRows() + 1;
    unique_window_dc dc(Handle());
    SelectObject(dc.get(), Font());
    const int x = TextWidth(dc.get(), LineText(pos.Line).substr(0, pos.Col));
    RECT client{};
    GetClientRect(Handle(), &client);
    int left = FLeft;
    if (x < left)
        left = x;
    else if (x + 2 * kMargin > left + client.right)
        left = x + 2 * kMargin - client.right;
    ScrollTo(top, left);
}

void TTerminalPane::UpdateScrollBars() {
    RECT client{};
    GetClientRect(Handle(), &client);
    SetBar(SB_VERT, {std::max(0L, Rows() - 1), PageRows(), static_cast<int>(FTop - FirstLine())});
    SetBar(SB_HORZ, {static_cast<int>(FWidest) * FCharWidth + 2 * kMargin,
                     static_cast<int>(client.right), FLeft});
}

// Only what changed.
void TTerminalPane::SetBar(int bar, TBar values) {
    TBar& shown = FBars[bar == SB_VERT ? 0 : 1];
    if (values == shown)
        return;
    shown = values;
    // Always shown, as the edit's bars were: bars that come and go would resize the
    // client area under every flush.
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMax = static_cast<int>(values.Max);
    info.nPage = static_cast<UINT>(std::max(0, values.Page));
    info.nPos = values.Pos;
    // Drawn with the next paint, not now: a bar drawn at once costs milliseconds,
    // and under a flood it changes with every block.
    SetScrollInfo(Handle(), bar, &info, FALSE);
    RedrawWindow(Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOCHILDREN);
}

void TTerminalPane::Scroll(int bar, WORD request) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(Handle(), bar, &info);
    const bool vertical = bar == SB_VERT;
    const int line = vertical ? 1 : FCharWidth;
    const int page = vertical ? PageRows() : static_cast<int>(info.nPage);
    int pos = info.nPos;
    switch (request) {
    case SB_LINEUP:
        pos -= line;
        break;
    case SB_LINEDOWN:
        pos += line;
        break;
    case SB_PAGEUP:
        pos -= page;
        break;
    case SB_PAGEDOWN:
        pos += page;
        break;
    case SB_TOP:
        pos = 0;
        break;
    case SB_BOTTOM:
        pos = info.nMax;
        break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
        pos = info.nTrackPos;
        break;
    default:
        return;
    }
    if (vertical)
        ScrollTo(FirstLine() + pos, FLeft);
    else
        ScrollTo(FTop, pos);
}

// ---- painting ----------------------------------------------------------------------------

int TTerminalPane::DrawPiece(HDC dc, int x, int y, std::string_view text, bool selected) const {
    if (text.empty())
        return x;
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_BTNFACE));
    const std::wstring wide = Utf8ToWide(text);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.data(), static_cast<int>(wide.size()), &size);
    ExtTextOutW(dc, x, y, 0, nullptr, wide.data(), static_cast<UINT>(wide.size()), nullptr);
    return x + size.cx;
}

void TTerminalPane::Paint(HDC dc, const RECT& area) {
    RECT client{};
    GetClientRect(Handle(), &client);
    const HGDIOBJ oldFont = SelectObject(dc, Font());
    SetBkMode(dc, OPAQUE);
    const TPos from = std::min(FAnchor, FCaret), to = std::max(FAnchor, FCaret);
    const int firstRow = std::max(0, static_cast<int>(area.top) / FLineHeight);
    for (int row = firstRow; row * FLineHeight < area.bottom; ++row) {
        const int y = row * FLineHeight;
        const RECT band{client.left, y, client.right, y + FLineHeight};
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &band, L"", 0, nullptr);
        const long long line = FTop + row;
        if (line >= EndLine())
            continue;
        const std::string_view text = LineText(line);
        std::size_t start = 0, end = 0; // the selected bytes of this line
        const bool inside = from != to && line >= from.Line && line <= to.Line;
        if (inside) {
            start = line == from.Line ? std::min(from.Col, text.size()) : 0;
            end = line == to.Line ? std::min(to.Col, text.size()) : text.size();
        }
        int x = kMargin - FLeft;
        x = DrawPiece(dc, x, y, text.substr(0, start), false);
        x = DrawPiece(dc, x, y, text.substr(start, end - start), true);
        if (inside && line < to.Line) { // the selected line break
            const RECT lineBreak{x, y, x + FCharWidth, y + FLineHeight};
            SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT));
            ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &lineBreak, L"", 0, nullptr);
            x += FCharWidth;
        }
        DrawPiece(dc, x, y, text.substr(end), false);
    }
    SelectObject(dc, oldFont);
}

// ---- mouse and keys ----------------------------------------------------------------------

TTerminalPane::TPos TTerminalPane::HitTest(int x, int y) const {
    if (Rows() == 0)
        return End();
    const int row = y < 0 ? -1 - (-y - 1) / FLineHeight : y / FLineHeight;
    const long long line = std::clamp(FTop + row, FirstLine(), EndLine() - 1);
    const std::string_view text = LineText(line);
    const int target = x + FLeft - kMargin;
    if (text.empty() || target <= 0)
        return {line, 0};
    const std::wstring wide = Utf8ToWide(text);
    std::vector<int> extents(wide.size());
    SIZE size{};
    unique_window_dc dc(Handle());
    SelectObject(dc.get(), Font());
    GetTextExtentExPointW(dc.get(), wide.data(), static_cast<int>(wide.size()), INT_MAX, nullptr,
                          extents.data(), &size);
    // The boundary nearest to the point: past half a character counts as after it.
    std::size_t chars = 0;
    int previous = 0;
    while (chars < wide.size() && target > (previous + extents[chars]) / 2)
        previous = extents[chars++];
    if (chars < wide.size() && chars > 0 && IS_HIGH_SURROGATE(wide[chars - 1]))
        ++chars; // never between the halves of a character
    return {line, WideToUtf8(std::wstring_view(wide).substr(0, chars)).size()};
}

void TTerminalPane::MoveCaret(TPos to, bool extend) {
    FCaret = Clamp(to);
    if (!extend)
        FAnchor = FCaret;
    ScrollIntoView(FCaret);
    InvalidateRect(Handle(), nullptr, FALSE);
}

void TTerminalPane::KeyDown(WORD key) {
    const bool shift = GetKeyState(VK_SHIFT) < 0, control = GetKeyState(VK_CONTROL) < 0;
    TPos to = FCaret;
    const std::string_view text = LineText(to.Line);
    switch (key) {
    case 'C':
    case VK_INSERT:
        if (control)
            Copy();
        return;
    case 'A':
        if (control)
            SelectAll();
        return;
    case VK_UP:
        to.Line -= 1;
        break;
    case VK_DOWN:
        to.Line += 1;
        break;
    case VK_PRIOR:
        to.Line -= PageRows();
        break;
    case VK_NEXT:
        to.Line += PageRows();
        break;
    case VK_HOME:
        to = control ? TPos{FirstLine(), 0} : TPos{to.Line, 0};
        break;
    case VK_END:
        to = control ? End() : TPos{to.Line, text.size()};
        break;
    case VK_LEFT:
        if (to.Col > 0) {
            // One character back: skip UTF-8 continuation bytes.
            do
                --to.Col;
            while (to.Col > 0 && (static_cast<unsigned char>(text[to.Col]) & 0xC0) == 0x80);
        } else if (to.Line > FirstLine()) {
            to = {to.Line - 1, LineText(to.Line - 1).size()};
        }
        break;
    case VK_RIGHT:
        if (to.Col < text.size()) {
            do
                ++to.Col;
            while (to.Col < text.size() &&
                   (static_cast<unsigned char>(text[to.Col]) & 0xC0) == 0x80);
        } else if (to.Line < EndLine()) {
            to = {to.Line + 1, 0};
        }
        break;
    default:
        return;
    }
    MoveCaret(to, shift);
}

void TTerminalPane::ShowContextMenu(int x, int y) {
    unique_hmenu menu(CreatePopupMenu());
    AppendMenuA(menu.get(), MF_STRING | (FAnchor == FCaret ? MF_GRAYED : 0), Copy1,
                "&Copy\tCtrl+C");
    AppendMenuA(menu.get(), MF_STRING, SelectAll1, "Select &All\tCtrl+A");
    AppendMenuA(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu.get(), MF_STRING, Clear1, "C&lear");
    if (x == -1 && y == -1) { // from the keyboard: at the pane's corner
        POINT corner{0, 0};
        ClientToScreen(Handle(), &corner);
        x = corner.x;
        y = corner.y;
    }
    // The chosen item comes back as WM_COMMAND.
    TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, x, y, 0, Handle(), nullptr);
}

// ---- messages ----------------------------------------------------------------------------

LRESULT TTerminalPane::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(Handle(), &paint);
        Paint(dc, paint.rcPaint);
        EndPaint(Handle(), &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // every pixel is painted with its line
    case WM_SIZE:
        MeasureFont();
        ScrollTo(FTop, FLeft);
        UpdateScrollBars();
        InvalidateRect(Handle(), nullptr, FALSE);
        return 0;
    case WM_VSCROLL:
    case WM_HSCROLL:
        Scroll(message == WM_VSCROLL ? SB_VERT : SB_HORZ, LOWORD(wParam));
        return 0;
    case WM_MOUSEWHEEL: {
        UINT perNotch = 3;
        SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &perNotch, 0);
        FWheel += GET_WHEEL_DELTA_WPARAM(wParam);
        const int notches = FWheel / WHEEL_DELTA;
        FWheel -= notches * WHEEL_DELTA;
        const long long lines = perNotch == WHEEL_PAGESCROLL ? PageRows() : perNotch;
        ScrollTo(FTop - notches * lines, FLeft);
        return 0;
    }
    case WM_LBUTTONDOWN:
        SetFocus(Handle());
        SetCapture(Handle());
        FSelecting = true;
        MoveCaret(HitTest(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)), (wParam & MK_SHIFT) != 0);
        return 0;
    case WM_LBUTTONDBLCLK: { // the whole line
        const TPos at = HitTest(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        FAnchor = {at.Line, 0};
        MoveCaret({at.Line, LineText(at.Line).size()}, true);
        return 0;
    }
    case WM_MOUSEMOVE:
        if (FSelecting)
            MoveCaret(HitTest(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)), true);
        return 0;
    case WM_LBUTTONUP:
        if (FSelecting)
            ReleaseCapture();
        return 0;
    case WM_CAPTURECHANGED:
        FSelecting = false;
        return 0;
    case WM_CONTEXTMENU:
        ShowContextMenu(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return 0;
    case WM_KEYDOWN:
        KeyDown(static_cast<WORD>(wParam));
        return 0;
    case WM_GETDLGCODE: // as a multi-line edit: every key, Ctrl+Break among them
        return DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTALLKEYS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(Handle(), nullptr, FALSE);
        return 0;
    case WM_COPY:
        Copy();
        return 0;
    case WM_COMMAND:
        if (lParam == 0 && LOWORD(wParam) == Copy1)
            Copy();
        else if (lParam == 0 && LOWORD(wParam) == SelectAll1)
            SelectAll();
        else if (lParam == 0 && LOWORD(wParam) == Clear1 && OnClear)
            OnClear(this);
        else if (lParam == 0 && LOWORD(wParam) == Clear1)
            Clear();
        return 0;
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(TextLength());
    case WM_GETTEXT: {
        if (wParam == 0 || !lParam)
            return 0;
        const std::string text = Text();
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(wParam) - 1);
        auto* buffer = reinterpret_cast<char*>(lParam);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_SETTEXT: {
        Clear();
        std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        if (!text.empty() && !text.ends_with("\r\n"))
            text += "\r\n";
        Append(text);
        return TRUE;
    }
    // What a read-only edit answers, on the text WM_GETTEXT gives.
    case EM_GETSEL: {
        const auto from = static_cast<DWORD>(Offset(std::min(FAnchor, FCaret)));
        const auto to = static_cast<DWORD>(Offset(std::max(FAnchor, FCaret)));
        if (wParam)
            *reinterpret_cast<DWORD*>(wParam) = from;
        if (lParam)
            *reinterpret_cast<DWORD*>(lParam) = to;
        return MAKELRESULT(std::min<DWORD>(from, 0xFFFF), std::min<DWORD>(to, 0xFFFF));
    }
    case EM_SETSEL: {
        const auto start = static_cast<long long>(static_cast<int>(wParam));
        const auto end = static_cast<long long>(static_cast<int>(lParam));
        if (start < 0) {
            FAnchor = FCaret;
        } else {
            FAnchor = PosAt(start);
            FCaret = end < 0 ? End() : PosAt(end);
        }
        InvalidateRect(Handle(), nullptr, FALSE);
        return 0;
    }
    case EM_GETFIRSTVISIBLELINE:
        return static_cast<LRESULT>(FTop - FirstLine());
    case EM_GETLINECOUNT: // counting the empty line after the last line break
        return Rows() + 1;
    case EM_LINEINDEX: {
        const long long row = static_cast<int>(wParam) < 0 ? FCaret.Line - FirstLine()
                                                           : static_cast<long long>(wParam);
        if (row > Rows())
            return -1;
        return static_cast<LRESULT>(Offset({FirstLine() + row, 0}));
    }
    case EM_LINEFROMCHAR: {
        const TPos at =
            static_cast<int>(wParam) < 0 ? FCaret : PosAt(static_cast<long long>(wParam));
        return static_cast<LRESULT>(at.Line - FirstLine());
    }
    case EM_LINELENGTH: {
        const TPos at =
            static_cast<int>(wParam) < 0 ? FCaret : PosAt(static_cast<long long>(wParam));
        return static_cast<LRESULT>(LineText(at.Line).size());
    }
    case EM_GETLINE: { // the buffer's first WORD holds its size; no NUL is added
        auto* buffer = reinterpret_cast<char*>(lParam);
        if (!buffer || static_cast<long long>(wParam) >= Rows())
            return 0;
        WORD size = 0;
        std::memcpy(&size, buffer, sizeof size);
        const std::string_view text = LineText(FirstLine() + static_cast<long long>(wParam));
        const std::size_t n = std::min<std::size_t>(text.size(), size);
        std::memcpy(buffer, text.data(), n);
        return static_cast<LRESULT>(n);
    }
    case EM_LINESCROLL:
        ScrollTo(FTop + static_cast<int>(lParam), FLeft + static_cast<int>(wParam) * FCharWidth);
        return TRUE;
    case EM_SCROLLCARET:
        ScrollIntoView(FCaret);
        return TRUE;
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

} // namespace kal
