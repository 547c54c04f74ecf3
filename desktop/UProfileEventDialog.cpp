#include "UProfileEventDialog.h"

#include "UFormUtils.h"
#include "USystemTime.h"

#include <commctrl.h>

#include <mutex>

namespace kal {

namespace {

constexpr const char* RepeatCaptions[] = {"Manual",      "Once",   "Hourly",    "Daily", "Weekly",
                                          "Fortnightly", "Mothly", "Quarterly", "Yearly"};
constexpr int RepeatItemBase = 200;
constexpr int TimePickerId = 101;
constexpr int DatePickerId = 102;

SYSTEMTIME PickerTime(HWND picker) {
    SYSTEMTIME st{};
    DateTime_GetSystemtime(picker, &st);
    return st;
}

HWND ActionCombo(HWND parent, int top) {
    HWND combo = CreateControl(
        {.ClassName = "COMBOBOX",
         .Style = WS_VISIBLE | WS_TABSTOP | WS_GROUP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
         .Left = 16,
         .Top = top,
         .Width = 121,
         .Height = 120, // the drop-down list's room
         .Parent = parent});
    for (const char* item : {"Do Nothing", "Backup", "Restore"})
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
    return combo;
}

// The chosen item, or -1 once the user has typed text of their own into the box.
std::int32_t ComboIndex(HWND combo) {
    const auto index = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
    if (index < 0)
        return -1;
    const auto length = SendMessageA(combo, CB_GETLBTEXTLEN, index, 0);
    std::string item(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    SendMessageA(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(item.data()));
    return GetText(combo) == item.c_str() ? index : -1;
}

} // namespace

TProfileEventDialog::TProfileEventDialog(HWND owner) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_DATE_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    HWND parent = DefaultOwner(owner);
    const TOwnerFont font = OwnerFont(parent);
    TWindowParams params = DialogParams("TProfileEventDialog", "Dialog", 337, 212, parent, font);
    params.Style &= ~WS_CLIPCHILDREN; // the repeat group box leaves its inside to the dialog
    Create(params);
    HWND self = Handle();

    // Created in keyboard order: OK, Cancel, the repeat group, name, time, date,
    // shutdown, start-up.
    OKBtn = CreateButton(self, "OK", 255, 8, IDOK, true);
    CancelBtn = CreateButton(self, "Cancel", 255, 39, IDCANCEL, false);
    rdg_Repeat = CreateControl({.ClassName = "BUTTON",
                                .Text = "Repeat",
                                .Style = WS_VISIBLE | BS_GROUPBOX,
                                .Left = 145,
                                .Top = 14,
                                .Width = 98,
                                .Height = 181,
                                .Parent = self});
    // Items share the room below the caption evenly, as a radio group lays them out.
    constexpr int itemCount = static_cast<int>(std::size(RepeatCaptions));
    constexpr int captionRoom = 16, bottomRoom = 4;
    const int itemRoom = (181 - captionRoom - bottomRoom) / itemCount;
    for (int i = 0; i < itemCount; ++i) {
        RepeatItems[i] = CreateControl(
            {.ClassName = "BUTTON",
             .Text = RepeatCaptions[i],
             .Style = WS_VISIBLE | BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0u),
             .Left = 145 + 8,
             .Top = 14 + captionRoom + i * itemRoom,
             .Width = 98 - 16,
             .Height = itemRoom,
             .Id = RepeatItemBase + i,
             .Parent = self});
    }
    edt_Name = CreateEdit(self, 16, 25, 121, WS_GROUP);
    SetText(edt_Name, "edt_Name");
    ActiveControl = edt_Name;
    const auto picker = [self](DWORD kind, int top, int id) {
        return CreateControl({.ClassName = DATETIMEPICK_CLASSA,
                              .Style = WS_VISIBLE | WS_TABSTOP | WS_GROUP | kind,
                              .Left = 16,
                              .Top = top,
                              .Width = 89,
                              .Height = 21,
                              .Id = id,
                              .Parent = self});
    };
    TimePicker = picker(DTS_TIMEFORMAT, 65, TimePickerId);
    DatePicker = picker(DTS_SHORTDATEFORMAT, 92, DatePickerId);
    cmb_Shutdown = ActionCombo(self, 171);
    cmb_Startup = ActionCombo(self, 131);

    Label1 = CreateLabel(self, "Name", 16, 13);
    Label5 = CreateLabel(self, "Profile Account", 16, 24);
    Label2 = CreateLabel(self, "Date And Time", 16, 51);
    Label4 = CreateLabel(self, "On Startup", 16, 119);
    Label3 = CreateLabel(self, "On Shutdown", 16, 158);
    // The stale caption lies under the name field and must not paint over it.
    SetWindowLongPtrA(Label5, GWL_STYLE, GetWindowLongPtrA(Label5, GWL_STYLE) | WS_CLIPSIBLINGS);
    SetWindowPos(Label5, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetProfileEvent(reInactive);
}

TProfileEventDialog::~TProfileEventDialog() {
    DestroyHandle();
}

TDateTime TProfileEventDialog::DateTime() const {
    return FromSystemTime(PickerTime(DatePicker));
}

void TProfileEventDialog::SetDateTime(TDateTime value) {
    const SYSTEMTIME st = ToSystemTime(value);
    DateTime_SetSystemtime(TimePicker, GDT_VALID, &st);
    DateTime_SetSystemtime(DatePicker, GDT_VALID, &st);
}

TRSyncProfileEvent TProfileEventDialog::ProfileEvent() const {
    for (int i = 0; i < static_cast<int>(std::size(RepeatItems)); ++i)
        if (SendMessageA(RepeatItems[i], BM_GETCHECK, 0, 0) == BST_CHECKED)
            return static_cast<TRSyncProfileEvent>(i);
    // No item chosen means no schedule; never an out-of-range kind that the
    // configuration file would refuse to load.
    return reInactive;
}

void TProfileEventDialog::SetProfileEvent(TRSyncProfileEvent value) {
    for (int i = 0; i < static_cast<int>(std::size(RepeatItems)); ++i)
        SendMessageA(RepeatItems[i], BM_SETCHECK, i == value ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::string TProfileEventDialog::ProfileName() const {
    return GetText(edt_Name);
}

void TProfileEventDialog::SetProfileName(const std::string& value) {
    SetText(edt_Name, value);
}

std::int32_t TProfileEventDialog::StartupAction() const {
    return ComboIndex(cmb_Startup);
}

void TProfileEventDialog::SetStartupAction(std::int32_t value) {
    SendMessageA(cmb_Startup, CB_SETCURSEL, static_cast<WPARAM>(value), 0);
}

std::int32_t TProfileEventDialog::ShutdownAction() const {
    return ComboIndex(cmb_Shutdown);
}

void TProfileEventDialog::SetShutdownAction(std::int32_t value) {
    SendMessageA(cmb_Shutdown, CB_SETCURSEL, static_cast<WPARAM>(value), 0);
}

void TProfileEventDialog::TimePickerChange() {
    const SYSTEMTIME time = PickerTime(TimePicker);
    SYSTEMTIME date = PickerTime(DatePicker);
    date.wHour = time.wHour;
    date.wMinute = time.wMinute;
    date.wSecond = time.wSecond;
    date.wMilliseconds = time.wMilliseconds;
    DateTime_SetSystemtime(DatePicker, GDT_VALID, &date);
}

void TProfileEventDialog::DatePickerChange() {
    // Picking a day from the calendar may reset the time of day the date picker
    // carries; the time picker holds the one the user set.
    const SYSTEMTIME date = PickerTime(DatePicker);
    const SYSTEMTIME time = PickerTime(TimePicker);
    if (date.wHour != time.wHour || date.wMinute != time.wMinute || date.wSecond != time.wSecond ||
        date.wMilliseconds != time.wMilliseconds)
        TimePickerChange();
}

LRESULT TProfileEventDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED &&
            (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            if (Modal())
                EndModal(LOWORD(wParam) == IDOK ? mrOk : mrCancel);
            else
                Hide();
            return 0;
        }
        break;
    case WM_PAINT: {
        // The frame is drawn by the dialog itself, beneath every control.
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(Handle(), &paint);
        RECT frame = Bevel1;
        DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
        EndPaint(Handle(), &paint);
        return 0;
    }
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code == DTN_DATETIMECHANGE) {
            if (header->hwndFrom == TimePicker)
                TimePickerChange();
            else if (header->hwndFrom == DatePicker)
                DatePickerChange();
            return 0;
        }
        break;
    }
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

bool EditProfileSchedule(TProfileEventDialog& dialog, TRSyncProfile& profile,
                         const TProfileActionGroups& groups) {
    const auto actionOf = [&profile](TRSyncProfileGroup& backup, TRSyncProfileGroup& restore) {
        return profile.IsInGroup(backup)    ? paBackup
               : profile.IsInGroup(restore) ? paRestore
                                            : paNothing;
    };
    dialog.SetProfileName(profile.Name());
    dialog.SetDateTime(profile.DateTime());
    dialog.SetProfileEvent(profile.ProfileEvent());
    dialog.SetStartupAction(actionOf(groups.StartupBackup, groups.StartupRestore));
    dialog.SetShutdownAction(actionOf(groups.ShutdownBackup, groups.ShutdownRestore));
    if (dialog.ShowModal() != mrOk)
        return false;

    const std::string name = dialog.ProfileName();
    const TDateTime due = dialog.DateTime();
    const TRSyncProfileEvent kind = dialog.ProfileEvent();
    const std::int32_t startup = dialog.StartupAction();
    const std::int32_t shutdown = dialog.ShutdownAction();
    // One step for the schedule thread: it never sees the new time with the old kind.
    std::lock_guard lock(profile.Sync()->Mutex());
    profile.SetName(name);
    profile.SetDateTime(due);
    profile.SetProfileEvent(kind);
    const auto place = [&profile](TRSyncProfileGroup& group, bool member) {
        if (member)
            profile.AddToGroup(group);
        else
            profile.RemoveFromGroup(group);
    };
    place(groups.StartupBackup, startup == paBackup);
    place(groups.StartupRestore, startup == paRestore);
    place(groups.ShutdownBackup, shutdown == paBackup);
    place(groups.ShutdownRestore, shutdown == paRestore);
    return true;
}

} // namespace kal
