#include "UVersionsForm.h"

#include "UDateTime.h"
#include "UFormUtils.h"
#include "UText.h"
#include "UVersions.h"

#include <cstdio>

namespace kal {

namespace {

constexpr int ListId = 100;

std::string LocalDateAndTime(const std::string& stamp) {
    TDateTime when = 0;
    if (!ParseVersionStamp(stamp, when))
        return stamp;
    const TDateTimeParts p = DecodeDateTime(when);
    char time[16];
    const char s = TimeSeparator();
    std::snprintf(time, sizeof time, "%02d%c%02d%c%02d", p.Hour, s, p.Minute, s, p.Second);
    return FormatShortDate(when) + "  " + time;
}

} // namespace

TVersionsForm::TVersionsForm(HWND owner, const std::string& profileName,
                             const std::vector<TVersion>& versions) {
    const TOwnerFont font = OwnerFont(owner);
    Create(DialogParams("KalvarenVersions", "Restore Earlier Version", 300, 236, owner, font));
    const std::string prompt = "Restore '" + profileName + "' as it was before the backup of:";
    CreateLabel(Handle(), prompt.c_str(), 8, 10, 284, 16);
    FList = CreateControl({.ClassName = "LISTBOX",
                           .Style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY,
                           .ExStyle = WS_EX_CLIENTEDGE,
                           .Left = 8,
                           .Top = 30,
                           .Width = 284,
                           .Height = 166,
                           .Id = ListId,
                           .Parent = Handle()});
    for (const TVersion& version : versions)
        SendMessageW(FList, LB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(Utf8ToWide(LocalDateAndTime(version.Stamp)).c_str()));
    SendMessageA(FList, LB_SETCURSEL, 0, 0);
    CreateButton(Handle(), "Restore", 136, 204, IDOK, true);
    CreateButton(Handle(), "Cancel", 217, 204, IDCANCEL, false);
    OnShow = [this](TWindow*) {
        SetFocus(FList);
    };
}

int TVersionsForm::Selected() const {
    const LRESULT index = SendMessageA(FList, LB_GETCURSEL, 0, 0);
    return index == LB_ERR ? -1 : static_cast<int>(index);
}

LRESULT TVersionsForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        const bool chosen = LOWORD(wParam) == ListId && HIWORD(wParam) == LBN_DBLCLK;
        if (chosen || (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK)) {
            EndModal(Selected() >= 0 ? mrOk : mrCancel);
            return 0;
        }
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDCANCEL) {
            EndModal(mrCancel);
            return 0;
        }
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

std::vector<TVersion> ChooseEarlierVersion(HWND owner, const std::string& profileName,
                                           const std::vector<TVersion>& versions) {
    TVersionsForm form(owner, profileName, versions);
    if (form.ShowModal() != mrOk || form.Selected() < 0)
        return {};
    return {versions.begin(), versions.begin() + form.Selected() + 1};
}

} // namespace kal
