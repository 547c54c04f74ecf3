// The dialog in which the user edits one profile's name, schedule and start-up
// and shutdown actions. Windows only: built on the window layer; it holds
// values, and EditProfileSchedule moves them between a profile and the dialog.
#pragma once

#include "UDateTime.h"
#include "URSync.h"
#include "UWindow.h"

#include <string>

namespace kal {

// What a start-up or shutdown combo box's index means; any other index (text
// typed into the box) counts as nothing.
enum TProfileAction : int { paNothing = 0, paBackup = 1, paRestore = 2 };

class TProfileEventDialog : public TWindow {
public:
    // `owner`: none takes the application's main window of this moment.
    explicit TProfileEventDialog(HWND owner = nullptr);
    ~TProfileEventDialog() override;

    // The date picker carries the full due date and time.
    TDateTime DateTime() const;
    void SetDateTime(TDateTime value);
    TRSyncProfileEvent ProfileEvent() const;
    void SetProfileEvent(TRSyncProfileEvent value);
    std::string ProfileName() const;
    void SetProfileName(const std::string& value);
    std::int32_t StartupAction() const;
    void SetStartupAction(std::int32_t value);
    std::int32_t ShutdownAction() const;
    void SetShutdownAction(std::int32_t value);

    const RECT Bevel1{8, 8, 8 + 241, 8 + 198}; // a frame painted by the dialog
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Label3 = nullptr;
    HWND Label4 = nullptr;
    HWND Label5 = nullptr;
    HWND edt_Name = nullptr;
    HWND TimePicker = nullptr;
    HWND DatePicker = nullptr;
    HWND cmb_Startup = nullptr;
    HWND cmb_Shutdown = nullptr;
    HWND rdg_Repeat = nullptr; // the group box; its items are RepeatItems
    HWND RepeatItems[9] = {};
    HWND OKBtn = nullptr;
    HWND CancelBtn = nullptr;

protected:
    // Keeps the date picker's time of day in step with the time picker.
    void TimePickerChange();
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void DatePickerChange();
};

// The four groups that carry a profile's start-up and shutdown actions.
struct TProfileActionGroups {
    TRSyncProfileGroup& StartupBackup;
    TRSyncProfileGroup& StartupRestore;
    TRSyncProfileGroup& ShutdownBackup;
    TRSyncProfileGroup& ShutdownRestore;
};

// Fills the dialog from the profile and its groups, shows it modally and on OK
// writes name, due time, repeat kind and group memberships back. True on OK;
// the caller then refreshes its profile list.
bool EditProfileSchedule(TProfileEventDialog& dialog, TRSyncProfile& profile,
                         const TProfileActionGroups& groups);

} // namespace kal
