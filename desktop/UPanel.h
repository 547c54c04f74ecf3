// A plain child window that holds controls with a layout of its own (aligned and
// anchored children, nested panels). Notifications of its controls go on to the
// window that owns the handlers, so a form handles every control in one place.
#pragma once

#include "UWindow.h"

namespace kal {

enum class TBevel { bvNone, bvRaised, bvLowered };

class TPanel : public TWindow {
public:
    struct TParams {
        HWND Parent = nullptr;
        int Left = 0;
        int Top = 0;
        int Width = 100;
        int Height = 100;
        int Id = 0;
        TBevel Bevel = TBevel::bvNone;
        // Receives WM_COMMAND, WM_NOTIFY, WM_DRAWITEM, WM_CONTEXTMENU and the
        // WM_CTLCOLOR* messages of the panel's controls; none: the top-level window.
        HWND Target = nullptr;
        int Background = COLOR_BTNFACE;
    };
    explicit TPanel(const TParams& params);

    // After the panel's size changed and its controls were laid out.
    std::function<void()> OnResize;
    // Colours a control of the panel (WM_CTLCOLOR*); null: the system's colours.
    std::function<HBRUSH(HDC dc, HWND control)> OnControlColor;

    // Lays the panel's controls out at its current size.
    void Realign() const { Relayout(); }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND FTarget;
    TBevel FBevel;
};

} // namespace kal
