// Placing a window's controls: aligned to an edge or filling the rest, or
// anchored to edges at fixed distances (the window layer's Layout member).
//
// Controls aligned top/bottom/left/right/client are placed in the order they were
// added (each bottom item sits above the previous one), hidden ones skipped;
// anchored controls keep their distances.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace kal {

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
    // An aligned control's extent grows to hold a control of this size.
    void Fit(HWND control, int width, int height);
    // Extents and distances follow a change of the display scale (`to` / `from`).
    void Scale(int to, int from);
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

// Whether the control is meant to be seen: its own style bit, not IsWindowVisible,
// so that a hidden parent does not collapse its layout.
bool HasVisibleStyle(HWND control);

} // namespace kal
