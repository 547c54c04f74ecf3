// The main window: the destination account in a top strip, the well-known
// folders of the selected profile on the left, its files and folders in the
// centre, the profiles with their schedules on the right. It owns the one
// configuration root for the whole run, loads Data.dat at creation and saves
// it at destruction and after the edits that save.
#pragma once

#include "UBranding.h"
#include "UBrowser.h"
#include "UDialogEdit.h"
#include "UGroupRuns.h"
#include "UPanel.h"
#include "URSync.h"
#include "USingleInstance.h"
#include "UTrayForm.h"

#include <atomic>
#include <memory>
#include <string>

namespace kal {

class TTerminalForm;
class TAboutForm;
class TEULAForm;
class TOptionsForm;
class TProfileEventDialog;
class TFormatHelpDialog;

// Posted by the main window to itself, both parameters 0, nothing to free.
constexpr UINT WM_RUNSHUTDOWN = 0x0412; // run the shutdown groups, then power off
constexpr UINT WM_RUNSTARTUP = 0x4011;  // run the start-up groups

// The other windows of the program, created after the main window and kept
// for the whole run; the main window reaches them through here.
struct TProgramForms {
    TAboutForm* About = nullptr;
    TOptionsForm* Options = nullptr;
    TTerminalForm* Terminal = nullptr;
    TProfileEventDialog* ProfileEvent = nullptr;
    TFormatHelpDialog* FormatHelp = nullptr;
    TEULAForm* EULA = nullptr;
};

// What the session end does once the shutdown groups have run; tests replace it.
using TPowerOff = std::function<void()>;

class TMainForm : public TTrayForm {
public:
    // Control and menu identifiers; also how tools that drive the window find them.
    enum : int {
        idUser = 1001,
        idServer,
        idAccount,
        idPasswordFile,
        idDisplayImage,
        idDisplayLabel,
        idMyDocuments = 1010,
        idMyPictures,
        idMyVideos,
        idMyMusic,
        idSharedDocuments,
        idSharedPictures,
        idSharedVideos,
        idSharedMusic,
        idDesktop,
        idFilePath = 1020,
        idAddFile,
        idAddFolder,
        idRemovePath,
        idRestore,
        idBackup,
        idProfiles = 1030,
        idNewProfile,
        idRemoveProfile,
        // menu items
        idAddCustomFiles = 2001,
        idAddCustomFolder,
        idExit,
        idOptions,
        idMinimiseToTray,
        idShowOutput,
        idEmergancyRecovery,
        idAbout,
        idEULA,
        idOnlineSupport,
        idEditSchedule,
        idRestoreWindow,
        idExit2,
        idRestoreEarlierVersion,
    };

    // `dataFolder`: where Data.dat and Settings.ini lie (the executable's folder).
    explicit TMainForm(const std::string& dataFolder = ExecutableFolder(),
                       TTrayEnvironment environment = {});
    ~TMainForm() override;

    // Called once every window of the program exists; a start-up run waiting for
    // them is posted now, so it runs from the message loop with its terminal there.
    void AttachForms(const TProgramForms& forms);

    TRSync& RSync() const { return *FRSync; }
    const std::string& SupportURL() const noexcept { return FSupportURL; }
    std::string DataFileName() const;
    std::string SettingsFileName() const;
    // The Data.dat that could not be read at start, moved or copied aside; empty
    // when none.
    const std::string& DamagedDataFile() const noexcept { return FDamagedDataFile; }
    // True when an unreadable Data.dat could be neither moved nor copied aside:
    // this run never saves over it.
    bool SavingBlocked() const noexcept { return FSavingBlocked; }

    void SaveData();
    static std::string GetMyDocumentsDir();

    void UpdateProfileList();
    void UpdateProfileView();
    void SetCommonSource(TCommonSource source, bool ticked);
    void EditProfileSchedule(TRSyncProfile& profile);
    // The profile shown in the selected line, null when none.
    TRSyncProfile* SelectedProfile() const;
    void SelectProfile(const TRSyncProfile* profile);

    // The session end after the shutdown groups; the default asks Windows to power
    // off, forcing only programs that do not answer. Tests replace it.
    TPowerOff PowerOff;

    // Controls, named as the window's layout names them.
    std::unique_ptr<TPanel> pnl_Top, CommFolders, pnl_Centre, pnl_Bottom, pnl_Right,
        pnl_BottomRight;
    std::unique_ptr<TSplitter> Splitter1;
    HWND edt_User = nullptr, edt_Server = nullptr, edt_Account = nullptr;
    HWND img_Display = nullptr, lbl_Display = nullptr;
    HWND chk_MyDocuments = nullptr, chk_MyPictures = nullptr, chk_MyVideos = nullptr,
         chk_MyMusic = nullptr, chk_SharedDocuments = nullptr, chk_SharedPictures = nullptr,
         chk_SharedVideos = nullptr, chk_SharedMusic = nullptr, chk_Desktop = nullptr;
    HWND lst_FilePath = nullptr, lst_Profiles = nullptr;
    HWND btn_File = nullptr, btn_Folder = nullptr, btn_Remove = nullptr, btn_Restore = nullptr,
         btn_Backup = nullptr, btn_NewProfile = nullptr, btn_RemoveProfile = nullptr;
    std::unique_ptr<TCustomFileOpenEdit> edt_PasswordFile;
    std::unique_ptr<TBrowser> FBrowser;
    unique_hmenu PopupMenu1, PopupMenu2;
    HMENU MainMenu1 = nullptr; // owned by the window

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void DoShow() override;

private:
    void CreateControls();
    void CreateMenus();
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void LoadData();
    void ApplyBranding();
    void FillDestination();
    bool OnCommand(int id, int code, HWND control);

    // handlers
    void lst_ProfilesClick();
    void lst_ProfilesDblClick();
    void EditSchedule1Click();
    void btn_NewProfileClick();
    void btn_RemoveProfileClick();
    void btn_FileClick();
    void btn_FolderClick();
    void btn_RemoveClick();
    void btn_BackupClick();
    void btn_RestoreClick();
    void edt_UserChange();
    void edt_ServerChange();
    void edt_AccountChange();
    void edt_PasswordFileChange();
    void Splitter1Moved();
    void Options1Click();
    void ShowOutput1Click();
    void EmergancyRecovery1Click();
    void RestoreEarlierVersion1Click();
    void MinimiseToTray1Click();
    void Restore1Click();
    void Exit1Click();
    void About1Click();
    void EULA1Click();
    void OnlineSupport1Click();
    void TerminalKeyDown(WORD& key, TShiftState shift);
    void TrayMouseUp(TMouseButton button, int x, int y);
    void ProfileScheduleEvent(TRSyncProfile& sender);
    void FormQueryEndSession(int source, UINT flags, int& result);
    void FormEndSession(bool endSession, UINT flags = 0);
    // A failed run's notice over the tray icon; a click opens the terminal.
    void RunFailed(const std::string& label, const std::string& error);
    // Runs the task on the window thread unless the window is being destroyed.
    void PostTask(std::function<void()> task);
    void WMRunStartup();
    void WMRunShutdown();
    // After the shutdown groups: save, then the power-off.
    void FinishShutdown();
    void HookProfile(TRSyncProfile& profile);

    std::string FDataFolder;
    std::unique_ptr<TRSync> FRSync;
    // Start-up and shutdown runs, on a thread of their own; goes before FRSync.
    std::unique_ptr<TGroupRuns> FGroupRuns;
    TRSyncProfileGroup* FShutdownBackup = nullptr;
    TRSyncProfileGroup* FShutdownRestore = nullptr;
    TRSyncProfileGroup* FStartupBackup = nullptr;
    TRSyncProfileGroup* FStartupRestore = nullptr;
    std::string FSupportURL;
    std::string FDamagedDataFile;
    bool FSavingBlocked = false;
    bool FStartupPending = false;
    // A shutdown run was asked for this session end: later queries only answer.
    bool FShutdownRequested = false;
    // The profile of each line of lst_Profiles: the schedule thread re-orders the
    // configuration's list at any time, the lines only on the window thread.
    std::vector<TRSyncProfile*> FShownProfiles;
    // Cleared when destruction begins; posted tasks hold it, not the window.
    std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
    TProgramForms FForms;
    std::unique_ptr<TBrandingPicture> FPicture;
    unique_hbrush FSilver;
    unique_hicon FIcon;
    bool FStretch = false;
    // Last, so that its mark on the window goes only after the configuration has
    // been saved and closed: until then a second start still finds this window.
    TInstanceWindow FInstance;
};

} // namespace kal
