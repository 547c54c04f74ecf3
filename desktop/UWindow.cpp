#include "UWindow.h"

#include "UText.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>

namespace kal {

std::string LastErrorText(const char* call, DWORD error) {
    return std::string(call) + " failed: " + SystemErrorText(static_cast<int>(error));
}

TShiftState KeyboardShiftState() {
    TShiftState shift = 0;
    if (GetKeyState(VK_SHIFT) < 0)
        shift |= ssShift;
    if (GetKeyState(VK_MENU) < 0)
        shift |= ssAlt;
    if (GetKeyState(VK_CONTROL) < 0)
        shift |= ssCtrl;
    return shift;
}

// ---- fonts, text, controls -----------------------------------------------------------

unique_hfont MakeFont(const char* face, int height, int weight, bool italic, bool underline) {
    return unique_hfont(CreateFontA(height, 0, 0, 0, weight, italic, underline, FALSE,
                                    DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                    DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face));
}

std::string GetText(HWND window) {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    int length = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

void SetText(HWND window, const std::string& text) {
    SetWindowTextA(window, text.c_str());
}

HWND CreateControl(const TControlParams& params) {
    HWND control =
        CreateWindowExA(params.ExStyle, params.ClassName, params.Text, params.Style | WS_CHILD,
                        params.Left, params.Top, params.Width, params.Height, params.Parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(params.Id)),
                        Application().InstanceHandle(), nullptr);
    if (!control)
        throw std::runtime_error(LastErrorText("CreateWindowExA"));
    HFONT font = params.Font
                     ? params.Font
                     : reinterpret_cast<HFONT>(SendMessageA(params.Parent, WM_GETFONT, 0, 0));
    if (font)
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

// ---- windows ----------------------------------------------------------------------------

namespace {

// Marks the windows of this layer: other windows keep GWLP_USERDATA for themselves.
constexpr const char* kWindowProperty = "KalvarenWindow";

void RegisterClassOnce(const TWindowParams& params, WNDPROC procedure) {
    static std::set<std::string> registered;
    if (registered.count(params.ClassName))
        return;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = procedure;
    wc.hInstance = Application().InstanceHandle();
    wc.hIcon = Application().Icon();
    wc.hCursor =
        params.Cursor ? params.Cursor : LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = params.Background >= 0 ? GetSysColorBrush(params.Background) : nullptr;
    wc.lpszClassName = params.ClassName;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error(LastErrorText("RegisterClassExA"));
    registered.insert(params.ClassName);
}

} // namespace

TWindow::~TWindow() {
    DestroyHandle();
}

void TWindow::DestroyHandle() {
    if (FHandle)
        DestroyWindow(FHandle);
}

UINT MonitorDpi(HWND window) {
    // Windows 10 1607 and later, and Wine; earlier ones have one DPI for all.
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<TGetDpiForWindow>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32"), "GetDpiForWindow")));
    if (const UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0)
        return dpi;
    unique_window_dc screen(nullptr);
    return static_cast<UINT>(GetDeviceCaps(screen.get(), LOGPIXELSX));
}

void TWindow::Create(const TWindowParams& params) {
    RegisterClassOnce(params, &TWindow::WindowProc);
    if (params.FontFace) {
        FFontFace = params.FontFace;
        FFontHeight = params.FontHeight;
        FFont = MakeFont(params.FontFace, params.FontHeight);
    }
    int left = params.Left, top = params.Top, width = params.ClientWidth,
        height = params.ClientHeight;
    if (!(params.Style & WS_CHILD)) {
        RECT frame{0, 0, params.ClientWidth, params.ClientHeight};
        AdjustWindowRectEx(&frame, params.Style, params.Menu != nullptr, params.ExStyle);
        width = frame.right - frame.left;
        height = frame.bottom - frame.top;
        if (params.Centred) {
            RECT work;
            SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
            left = work.left + (work.right - work.left - width) / 2;
            top = work.top + (work.bottom - work.top - height) / 2;
        }
    }
    HWND window = CreateWindowExA(params.ExStyle, params.ClassName, params.Caption, params.Style,
                                  left, top, width, height, params.Parent, params.Menu,
                                  Application().InstanceHandle(), this);
    if (!window)
        throw std::runtime_error(LastErrorText("CreateWindowExA"));
    // A menu that wraps changes the client height; every window is laid out by client size.
    if (!(params.Style & WS_CHILD) && params.Menu) {
        RECT client;
        GetClientRect(window, &client);
        if (client.bottom != params.ClientHeight)
            SetWindowPos(window, nullptr, 0, 0, width, height + params.ClientHeight - client.bottom,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

LRESULT CALLBACK TWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TWindow* self;
    if (message == WM_NCCREATE) {
        self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->FHandle = window;
        self->FAlive->store(true);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        SetPropA(window, kWindowProperty, self);
    } else {
        self = reinterpret_cast<TWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    }
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        RemovePropA(window, kWindowProperty);
        self->FAlive->store(false);
        self->FHandle = nullptr;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (...) {
        Application().HandleException();
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

LRESULT TWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED)
            Layout.Apply(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return 0;
    case WM_GETMINMAXINFO:
        ApplyConstraints(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(FFont.get());
    case WM_ACTIVATE:
        // As a dialog box does: the control that had the focus gets it back when
        // the user returns to the window.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(FHandle, focus))
                FLastFocus = focus;
        } else if (FLastFocus && IsChild(FHandle, FLastFocus) && IsWindowVisible(FLastFocus) &&
                   IsWindowEnabled(FLastFocus)) {
            SetFocus(FLastFocus);
            return 0;
        }
        break;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_DPICHANGED: {
        ScaleTo(LOWORD(wParam));
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(FHandle, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_SHOWWINDOW:
        if (wParam && !(GetWindowLongPtrA(FHandle, GWL_STYLE) & WS_CHILD))
            ScaleTo(MonitorDpi(FHandle));
        if (wParam)
            DoShow();
        else
            DoHide();
        break;
    default:
        break;
    }
    return DefWindowProcA(FHandle, message, wParam, lParam);
}

void TWindow::ApplyConstraints(MINMAXINFO& info) const {
    const TSizeConstraints& c = Constraints;
    int minWidth = Scale(c.MinWidth), minHeight = Scale(c.MinHeight);
    int maxWidth = Scale(c.MaxWidth), maxHeight = Scale(c.MaxHeight);
    if (c.ClientSizes) {
        RECT frame{0, 0, 0, 0};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(FHandle, GWL_STYLE)),
                           GetMenu(FHandle) != nullptr,
                           static_cast<DWORD>(GetWindowLongPtrA(FHandle, GWL_EXSTYLE)));
        const int dx = frame.right - frame.left, dy = frame.bottom - frame.top;
        minWidth += minWidth ? dx : 0;
        minHeight += minHeight ? dy : 0;
        maxWidth += maxWidth ? dx : 0;
        maxHeight += maxHeight ? dy : 0;
    }
    if (minWidth)
        info.ptMinTrackSize.x = minWidth;
    if (minHeight)
        info.ptMinTrackSize.y = minHeight;
    if (maxWidth)
        info.ptMaxTrackSize.x = maxWidth;
    if (maxHeight)
        info.ptMaxTrackSize.y = maxHeight;
}

std::vector<HWND> Descendants(HWND window) {
    std::vector<HWND> result;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM list) {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&result));
    return result;
}

namespace {

// Text does not grow in proportion to its font: a one-line caption of a label or
// a check box that no longer fits at the new scale gets the room it needs.
void FitCaption(HWND control, int dpi) {
    char kind[16] = "";
    GetClassNameA(control, kind, sizeof kind);
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(control, GWL_STYLE));
    int room = 0;
    if (lstrcmpiA(kind, "Static") == 0) {
        const DWORD type = style & SS_TYPEMASK;
        if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_SIMPLE &&
            type != SS_LEFTNOWORDWRAP)
            return;
    } else if (lstrcmpiA(kind, "Button") == 0) {
        const DWORD type = style & BS_TYPEMASK;
        if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)
            room = MulDiv(2 * 3, dpi, 96); // the edges
        else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
                 type == BS_AUTORADIOBUTTON || type == BS_3STATE || type == BS_AUTO3STATE)
            room = MulDiv(13 + 4, dpi, 96); // the box and the gap before the text
        else
            return;
    } else {
        return;
    }
    const std::string text = GetText(control);
    if (text.empty() || text.find('\n') != std::string::npos)
        return;
    unique_window_dc dc(control);
    const HGDIOBJ old =
        SelectObject(dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    RECT need{0, 0, 0, 0};
    DrawTextA(dc.get(), text.c_str(), -1, &need, DT_SINGLELINE | DT_CALCRECT);
    SelectObject(dc.get(), old);
    RECT client;
    GetClientRect(control, &client);
    if (client.bottom >= 2 * need.bottom) // a box of several lines wraps on purpose
        return;
    const int width = std::max<int>(client.right, need.right + room);
    const int height = std::max<int>(client.bottom, need.bottom);
    if (width == client.right && height == client.bottom)
        return;
    RECT frame;
    GetWindowRect(control, &frame);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&frame), 2);
    const int outerWidth = width + (frame.right - frame.left) - client.right;
    const int outerHeight = height + (frame.bottom - frame.top) - client.bottom;
    // A label that ends at its field grows to the left instead, away from it.
    int left = frame.left;
    const int grown = frame.left + outerWidth;
    if (room == 0)
        for (HWND other = GetWindow(GetParent(control), GW_CHILD); other;
             other = GetWindow(other, GW_HWNDNEXT)) {
            RECT r;
            GetWindowRect(other, &r);
            MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
            if (other != control && r.left > (frame.left + frame.right) / 2 && r.left < grown &&
                r.top < frame.bottom && r.bottom > frame.top)
                left = std::max<int>(0, frame.left - (grown - frame.right));
        }
    SetWindowPos(control, nullptr, left, frame.top, outerWidth, outerHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (TWindow* parent = TWindow::FromHandle(GetParent(control)))
        parent->Layout.Fit(control, outerWidth, outerHeight);
}

} // namespace

// One place for every control, including those a window creates later at 96
// DPI: the bounds of all of them are taken before anything moves (a panel lays
// its controls out again when it is resized), then set scaled, then every
// layout is applied once more in the final geometry.
void TWindow::ScaleTo(UINT dpi) {
    if (!FHandle || dpi == 0 || dpi == FDpi)
        return;
    const int from = static_cast<int>(FDpi), to = static_cast<int>(dpi);
    const auto scale = [&](LONG length) {
        return MulDiv(length, to, from);
    };
    const std::vector<HWND> children = Descendants(FHandle);
    std::vector<RECT> bounds;
    std::vector<TWindow*> windows{this};
    for (HWND child : children) {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
        char kind[16] = "";
        GetClassNameA(child, kind, sizeof kind);
        RECT dropped;
        // A combo box's height is its list's room, not the field's.
        if (lstrcmpiA(kind, "ComboBox") == 0 &&
            SendMessageA(child, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped)))
            r.bottom = r.top + (dropped.bottom - dropped.top);
        bounds.push_back(r);
        if (TWindow* window = FromHandle(child))
            windows.push_back(window);
    }
    // Fonts: each window's own, and every control that uses it.
    std::vector<unique_hfont> oldFonts;
    for (TWindow* window : windows) {
        window->Layout.Scale(to, from);
        window->FDpi = dpi;
        if (window->FFontFace.empty())
            continue;
        HFONT old = window->FFont.get();
        oldFonts.push_back(std::move(window->FFont));
        window->FFont = MakeFont(window->FFontFace.c_str(), MulDiv(window->FFontHeight, to, 96));
        for (HWND child : Descendants(window->FHandle))
            if (reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0)) == old)
                SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(window->FFont.get()),
                             FALSE);
    }
    if (!(GetWindowLongPtrA(FHandle, GWL_STYLE) & WS_CHILD)) {
        RECT window, client;
        GetWindowRect(FHandle, &window);
        GetClientRect(FHandle, &client);
        RECT frame{0, 0, scale(client.right), scale(client.bottom)};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(FHandle, GWL_STYLE)),
                           GetMenu(FHandle) != nullptr,
                           static_cast<DWORD>(GetWindowLongPtrA(FHandle, GWL_EXSTYLE)));
        const int width = frame.right - frame.left, height = frame.bottom - frame.top;
        // Around the same centre.
        SetWindowPos(FHandle, nullptr, (window.left + window.right - width) / 2,
                     (window.top + window.bottom - height) / 2, width, height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        RECT now;
        GetClientRect(FHandle, &now);
        if (now.bottom != scale(client.bottom)) // a menu bar that wraps differently
            SetWindowPos(FHandle, nullptr, 0, 0, width, height + scale(client.bottom) - now.bottom,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
        const RECT& r = bounds[i];
        SetWindowPos(children[i], nullptr, scale(r.left), scale(r.top),
                     scale(r.right) - scale(r.left), scale(r.bottom) - scale(r.top),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (HWND child : children)
        FitCaption(child, to);
    // Once more in the final geometry, as a resize by the user would.
    for (TWindow* window : windows) {
        RECT client;
        GetClientRect(window->FHandle, &client);
        SendMessageA(window->FHandle, WM_SIZE, SIZE_RESTORED,
                     MAKELPARAM(client.right, client.bottom));
    }
    InvalidateRect(FHandle, nullptr, TRUE);
}

void TWindow::Show() {
    ShowWindow(FHandle, SW_SHOW);
    SetForegroundWindow(FHandle);
}

void TWindow::Hide() {
    ShowWindow(FHandle, SW_HIDE);
}

bool TWindow::Visible() const {
    return FHandle && IsWindowVisible(FHandle);
}

void TWindow::DoClose(TCloseAction& action) {
    if (OnClose)
        OnClose(this, action);
}

void TWindow::DoShow() {
    if (OnShow)
        OnShow(this);
}

void TWindow::DoHide() {
    if (OnHide)
        OnHide(this);
}

void TWindow::Close() {
    TCloseAction action = TCloseAction::caHide;
    DoClose(action);
    if (action == TCloseAction::caNone)
        return;
    if (FModal) {
        if (FModalResult == mrNone)
            FModalResult = mrCancel;
        return; // ShowModal hides
    }
    if (Application().MainForm() == this) {
        Hide();
        PostQuitMessage(0);
    } else if (action == TCloseAction::caMinimize) {
        ShowWindow(FHandle, SW_MINIMIZE);
    } else {
        Hide();
    }
}

TWindow* TWindow::FromHandle(HWND window) {
    return window ? static_cast<TWindow*>(GetPropA(window, kWindowProperty)) : nullptr;
}

bool TWindow::PreTranslateMessage(const MSG&) {
    return false;
}

int TWindow::ShowModal() {
    HWND owner = GetWindow(FHandle, GW_OWNER);
    const bool reenable = owner && IsWindowEnabled(owner);
    if (reenable)
        EnableWindow(owner, FALSE);
    FModal = true;
    FModalResult = mrNone;
    Show();
    // A keyboard user starts where the window's reading order starts.
    HWND first = ActiveControl ? ActiveControl : GetNextDlgTabItem(FHandle, nullptr, FALSE);
    if (first && IsWindowVisible(first) && IsWindowEnabled(first))
        SetFocus(first);
    MSG msg;
    while (FModalResult == mrNone && FHandle) {
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
            // The application is ending: leave the quit for the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            FModalResult = mrCancel;
            break;
        }
        TApplication::DispatchOne(msg);
    }
    // Enable the owner before hiding, or Windows activates another program.
    if (reenable)
        EnableWindow(owner, TRUE);
    if (FHandle)
        Hide();
    FModal = false;
    if (owner)
        SetActiveWindow(owner);
    return FModalResult;
}

void TWindow::EndModal(int result) {
    FModalResult = result == mrNone ? mrCancel : result;
}

bool TWindow::Post(std::function<void()> task) const {
    return FAlive->load() && Application().Post([alive = FAlive, task = std::move(task)] {
        if (alive->load())
            task();
    });
}

// ---- splitter ------------------------------------------------------------------------------

TSplitter::TSplitter(HWND parent, TLayout& layout, TAlign align, int thickness, int minExtent)
    : MinExtent(minExtent), FLayout(layout), FAlign(align) {
    const bool vertical = align == TAlign::alTop || align == TAlign::alBottom;
    Create({.ClassName = vertical ? "KalvarenSplitterNS" : "KalvarenSplitterWE",
            .Style = WS_CHILD | WS_VISIBLE,
            .ExStyle = 0,
            .ClientWidth = thickness,
            .ClientHeight = thickness,
            .Left = 0,
            .Top = 0,
            .Centred = false,
            .Parent = parent,
            .Cursor =
                LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(vertical ? IDC_SIZENS : IDC_SIZEWE)),
            .FontFace = nullptr});
}

LRESULT TSplitter::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_LBUTTONDOWN: {
        HWND neighbour = FLayout.NeighbourOf(Handle());
        if (!neighbour || !HasVisibleStyle(neighbour))
            return 0;
        FDragging = true;
        FStart = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ClientToScreen(Handle(), &FStart);
        FStartExtent = FLayout.Extent(neighbour);
        SetCapture(Handle());
        return 0;
    }
    case WM_MOUSEMOVE: {
        if (!FDragging)
            break;
        HWND neighbour = FLayout.NeighbourOf(Handle());
        // The bar moves while dragging: compare in screen coordinates.
        POINT now{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ClientToScreen(Handle(), &now);
        int delta = 0;
        switch (FAlign) {
        case TAlign::alBottom:
            delta = FStart.y - now.y;
            break;
        case TAlign::alTop:
            delta = now.y - FStart.y;
            break;
        case TAlign::alRight:
            delta = FStart.x - now.x;
            break;
        default:
            delta = now.x - FStart.x;
            break;
        }
        HWND parent = GetParent(Handle());
        RECT client;
        GetClientRect(parent, &client);
        const bool vertical = FAlign == TAlign::alTop || FAlign == TAlign::alBottom;
        // Leave the filling control at least MinExtent too.
        const int room = (vertical ? client.bottom : client.right) - FLayout.Extent(Handle());
        const int least = Scale(MinExtent);
        const int extent = std::clamp(FStartExtent + delta, least, std::max(least, room - least));
        FLayout.SetExtent(neighbour, extent);
        FLayout.Apply(parent);
        return 0;
    }
    case WM_LBUTTONUP:
        if (FDragging)
            ReleaseCapture();
        return 0;
    case WM_CAPTURECHANGED:
        FDragging = false;
        return 0;
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

} // namespace kal
