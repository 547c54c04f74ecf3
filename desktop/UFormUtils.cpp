#include "UFormUtils.h"

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
        result.Height = info.lfHeight;
    }
    return result;
}

} // namespace kal
