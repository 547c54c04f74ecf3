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
//   pixel positions in client coordinates, the window's font applied.
// - Layout: controls aligned top/bottom/left/right/client are placed in the
//   order they were added (each bottom item sits above the previous one),
//   hidden ones skipped; anchored controls keep their distances; TSplitter
//   resizes the aligned neighbour it sits against. Relayout() after showing or
//   hiding an aligned control.
// - Constraints: minimum/maximum window sizes (or client sizes, converted).
// - ShowModal/EndModal, Post (run a task on the window thread from any thread),
//   GetText/SetText, unique_handle wrappers for every GDI/USER/registry handle.
// All text is ANSI: the A functions throughout.
#pragma once

#include "UScoped.h"

#include <windows.h>

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

// Modal results, the values of the classic framework.
constexpr int mrNone = 0;
constexpr int mrOk = IDOK;
constexpr int mrCancel = IDCANCEL;

// ---- the application object --------------------------------------------------

class TApplication {
public:
    static TApplication& Instance();

    std::string Title = "Kalvaren";
    // Shown by Run when it starts; a start into the tray clears it.
    bool ShowMainForm = true;
    // Replaces the message box of ShowException (tests record instead of blocking).
    std::function<void(const std::string& message)> OnException;

    HINSTANCE InstanceHandle() const noexcept { return FInstance; }
    HICON Icon() const noexcept { return FIcon; }
    void SetIcon(HICON icon) noexcept { FIcon = icon; }
    // Full path of the running executable.
    std::string ExeName() const;
    // Arguments after the program name, as the process received them.
    std::vector<std::string> Arguments() const;

    TWindow* MainForm() const noexcept { return FMainForm; }
    void SetMainForm(TWindow* form) noexcept { FMainForm = form; }

    // The default error report: a message box with the text, titled with Title.
    void ShowException(const std::string& message);
    // Reports the exception being handled; call only inside a catch block.
    void HandleException() noexcept;

    // Shows the main form when ShowMainForm, then dispatches until WM_QUIT.
    int Run();
    // Dispatches one message with dialog navigation for our top-level windows.
    static void DispatchOne(MSG& msg);
    // Handles every message waiting now; for tests and long loops on the window thread.
    static void ProcessMessages();

private:
    TApplication();
    HINSTANCE FInstance;
    HICON FIcon;
    TWindow* FMainForm = nullptr;
};

inline TApplication& Application() {
    return TApplication::Instance();
}

// ---- fonts, text, controls -----------------------------------------------------

// A font by face and height in the classic sense: negative = character height
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

// ---- layout ----------------------------------------------------------------------

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAnchor : std::uint8_t { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
using TAnchors = std::uint8_t;

class TLayout {
public:
    // The control's current size in the aligned direction is its extent.
    void Align(HWND control, TAlign align);
    // Distances are taken from the control's position in the current client area.
    void Anchor(HWND control, TAnchors anchors);
    // Size of an aligned control across its alignment (height for top/bottom).
    int Extent(HWND control) const;
    void SetExtent(HWND control, int extent);
    // The aligned control that `control` sits against in its direction, or null.
    HWND NeighbourOf(HWND control) const;
    void Apply(HWND parent) const;
    void Apply(int clientWidth, int clientHeight) const;

private:
    struct TItem {
        HWND Control;
        TAlign Align;
        TAnchors Anchors;
        int Extent;
        RECT Margins; // distances to the client edges when anchored
    };
    std::vector<TItem> FItems;
    TItem* Find(HWND control);
    const TItem* Find(HWND control) const;
};

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

// A task run on the window thread through a posted message.
constexpr UINT WM_KAL_RUNTASK = WM_APP + 0x100; // LPARAM: std::function<void()>*, owned by receiver

class TWindow {
public:
    TWindow() = default;
    TWindow(const TWindow&) = delete;
    TWindow& operator=(const TWindow&) = delete;
    virtual ~TWindow();

    HWND Handle() const noexcept { return FHandle; }
    HFONT Font() const noexcept { return FFont.get(); }

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

    // Runs the task on this window's thread; callable from any thread. Exceptions
    // go to the default error report. False when the window is gone.
    bool Post(std::function<void()> task) const;

    TSizeConstraints Constraints;
    TLayout Layout;

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
    unique_hfont FFont;
    bool FModal = false;
    int FModalResult = mrNone;
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
