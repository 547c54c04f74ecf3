// The window layer every window of the program is built on.
//
// - TWindow: derive, call Create() from the constructor, override HandleMessage
//   and pass what you do not handle to TWindow::HandleMessage. One static window
//   procedure takes `this` from lpCreateParams, keeps it in GWLP_USERDATA and
//   drops it at WM_NCDESTROY; exceptions never leave it (they go to
//   TApplication::ShowException and the message falls back to DefWindowProc).
// - Closing runs Close(): the action starts as caHide, DoClose (OnClose) may
//   change it; the main window ends the message loop unless the action is caNone.
//   Showing by any means runs DoShow (OnShow).
// - Controls: CreateControl({.ClassName = ..., .Left = ..., .Parent = ...}),
//   pixel positions in client coordinates at 96 DPI, the window's font applied.
// - Display scale: a window and everything in it is built at 96 DPI; a top-level
//   window scales itself, its controls, their layout, its font and its
//   constraints to its monitor's DPI when first shown and again at
//   WM_DPICHANGED. Code that places controls later uses Scale().
// - Layout (ULayout.h): TSplitter resizes the aligned neighbour it sits against.
//   Relayout() after showing or hiding an aligned control.
// - Constraints: minimum/maximum window sizes (or client sizes, converted).
// - ShowModal/EndModal, Post (run a task on the window thread from any thread,
//   dropped if the window is gone by then), GetText/SetText.
// Text is UTF-8: the program runs in the UTF-8 code page (its manifest says so),
// so the A functions take and give UTF-8.
#pragma once

#include "UApplication.h"
#include "ULayout.h"
#include "UScoped.h"

#include <windows.h>

#include <atomic>
#include <memory>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kal {

// Text of the failed call and GetLastError, e.g. "CreateWindowExA failed: Access is denied."
std::string LastErrorText(const char* call, DWORD error = GetLastError());

// ---- common types of events ------------------------------------------------

class TWindow;

enum TShiftFlag : std::uint8_t {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
};
using TShiftState = std::uint8_t;
// The modifier keys held now (ssShift, ssAlt, ssCtrl).
TShiftState KeyboardShiftState();

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum class TCloseAction { caNone, caHide, caFree, caMinimize };

using TNotifyEvent = std::function<void(TWindow* Sender)>;
using TKeyEvent = std::function<void(TWindow* Sender, WORD& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TWindow* Sender, char& Key)>;
using TCloseEvent = std::function<void(TWindow* Sender, TCloseAction& Action)>;
using TMouseEvent =
    std::function<void(TWindow* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;

// Modal results: what ShowModal returns, the dialog-box command ids.
constexpr int mrNone = 0;
constexpr int mrOk = IDOK;
constexpr int mrCancel = IDCANCEL;

// ---- fonts, text, controls -----------------------------------------------------

// A font by face and height as CreateFont takes it: negative = character height
// in pixels ("Tahoma", -11 and "MS Sans Serif" 8pt are both -11).
unique_hfont MakeFont(const char* face, int height, int weight = FW_NORMAL, bool italic = false,
                      bool underline = false);

std::string GetText(HWND window);
void SetText(HWND window, const std::string& text);

struct TControlParams {
    const char* ClassName = "STATIC";
    const char* Text = "";
    DWORD Style = 0; // WS_CHILD is always added
    DWORD ExStyle = 0;
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    int Id = 0;
    HWND Parent = nullptr;
    HFONT Font = nullptr; // none: the parent's font (WM_GETFONT)
};
// Throws std::runtime_error when the control cannot be created.
HWND CreateControl(const TControlParams& params);

// Every window inside `window`, parents before their children.
std::vector<HWND> Descendants(HWND window);

// The DPI of the monitor the window is on (the system's where Windows cannot tell).
UINT MonitorDpi(HWND window);

// Minimum and maximum sizes at 96 DPI; the window scales them.
struct TSizeConstraints {
    int MinWidth = 0;
    int MinHeight = 0;
    int MaxWidth = 0; // 0: unlimited
    int MaxHeight = 0;
    bool ClientSizes = false; // the values are client sizes, converted at use
};

// ---- windows ---------------------------------------------------------------------

struct TWindowParams {
    const char* ClassName = "KalvarenWindow";
    const char* Caption = "";
    DWORD Style = WS_OVERLAPPEDWINDOW;
    DWORD ExStyle = WS_EX_CONTROLPARENT;
    int ClientWidth = 400;
    int ClientHeight = 300;
    int Left = CW_USEDEFAULT; // ignored when Centred
    int Top = CW_USEDEFAULT;
    bool Centred = true;   // on the desktop's work area
    HWND Parent = nullptr; // owner of a top-level window, parent of a child
    HMENU Menu = nullptr;  // a child's id when WS_CHILD
    int Background = COLOR_BTNFACE;
    HCURSOR Cursor = nullptr; // none: the arrow
    const char* FontFace = "Tahoma";
    int FontHeight = -11;
};

class TWindow {
public:
    TWindow() = default;
    TWindow(const TWindow&) = delete;
    TWindow& operator=(const TWindow&) = delete;
    virtual ~TWindow();

    HWND Handle() const noexcept { return FHandle; }
    HFONT Font() const noexcept { return FFont.get(); }
    // The DPI the window's geometry is at now, and a 96-DPI length at it.
    UINT Dpi() const noexcept { return FDpi; }
    int Scale(int length) const { return MulDiv(length, static_cast<int>(FDpi), 96); }
    // Rescales the window and everything in it from Dpi() to `dpi`.
    void ScaleTo(UINT dpi);

    void Show();
    void Hide();
    bool Visible() const;
    // The close step: caHide first, DoClose may change it.
    void Close();
    std::string Caption() const { return GetText(FHandle); }
    void SetCaption(const std::string& caption) { SetText(FHandle, caption); }

    // Shows the window with its owner disabled and returns when EndModal is called
    // or the window is closed (mrCancel).
    int ShowModal();
    void EndModal(int result);
    bool Modal() const noexcept { return FModal; }
    int ModalResult() const noexcept { return FModalResult; }

    // Runs the task on the window thread unless the window is gone by then;
    // callable from any thread. Exceptions go to the default error report. False
    // when the window is gone already.
    bool Post(std::function<void()> task) const;

    TSizeConstraints Constraints;
    TLayout Layout;
    // The control that has the focus when the window is shown modally; none:
    // the first tab stop.
    HWND ActiveControl = nullptr;

    // Our window behind `window`, or null for any other.
    static TWindow* FromHandle(HWND window);
    // A key message for a control of this top-level window, before dialog
    // navigation sees it; true when handled.
    virtual bool PreTranslateMessage(const MSG& msg);

    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TCloseEvent OnClose;

protected:
    // Registers the class on first use and creates the window; `this` is wired
    // before the first message arrives.
    void Create(const TWindowParams& params);
    // The layer's handling: layout on WM_SIZE, constraints, close and show steps,
    // posted tasks; everything else to DefWindowProcA.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void DoClose(TCloseAction& action);
    virtual void DoShow();
    virtual void DoHide();
    void Relayout() const { Layout.Apply(FHandle); }
    // Destroys the window now, so a derived destructor still gets its messages.
    void DestroyHandle();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void ApplyConstraints(MINMAXINFO& info) const;

    HWND FHandle = nullptr;
    // True from creation until WM_NCDESTROY; posted tasks hold it, never the handle,
    // which other threads must not read.
    const std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(false);
    unique_hfont FFont;
    std::string FFontFace;
    int FFontHeight = 0; // at 96 DPI
    UINT FDpi = 96;
    bool FModal = false;
    int FModalResult = mrNone;
    HWND FLastFocus = nullptr;
};

// A bar that resizes the aligned control it sits against (its neighbour in the
// parent's layout) by dragging, then relayouts the parent. Align it in the
// layout right after the control it resizes.
class TSplitter : public TWindow {
public:
    // `layout` belongs to `parent` and outlives the splitter.
    TSplitter(HWND parent, TLayout& layout, TAlign align, int thickness, int minExtent = 30);
    int MinExtent;

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    TLayout& FLayout;
    TAlign FAlign;
    bool FDragging = false;
    POINT FStart{};
    int FStartExtent = 0;
};

} // namespace kal
