#include "ULayout.h"

#include <algorithm>

namespace kal {

namespace {

RECT ClientBounds(HWND control) {
    RECT bounds;
    GetWindowRect(control, &bounds);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&bounds), 2);
    return bounds;
}

void Place(HWND control, int left, int top, int width, int height) {
    SetWindowPos(control, nullptr, left, top, std::max(width, 0), std::max(height, 0),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

bool HasVisibleStyle(HWND control) {
    return (GetWindowLongPtrA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

TLayout::TItem* TLayout::Find(HWND control) {
    auto it = std::find_if(FItems.begin(), FItems.end(),
                           [control](const TItem& item) { return item.Control == control; });
    return it == FItems.end() ? nullptr : &*it;
}

const TLayout::TItem* TLayout::Find(HWND control) const {
    return const_cast<TLayout*>(this)->Find(control);
}

void TLayout::Align(HWND control, TAlign align) {
    RECT bounds = ClientBounds(control);
    bool vertical = align == TAlign::alTop || align == TAlign::alBottom;
    int extent = vertical ? bounds.bottom - bounds.top : bounds.right - bounds.left;
    if (TItem* item = Find(control)) {
        item->Align = align;
        item->Extent = extent;
        return;
    }
    FItems.push_back({control, align, akLeft | akTop, extent, {}});
}

void TLayout::Anchor(HWND control, TAnchors anchors) {
    RECT bounds = ClientBounds(control);
    RECT client;
    GetClientRect(GetParent(control), &client);
    RECT margins{bounds.left, bounds.top, client.right - bounds.right,
                 client.bottom - bounds.bottom};
    if (TItem* item = Find(control)) {
        item->Anchors = anchors;
        item->Margins = margins;
        return;
    }
    FItems.push_back({control, TAlign::alNone, anchors, 0, margins});
}

int TLayout::Extent(HWND control) const {
    const TItem* item = Find(control);
    return item ? item->Extent : 0;
}

void TLayout::SetExtent(HWND control, int extent) {
    if (TItem* item = Find(control))
        item->Extent = std::max(extent, 0);
}

HWND TLayout::NeighbourOf(HWND control) const {
    const TItem* self = Find(control);
    if (!self || self->Align == TAlign::alNone || self->Align == TAlign::alClient)
        return nullptr;
    for (const TItem* item = self; item != FItems.data();) {
        --item;
        if (item->Align == self->Align)
            return item->Control;
    }
    return nullptr;
}

void TLayout::Fit(HWND control, int width, int height) {
    TItem* item = Find(control);
    if (!item)
        return;
    if (item->Align == TAlign::alTop || item->Align == TAlign::alBottom)
        item->Extent = std::max(item->Extent, height);
    else if (item->Align == TAlign::alLeft || item->Align == TAlign::alRight)
        item->Extent = std::max(item->Extent, width);
}

void TLayout::Scale(int to, int from) {
    for (TItem& item : FItems) {
        item.Extent = MulDiv(item.Extent, to, from);
        for (LONG* edge :
             {&item.Margins.left, &item.Margins.top, &item.Margins.right, &item.Margins.bottom})
            *edge = MulDiv(*edge, to, from);
    }
}

void TLayout::Apply(HWND parent) const {
    RECT client;
    if (GetClientRect(parent, &client))
        Apply(client.right, client.bottom);
}

void TLayout::Apply(int clientWidth, int clientHeight) const {
    RECT rest{0, 0, clientWidth, clientHeight};
    for (const TItem& item : FItems) {
        if (!HasVisibleStyle(item.Control))
            continue;
        const int width = rest.right - rest.left;
        const int height = rest.bottom - rest.top;
        switch (item.Align) {
        case TAlign::alTop:
            Place(item.Control, rest.left, rest.top, width, item.Extent);
            rest.top += item.Extent;
            break;
        case TAlign::alBottom:
            Place(item.Control, rest.left, rest.bottom - item.Extent, width, item.Extent);
            rest.bottom -= item.Extent;
            break;
        case TAlign::alLeft:
            Place(item.Control, rest.left, rest.top, item.Extent, height);
            rest.left += item.Extent;
            break;
        case TAlign::alRight:
            Place(item.Control, rest.right - item.Extent, rest.top, item.Extent, height);
            rest.right -= item.Extent;
            break;
        case TAlign::alClient:
        case TAlign::alNone:
            break;
        }
        rest.right = std::max(rest.right, rest.left);
        rest.bottom = std::max(rest.bottom, rest.top);
    }
    for (const TItem& item : FItems) {
        if (item.Align == TAlign::alClient && HasVisibleStyle(item.Control)) {
            Place(item.Control, rest.left, rest.top, rest.right - rest.left,
                  rest.bottom - rest.top);
        } else if (item.Align == TAlign::alNone) {
            RECT bounds = ClientBounds(item.Control);
            int width = bounds.right - bounds.left;
            int height = bounds.bottom - bounds.top;
            int left = item.Margins.left;
            int top = item.Margins.top;
            if ((item.Anchors & akLeft) && (item.Anchors & akRight))
                width = clientWidth - item.Margins.left - item.Margins.right;
            else if (item.Anchors & akRight)
                left = clientWidth - item.Margins.right - width;
            if ((item.Anchors & akTop) && (item.Anchors & akBottom))
                height = clientHeight - item.Margins.top - item.Margins.bottom;
            else if (item.Anchors & akBottom)
                top = clientHeight - item.Margins.bottom - height;
            Place(item.Control, left, top, width, height);
        }
    }
}

} // namespace kal
