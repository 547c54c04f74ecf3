// The main window's messages and commands: menu items, buttons, the notifications
// of the profile list and the account fields, and the handlers they run.
#include "UMainFormParts.h"

#include "UAboutForm.h"
#include "UEULA.h"
#include "UFormUtils.h"
#include "UInputQuery.h"
#include "UOptionsForm.h"
#include "UVersionsForm.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <iterator>

namespace kal {

using mainform::CommonBoxes;
using mainform::ListIndex;
using mainform::TCommonBox;

namespace {

// Adds the paths that can have a place of their own on the server; the reasons
// for the others, one paragraph each.
std::string AddPaths(TRSyncProfile& profile, const std::vector<std::string>& paths) {
    std::string refused;
    for (const std::string& path : paths) {
        if (const std::string conflict = NameConflict(profile, path); !conflict.empty())
            refused += (refused.empty() ? "" : "\n\n") + conflict;
        else
            profile.AddPath(path);
    }
    return refused;
}

} // namespace

void mainform::WarnRefused(HWND owner, const std::string& text) {
    if (!text.empty())
        MessageBoxA(owner, text.c_str(), Application().Title.c_str(), MB_ICONWARNING | MB_OK);
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)))
            return 0;
        break;
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == lst_Profiles) {
            int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
            if (x == -1 && y == -1) {
                POINT p{};
                GetCursorPos(&p);
                x = p.x;
                y = p.y;
            }
            TrackPopupMenu(PopupMenu1.get(), TPM_RIGHTBUTTON, x, y, 0, Handle(), nullptr);
            return 0;
        }
        break;
    case WM_DRAWITEM: {
        auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (item->hwndItem == img_Display) {
            FillRect(item->hDC, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
            if (FPicture)
                FPicture->Draw(item->hDC, item->rcItem, FStretch);
            return TRUE;
        }
        break;
    }
    case WM_RUNSTARTUP:
        WMRunStartup();
        return 0;
    case WM_RUNSHUTDOWN:
        WMRunShutdown();
        return 0;
    default:
        if (message == FInstance.ShowRequest() && message != 0) {
            // A second start of the program: the user wants this window, also
            // when it is in the tray or minimised.
            Show();
            if (IsIconic(Handle()))
                ShowWindow(Handle(), SW_RESTORE);
            SetForegroundWindow(Handle());
            return 0;
        }
        if (message == FInstance.CloseRequest() && message != 0) {
            // An installer replaces the program: end as "Exit" does, saving.
            Exit1Click();
            return 0;
        }
        break;
    }
    return TTrayForm::HandleMessage(message, wParam, lParam);
}

bool TMainForm::OnCommand(int id, int code, HWND control) {
    for (const TCommonBox& box : CommonBoxes) {
        if (id == box.Id && control == this->*box.Box) {
            if (code == BN_CLICKED)
                SetCommonSource(box.Source, Checked(control));
            return true;
        }
    }
    switch (id) {
    case idProfiles:
        if (code == LBN_SELCHANGE)
            lst_ProfilesClick();
        else if (code == LBN_DBLCLK)
            lst_ProfilesDblClick();
        return true;
    case idUser:
        if (code == EN_CHANGE)
            edt_UserChange();
        return true;
    case idServer:
        if (code == EN_CHANGE)
            edt_ServerChange();
        return true;
    case idAccount:
        if (code == EN_CHANGE)
            edt_AccountChange();
        return true;
    default:
        break;
    }
    if (control && code != BN_CLICKED)
        return false;
    // Menu items, and buttons when clicked.
    struct TCommand {
        int Id;
        void (TMainForm::*Handler)();
    };
    static constexpr TCommand commands[] = {
        {idAddFile, &TMainForm::btn_FileClick},
        {idAddCustomFiles, &TMainForm::btn_FileClick},
        {idAddFolder, &TMainForm::btn_FolderClick},
        {idAddCustomFolder, &TMainForm::btn_FolderClick},
        {idRemovePath, &TMainForm::btn_RemoveClick},
        {idBackup, &TMainForm::btn_BackupClick},
        {idRestore, &TMainForm::btn_RestoreClick},
        {idNewProfile, &TMainForm::btn_NewProfileClick},
        {idRemoveProfile, &TMainForm::btn_RemoveProfileClick},
        {idExit, &TMainForm::Exit1Click},
        {idExit2, &TMainForm::Exit1Click},
        {idOptions, &TMainForm::Options1Click},
        {idMinimiseToTray, &TMainForm::MinimiseToTray1Click},
        {idShowOutput, &TMainForm::ShowOutput1Click},
        {idEmergancyRecovery, &TMainForm::EmergancyRecovery1Click},
        {idRestoreEarlierVersion, &TMainForm::RestoreEarlierVersion1Click},
        {idAbout, &TMainForm::About1Click},
        {idEULA, &TMainForm::EULA1Click},
        {idOnlineSupport, &TMainForm::OnlineSupport1Click},
        {idEditSchedule, &TMainForm::EditSchedule1Click},
        {idRestoreWindow, &TMainForm::Restore1Click},
    };
    const auto command = std::find_if(std::begin(commands), std::end(commands),
                                      [id](const TCommand& c) { return c.Id == id; });
    if (command == std::end(commands))
        return false;
    (this->*command->Handler)();
    return true;
}

// ---- handlers --------------------------------------------------------------------

void TMainForm::lst_ProfilesClick() {
    UpdateProfileView();
}

void TMainForm::lst_ProfilesDblClick() {
    if (TRSyncProfile* profile = SelectedProfile())
        EditProfileSchedule(*profile);
}

void TMainForm::EditSchedule1Click() {
    lst_ProfilesDblClick();
}

void TMainForm::btn_NewProfileClick() {
    std::string name = "Profile " + std::to_string(FRSync->ProfileCount() + 1);
    if (!InputQuery(Handle(), "New Profile", "Please enter a name for this Profile", name))
        return;
    auto* profile = TRSyncProfile::Create(*FRSync, name);
    HookProfile(*profile);
    UpdateProfileList();
    SelectProfile(profile);
    UpdateProfileView();
    SaveData();
}

void TMainForm::btn_RemoveProfileClick() {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile)
        return;
    // Its scheduled backup is waiting for the running transfer; removing it now
    // would hold this window until that transfer ends.
    const auto refuseWhileFiring = [this] {
        MessageBoxA(Handle(),
                    "This profile's scheduled backup is about to start. Remove the profile "
                    "when the current transfer has ended.",
                    Application().Title.c_str(), MB_ICONINFORMATION | MB_OK);
    };
    if (FRSync->Schedule().Firing(profile->Event())) {
        refuseWhileFiring();
        return;
    }
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = Handle();
    config.dwCommonButtons = TDCBF_YES_BUTTON | TDCBF_CANCEL_BUTTON;
    config.pszWindowTitle = L"Kalvaren";
    config.pszMainIcon = TD_WARNING_ICON;
    config.pszContent = L"Are you sure you want to remove this profile?\n\rAll backed-up data will "
                        L"remain on the server and can be obtained via Emergancy Recovery.";
    config.nDefaultButton = IDYES;
    int answer = IDCANCEL;
    if (FAILED(TaskDialogIndirect(&config, &answer, nullptr, nullptr))) {
        answer = MessageBoxA(Handle(),
                             "Are you sure you want to remove this profile?\n\rAll backed-up data "
                             "will remain on the server and can be obtained via Emergancy "
                             "Recovery.",
                             Application().Title.c_str(), MB_ICONWARNING | MB_OKCANCEL);
        answer = answer == IDOK ? IDYES : IDCANCEL;
    }
    if (answer != IDYES)
        return;
    // The firing may have begun while the question was open; its event leaves the
    // schedule only if not, so freeing the profile never waits for a transfer.
    if (!FRSync->Schedule().RemoveEventUnlessFiring(profile->Event())) {
        refuseWhileFiring();
        return;
    }
    FRSync->DeleteProfile(profile);
    UpdateProfileList();
    if (FRSync->ProfileCount() > 0)
        SendMessageA(lst_Profiles, LB_SETCURSEL, 0, 0);
    UpdateProfileView();
}

void TMainForm::btn_FileClick() {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile)
        return;
    std::vector<char> buffer(64 * 1024, '\0');
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Handle();
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                OFN_HIDEREADONLY | OFN_NONETWORKBUTTON | OFN_ENABLESIZING | OFN_DONTADDTORECENT;
    if (!GetOpenFileNameA(&ofn))
        return;
    // One file: its full path. Several: the folder, then each name, NUL-separated.
    const std::string first = buffer.data();
    const char* next = buffer.data() + first.size() + 1;
    std::vector<std::string> paths;
    if (*next == '\0') {
        paths.push_back(first);
    } else {
        const std::string folder = first.empty() || first.back() == '\\' ? first : first + "\\";
        while (*next) {
            const std::string name = next;
            paths.push_back(folder + name);
            next += name.size() + 1;
        }
    }
    const std::string refused = AddPaths(*profile, paths);
    UpdateProfileView();
    SaveData();
    mainform::WarnRefused(Handle(), refused);
}

void TMainForm::btn_FolderClick() {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile)
        return;
    FBrowser->SetTitle("Select A Folder To Add");
    // A choice without a file-system path (Computer, Network) adds nothing.
    if (!FBrowser->Browse() || FBrowser->Filename().empty())
        return;
    const std::string refused = AddPaths(*profile, {FBrowser->Filename()});
    UpdateProfileView();
    SaveData();
    mainform::WarnRefused(Handle(), refused);
}

void TMainForm::btn_RemoveClick() {
    TRSyncProfile* profile = SelectedProfile();
    const int line = ListIndex(lst_FilePath);
    if (!profile || line < 0)
        return;
    profile->RemovePath(line);
    UpdateProfileList();
    UpdateProfileView();
}

void TMainForm::btn_BackupClick() {
    if (TRSyncProfile* profile = SelectedProfile())
        profile->Backup();
}

void TMainForm::btn_RestoreClick() {
    if (TRSyncProfile* profile = SelectedProfile())
        profile->Restore();
}

void TMainForm::edt_UserChange() {
    if (auto* remote = dynamic_cast<TRemoteHost*>(FRSync->Server()))
        remote->SetUser(GetText(edt_User));
}

void TMainForm::edt_ServerChange() {
    std::string value;
    if (auto* remote = dynamic_cast<TRemoteHost*>(FRSync->Server()))
        value = remote->Host();
    else if (auto* local = dynamic_cast<TLocalHost*>(FRSync->Server()))
        value = local->Path();
    if (GetText(edt_Server) != value)
        SetText(edt_Server, value);
}

void TMainForm::edt_AccountChange() {
    FRSync->SetModule(GetText(edt_Account));
}

void TMainForm::edt_PasswordFileChange() {
    FRSync->SetPasswordFile(edt_PasswordFile->Text());
}

void TMainForm::Splitter1Moved() {
    RECT r;
    GetWindowRect(pnl_Right->Handle(), &r);
    Constraints.MinWidth = MulDiv(r.right - r.left, 96, static_cast<int>(Dpi())) + 499;
}

void TMainForm::Options1Click() {
    if (FForms.Options)
        RunOptionsDialog(*FForms.Options, *FRSync, *this);
}

void TMainForm::ShowOutput1Click() {
    const bool ticked = !(GetMenuState(MainMenu1, idShowOutput, MF_BYCOMMAND) & MF_CHECKED);
    CheckMenuItem(MainMenu1, idShowOutput, ticked ? MF_CHECKED : MF_UNCHECKED);
    const std::uint32_t flags = FRSync->Flags();
    FRSync->SetFlags(ticked ? flags | 1u : flags & ~1u);
}

void TMainForm::RestoreEarlierVersion1Click() {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile) {
        mainform::WarnRefused(Handle(), "Select the profile to restore first.");
        return;
    }
    std::vector<TVersion> versions;
    std::string error;
    {
        const HCURSOR previous = SetCursor(LoadCursor(nullptr, IDC_WAIT));
        const bool listed = FRSync->ListVersions(versions, error);
        SetCursor(previous);
        if (!listed) {
            mainform::WarnRefused(Handle(), "The earlier versions cannot be listed: " + error);
            return;
        }
    }
    if (versions.empty()) {
        mainform::WarnRefused(Handle(), "The destination keeps no earlier versions yet. Turn on "
                                        "\"Keep Earlier Versions\" in Options to keep them.");
        return;
    }
    const std::vector<TVersion> chosen = ChooseEarlierVersion(Handle(), profile->Name(), versions);
    // The profile may have gone while the dialog was open.
    if (!chosen.empty() && SelectedProfile() == profile)
        profile->RestoreEarlierVersion(chosen);
}

void TMainForm::EmergancyRecovery1Click() {
    FBrowser->SetTitle("Select a Location to restore your folders/files.");
    if (FBrowser->Browse() && !FBrowser->Filename().empty())
        FRSync->EmergancyRecovery(FBrowser->Filename());
}

void TMainForm::MinimiseToTray1Click() {
    SendToTray();
}

void TMainForm::Restore1Click() {
    Show();
}

void TMainForm::Exit1Click() {
    PostQuitMessage(0);
}

void TMainForm::About1Click() {
    if (FForms.About)
        FForms.About->ShowModal();
}

void TMainForm::EULA1Click() {
    if (FForms.EULA)
        FForms.EULA->ShowModal();
}

void TMainForm::OnlineSupport1Click() {
    ShellExecuteA(Handle(), "open", FSupportURL.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void TMainForm::TerminalKeyDown(WORD& key, TShiftState) {
    if (key == VK_CANCEL)
        FRSync->TerminateProcess();
}

void TMainForm::TrayMouseUp(TMouseButton button, int x, int y) {
    if (button != TMouseButton::mbRight)
        return;
    // The menu closes properly only when its owner is the foreground window.
    SetForegroundWindow(Handle());
    TrackPopupMenu(PopupMenu2.get(), TPM_RIGHTBUTTON, x, y, 0, Handle(), nullptr);
    PostMessageA(Handle(), WM_NULL, 0, 0);
}

void TMainForm::ProfileScheduleEvent(TRSyncProfile&) {
    // Raised on the schedule thread: the list is rebuilt on the window thread.
    PostTask([this] { UpdateProfileList(); });
}

} // namespace kal
