// The value edit, the dialog edits and the folder picker, driven in-process.
#include "UBrowser.h"
#include "UDialogEdit.h"
#include "UValueEdit.h"

#include "dialogs_testing.h"
#include "window_testing.h"

#include <climits>
#include <memory>
#include <string>
#include <vector>

using namespace kal;
using namespace kal::testing;

namespace {

class ValueEditTest : public ::testing::Test {
protected:
    HostWindow Host;
    TValueEdit Edit{{.Parent = Host.Handle(), .Left = 8, .Top = 8, .Width = 80}};

    // Focus into the field, replace its text by typing, then leave it.
    void TypeAndLeave(const std::string& text) {
        SetFocus(Edit.Handle());
        SendMessageA(Edit.Handle(), EM_SETSEL, 0, -1);
        SendMessageA(Edit.Handle(), WM_CHAR, VK_BACK, 1);
        Type(Edit.Handle(), text);
        SetFocus(Host.Other);
    }
};

TEST_F(ValueEditTest, StartsAtZeroWithTheFullRange) {
    EXPECT_EQ(Edit.Text(), "0");
    EXPECT_EQ(Edit.Value(), 0);
    EXPECT_EQ(Edit.Min(), INT32_MIN);
    EXPECT_EQ(Edit.Max(), INT32_MAX);
}

TEST_F(ValueEditTest, LeavingTheFieldCorrectsWhatWasTyped) {
    Edit.SetMin(0);
    Edit.SetMax(65535);
    const struct {
        const char* typed;
        const char* shown;
        int value;
    } cases[] = {
        {"70000", "65535", 65535}, {"-5", "0", 0},
        {"12-3", "0", 0},          {"", "0", 0},
        {"007", "007", 7},         {"65535", "65535", 65535},
    };
    for (const auto& c : cases) {
        Edit.UpdateValue(123);
        TypeAndLeave(c.typed);
        EXPECT_EQ(Edit.Text(), c.shown) << "typed \"" << c.typed << '"';
        EXPECT_EQ(Edit.Value(), c.value) << "typed \"" << c.typed << '"';
    }
}

TEST_F(ValueEditTest, HugeNumbersClampOrBecomeZeroWithDefaultBounds) {
    TypeAndLeave("99999999999");
    EXPECT_EQ(Edit.Text(), "2147483647");
    EXPECT_EQ(Edit.Value(), INT32_MAX);
    TypeAndLeave("-99999999999");
    EXPECT_EQ(Edit.Value(), INT32_MIN);
    TypeAndLeave("1234567890123456789012345");
    EXPECT_EQ(Edit.Text(), "0");
    EXPECT_EQ(Edit.Value(), 0);
}

TEST_F(ValueEditTest, TypedLettersAreDroppedPastedOnesBecomeZero) {
    TypeAndLeave("1a2b-3");
    EXPECT_EQ(Edit.Text(), "0"); // "12-3" arrived: the sign inside the digits spoils it
    TypeAndLeave("4x5");
    EXPECT_EQ(Edit.Text(), "45");
    EXPECT_EQ(Edit.Value(), 45);

    // A paste bypasses the key filter.
    SetFocus(Edit.Handle());
    SendMessageA(Edit.Handle(), EM_SETSEL, 0, -1);
    SendMessageA(Edit.Handle(), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>("abc"));
    EXPECT_EQ(Edit.Text(), "abc");
    SetFocus(Host.Other);
    EXPECT_EQ(Edit.Text(), "0");
    EXPECT_EQ(Edit.Value(), 0);
}

TEST_F(ValueEditTest, ValueLagsTheTextUntilFocusLeaves) {
    int exits = 0;
    Edit.OnExit = [&](TCustomValueEdit* sender) {
        EXPECT_EQ(sender, &Edit);
        EXPECT_EQ(Edit.Value(), 8); // the correction ran before the event
        ++exits;
    };
    Edit.SetValue(7);
    SetFocus(Edit.Handle());
    SendMessageA(Edit.Handle(), EM_SETSEL, 0, -1);
    Type(Edit.Handle(), "8");
    EXPECT_EQ(Edit.Value(), 7);
    Edit.SetValue(7); // unchanged: the typed text survives
    EXPECT_EQ(Edit.Text(), "8");
    EXPECT_EQ(exits, 0);
    SetFocus(Host.Other);
    EXPECT_EQ(Edit.Value(), 8);
    EXPECT_EQ(exits, 1);
}

TEST_F(ValueEditTest, AcceptTextTakesTheNumberStillBeingTyped) {
    Edit.SetMax(100);
    SetFocus(Edit.Handle());
    SendMessageA(Edit.Handle(), EM_SETSEL, 0, -1);
    Type(Edit.Handle(), "250");
    Edit.AcceptText();
    EXPECT_EQ(Edit.Text(), "100");
    EXPECT_EQ(Edit.Value(), 100);
}

TEST_F(ValueEditTest, BoundsMoveTheValueAndNeverCross) {
    Edit.SetValue(5);
    Edit.SetMin(10);
    EXPECT_EQ(Edit.Text(), "10");
    EXPECT_EQ(Edit.Value(), 10);

    Edit.SetMin(0);
    Edit.SetMax(-1); // below Min: ignored
    EXPECT_EQ(Edit.Max(), INT32_MAX);
    Edit.SetMax(8);
    EXPECT_EQ(Edit.Value(), 8);
    Edit.SetMin(9); // above Max: ignored
    EXPECT_EQ(Edit.Min(), 0);
    EXPECT_EQ(Edit.Text(), "8");

    // The value's own setter checks nothing.
    Edit.SetValue(-50);
    EXPECT_EQ(Edit.Text(), "-50");
    EXPECT_EQ(Edit.Value(), -50);
}

TEST(ValueEdit, OutlivesItsParentWindow) {
    auto host = std::make_unique<HostWindow>();
    TValueEdit edit({.Parent = host->Handle()});
    host.reset();
    EXPECT_EQ(edit.Handle(), nullptr);
    edit.SetValue(3);
    EXPECT_EQ(edit.Value(), 3);
    EXPECT_EQ(edit.Text(), "");
}

// ---- dialog edits -------------------------------------------------------------

// A file dialog that answers as a user would, without showing anything.
class ScriptedFileDialog : public TFileDialog {
public:
    bool Confirm = true;
    std::string Choose;
    std::string OpenedOn;
    int Runs = 0;
    int* Destroyed = nullptr;
    ~ScriptedFileDialog() override {
        if (Destroyed)
            ++*Destroyed;
    }
    bool Execute(HWND) override {
        ++Runs;
        OpenedOn = FileName;
        if (Confirm)
            FileName = Choose;
        return Confirm;
    }
};

SIZE WindowSize(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

TEST(DialogEdit, ButtonAndFieldFollowThePanelSize) {
    HostWindow host;
    TCustomDialogEdit edit({.Parent = host.Handle(), .Left = 8, .Top = 8});
    EXPECT_EQ(WindowSize(edit.Handle()).cx, 137);
    EXPECT_EQ(WindowSize(edit.Handle()).cy, 21);
    RECT button = BoundsInParent(edit.ButtonHandle());
    EXPECT_EQ(button.left, 117);
    EXPECT_EQ(button.top, 1);
    EXPECT_EQ(button.right - button.left, 15);
    EXPECT_EQ(button.bottom - button.top, 15);
    EXPECT_EQ(WindowSize(edit.EditHandle()).cx, 115);

    int resized = 0;
    edit.OnResize = [&](TCustomDialogEdit*) {
        ++resized;
    };
    SetWindowPos(edit.Handle(), nullptr, 0, 0, 200, 25, SWP_NOMOVE | SWP_NOZORDER);
    button = BoundsInParent(edit.ButtonHandle());
    EXPECT_EQ(button.left, 176);
    EXPECT_EQ(button.top, 1);
    EXPECT_EQ(button.right - button.left, 19);
    EXPECT_EQ(button.bottom - button.top, 19);
    const RECT field = BoundsInParent(edit.EditHandle());
    EXPECT_EQ(field.right - field.left, 174);
    EXPECT_EQ(field.bottom - field.top, 15);
    EXPECT_EQ(field.left, 1);
    EXPECT_EQ(resized, 1);
}

TEST(DialogEdit, ButtonWithoutDialogRaisesOnlyBeforeDialog) {
    HostWindow host;
    TCustomDialogEdit edit({.Parent = host.Handle()});
    edit.SetButtonText("?");
    EXPECT_EQ(GetText(edit.ButtonHandle()), "?");
    std::vector<std::string> events;
    edit.BeforeDialogEvent = [&](TCustomDialogEdit* sender, TCommonDialog* dialog) {
        EXPECT_EQ(sender, &edit);
        EXPECT_EQ(dialog, nullptr);
        events.push_back("before");
    };
    edit.AfterDialogEvent = [&](TCustomDialogEdit*, TCommonDialog*) {
        events.push_back("after");
    };
    edit.OnChange = [&](TCustomDialogEdit*) {
        events.push_back("change");
    };
    SendMessageA(edit.ButtonHandle(), BM_CLICK, 0, 0);
    EXPECT_EQ(events, std::vector<std::string>{"before"});
}

TEST(DialogEdit, TextChangesRaiseOnChangeOnlyWhenDifferent) {
    HostWindow host;
    TCustomDialogEdit edit({.Parent = host.Handle()});
    int changes = 0;
    edit.OnChange = [&](TCustomDialogEdit*) {
        ++changes;
    };
    edit.SetText("abc");
    edit.SetText("abc");
    EXPECT_EQ(edit.Text(), "abc");
    EXPECT_EQ(changes, 1);
    SetFocus(edit.EditHandle());
    SendMessageA(edit.EditHandle(), EM_SETSEL, 3, 3);
    Type(edit.EditHandle(), "d");
    EXPECT_EQ(edit.Text(), "abcd");
    EXPECT_EQ(changes, 2);
}

TEST(DialogEdit, ColourPaintsTheFieldNotThePanel) {
    HostWindow host;
    TCustomDialogEdit edit({.Parent = host.Handle()});
    edit.SetColor(RGB(255, 255, 192));
    unique_window_dc dc(edit.EditHandle());
    const LRESULT brush =
        SendMessageA(edit.Handle(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc.get()),
                     reinterpret_cast<LPARAM>(edit.EditHandle()));
    ASSERT_NE(brush, 0);
    EXPECT_EQ(GetBkColor(dc.get()), RGB(255, 255, 192));
    LOGBRUSH info{};
    GetObjectA(reinterpret_cast<HBRUSH>(brush), sizeof info, &info);
    EXPECT_EQ(info.lbColor, RGB(255, 255, 192));
}

TEST(FileEdit, ConfirmedDialogSetsTextThenRaisesChangeThenAfterDialog) {
    HostWindow host;
    TCustomFileOpenEdit edit({.Parent = host.Handle()});
    EXPECT_EQ(GetText(edit.ButtonHandle()), "...");
    EXPECT_NE(dynamic_cast<TOpenDialog*>(edit.Dialog()), nullptr);

    ScriptedFileDialog dialog;
    dialog.Choose = "C:\\Keys\\backup.pwd";
    edit.SetDialog(&dialog);
    edit.SetIntialDir("C:\\Keys");
    edit.SetFilter("Password Files (*.pwd)|*.pwd");
    edit.SetText("C:\\old.pwd");
    EXPECT_EQ(dialog.InitialDir, "C:\\Keys");
    EXPECT_EQ(dialog.Filter, "Password Files (*.pwd)|*.pwd");

    std::vector<std::string> events;
    edit.BeforeDialogEvent = [&](TCustomDialogEdit*, TCommonDialog* d) {
        EXPECT_EQ(d, &dialog);
        events.push_back("before");
    };
    edit.OnChange = [&](TCustomDialogEdit*) {
        events.push_back("change:" + edit.Text());
    };
    edit.AfterDialogEvent = [&](TCustomDialogEdit*, TCommonDialog*) {
        events.push_back("after");
    };
    SendMessageA(edit.ButtonHandle(), BM_CLICK, 0, 0);
    EXPECT_EQ(dialog.OpenedOn, "C:\\old.pwd");
    EXPECT_EQ(edit.Text(), "C:\\Keys\\backup.pwd");
    EXPECT_EQ(events, (std::vector<std::string>{"before", "change:C:\\Keys\\backup.pwd", "after"}));

    events.clear();
    dialog.Confirm = false;
    dialog.Choose = "C:\\other.pwd";
    edit.ButtonClick();
    EXPECT_EQ(dialog.Runs, 2);
    EXPECT_EQ(edit.Text(), "C:\\Keys\\backup.pwd");
    EXPECT_EQ(events, std::vector<std::string>{"before"});
}

TEST(FileEdit, OwnsOnlyTheDialogItMade) {
    int destroyed = 0;
    auto* outside = new ScriptedFileDialog;
    outside->Destroyed = &destroyed;
    {
        HostWindow host;
        TCustomFileSaveEdit edit({.Parent = host.Handle()});
        EXPECT_NE(dynamic_cast<TSaveDialog*>(edit.Dialog()), nullptr);
        edit.SetDialog(outside);
        EXPECT_EQ(edit.Dialog(), outside);
    }
    EXPECT_EQ(destroyed, 0);
    delete outside;
    EXPECT_EQ(destroyed, 1);
}

TEST(FileEdit, FilterTakesTheCommonDialogForm) {
    EXPECT_EQ(CommonDialogFilter("Log Files (*.log)|*.log"),
              std::string("Log Files (*.log)\0*.log\0\0", 25));
    EXPECT_EQ(CommonDialogFilter("A|*.a|B|*.b;*.c"), std::string("A\0*.a\0B\0*.b;*.c\0\0", 17));
    EXPECT_EQ(CommonDialogFilter(""), "");
}

// ---- folder picker -------------------------------------------------------------

PIDLIST_ABSOLUTE FolderItem(int csidl) {
    PIDLIST_ABSOLUTE item = nullptr;
    EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, csidl, &item), S_OK);
    return item;
}

TEST(Browser, ReturnsTheChosenFolderAndForgetsItOnCancel) {
    std::vector<int> answers{CSIDL_WINDOWS, -1, CSIDL_DRIVES};
    std::vector<std::string> titles;
    std::size_t turn = 0;
    TBrowser browser(TBrowser::TShell{[&](BROWSEINFOA* info) -> PIDLIST_ABSOLUTE {
                                          EXPECT_EQ(info->ulFlags, 0x40u);
                                          EXPECT_EQ(info->pidlRoot, nullptr);
                                          titles.push_back(info->lpszTitle);
                                          const int answer = answers.at(turn++);
                                          return answer < 0 ? nullptr : FolderItem(answer);
                                      },
                                      [](PCIDLIST_ABSOLUTE list) {
                                          return PathFromIDList(list);
                                      }});
    EXPECT_EQ(browser.Filename(), "");

    browser.SetTitle("Select a folder to add");
    ASSERT_TRUE(browser.Browse());
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, browser.Filename().c_str(), -1,
                             windows, -1),
              CSTR_EQUAL)
        << browser.Filename();

    browser.SetTitle("Recover into");
    EXPECT_FALSE(browser.Browse());
    EXPECT_EQ(browser.Filename(), "");

    // "My Computer" is a real choice without a file-system path.
    EXPECT_TRUE(browser.Browse());
    EXPECT_EQ(browser.Filename(), "");
    EXPECT_EQ(titles,
              (std::vector<std::string>{"Select a folder to add", "Recover into", "Recover into"}));
}

} // namespace
