#include "UOptionsForm.h"

#include "UFormUtils.h"
#include "UVersions.h"

#include <commctrl.h>

#include <exception>
#include <mutex>

namespace kal {

namespace {

constexpr std::uint32_t DeleteFlag = TRSync::DeleteBit;
constexpr std::uint32_t ProgressFlag = 0x00000400;
constexpr std::uint32_t VersionsFlag = TRSync::KeepVersionsBit;
constexpr int SuggestedId = 101;
constexpr std::uint32_t CompressFlag = 0x80000000;

std::uint32_t WithFlag(std::uint32_t flags, std::uint32_t flag, bool on) {
    return on ? flags | flag : flags & ~flag;
}

} // namespace

TOptionsForm::TOptionsForm(HWND owner) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    HWND parent = DefaultOwner(owner);
    const TOwnerFont font = OwnerFont(parent);
    Create(DialogParams("TOptionsForm", "Options", 373, 182, parent, font));

    // The pages are the dialog's children above the tab strip, not the strip's:
    // a control parent is never a tab stop itself, and the strip must be one.
    PageControl1 = CreateControl({.ClassName = WC_TABCONTROLA,
                                  .Style = WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS,
                                  .Width = 373 - 88,
                                  .Height = 182,
                                  .Parent = Handle()});
    Panel1 = std::make_unique<TPanel>(TPanel::TParams{
        .Parent = Handle(), .Left = 373 - 88, .Top = 0, .Width = 88, .Height = 182});
    OKBtn = CreateButton(Panel1->Handle(), "OK", 9, 8, IDOK, true);
    CancelBtn = CreateButton(Panel1->Handle(), "Cancel", 8, 39, IDCANCEL, false);
    Layout.Align(Panel1->Handle(), TAlign::alRight);
    Layout.Align(PageControl1, TAlign::alClient);
    CreatePages();
    FormCreate();
    // Tab order is the reading order: the strip, its page, then OK and Cancel.
    SetWindowPos(Panel1->Handle(), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(PageControl1, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    for (std::unique_ptr<TPanel>* page : Pages)
        SortTabOrder((*page)->Handle());
    ActiveControl = PageControl1;
    SetActivePage(3);
}

TOptionsForm::~TOptionsForm() {
    DestroyHandle();
}

void TOptionsForm::CreatePages() {
    // Narrower than the default padding, so that the five tabs fit in one row.
    SendMessageA(PageControl1, TCM_SETPADDING, 0, MAKELPARAM(4, 3));
    const char* captions[] = {"General", "Connection", "Advanced", "Email", "Skip"};
    for (int i = 0; i < PageCount; ++i) {
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<char*>(captions[i]);
        SendMessageA(PageControl1, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
    }
    RECT page;
    GetClientRect(PageControl1, &page);
    TabCtrl_AdjustRect(PageControl1, FALSE, &page);
    for (std::unique_ptr<TPanel>* slot : Pages) {
        *slot = std::make_unique<TPanel>(TPanel::TParams{.Parent = Handle(),
                                                         .Left = page.left,
                                                         .Top = page.top,
                                                         .Width = page.right - page.left,
                                                         .Height = page.bottom - page.top,
                                                         .Target = Handle()});
        ShowWindow((*slot)->Handle(), SW_HIDE);
    }

    HWND general = tab_General->Handle();
    chk_Startup = CreateCheckBox(general, "Run on System Startup", 9, 14, 136);
    chk_Minimised = CreateCheckBox(general, "Minimised to System Tray", 22, 32, 150);
    chk_TrayOnMin = CreateCheckBox(general, "Hide To Tray On Minimise", 8, 56, 153);
    chk_TrayOnClose = CreateCheckBox(general, "Hide To Tray On Close", 9, 72, 153);
    chk_Autoclose = CreateCheckBox(general, "Auto close Terminal", 9, 104, 128);
    CreateLabel(general, "Delay", 32, 123);

    HWND connection = tab_Connection->Handle();
    CreateLabel(connection, "Bandwidth", 8, 6);
    CreateLabel(connection, "kb/s (0=unlimited)", 127, 6);
    CreateLabel(connection, "Port", 38, 32);
    chk_Delete = CreateCheckBox(connection, "Delete Obsolete Files\\Folders", 16, 52, 185);
    chk_Progress = CreateCheckBox(connection, "Show Progress", 16, 69, 97);
    chk_Compress = CreateCheckBox(connection, "Encode Data in transit", 16, 96, 145);
    chk_Versions = CreateCheckBox(connection, "Keep Earlier Versions", 16, 118, 128);
    CreateLabel(connection, "days (0=all)", 196, 120);

    HWND advanced = tab_Advanced->Handle();
    CreateLabel(advanced, "Log File", 43, 22);
    CreateLabel(advanced, "Format", 56, 49);
    CreateLabel(advanced, "Leave blank for default", 106, 65);
    CreateLabel(advanced, "Output Format", 8, 87);
    CreateLabel(advanced, "Leave blank for default", 95, 103);

    HWND email = Email->Handle();
    CreateLabel(email, "Recipient", 3, 20);
    edt_Recipient = CreateEdit(email, 53, 17, 212);
    CreateLabel(email, "From", 3, 47);
    edt_From = CreateEdit(email, 53, 44, 212);
    CreateLabel(email, "Server", 3, 74);
    edt_Server = CreateEdit(email, 53, 71, 212);
    CreateLabel(email, "Password", 3, 101);
    edt_Password = CreateEdit(email, 53, 98, 212, ES_PASSWORD);
    SendMessageA(edt_Password, EM_SETPASSWORDCHAR, '#', 0);

    HWND skip = tab_Skip->Handle();
    CreateLabel(skip, "Not backed up, one pattern a line:", 4, 4);
    CreateLabel(skip, "*.tmp   Thumbs.db   /AppData/Local/Temp/", 4, 18);
    edt_SkipList = CreateControl({.ClassName = "EDIT",
                                  .Style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE |
                                           ES_AUTOVSCROLL | ES_WANTRETURN,
                                  .ExStyle = WS_EX_CLIENTEDGE,
                                  .Left = 4,
                                  .Top = 32,
                                  .Width = 268,
                                  .Height = 88,
                                  .Parent = skip});
    btn_Suggested = CreateButton(skip, "Suggested", 4, 124, SuggestedId, false);
}

void TOptionsForm::FormCreate() {
    edt_Delay = std::make_unique<TValueEdit>(
        TValueEdit::TParams{.Parent = tab_General->Handle(), .Left = 65, .Top = 120, .Width = 80});
    edt_Delay->SetEnabled(false);
    edt_Delay->SetMin(0);

    edt_Bandwidth = std::make_unique<TValueEdit>(
        TValueEdit::TParams{.Parent = tab_Connection->Handle(), .Left = 64, .Top = 3, .Width = 57});
    edt_Bandwidth->SetMin(0);
    // The configuration keeps 16 bits; a larger number would silently wrap.
    edt_Bandwidth->SetMax(65535);

    edt_Port = std::make_unique<TValueEdit>(TValueEdit::TParams{
        .Parent = tab_Connection->Handle(), .Left = 64, .Top = 29, .Width = 57});
    edt_Port->SetMin(0);
    edt_Port->SetMax(65535);
    edt_Port->SetMaxLength(5);

    edt_VersionDays = std::make_unique<TValueEdit>(TValueEdit::TParams{
        .Parent = tab_Connection->Handle(), .Left = 148, .Top = 116, .Width = 44});
    edt_VersionDays->SetMin(0);
    edt_VersionDays->SetMax(36500);

    edt_LogFile = std::make_unique<TCustomFileSaveEdit>(TCustomDialogEdit::TParams{
        .Parent = tab_Advanced->Handle(), .Left = 84, .Top = 19, .Width = 181});
    edt_LogFile->SetIntialDir(".");
    edt_LogFile->SetFilter("Log Files (*.log)|*.log");

    const auto formatEdit = [this](int left, int top, int width) {
        auto edit = std::make_unique<TCustomDialogEdit>(TCustomDialogEdit::TParams{
            .Parent = tab_Advanced->Handle(), .Left = left, .Top = top, .Width = width});
        edit->SetButtonText("?");
        edit->BeforeDialogEvent = [this](TCustomDialogEdit* sender, TCommonDialog* dialog) {
            formatHelpPressed(sender, dialog);
        };
        return edit;
    };
    edt_LogFormat = formatEdit(96, 46, 169);
    edt_OutputFormat = formatEdit(85, 84, 121);
}

int TOptionsForm::ActivePage() const {
    return static_cast<int>(SendMessageA(PageControl1, TCM_GETCURSEL, 0, 0));
}

void TOptionsForm::SetActivePage(int index) {
    SendMessageA(PageControl1, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    ShowPage(index);
}

void TOptionsForm::ShowPage(int index) {
    for (int i = 0; i < PageCount; ++i)
        ShowWindow((*Pages[i])->Handle(), i == index ? SW_SHOW : SW_HIDE);
}

void TOptionsForm::AddSuggestedSkips() {
    // Added to what the user wrote, each pattern once.
    std::string list = SkipList();
    if (!list.empty() && !list.ends_with('\n'))
        list += "\r\n";
    const std::string patterns = SuggestedSkipList();
    std::string_view suggested = patterns;
    while (!suggested.empty()) {
        const std::size_t end = suggested.find("\r\n");
        const std::string_view line = suggested.substr(0, end);
        suggested.remove_prefix(std::min(end + 2, suggested.size()));
        std::string known(1, '\n');
        known += list;
        std::string needle(1, '\n');
        needle.append(line).push_back('\r');
        if (known.find(needle) == std::string::npos)
            list.append(line).append("\r\n");
    }
    SetSkipList(list);
}

// Ctrl+Tab and Ctrl+Shift+Tab turn the pages from anywhere in the dialog; the
// focus stays on the strip or goes to the new page's first control.
bool TOptionsForm::PreTranslateMessage(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || GetKeyState(VK_CONTROL) >= 0)
        return false;
    const int count = static_cast<int>(std::size(Pages));
    const int step = GetKeyState(VK_SHIFT) < 0 ? count - 1 : 1;
    const bool onStrip = GetFocus() == PageControl1;
    SetActivePage((ActivePage() + step) % count);
    if (!onStrip) {
        HWND page = (*Pages[ActivePage()])->Handle();
        HWND first = GetNextDlgTabItem(page, nullptr, FALSE);
        SetFocus(first && IsChild(page, first) ? first : PageControl1);
    }
    return true;
}

void TOptionsForm::chk_AutocloseClick() {
    edt_Delay->SetEnabled(Checked(chk_Autoclose));
}

void TOptionsForm::formatHelpPressed(TCustomDialogEdit*, TCommonDialog*) {
    if (FormatHelp)
        FormatHelp->ShowBeside(Handle());
}

void TOptionsForm::FormHide() {
    if (FormatHelp)
        FormatHelp->Hide();
}

void TOptionsForm::DoHide() {
    FormHide();
    TWindow::DoHide();
}

LRESULT TOptionsForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            break;
        if (reinterpret_cast<HWND>(lParam) == chk_Autoclose) {
            chk_AutocloseClick();
            return 0;
        }
        if (LOWORD(wParam) == SuggestedId) {
            AddSuggestedSkips();
            return 0;
        }
        if (LOWORD(wParam) == IDOK) {
            // Enter confirms without moving the focus: take the number still
            // being typed, as leaving the field would.
            for (TValueEdit* edit :
                 {edt_Delay.get(), edt_Bandwidth.get(), edt_Port.get(), edt_VersionDays.get()})
                if (GetFocus() == edit->Handle())
                    edit->AcceptText();
            if (Modal())
                EndModal(mrOk);
            else
                Hide();
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            if (Modal())
                EndModal(mrCancel);
            else
                Hide();
            return 0;
        }
        break;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom == PageControl1 && header->code == TCN_SELCHANGE) {
            ShowPage(ActivePage());
            return 0;
        }
        break;
    }
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

std::string TOptionsForm::LogFile() const {
    return edt_LogFile->Text();
}
void TOptionsForm::SetLogFile(const std::string& value) {
    edt_LogFile->SetText(value);
}
std::string TOptionsForm::LogFormat() const {
    return edt_LogFormat->Text();
}
void TOptionsForm::SetLogFormat(const std::string& value) {
    edt_LogFormat->SetText(value);
}
std::string TOptionsForm::OutputFormat() const {
    return edt_OutputFormat->Text();
}
void TOptionsForm::SetOutputFormat(const std::string& value) {
    edt_OutputFormat->SetText(value);
}
std::uint16_t TOptionsForm::Bandwidth() const {
    return static_cast<std::uint16_t>(edt_Bandwidth->Value());
}
void TOptionsForm::SetBandwidth(std::uint16_t value) {
    edt_Bandwidth->SetValue(value);
}
bool TOptionsForm::Delete() const {
    return Checked(chk_Delete);
}
void TOptionsForm::SetDelete(bool value) {
    Check(chk_Delete, value);
}
std::uint16_t TOptionsForm::Port() const {
    return static_cast<std::uint16_t>(edt_Port->Value());
}
void TOptionsForm::SetPort(std::uint16_t value) {
    edt_Port->SetValue(value);
}
bool TOptionsForm::Startup() const {
    return Checked(chk_Startup);
}
void TOptionsForm::SetStartup(bool value) {
    Check(chk_Startup, value);
}
bool TOptionsForm::Minimised() const {
    return Checked(chk_Startup) && Checked(chk_Minimised);
}
void TOptionsForm::SetMinimised(bool value) {
    Check(chk_Minimised, value);
}
bool TOptionsForm::TrayOnMinimise() const {
    return Checked(chk_TrayOnMin);
}
void TOptionsForm::SetTrayOnMinimise(bool value) {
    Check(chk_TrayOnMin, value);
}
bool TOptionsForm::TrayOnClose() const {
    return Checked(chk_TrayOnClose);
}
void TOptionsForm::SetTrayOnClose(bool value) {
    Check(chk_TrayOnClose, value);
}
std::int32_t TOptionsForm::AutoCloseDelay() const {
    return Checked(chk_Autoclose) ? edt_Delay->Value() : -1;
}
void TOptionsForm::SetAutoCloseDelay(std::int32_t value) {
    // A negative delay leaves the number in the field for the next time the box is ticked.
    Check(chk_Autoclose, value >= 0);
    edt_Delay->SetEnabled(value >= 0);
    if (value >= 0)
        edt_Delay->SetValue(value);
}
bool TOptionsForm::Progress() const {
    return Checked(chk_Progress);
}
void TOptionsForm::SetProgress(bool value) {
    Check(chk_Progress, value);
}
bool TOptionsForm::Compress() const {
    return Checked(chk_Compress);
}
void TOptionsForm::SetCompress(bool value) {
    Check(chk_Compress, value);
}
bool TOptionsForm::KeepVersions() const {
    return Checked(chk_Versions);
}
void TOptionsForm::SetKeepVersions(bool value) {
    Check(chk_Versions, value);
}
std::int32_t TOptionsForm::KeepVersionDays() const {
    return edt_VersionDays->Value();
}
void TOptionsForm::SetKeepVersionDays(std::int32_t value) {
    edt_VersionDays->SetValue(value);
}
std::string TOptionsForm::SkipList() const {
    return GetText(edt_SkipList);
}
void TOptionsForm::SetSkipList(const std::string& value) {
    SetText(edt_SkipList, value);
}
std::string TOptionsForm::Recipient() const {
    return GetText(edt_Recipient);
}
void TOptionsForm::SetRecipient(const std::string& value) {
    SetText(edt_Recipient, value);
}
std::string TOptionsForm::From() const {
    return GetText(edt_From);
}
void TOptionsForm::SetFrom(const std::string& value) {
    SetText(edt_From, value);
}
std::string TOptionsForm::Server() const {
    return GetText(edt_Server);
}
void TOptionsForm::SetServer(const std::string& value) {
    SetText(edt_Server, value);
}
std::string TOptionsForm::Password() const {
    return GetText(edt_Password);
}
void TOptionsForm::SetPassword(const std::string& value) {
    SetText(edt_Password, value);
}

bool RunOptionsDialog(TOptionsForm& form, TRSync& sync, TTrayForm& tray) {
    const std::uint32_t flags = sync.Flags();
    form.SetLogFile(sync.LogFile());
    form.SetLogFormat(sync.LogFormat());
    form.SetOutputFormat(sync.OutputFormat());
    form.SetBandwidth(sync.Bandwidth());
    form.SetDelete((flags & DeleteFlag) != 0);
    form.SetPort(sync.Port());
    form.SetStartup(tray.RunOnStartup());
    form.SetMinimised(tray.TrayOnStartup());
    form.SetTrayOnMinimise(tray.MinimiseToTray);
    form.SetTrayOnClose(tray.CloseToTray);
    form.SetAutoCloseDelay(sync.OutputAutoCloseDelay());
    form.SetProgress((flags & ProgressFlag) != 0);
    form.SetCompress((flags & CompressFlag) != 0);
    form.SetRecipient(sync.EmailRecipient());
    form.SetFrom(sync.EmailFrom());
    form.SetServer(sync.EmailServer());
    form.SetPassword(sync.EmailPassword());
    form.SetKeepVersions((flags & VersionsFlag) != 0);
    form.SetKeepVersionDays(tray.KeepVersionDays);
    form.SetSkipList(LoadSkipList(sync.SkipListFile()));
    if (form.ShowModal() != mrOk)
        return false;
    // First, as it alone can fail: a list that cannot be stored leaves every
    // setting as it was, and the dialog's error says why.
    if (!sync.SkipListFile().empty())
        SaveSkipList(sync.SkipListFile(), form.SkipList());

    {
        std::lock_guard lock(sync.Mutex());
        sync.SetLogFile(form.LogFile());
        sync.SetLogFormat(form.LogFormat());
        sync.SetOutputFormat(form.OutputFormat());
        sync.SetBandwidth(form.Bandwidth());
        sync.SetPort(form.Port());
        std::uint32_t bits = sync.Flags();
        bits = WithFlag(bits, DeleteFlag, form.Delete());
        bits = WithFlag(bits, ProgressFlag, form.Progress());
        bits = WithFlag(bits, CompressFlag, form.Compress());
        bits = WithFlag(bits, VersionsFlag, form.KeepVersions());
        sync.SetFlags(bits);
        sync.SetKeepVersionDays(form.KeepVersionDays());
    }
    tray.KeepVersionDays = form.KeepVersionDays();
    tray.CloseToTray = form.TrayOnClose();
    tray.MinimiseToTray = form.TrayOnMinimise();
    sync.SetOutputAutoCloseDelay(form.AutoCloseDelay());
    sync.SetEmailRecipient(form.Recipient());
    sync.SetEmailFrom(form.From());
    sync.SetEmailServer(form.Server());
    sync.SetEmailPassword(form.Password());

    // The run-at-logon entry last: when the registry refuses it, every other
    // setting has already been taken, and the failure is reported once.
    std::exception_ptr failure;
    const auto attempt = [&failure](auto&& write) {
        try {
            write();
        } catch (const ERegistryException&) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    attempt([&] { tray.SetRunOnStartup(form.Startup()); });
    attempt([&] { tray.SetTrayOnStartup(form.Minimised()); });
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

} // namespace kal
