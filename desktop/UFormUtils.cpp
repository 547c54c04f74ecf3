#include "UFormUtils.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace kal {

HWND DefaultOwner(HWND owner) {
    if (owner)
        return owner;
    TWindow* main = Application().MainForm();
    return main ? main->Handle() : nullptr;
}

TOwnerFont OwnerFont(HWND owner) {
    TOwnerFont result;
    HFONT font = owner ? reinterpret_cast<HFONT>(SendMessageA(owner, WM_GETFONT, 0, 0)) : nullptr;
    LOGFONTA info{};
    if (font && GetObjectA(font, sizeof info, &info) == sizeof info) {
        result.Face = info.lfFaceName;
        // Windows are built at 96 DPI and scale themselves.
        const TWindow* window = TWindow::FromHandle(GetAncestor(owner, GA_ROOT));
        result.Height = MulDiv(info.lfHeight, 96, window ? static_cast<int>(window->Dpi()) : 96);
    }
    return result;
}

TWindowParams DialogParams(const char* className, const char* caption, int clientWidth,
                           int clientHeight, HWND owner, const TOwnerFont& font) {
    return {.ClassName = className,
            .Caption = caption,
            .Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN,
            .ExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT,
            .ClientWidth = clientWidth,
            .ClientHeight = clientHeight,
            .Parent = owner,
            .FontFace = font.Face.c_str(),
            .FontHeight = font.Height};
}

HWND CreateLabel(HWND parent, const char* text, int left, int top, int width, int height) {
    HWND label = CreateControl({.ClassName = "STATIC",
                                .Text = text,
                                .Style = WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                .Left = left,
                                .Top = top,
                                .Width = width,
                                .Height = height,
                                .Parent = parent});
    if (width == 0) {
        unique_window_dc dc(label);
        HGDIOBJ old = SelectObject(
            dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0)));
        SIZE extent{};
        GetTextExtentPoint32A(dc.get(), text, lstrlenA(text), &extent);
        SelectObject(dc.get(), old);
        SetWindowPos(label, nullptr, 0, 0, extent.cx, height,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return label;
}

HWND CreateCheckBox(HWND parent, const char* text, int left, int top, int width) {
    return CreateControl({.ClassName = "BUTTON",
                          .Text = text,
                          .Style = WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                          .Left = left,
                          .Top = top,
                          .Width = width,
                          .Height = 17,
                          .Parent = parent});
}

HWND CreateButton(HWND parent, const char* text, int left, int top, int id, bool isDefault) {
    return CreateControl({.ClassName = "BUTTON",
                          .Text = text,
                          .Style = WS_VISIBLE | WS_TABSTOP |
                                   static_cast<DWORD>(isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                          .Left = left,
                          .Top = top,
                          .Width = 75,
                          .Height = 25,
                          .Id = id,
                          .Parent = parent});
}

HWND CreateEdit(HWND parent, int left, int top, int width, DWORD style, int id) {
    return CreateControl({.ClassName = "EDIT",
                          .Style = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | style,
                          .ExStyle = WS_EX_CLIENTEDGE,
                          .Left = left,
                          .Top = top,
                          .Width = width,
                          .Height = 21,
                          .Id = id,
                          .Parent = parent});
}

void SortTabOrder(HWND parent) {
    // By the middle of each control: a field beside a check box on its row may
    // begin a little higher and still come after it.
    struct TPlace {
        LONG Middle, Left;
        HWND Control;
    };
    std::vector<TPlace> places;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT bounds;
        GetWindowRect(child, &bounds);
        places.push_back({bounds.top + bounds.bottom, bounds.left, child});
    }
    std::stable_sort(places.begin(), places.end(), [](const TPlace& a, const TPlace& b) {
        return std::tie(a.Middle, a.Left) < std::tie(b.Middle, b.Left);
    });
    HWND after = HWND_TOP;
    for (const TPlace& place : places) {
        SetWindowPos(place.Control, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = place.Control;
    }
}

bool Checked(HWND box) {
    return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Check(HWND box, bool value) {
    SendMessageA(box, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
}

} // namespace kal
