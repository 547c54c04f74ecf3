// The main window's life: creation and loading of Data.dat, showing, saving and
// destruction, branding, and the profile list with the selected profile's view.
#include "UMainFormParts.h"

#include "UDataFile.h"
#include "UProfileEventDialog.h"
#include "UTerminalForm.h"

#include <shlobj.h>

#include <algorithm>
#include <stdexcept>

namespace kal {

using mainform::CommonBoxes;
using mainform::ListIndex;
using mainform::TCommonBox;

namespace {

constexpr char RepeatLetters[] = " OHDWFMQY"; // by TRSyncProfileEvent

void SetListLines(HWND list, const std::vector<std::string>& lines) {
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : lines)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

} // namespace

// ---- creation, showing, destruction -------------------------------------------

TMainForm::TMainForm(const std::string& dataFolder, TTrayEnvironment environment)
    : TTrayForm(mainform::MainWindowParams(), Application().Title, std::move(environment)),
      PowerOff(mainform::DefaultPowerOff), FDataFolder(dataFolder),
      FInstance(Handle(), InstanceName(dataFolder)) {
    MainMenu1 = GetMenu(Handle());
    Constraints.MinWidth = 664;
    Constraints.MinHeight = 314;
    Constraints.MaxWidth = 6643;
    CreateMenus();
    CreateControls();
    FormCreate();
}

TMainForm::~TMainForm() {
    // An error box below runs a message loop: tasks queued for this window must not
    // run on a window that is half gone.
    FAlive->store(false);
    try {
        FormDestroy();
    } catch (...) {
        Application().HandleException();
    }
    // Stop the schedule and wait for a running transfer while the window still
    // exists: the transfer's worker may still be sending to the terminal. A group
    // run still going ends with the transfer it waits for.
    FRSync->Close();
    FGroupRuns.reset();
    FRSync.reset();
}

std::string TMainForm::DataFileName() const {
    return FDataFolder + "\\Data.dat";
}

std::string TMainForm::SettingsFileName() const {
    return FDataFolder + "\\Settings.ini";
}

void TMainForm::FormCreate() {
    edt_PasswordFile = std::make_unique<TCustomFileOpenEdit>(TCustomDialogEdit::TParams{
        .Parent = pnl_Top->Handle(), .Left = 79, .Top = 32, .Width = 130, .Id = idPasswordFile});
    edt_PasswordFile->SetIntialDir(GetMyDocumentsDir());
    edt_PasswordFile->SetFilter("All Files|*.*|Text File (*.txt)|*txt");
    edt_PasswordFile->OnChange = [this](TCustomDialogEdit*) {
        edt_PasswordFileChange();
    };
    // Third in the keyboard order of the strip, after the user and server fields.
    SetWindowPos(edt_PasswordFile->Handle(), edt_Server, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    FBrowser = std::make_unique<TBrowser>();
    // Modal to this window, so the profile it adds to cannot be removed meanwhile.
    FBrowser->SetOwner(Handle());
    FRSync = std::make_unique<TRSync>();
    // A backup due at start would otherwise run before the terminal exists and
    // show nothing; AttachForms lets the runs go once the message loop runs.
    FRSync->HoldRuns(true);
    // Before any run can start: many users set no mail, and a failure at night
    // must not pass unseen.
    FRSync->OnRunFailed = [this](const std::string& label, const std::string& error) {
        PostTask([this, label, error] { RunFailed(label, error); });
    };

    LoadData();
    FRSync->SetSkipListFile(FDataFolder + "\\Exclude.txt");
    FRSync->SetKeepVersionDays(KeepVersionDays);

    // Missing groups are created in this order, so a first Data.dat lists them so.
    if (!FStartupRestore)
        FStartupRestore = TRSyncProfileGroup::Create(*FRSync, "StartupRestore", true);
    if (!FShutdownRestore)
        FShutdownRestore = TRSyncProfileGroup::Create(*FRSync, "ShutdownRestore", true);
    if (!FStartupBackup)
        FStartupBackup = TRSyncProfileGroup::Create(*FRSync, "StartupBackup", false);
    if (!FShutdownBackup)
        FShutdownBackup = TRSyncProfileGroup::Create(*FRSync, "ShutdownBackup", false);

    FGroupRuns = std::make_unique<TGroupRuns>(*FRSync);
    FGroupRuns->OnError = [this](const std::string& message) {
        PostTask([message] { Application().ShowException(message); });
    };

    FillDestination();
    CheckMenuItem(MainMenu1, idShowOutput, (FRSync->Flags() & 1) ? MF_CHECKED : MF_UNCHECKED);

    UpdateProfileList();
    SendMessageA(lst_Profiles, LB_SETCURSEL, FShownProfiles.empty() ? -1 : 0, 0);
    UpdateProfileView();

    // An error on the schedule thread reaches the user like any other uncaught
    // error, but from the window thread; the schedule goes on meanwhile.
    FRSync->Schedule().OnError = [this](TSchedule&, TEvent*, const std::string& message) {
        PostTask([message] { Application().ShowException(message); });
    };

    OnQueryEndSession = [this](TWindow*, int source, UINT flags, int& result) {
        FormQueryEndSession(source, flags, result);
    };
    OnEndSession = [this](TWindow*, bool& endSession, UINT flags) {
        FormEndSession(endSession, flags);
    };
    OnNoticeClick = [this] {
        if (FForms.Terminal)
            FForms.Terminal->Show();
    };
    OnTrayMouseUp = [this](TWindow*, TMouseButton button, TShiftState, int x, int y) {
        TrayMouseUp(button, x, y);
    };

    if (FileExists(SettingsFileName())) {
        try {
            ApplyBranding();
        } catch (const std::exception& e) {
            Application().ShowException(e.what());
        }
    }
}

void TMainForm::LoadData() {
    const std::string fileName = DataFileName();
    if (!FileExists(fileName))
        return;
    try {
        LoadDataFile(*FRSync, fileName);
    } catch (const std::exception& e) {
        // Keep what the user had and start afresh: a later save must not
        // overwrite the only copy of their configuration.
        FRSync = std::make_unique<TRSync>();
        // A backup due at start would otherwise run before the terminal exists and
        // show nothing; AttachForms lets the runs go once the message loop runs.
        FRSync->HoldRuns(true);
        // Before any run can start: many users set no mail, and a failure at night
        // must not pass unseen.
        FRSync->OnRunFailed = [this](const std::string& label, const std::string& error) {
            PostTask([this, label, error] { RunFailed(label, error); });
        };
        const TDamagedDataFile damaged = KeepDamagedDataFile(fileName, e.what());
        FDamagedDataFile = damaged.KeptAs;
        FSavingBlocked = damaged.SavingBlocked;
        Application().ShowException(damaged.Message);
        return;
    }
    const std::vector<TRSyncProfile*> profiles = FRSync->ProfileList();
    for (auto it = profiles.rbegin(); it != profiles.rend(); ++it)
        HookProfile(**it);
    FStartupRestore = FRSync->FindGroupByName("StartupRestore");
    FShutdownRestore = FRSync->FindGroupByName("ShutdownRestore");
    FStartupBackup = FRSync->FindGroupByName("StartupBackup");
    FShutdownBackup = FRSync->FindGroupByName("ShutdownBackup");
    FStartupPending = SystemStartup();
}

void TMainForm::AttachForms(const TProgramForms& forms) {
    FForms = forms;
    // Shown before the other windows existed: what showing does with them is due now.
    if (Visible())
        FormShow();
    PostTask([this] {
        // Also when the window starts hidden in the tray and is never shown.
        FormShow();
        FRSync->HoldRuns(false);
    });
    if (std::exchange(FStartupPending, false))
        PostMessageA(Handle(), WM_RUNSTARTUP, 0, 0);
}

void TMainForm::FillDestination() {
    if (auto* remote = dynamic_cast<TRemoteHost*>(FRSync->Server())) {
        // Each change handler writes its value back unchanged.
        const std::string user = remote->User(), host = remote->Host();
        const std::string module = FRSync->Module(), passwordFile = FRSync->PasswordFile();
        SetText(edt_User, user);
        SetText(edt_Server, host);
        SetText(edt_Account, module);
        edt_PasswordFile->SetText(passwordFile);
        return;
    }
    FSilver.reset(CreateSolidBrush(RGB(192, 192, 192)));
    // The disabled user field of a local destination is silver.
    pnl_Top->OnControlColor = [this](HDC dc, HWND control) -> HBRUSH {
        if (control != edt_User)
            return nullptr;
        SetBkColor(dc, RGB(192, 192, 192));
        return FSilver.get();
    };
    EnableWindow(edt_User, FALSE);
    edt_PasswordFile->SetColor(RGB(192, 192, 192));
    EnableWindow(edt_PasswordFile->Handle(), FALSE);
    EnableWindow(edt_Account, FALSE);
    SetText(edt_Account, "Demo");
    if (auto* local = dynamic_cast<TLocalHost*>(FRSync->Server()))
        SetText(edt_Server, local->Path());
}

void TMainForm::ApplyBranding() {
    const TBranding branding = ReadBranding(SettingsFileName());
    if (!branding.SubTitle.empty())
        SetCaption(Application().Title + " - " + branding.SubTitle);
    FSupportURL = branding.SupportURL;
    if (!FSupportURL.empty()) {
        ModifyMenuA(MainMenu1, idOnlineSupport, MF_BYCOMMAND | MF_STRING, idOnlineSupport,
                    branding.SupportTitle.c_str());
        EnableMenuItem(MainMenu1, idOnlineSupport, MF_BYCOMMAND | MF_ENABLED);
        DrawMenuBar(Handle());
    }
    // A file that cannot be loaded ends the branding here; what came before stays.
    if (!branding.IconFile.empty()) {
        // The window's own icon only; the tray keeps the application's.
        FIcon = LoadBrandingIcon(branding.IconFile);
        SendMessageA(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FIcon.get()));
        SendMessageA(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FIcon.get()));
    }
    if (!branding.ImageFile.empty()) {
        FPicture = std::make_unique<TBrandingPicture>(branding.ImageFile);
        FStretch = branding.Stretch;
        InvalidateRect(img_Display, nullptr, TRUE);
    }
    SetText(lbl_Display, branding.DisplayText);
    // Against the strip's right edge, where the branding text ends; further
    // right it would be cut off.
    RECT strip;
    GetClientRect(pnl_Top->Handle(), &strip);
    MoveWindow(lbl_Display, strip.right - Scale(192), 0, Scale(192), Scale(55), TRUE);
    pnl_Top->Layout.Anchor(lbl_Display, akTop | akRight);
}

void TMainForm::DoShow() {
    TTrayForm::DoShow();
    FormShow();
}

void TMainForm::FormShow() {
    if (!FForms.Terminal)
        return;
    FRSync->SetOutputHandle(&FForms.Terminal->ProcessOutput());
    FForms.Terminal->OnKeyDown = [this](TWindow*, WORD& key, TShiftState shift) {
        TerminalKeyDown(key, shift);
    };
}

void TMainForm::FormDestroy() {
    SaveData();
}

void TMainForm::SaveData() {
    if (FSavingBlocked)
        return;
    SaveDataFile(*FRSync, DataFileName());
}

void TMainForm::PostTask(std::function<void()> task) {
    Post([alive = FAlive, task = std::move(task)] {
        if (alive->load())
            task();
    });
}

std::string TMainForm::GetMyDocumentsDir() {
    std::string path;
    return ShellFolders().GetSpecialFolderPath(CSIDL_PERSONAL, path) ? path : ".";
}

void TMainForm::HookProfile(TRSyncProfile& profile) {
    profile.OnScheduledEvent = [this](TRSyncProfile& sender) {
        ProfileScheduleEvent(sender);
    };
}

// ---- lists ---------------------------------------------------------------------

TRSyncProfile* TMainForm::SelectedProfile() const {
    const int index = ListIndex(lst_Profiles);
    if (index < 0 || static_cast<std::size_t>(index) >= FShownProfiles.size())
        return nullptr;
    TRSyncProfile* profile = FShownProfiles[static_cast<std::size_t>(index)];
    return FRSync->IndexOfProfile(profile) >= 0 ? profile : nullptr;
}

void TMainForm::SelectProfile(const TRSyncProfile* profile) {
    const auto it = std::find(FShownProfiles.begin(), FShownProfiles.end(), profile);
    SendMessageA(lst_Profiles, LB_SETCURSEL,
                 it == FShownProfiles.end() || !profile ? -1 : it - FShownProfiles.begin(), 0);
}

void TMainForm::UpdateProfileList() {
    const TRSyncProfile* selected = SelectedProfile();
    FShownProfiles = FRSync->ProfileList();
    std::vector<std::string> lines;
    for (TRSyncProfile* profile : FShownProfiles) {
        const TRSyncProfileEvent kind = profile->ProfileEvent();
        if (kind == reInactive || kind > reYearly) {
            lines.push_back(profile->Name() + ": Manual");
        } else {
            lines.push_back(profile->Name() + ": " + FormatDDMMYYhhmm(profile->DateTime()) + " " +
                            RepeatLetters[kind]);
        }
    }
    SetListLines(lst_Profiles, lines);
    // The selection follows its profile wherever the re-ordering put it, so the
    // panel and every handler still act on the profile the user chose.
    SelectProfile(selected);
}

void TMainForm::UpdateProfileView() {
    SendMessageA(lst_FilePath, LB_RESETCONTENT, 0, 0);
    TRSyncProfile* profile = SelectedProfile();
    const BOOL enable = profile != nullptr;
    EnableWindow(lst_FilePath, enable);
    for (const TCommonBox& box : CommonBoxes)
        EnableWindow(this->*box.Box, enable);
    for (HWND button : {btn_File, btn_Folder, btn_Remove, btn_Backup, btn_Restore})
        EnableWindow(button, enable);
    if (!profile)
        return;
    SetListLines(lst_FilePath, profile->PathList());
    const TCommonSourceSet sources = profile->CommonSources();
    for (const TCommonBox& box : CommonBoxes)
        SendMessageA(this->*box.Box, BM_SETCHECK,
                     sources.Contains(box.Source) ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TMainForm::SetCommonSource(TCommonSource source, bool ticked) {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile)
        return;
    TCommonSourceSet sources = profile->CommonSources();
    if (ticked && !sources.Contains(source)) {
        if (const std::string conflict = NameConflict(*profile, source); !conflict.empty()) {
            UpdateProfileView(); // the box goes back to the profile's state
            mainform::WarnRefused(Handle(), conflict);
            return;
        }
    }
    if (ticked)
        sources.Include(source);
    else
        sources.Exclude(source);
    profile->SetCommonSources(sources);
    SaveData();
}

void TMainForm::EditProfileSchedule(TRSyncProfile& profile) {
    if (!FForms.ProfileEvent)
        return;
    if (kal::EditProfileSchedule(
            *FForms.ProfileEvent, profile,
            {*FStartupBackup, *FStartupRestore, *FShutdownBackup, *FShutdownRestore}))
        UpdateProfileList();
}

} // namespace kal
