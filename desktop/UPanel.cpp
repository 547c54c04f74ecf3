#include "UPanel.h"

namespace kal {

TPanel::TPanel(const TParams& params) : FTarget(params.Target), FBevel(params.Bevel) {
    // Controls on a panel take the font of the window it sits on.
    TWindowParams w;
    w.ClassName = "KalvarenPanel";
    // No WS_CLIPCHILDREN: a group box on a panel leaves its inside to the panel.
    w.Style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    w.ExStyle = WS_EX_CONTROLPARENT;
    w.Centred = false;
    w.Left = params.Left;
    w.Top = params.Top;
    w.ClientWidth = params.Width;
    w.ClientHeight = params.Height;
    w.Parent = params.Parent;
    w.Menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(params.Id));
    w.Background = params.Background;
    w.FontFace = nullptr;
    Create(w);
}

LRESULT TPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_GETFONT:
        // Asked each time: the parent's font changes with the display scale.
        return SendMessageA(GetParent(Handle()), WM_GETFONT, 0, 0);
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
        if (OnControlColor) {
            if (HBRUSH brush =
                    OnControlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
                return reinterpret_cast<LRESULT>(brush);
        }
        break;
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_CONTEXTMENU: {
        HWND target = FTarget ? FTarget : GetAncestor(Handle(), GA_ROOT);
        if (target && target != Handle())
            return SendMessageA(target, message, wParam, lParam);
        break;
    }
    case WM_SIZE: {
        const LRESULT result = TWindow::HandleMessage(message, wParam, lParam);
        if (OnResize)
            OnResize();
        return result;
    }
    case WM_PAINT:
        if (FBevel != TBevel::bvNone) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(Handle(), &ps);
            RECT r;
            GetClientRect(Handle(), &r);
            DrawEdge(dc, &r, FBevel == TBevel::bvRaised ? BDR_RAISEDINNER : BDR_SUNKENOUTER,
                     BF_RECT);
            EndPaint(Handle(), &ps);
            return 0;
        }
        break;
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

} // namespace kal
