// The main window's controls and menus: the account strip, the common folders,
// the profiles beside a splitter, the files and folders between them.
#include "UMainFormParts.h"

#include "UFormUtils.h"

#include <initializer_list>

namespace kal {

using mainform::CommonBoxes;

namespace {

// Wide enough for "Shared Pictures" in Tahoma beside its indented check box.
constexpr int kFoldersWidth = 140;

// One line of a menu: a command, a sub-menu (MF_POPUP, the menu as its id) or,
// without text, a separator.
struct TMenuLine {
    UINT_PTR Id;
    const char* Text;
    UINT Flags = MF_STRING;
};
constexpr TMenuLine Separator{0, nullptr};

HMENU WithLines(HMENU menu, std::initializer_list<TMenuLine> lines) {
    for (const TMenuLine& line : lines)
        AppendMenuA(menu, line.Text ? line.Flags : MF_SEPARATOR, line.Id, line.Text);
    return menu;
}

HMENU CreateMainMenu() {
    using M = TMainForm;
    HMENU file =
        WithLines(CreatePopupMenu(), {{M::idAddCustomFiles, "Add Custom Files"},
                                      {M::idAddCustomFolder, "Add Custom Folder"},
                                      Separator,
                                      {M::idRestoreEarlierVersion, "Restore Earlier &Version..."},
                                      Separator,
                                      {M::idExit, "Exit"}});
    HMENU tools = WithLines(CreatePopupMenu(), {{M::idOptions, "Options"},
                                                {M::idMinimiseToTray, "Minimise To &Tray"},
                                                Separator,
                                                {M::idShowOutput, "Show Output"},
                                                Separator,
                                                {M::idEmergancyRecovery, "Emergancy Recovery"}});
    HMENU help = WithLines(CreatePopupMenu(),
                           {{M::idAbout, "About"},
                            {M::idEULA, "EULA"},
                            Separator,
                            {M::idOnlineSupport, "&Online Support", MF_STRING | MF_GRAYED}});
    return WithLines(CreateMenu(), {{reinterpret_cast<UINT_PTR>(file), "File", MF_POPUP},
                                    {reinterpret_cast<UINT_PTR>(tools), "Tools", MF_POPUP},
                                    {reinterpret_cast<UINT_PTR>(help), "Help", MF_POPUP}});
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

} // namespace

TWindowParams mainform::MainWindowParams() {
    TWindowParams params;
    params.ClassName = "KalvarenMainForm";
    params.Caption = "Kalvaren";
    params.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    params.ClientWidth = 692;
    params.ClientHeight = 394;
    params.Menu = CreateMainMenu();
    params.FontFace = "Tahoma";
    params.FontHeight = -11;
    return params;
}

void TMainForm::CreateMenus() {
    PopupMenu1.reset(WithLines(CreatePopupMenu(), {{idEditSchedule, "Edit Schedule"}}));
    PopupMenu2.reset(WithLines(
        CreatePopupMenu(), {{idRestoreWindow, "Restore Window"}, Separator, {idExit2, "Exit"}}));
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
                                 .Left = width - 192,
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
    const int bottomWidth = width - kFoldersWidth - 166;
    pnl_Bottom = std::make_unique<TPanel>(
        TPanel::TParams{.Parent = centre, .Width = bottomWidth, .Height = 41, .Target = Handle()});
    pnl_Centre->Layout.Align(pnl_Bottom->Handle(), TAlign::alBottom);
    lst_FilePath = ListBox(centre, idFilePath);
    EnableWindow(lst_FilePath, FALSE);
    pnl_Centre->Layout.Align(lst_FilePath, TAlign::alClient);
    HWND bottom = pnl_Bottom->Handle();
    btn_File = Button(bottom, "&Add File", idAddFile, 6, 8, 66);
    btn_Folder = Button(bottom, "Add &Folder", idAddFolder, 79, 8, 66);
    btn_Remove = Button(bottom, "Remove Selecte&d", idRemovePath, 151, 8, 100);
    // Against the right edge as in a 397 pixel wide panel: the common folders
    // are wider than that layout assumed.
    btn_Restore = Button(bottom, "&Restore", idRestore, bottomWidth - 112, 8, 50);
    btn_Backup = Button(bottom, "&Backup", idBackup, bottomWidth - 56, 8, 50);
    pnl_Bottom->Layout.Anchor(btn_Restore, akTop | akRight);
    pnl_Bottom->Layout.Anchor(btn_Backup, akTop | akRight);

    Relayout();
    // Panels created at their final size get no WM_SIZE of their own.
    for (TPanel* panel : {pnl_Top.get(), CommFolders.get(), pnl_Right.get(), pnl_BottomRight.get(),
                          pnl_Centre.get(), pnl_Bottom.get()})
        panel->Realign();
}

} // namespace kal
