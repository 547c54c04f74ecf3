// The profile schedule dialog and its use by the main window, driven in-process.
#include "UProfileEventDialog.h"

#include "dialogs_testing.h"
#include "window_testing.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

using namespace kal;
using namespace kal::testing;

namespace {

constexpr TDateTime OneSecond = 1.0 / 86400;

class ScheduleDialogTest : public ::testing::Test {
protected:
    TRSync Sync;
    TRSyncProfileGroup* StartupRestore = TRSyncProfileGroup::Create(Sync, "StartupRestore", true);
    TRSyncProfileGroup* ShutdownRestore = TRSyncProfileGroup::Create(Sync, "ShutdownRestore", true);
    TRSyncProfileGroup* StartupBackup = TRSyncProfileGroup::Create(Sync, "StartupBackup", false);
    TRSyncProfileGroup* ShutdownBackup = TRSyncProfileGroup::Create(Sync, "ShutdownBackup", false);
    TRSyncProfile* Profile = TRSyncProfile::Create(Sync, "Documents");
    TProfileEventDialog Dialog;

    TProfileActionGroups Groups() {
        return {*StartupBackup, *StartupRestore, *ShutdownBackup, *ShutdownRestore};
    }

    // Runs the main window's "Edit Schedule" with `user` acting inside the dialog.
    bool Edit(std::function<void()> user) {
        Dialog.Post(std::move(user));
        return EditProfileSchedule(Dialog, *Profile, Groups());
    }

    void Press(HWND button) { SendMessageA(button, BM_CLICK, 0, 0); }

    // What the date-time control reports when the user changes it.
    void UserSets(HWND picker, const SYSTEMTIME& value) {
        DateTime_SetSystemtime(picker, GDT_VALID, &value);
        NMDATETIMECHANGE change{};
        change.nmhdr.hwndFrom = picker;
        change.nmhdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(picker));
        change.nmhdr.code = DTN_DATETIMECHANGE;
        change.dwFlags = GDT_VALID;
        change.st = value;
        SendMessageA(Dialog.Handle(), WM_NOTIFY, change.nmhdr.idFrom,
                     reinterpret_cast<LPARAM>(&change));
    }

    std::vector<std::string> GroupsOf(const TRSyncProfile& profile) {
        std::vector<std::string> names;
        for (auto* group : {StartupRestore, ShutdownRestore, StartupBackup, ShutdownBackup})
            if (profile.IsInGroup(*group))
                names.push_back(group->Name());
        return names;
    }
};

std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    const auto count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        char text[64] = {};
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        items.push_back(text);
    }
    return items;
}

TEST_F(ScheduleDialogTest, ControlsCaptionsAndKeyboardOrder) {
    EXPECT_EQ(Dialog.Caption(), "Dialog");
    EXPECT_EQ(ClientSize(Dialog.Handle()).cx, 337);
    EXPECT_EQ(ClientSize(Dialog.Handle()).cy, 212);
    std::vector<std::string> repeat;
    for (HWND item : Dialog.RepeatItems)
        repeat.push_back(GetText(item));
    EXPECT_EQ(repeat, (std::vector<std::string>{"Manual", "Once", "Hourly", "Daily", "Weekly",
                                                "Fortnightly", "Mothly", "Quarterly", "Yearly"}));
    EXPECT_EQ(GetText(Dialog.rdg_Repeat), "Repeat");
    const std::vector<std::string> actions{"Do Nothing", "Backup", "Restore"};
    EXPECT_EQ(ComboItems(Dialog.cmb_Startup), actions);
    EXPECT_EQ(ComboItems(Dialog.cmb_Shutdown), actions);
    EXPECT_EQ(Dialog.StartupAction(), 0);
    EXPECT_EQ(Dialog.ShutdownAction(), 0);
    EXPECT_TRUE(GetWindowLongPtrA(Dialog.TimePicker, GWL_STYLE) & DTS_TIMEFORMAT);

    Dialog.SetProfileEvent(reDaily);
    const RECT time = BoundsInParent(Dialog.TimePicker);
    EXPECT_EQ(time.left, 16);
    EXPECT_EQ(time.top, 65);
    const std::vector<HWND> expected{Dialog.OKBtn,        Dialog.CancelBtn,   Dialog.RepeatItems[3],
                                     Dialog.edt_Name,     Dialog.TimePicker,  Dialog.DatePicker,
                                     Dialog.cmb_Shutdown, Dialog.cmb_Startup, Dialog.OKBtn};
    std::vector<HWND> order{Dialog.OKBtn};
    for (std::size_t i = 1; i < expected.size(); ++i)
        order.push_back(GetNextDlgTabItem(Dialog.Handle(), order.back(), FALSE));
    EXPECT_EQ(order, expected);

    Dialog.Show();
    Screenshot(Dialog.Handle(), "schedule_dialog");
    Dialog.Hide();
}

TEST_F(ScheduleDialogTest, OpensWithTheProfileAndWritesBackOnOk) {
    const TDateTime due = EncodeDateTime(2027, 3, 14, 9, 26, 53);
    Profile->SetDateTime(due);
    Profile->SetProfileEvent(reWeekly);
    Profile->AddToGroup(*ShutdownRestore);
    ASSERT_TRUE(Edit([&] {
        EXPECT_EQ(GetFocus(), Dialog.edt_Name);
        EXPECT_EQ(Dialog.ProfileName(), "Documents");
        EXPECT_NEAR(Dialog.DateTime(), due, OneSecond / 2);
        EXPECT_EQ(Dialog.ProfileEvent(), reWeekly);
        EXPECT_EQ(Dialog.StartupAction(), 0);
        EXPECT_EQ(Dialog.ShutdownAction(), 2);
        SetText(Dialog.edt_Name, "Letters");
        Press(Dialog.RepeatItems[reMonthly]);
        SendMessageA(Dialog.cmb_Startup, CB_SETCURSEL, 2, 0);
        SendMessageA(Dialog.cmb_Shutdown, CB_SETCURSEL, 1, 0);
        Press(Dialog.OKBtn);
    }));
    EXPECT_EQ(Profile->Name(), "Letters");
    EXPECT_EQ(Profile->ProfileEvent(), reMonthly);
    EXPECT_TRUE(Profile->Event()->Active());
    EXPECT_NEAR(Profile->DateTime(), due, OneSecond / 2);
    EXPECT_EQ(GroupsOf(*Profile), (std::vector<std::string>{"StartupRestore", "ShutdownBackup"}));
}

TEST_F(ScheduleDialogTest, BothStartupGroupsOpenAsBackupAndOkKeepsOnlyThat) {
    Profile->AddToGroup(*StartupBackup);
    Profile->AddToGroup(*StartupRestore);
    ASSERT_TRUE(Edit([&] {
        EXPECT_EQ(Dialog.StartupAction(), 1);
        Press(Dialog.OKBtn);
    }));
    EXPECT_EQ(GroupsOf(*Profile), std::vector<std::string>{"StartupBackup"});
}

TEST_F(ScheduleDialogTest, TextTypedIntoAComboTakesTheProfileOutOfItsGroups) {
    Profile->AddToGroup(*StartupRestore);
    Profile->AddToGroup(*ShutdownBackup);
    ASSERT_TRUE(Edit([&] {
        EXPECT_EQ(Dialog.ShutdownAction(), 1);
        // The user types into the combo's own edit field.
        HWND field = GetWindow(Dialog.cmb_Shutdown, GW_CHILD);
        SetFocus(field);
        SendMessageA(field, EM_SETSEL, 0, -1);
        Type(field, "Later");
        EXPECT_EQ(Dialog.ShutdownAction(), -1);
        Press(Dialog.OKBtn);
    }));
    EXPECT_EQ(GroupsOf(*Profile), std::vector<std::string>{"StartupRestore"});
}

TEST_F(ScheduleDialogTest, CancelAfterChangesLeavesProfileAndGroupsAlone) {
    const TDateTime due = EncodeDateTime(2027, 1, 2, 3, 4, 5);
    Profile->SetDateTime(due);
    Profile->AddToGroup(*StartupBackup);
    EXPECT_FALSE(Edit([&] {
        SetText(Dialog.edt_Name, "Changed");
        Press(Dialog.RepeatItems[reHourly]);
        Dialog.SetDateTime(due + 3);
        SendMessageA(Dialog.cmb_Startup, CB_SETCURSEL, 2, 0);
        Press(Dialog.CancelBtn);
    }));
    EXPECT_EQ(Profile->Name(), "Documents");
    EXPECT_EQ(Profile->ProfileEvent(), reInactive);
    EXPECT_EQ(Profile->DateTime(), due);
    EXPECT_EQ(GroupsOf(*Profile), std::vector<std::string>{"StartupBackup"});
}

TEST_F(ScheduleDialogTest, ChangingTheTimeThenTheDateGivesTheNewDateWithTheNewTime) {
    Dialog.SetDateTime(EncodeDateTime(2027, 5, 1, 8, 0, 0));
    SYSTEMTIME time{};
    DateTime_GetSystemtime(Dialog.TimePicker, &time);
    time.wHour = 21;
    time.wMinute = 45;
    UserSets(Dialog.TimePicker, time);
    EXPECT_NEAR(Dialog.DateTime(), EncodeDateTime(2027, 5, 1, 21, 45, 0), OneSecond / 2);

    // A day picked from the calendar may come with midnight; the time stays.
    SYSTEMTIME date{};
    date.wYear = 2027;
    date.wMonth = 6;
    date.wDay = 30;
    UserSets(Dialog.DatePicker, date);
    EXPECT_NEAR(Dialog.DateTime(), EncodeDateTime(2027, 6, 30, 21, 45, 0), OneSecond / 2);
}

TEST_F(ScheduleDialogTest, OkWithAPastDateAndOnceRunsTheBackupThenTurnsManual) {
    std::atomic<int> fired{0};
    Profile->OnScheduledEvent = [&](TRSyncProfile&) {
        ++fired;
    };
    ASSERT_TRUE(Edit([&] {
        Dialog.SetDateTime(Now() - 60 * OneSecond);
        Press(Dialog.RepeatItems[reOnce]);
        Press(Dialog.OKBtn);
    }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (fired == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(fired, 1) << "the schedule thread did not fire the profile";
    Sync.WaitForProcess();
    EXPECT_EQ(Profile->ProfileEvent(), reInactive);
    EXPECT_FALSE(Profile->Event()->Active());
}

} // namespace
