// The "Options" dialog: transfer, e-mail, terminal and tray settings. It holds
// no configuration of its own; RunOptionsDialog fills it from the configuration
// and the main window, shows it and copies the values back on OK.
#pragma once

#include "UDialogEdit.h"
#include "UFormatHelp.h"
#include "UPanel.h"
#include "URSync.h"
#include "UTrayForm.h"
#include "UValueEdit.h"
#include "UWindow.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kal {

class TOptionsForm : public TWindow {
public:
    // `owner`: none takes the application's main window of this moment.
    explicit TOptionsForm(HWND owner = nullptr);
    ~TOptionsForm() override;

    std::string LogFile() const;
    void SetLogFile(const std::string& value);
    std::string LogFormat() const;
    void SetLogFormat(const std::string& value);
    std::string OutputFormat() const;
    void SetOutputFormat(const std::string& value);
    std::uint16_t Bandwidth() const;
    void SetBandwidth(std::uint16_t value);
    bool Delete() const;
    void SetDelete(bool value);
    std::uint16_t Port() const;
    void SetPort(std::uint16_t value);
    bool Startup() const;
    void SetStartup(bool value);
    // Starting minimised only means something when starting with the system.
    bool Minimised() const;
    void SetMinimised(bool value);
    bool TrayOnMinimise() const;
    void SetTrayOnMinimise(bool value);
    bool TrayOnClose() const;
    void SetTrayOnClose(bool value);
    // -1 when the terminal is not closed automatically.
    std::int32_t AutoCloseDelay() const;
    void SetAutoCloseDelay(std::int32_t value);
    bool Progress() const;
    void SetProgress(bool value);
    bool Compress() const;
    void SetCompress(bool value);
    bool KeepVersions() const;
    void SetKeepVersions(bool value);
    std::int32_t KeepVersionDays() const;
    void SetKeepVersionDays(std::int32_t value);
    // The skip list's patterns, one a line.
    std::string SkipList() const;
    void SetSkipList(const std::string& value);
    std::string Recipient() const;
    void SetRecipient(const std::string& value);
    std::string From() const;
    void SetFrom(const std::string& value);
    std::string Server() const;
    void SetServer(const std::string& value);
    std::string Password() const;
    void SetPassword(const std::string& value);

    // Index of the selected page: 0 General, 1 Connection, 2 Advanced, 3 Email,
    // 4 Skip.
    int ActivePage() const;
    void SetActivePage(int index);

    // Shown by the "?" buttons beside the format fields; not owned.
    TFormatHelpDialog* FormatHelp = nullptr;

    HWND PageControl1 = nullptr;
    std::unique_ptr<TPanel> tab_General;
    std::unique_ptr<TPanel> tab_Connection;
    std::unique_ptr<TPanel> tab_Advanced;
    std::unique_ptr<TPanel> Email;
    std::unique_ptr<TPanel> tab_Skip;
    std::unique_ptr<TPanel> Panel1;
    HWND OKBtn = nullptr;
    HWND CancelBtn = nullptr;

    HWND chk_Startup = nullptr;
    HWND chk_Minimised = nullptr;
    HWND chk_TrayOnMin = nullptr;
    HWND chk_TrayOnClose = nullptr;
    HWND chk_Autoclose = nullptr;
    HWND chk_Delete = nullptr;
    HWND chk_Progress = nullptr;
    HWND chk_Compress = nullptr;
    HWND chk_Versions = nullptr;
    HWND edt_SkipList = nullptr;
    HWND btn_Suggested = nullptr;
    HWND edt_Recipient = nullptr;
    HWND edt_From = nullptr;
    HWND edt_Server = nullptr;
    HWND edt_Password = nullptr;
    std::unique_ptr<TValueEdit> edt_Delay;
    std::unique_ptr<TValueEdit> edt_Bandwidth;
    std::unique_ptr<TValueEdit> edt_Port;
    std::unique_ptr<TValueEdit> edt_VersionDays;
    std::unique_ptr<TCustomFileSaveEdit> edt_LogFile;
    std::unique_ptr<TCustomDialogEdit> edt_LogFormat;
    std::unique_ptr<TCustomDialogEdit> edt_OutputFormat;

protected:
    void FormCreate();
    void chk_AutocloseClick();
    void formatHelpPressed(TCustomDialogEdit* Sender, TCommonDialog* Dialog);
    void FormHide();
    void DoHide() override;
    bool PreTranslateMessage(const MSG& msg) override;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void CreatePages();
    void ShowPage(int index);
    // "Suggested": the patterns of files Windows keeps locked or rebuilds.
    void AddSuggestedSkips();
    static constexpr int PageCount = 5;
    std::unique_ptr<TPanel>* Pages[PageCount] = {&tab_General, &tab_Connection, &tab_Advanced,
                                                 &Email, &tab_Skip};
};

// The main window's "Options": fills the dialog from the configuration and the
// tray flags, shows it, and on OK copies every value back (true). Settings that
// live in the registry are written last; if that fails, everything else has
// been copied and the ERegistryException reaches the caller.
bool RunOptionsDialog(TOptionsForm& form, TRSync& sync, TTrayForm& tray);

} // namespace kal
