// Small helpers shared by the program's dialogs.
#pragma once

#include "UWindow.h"

#include <string>

namespace kal {

// The owner a form gets when none is given: the application's main window.
HWND DefaultOwner(HWND owner);

// A font by face and height, as the window parameters take it.
struct TOwnerFont {
    std::string Face = "Tahoma";
    int Height = -11;
};
// The owner's font, for forms that use their parent's font; the program's
// default when the owner has none.
TOwnerFont OwnerFont(HWND owner);

// A fixed-size dialog frame (caption and close box, no resizing), centred on the
// screen. The parameters point into `font`, which must outlive the Create call.
TWindowParams DialogParams(const char* className, const char* caption, int clientWidth,
                           int clientHeight, HWND owner, const TOwnerFont& font);

// A label as wide as its text in the parent's font unless a width is given.
HWND CreateLabel(HWND parent, const char* text, int left, int top, int width = 0, int height = 13);
HWND CreateCheckBox(HWND parent, const char* text, int left, int top, int width);
// A 75 by 25 push button; the default one answers Enter.
HWND CreateButton(HWND parent, const char* text, int left, int top, int id, bool isDefault);
HWND CreateEdit(HWND parent, int left, int top, int width, DWORD style = 0, int id = 0);

// Puts the parent's controls into reading order (top to bottom, then left to
// right), which is the order Tab visits them in.
void SortTabOrder(HWND parent);

// A check box's tick.
bool Checked(HWND box);
void Check(HWND box, bool value);

} // namespace kal
