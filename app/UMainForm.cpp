#include "UMainForm.h"

#include "UAboutForm.h"
#include "UDataFile.h"
#include "UEULA.h"
#include "UFormUtils.h"
#include "UInputQuery.h"
#include "UOptionsForm.h"
#include "UProfileEventDialog.h"
#include "UTerminalForm.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kal {

namespace {

struct TCommonBox {
    HWND TMainForm::*Box;
    TCommonSource Source;
    int Id;
};
// The nine boxes of the "Common Folders" group and the sources they stand for.
constexpr std::array<TCommonBox, 9> CommonBoxes{{
    {&TMainForm::chk_MyDocuments, csMyDocuments, TMainForm::idMyDocuments},
    {&TMainForm::chk_MyPictures, csMyPictures, TMainForm::idMyPictures},
    {&TMainForm::chk_MyVideos, csMyVideos, TMainForm::idMyVideos},
    {&TMainForm::chk_MyMusic, csMyMusic, TMainForm::idMyMusic},
    {&TMainForm::chk_SharedDocuments, csSharedDocuments, TMainForm::idSharedDocuments},
    {&TMainForm::chk_SharedPictures, csSharedPictures, TMainForm::idSharedPictures},
    {&TMainForm::chk_SharedVideos, csSharedVideos, TMainForm::idSharedVideos},
    {&TMainForm::chk_SharedMusic, csSharedMusic, TMainForm::idSharedMusic},
    {&TMainForm::chk_Desktop, csDesktop, TMainForm::idDesktop},
}};

// Wide enough for "Shared Pictures" in Tahoma beside its indented check box.
constexpr int kFoldersWidth = 140;

constexpr char RepeatLetters[] = " OHDWFMQY"; // by TRSyncProfileEvent

HMENU CreateMainMenu() {
    HMENU file = CreatePopupMenu();
    AppendMenuA(file, MF_STRING, TMainForm::idAddCustomFiles, "Add Custom Files");
    AppendMenuA(file, MF_STRING, TMainForm::idAddCustomFolder, "Add Custom Folder");
    AppendMenuA(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(file, MF_STRING, TMainForm::idExit, "Exit");
    HMENU tools = CreatePopupMenu();
    AppendMenuA(tools, MF_STRING, TMainForm::idOptions, "Options");
    AppendMenuA(tools, MF_STRING, TMainForm::idMinimiseToTray, "Minimise To &Tray");
    AppendMenuA(tools, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(tools, MF_STRING, TMainForm::idShowOutput, "Show Output");
    AppendMenuA(tools, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(tools, MF_STRING, TMainForm::idEmergancyRecovery, "Emergancy Recovery");
    HMENU help = CreatePopupMenu();
    AppendMenuA(help, MF_STRING, TMainForm::idAbout, "About");
    AppendMenuA(help, MF_STRING, TMainForm::idEULA, "EULA");
    AppendMenuA(help, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(help, MF_STRING | MF_GRAYED, TMainForm::idOnlineSupport, "&Online Support");
    HMENU bar = CreateMenu();
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "File");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(tools), "Tools");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), "Help");
    return bar;
}

TWindowParams MainParams(HMENU menu) {
    TWindowParams params;
    params.ClassName = "KalvarenMainForm";
    params.Caption = "Kalvaren";
    params.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    params.ClientWidth = 692;
    params.ClientHeight = 394;
    params.Menu = menu;
    params.FontFace = "Tahoma";
    params.FontHeight = -11;
    return params;
}

HWND Button(HWND parent, const char* text, int id, int left, int top, int width) {
    return CreateControl({.ClassName = "BUTTON",
                          .Text = text,
                          .Style = WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON,
                          .Left = left,
                          .Top = top,
                          .Width = width,
                          .Height = 25,
                          .Id = id,
                          .Parent = parent});
}

HWND ListBox(HWND parent, int id) {
    return CreateControl({.ClassName = "LISTBOX",
                          .Style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY |
                                   LBS_NOINTEGRALHEIGHT | LBS_HASSTRINGS,
                          .ExStyle = WS_EX_CLIENTEDGE,
                          .Width = 100,
                          .Height = 100,
                          .Id = id,
                          .Parent = parent});
}

void SetListLines(HWND list, const std::vector<std::string>& lines) {
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : lines)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

int ListIndex(HWND list) {
    return static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
}

bool Checked(HWND box) {
    return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void DefaultPowerOff() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            TOKEN_PRIVILEGES privileges{};
            if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege",
                                      &privileges.Privileges[0].Luid)) {
                privileges.PrivilegeCount = 1;
                privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
                TOKEN_PRIVILEGES previous{};
                DWORD length = 0;
                AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, &previous,
                                      &length);
            }
            CloseHandle(token);
        }
    }
    // Programs that still answer may save their work; only hung ones are forced.
    ExitWindowsEx(EWX_POWEROFF | EWX_FORCEIFHUNG, 0);
}

} // namespace

TMainForm::TMainForm(const std::string& dataFolder, TTrayEnvironment environment)
    : TTrayForm(MainParams(CreateMainMenu()), Application().Title, std::move(environment)),
      PowerOff(DefaultPowerOff), FDataFolder(dataFolder) {
    MainMenu1 = GetMenu(Handle());
    const std::string instance = InstanceName(FDataFolder);
    FShowRequest = RegisterWindowMessageA(instance.c_str());
    SetPropA(Handle(), instance.c_str(), reinterpret_cast<HANDLE>(1));
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
    RemovePropA(Handle(), InstanceName(FDataFolder).c_str());
}

std::string TMainForm::InstanceName(const std::string& dataFolder) {
    // FNV-1a of the folder as Windows compares paths, without regard to case.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : dataFolder) {
        hash ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("Kalvaren.") + text;
}

HWND TMainForm::FindInstanceWindow(const std::string& name) {
    struct TSearch {
        const std::string& Name;
        HWND Found = nullptr;
    } search{name};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* search = reinterpret_cast<TSearch*>(param);
            if (!GetPropA(window, search->Name.c_str()))
                return TRUE;
            search->Found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::string TMainForm::DataFileName() const {
    return FDataFolder + "\\Data.dat";
}

std::string TMainForm::SettingsFileName() const {
    return FDataFolder + "\\Settings.ini";
}

void TMainForm::CreateMenus() {
    PopupMenu1.reset(CreatePopupMenu());
    AppendMenuA(PopupMenu1.get(), MF_STRING, idEditSchedule, "Edit Schedule");
    PopupMenu2.reset(CreatePopupMenu());
    AppendMenuA(PopupMenu2.get(), MF_STRING, idRestoreWindow, "Restore Window");
    AppendMenuA(PopupMenu2.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuA(PopupMenu2.get(), MF_STRING, idExit2, "Exit");
}

void TMainForm::CreateControls() {
    RECT client;
    GetClientRect(Handle(), &client);
    const int width = client.right, height = client.bottom;

    // Top strip: the destination account.
    pnl_Top = std::make_unique<TPanel>(
        TPanel::TParams{.Parent = Handle(), .Width = width, .Height = 55, .Target = Handle()});
    Layout.Align(pnl_Top->Handle(), TAlign::alTop);
    HWND top = pnl_Top->Handle();
    CreateLabel(top, "Username", 25, 11);
    edt_User = CreateEdit(top, 79, 8, 130, 0, idUser);
    CreateLabel(top, "Server Address", 215, 11);
    edt_Server = CreateEdit(top, 295, 8, 100, ES_READONLY, idServer);
    CreateLabel(top, "Master Account", 214, 35);
    edt_Account = CreateEdit(top, 295, 30, 100, 0, idAccount);
    CreateLabel(top, "Password File", 8, 35);
    img_Display = CreateControl({.ClassName = "STATIC",
                                 .Style = WS_VISIBLE | SS_OWNERDRAW,
                                 .Left = 439,
                                 .Top = 0,
                                 .Width = 55,
                                 .Height = 55,
                                 .Id = idDisplayImage,
                                 .Parent = top});
    lbl_Display = CreateControl({.ClassName = "STATIC",
                                 .Style = WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                 .Left = 533,
                                 .Top = 0,
                                 .Width = 192,
                                 .Height = 55,
                                 .Id = idDisplayLabel,
                                 .Parent = top});
    pnl_Top->Layout.Anchor(img_Display, akTop | akRight);
    pnl_Top->Layout.Anchor(lbl_Display, akTop | akRight);

    // Left: the well-known folders.
    CommFolders = std::make_unique<TPanel>(TPanel::TParams{.Parent = Handle(),
                                                           .Top = 55,
                                                           .Width = kFoldersWidth,
                                                           .Height = height - 55,
                                                           .Target = Handle()});
    Layout.Align(CommFolders->Handle(), TAlign::alLeft);
    HWND group = CreateControl({.ClassName = "BUTTON",
                                .Text = "Common Folders",
                                .Style = WS_VISIBLE | BS_GROUPBOX,
                                .Width = kFoldersWidth,
                                .Height = height - 55,
                                .Parent = CommFolders->Handle()});
    CommFolders->Layout.Align(group, TAlign::alClient);
    SetWindowPos(group, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    struct TBoxPlace {
        const char* Caption;
        int Left, Top;
    };
    static constexpr TBoxPlace places[9] = {
        {"My Documents", 8, 16},    {"My Pictures", 32, 33},     {"My Videos", 32, 50},
        {"My Music", 32, 67},       {"Shared Documents", 8, 84}, {"Shared Pictures", 32, 101},
        {"Shared Videos", 32, 118}, {"Shared Music", 32, 135},   {"Desktop", 8, 154},
    };
    for (std::size_t i = 0; i < CommonBoxes.size(); ++i) {
        this->*CommonBoxes[i].Box =
            CreateControl({.ClassName = "BUTTON",
                           .Text = places[i].Caption,
                           .Style = WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_AUTOCHECKBOX,
                           .Left = places[i].Left,
                           .Top = places[i].Top,
                           .Width = kFoldersWidth - 4 - places[i].Left,
                           .Height = 17,
                           .Id = CommonBoxes[i].Id,
                           .Parent = CommFolders->Handle()});
    }

    // Right: the profiles; created before the splitter so that it is the outer one.
    pnl_Right = std::make_unique<TPanel>(TPanel::TParams{.Parent = Handle(),
                                                         .Left = width - 163,
                                                         .Top = 55,
                                                         .Width = 163,
                                                         .Height = height - 55,
                                                         .Target = Handle()});
    Layout.Align(pnl_Right->Handle(), TAlign::alRight);
    HWND right = pnl_Right->Handle();
    HWND label1 = CreateLabel(right, "Sheduling Profiles", 0, 0, 163);
    pnl_Right->Layout.Align(label1, TAlign::alTop);
    pnl_BottomRight = std::make_unique<TPanel>(
        TPanel::TParams{.Parent = right, .Width = 163, .Height = 41, .Target = Handle()});
    pnl_Right->Layout.Align(pnl_BottomRight->Handle(), TAlign::alBottom);
    lst_Profiles = ListBox(right, idProfiles);
    pnl_Right->Layout.Align(lst_Profiles, TAlign::alClient);
    btn_NewProfile = Button(pnl_BottomRight->Handle(), "New &Profile", idNewProfile, 5, 8, 66);
    btn_RemoveProfile =
        Button(pnl_BottomRight->Handle(), "Remove Profile", idRemoveProfile, 76, 8, 83);
    EnableWindow(btn_NewProfile, TRUE);
    EnableWindow(btn_RemoveProfile, TRUE);

    Splitter1 = std::make_unique<TSplitter>(Handle(), Layout, TAlign::alRight, 3, 163);
    Layout.Align(Splitter1->Handle(), TAlign::alRight);
    // Only the splitter changes the profile panel's width.
    pnl_Right->OnResize = [this] {
        Splitter1Moved();
    };

    // Centre: the selected profile's files and folders.
    pnl_Centre = std::make_unique<TPanel>(TPanel::TParams{.Parent = Handle(),
                                                          .Left = kFoldersWidth,
                                                          .Top = 55,
                                                          .Width = width - kFoldersWidth - 166,
                                                          .Height = height - 55,
                                                          .Target = Handle()});
    Layout.Align(pnl_Centre->Handle(), TAlign::alClient);
    HWND centre = pnl_Centre->Handle();
    HWND label2 = CreateLabel(centre, "Files and Folders", 0, 0, 100);
    pnl_Centre->Layout.Align(label2, TAlign::alTop);
    pnl_Bottom = std::make_unique<TPanel>(TPanel::TParams{
        .Parent = centre, .Width = width - kFoldersWidth - 166, .Height = 41, .Target = Handle()});
    pnl_Centre->Layout.Align(pnl_Bottom->Handle(), TAlign::alBottom);
    lst_FilePath = ListBox(centre, idFilePath);
    EnableWindow(lst_FilePath, FALSE);
    pnl_Centre->Layout.Align(lst_FilePath, TAlign::alClient);
    HWND bottom = pnl_Bottom->Handle();
    btn_File = Button(bottom, "&Add File", idAddFile, 6, 8, 66);
    btn_Folder = Button(bottom, "Add &Folder", idAddFolder, 79, 8, 66);
    btn_Remove = Button(bottom, "Remove Selecte&d", idRemovePath, 151, 8, 100);
    btn_Restore = Button(bottom, "&Restore", idRestore, 285, 8, 50);
    btn_Backup = Button(bottom, "&Backup", idBackup, 341, 8, 50);
    pnl_Bottom->Layout.Anchor(btn_Restore, akTop | akRight);
    pnl_Bottom->Layout.Anchor(btn_Backup, akTop | akRight);

    Relayout();
    // Panels created at their final size get no WM_SIZE of their own.
    for (TPanel* panel : {pnl_Top.get(), CommFolders.get(), pnl_Right.get(), pnl_BottomRight.get(),
                          pnl_Centre.get(), pnl_Bottom.get()})
        panel->Realign();
}

// ---- creation, showing, destruction -------------------------------------------

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

    LoadData();

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

    OnQueryEndSession = [this](TWindow*, int source, int& result) {
        FormQueryEndSession(source, result);
    };
    OnEndSession = [this](TWindow*, bool& endSession) {
        FormEndSession(endSession);
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
    const TIniFile ini(SettingsFileName());
    const std::string subTitle = ini.ReadString("Header", "SubTitle");
    if (!subTitle.empty())
        SetCaption(Application().Title + " - " + subTitle);
    FSupportURL = ini.ReadString("Header", "SupportURL");
    if (!FSupportURL.empty()) {
        std::string title = ini.ReadString("Header", "SupportTitle");
        if (title.empty())
            title = "&Online Support";
        ModifyMenuA(MainMenu1, idOnlineSupport, MF_BYCOMMAND | MF_STRING, idOnlineSupport,
                    title.c_str());
        EnableMenuItem(MainMenu1, idOnlineSupport, MF_BYCOMMAND | MF_ENABLED);
        DrawMenuBar(Handle());
    }
    const std::string icon = ini.ReadString("Image", "Icon");
    if (!icon.empty()) {
        // The window's own icon only; the tray keeps the application's.
        FIcon.reset(static_cast<HICON>(
            LoadImageA(nullptr, icon.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE)));
        if (!FIcon)
            throw std::runtime_error(LastErrorText(("Cannot load icon \"" + icon + "\"").c_str()));
        SendMessageA(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FIcon.get()));
        SendMessageA(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FIcon.get()));
    }
    const std::string image = ini.ReadString("Image", "Image");
    if (!image.empty()) {
        FPicture = std::make_unique<TBrandingPicture>(image);
        FStretch = ParseIniInteger(ini.ReadString("Image", "Stretch")) != 0;
        InvalidateRect(img_Display, nullptr, TRUE);
    }
    std::string text;
    for (const std::string& name : ini.ReadSection("Text"))
        text += name + "\r\n";
    SetText(lbl_Display, text);
    MoveWindow(lbl_Display, 533, 0, 192, 55, TRUE);
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

// ---- messages --------------------------------------------------------------------

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
        if (message == FShowRequest && FShowRequest != 0) {
            // A second start of the program: the user wants this window, also
            // when it is in the tray or minimised.
            Show();
            if (IsIconic(Handle()))
                ShowWindow(Handle(), SW_RESTORE);
            SetForegroundWindow(Handle());
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
    switch (id) {
    case idAddFile:
    case idAddCustomFiles:
        btn_FileClick();
        return true;
    case idAddFolder:
    case idAddCustomFolder:
        btn_FolderClick();
        return true;
    case idRemovePath:
        btn_RemoveClick();
        return true;
    case idBackup:
        btn_BackupClick();
        return true;
    case idRestore:
        btn_RestoreClick();
        return true;
    case idNewProfile:
        btn_NewProfileClick();
        return true;
    case idRemoveProfile:
        btn_RemoveProfileClick();
        return true;
    case idExit:
    case idExit2:
        Exit1Click();
        return true;
    case idOptions:
        Options1Click();
        return true;
    case idMinimiseToTray:
        MinimiseToTray1Click();
        return true;
    case idShowOutput:
        ShowOutput1Click();
        return true;
    case idEmergancyRecovery:
        EmergancyRecovery1Click();
        return true;
    case idAbout:
        About1Click();
        return true;
    case idEULA:
        EULA1Click();
        return true;
    case idOnlineSupport:
        OnlineSupport1Click();
        return true;
    case idEditSchedule:
        EditSchedule1Click();
        return true;
    case idRestoreWindow:
        Restore1Click();
        return true;
    default:
        return false;
    }
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
    if (*next == '\0') {
        profile->AddPath(first);
    } else {
        const std::string folder = first.empty() || first.back() == '\\' ? first : first + "\\";
        while (*next) {
            const std::string name = next;
            profile->AddPath(folder + name);
            next += name.size() + 1;
        }
    }
    UpdateProfileView();
    SaveData();
}

void TMainForm::btn_FolderClick() {
    TRSyncProfile* profile = SelectedProfile();
    if (!profile)
        return;
    FBrowser->SetTitle("Select A Folder To Add");
    // A choice without a file-system path (Computer, Network) adds nothing.
    if (!FBrowser->Browse() || FBrowser->Filename().empty())
        return;
    profile->AddPath(FBrowser->Filename());
    UpdateProfileView();
    SaveData();
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
    Constraints.MinWidth = (r.right - r.left) + 499;
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

// ---- start-up and shutdown runs ---------------------------------------------------

void TMainForm::FormQueryEndSession(int, int& result) {
    if (FShutdownRestore->Count() > 0 || FShutdownBackup->Count() > 0) {
        result = 0;
        PostMessageA(Handle(), WM_RUNSHUTDOWN, 0, 0);
    }
}

void TMainForm::WMRunStartup() {
    FGroupRuns->Run({FStartupRestore, FStartupBackup}, nullptr);
}

void TMainForm::FormEndSession(bool endSession) {
    // Windows may end the process as soon as this returns, with no destruction
    // that would save: removed profiles and advanced due times must be on disk.
    if (!endSession)
        return;
    try {
        SaveData();
    } catch (...) {
        // Nobody is left to read an error box; the save before stays on disk.
    }
}

void TMainForm::WMRunShutdown() {
    FGroupRuns->Run({FShutdownBackup, FShutdownRestore},
                    [this] { PostTask([this] { FinishShutdown(); }); });
}

void TMainForm::FinishShutdown() {
    OnQueryEndSession = nullptr;
    // The power-off ends the process without a destruction.
    WriteSettings();
    FormEndSession(true);
    if (PowerOff)
        PowerOff();
}

} // namespace kal
