// Small helpers shared by the program's dialogs.
#pragma once

#include "UWindow.h"

#include <string>

namespace kal {

// The owner a form gets when none is given: the application's main window.
HWND DefaultOwner(HWND owner);

// The face and height of the owner's font, for forms that use their parent's
// font; the program's default ("Tahoma", -11) when the owner has none.
struct TOwnerFont {
    std::string Face = "Tahoma";
    int Height = -11;
};
TOwnerFont OwnerFont(HWND owner);

} // namespace kal
