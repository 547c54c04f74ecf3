#include "UDialogEdit.h"

#include <algorithm>
#include <vector>

namespace kal {

std::string CommonDialogFilter(const std::string& filter) {
    if (filter.empty())
        return {};
    std::string result = filter;
    std::replace(result.begin(), result.end(), '|', '\0');
    result.append(2, '\0');
    return result;
}

bool TOpenDialog::Execute(HWND owner) {
    // Room for long paths; the dialog reports a too-small buffer as a failure.
    std::vector<char> file(32768, '\0');
    std::copy_n(FileName.begin(), std::min(FileName.size(), file.size() - 1), file.begin());
    const std::string filter = CommonDialogFilter(Filter);
    OPENFILENAMEA data{};
    data.lStructSize = sizeof data;
    data.hwndOwner = owner;
    data.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
    data.nFilterIndex = 1;
    data.lpstrFile = file.data();
    data.nMaxFile = static_cast<DWORD>(file.size());
    data.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
    data.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    BOOL confirmed = Run(data);
    // A field holding text that is no file name would otherwise keep the
    // dialog from opening at all.
    if (!confirmed && CommDlgExtendedError() == FNERR_INVALIDFILENAME && file[0] != '\0') {
        file[0] = '\0';
        confirmed = Run(data);
    }
    if (!confirmed)
        return false;
    FileName = file.data();
    return true;
}

BOOL TOpenDialog::Run(OPENFILENAMEA& data) {
    return GetOpenFileNameA(&data);
}

BOOL TSaveDialog::Run(OPENFILENAMEA& data) {
    return GetSaveFileNameA(&data);
}

namespace {
constexpr int EditId = 100;
constexpr int ButtonId = 101;
} // namespace

TCustomDialogEdit::TCustomDialogEdit(const TParams& params) {
    Create({.ClassName = "KalvarenDialogEdit",
            .Style = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_CLIPCHILDREN,
            .ExStyle = WS_EX_CONTROLPARENT,
            .ClientWidth = params.Width,
            .ClientHeight = params.Height,
            .Left = params.Left,
            .Top = params.Top,
            .Centred = false,
            .Parent = params.Parent,
            .Menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(params.Id)),
            .FontFace = nullptr});
    FEdit = CreateControl({.ClassName = "EDIT",
                           .Style = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                           .Left = 1,
                           .Top = 1,
                           .Width = 115,
                           .Height = 15,
                           .Id = EditId,
                           .Parent = Handle(),
                           .Font = ParentFont()});
    FButton = CreateControl({.ClassName = "BUTTON",
                             .Style = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                             .Top = 1,
                             .Id = ButtonId,
                             .Parent = Handle(),
                             .Font = ParentFont()});
    SetColor(GetSysColor(COLOR_WINDOW));
    Resize();
}

TCustomDialogEdit::~TCustomDialogEdit() {
    DestroyHandle();
}

HFONT TCustomDialogEdit::ParentFont() const {
    HWND parent = GetParent(Handle());
    return parent ? reinterpret_cast<HFONT>(SendMessageA(parent, WM_GETFONT, 0, 0)) : nullptr;
}

std::string TCustomDialogEdit::GetText() const {
    return kal::GetText(FEdit);
}

void TCustomDialogEdit::SetText(const std::string& text) {
    if (text != kal::GetText(FEdit))
        kal::SetText(FEdit, text); // EN_CHANGE raises OnChange
}

void TCustomDialogEdit::SetButtonText(const std::string& text) {
    if (text == FButtonText)
        return;
    FButtonText = text;
    kal::SetText(FButton, text);
}

void TCustomDialogEdit::SetColor(COLORREF color) {
    FEditColor = color;
    FEditBrush.reset(CreateSolidBrush(color));
    InvalidateRect(FEdit, nullptr, TRUE);
}

void TCustomDialogEdit::SetDialog(TCommonDialog* dialog) {
    if (dialog == FDialog)
        return;
    if (FOwnedDialog && FOwnedDialog.get() == FDialog)
        FOwnedDialog.reset();
    FDialog = dialog;
}

void TCustomDialogEdit::SetOwnedDialog(std::unique_ptr<TCommonDialog> dialog) {
    SetDialog(dialog.get());
    FOwnedDialog = std::move(dialog);
}

void TCustomDialogEdit::ButtonClick() {
    DoBeforeDialog();
    if (FDialog && FDialog->Execute(GetAncestor(Handle(), GA_ROOT)))
        DoAfterDialog();
}

void TCustomDialogEdit::DoBeforeDialog() {
    if (BeforeDialogEvent)
        BeforeDialogEvent(this, FDialog);
}

void TCustomDialogEdit::DoAfterDialog() {
    if (AfterDialogEvent)
        AfterDialogEvent(this, FDialog);
}

void TCustomDialogEdit::Resize() {
    RECT bounds;
    GetWindowRect(Handle(), &bounds);
    const int width = bounds.right - bounds.left;
    const int side = bounds.bottom - bounds.top - 6;
    // Square, unless its caption needs more: text does not scale in proportion.
    SIZE caption{};
    {
        const std::string text = kal::GetText(FButton);
        unique_window_dc dc(FButton);
        const HGDIOBJ old = SelectObject(
            dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageA(FButton, WM_GETFONT, 0, 0)));
        GetTextExtentPoint32A(dc.get(), text.c_str(), static_cast<int>(text.size()), &caption);
        SelectObject(dc.get(), old);
    }
    const int buttonWidth = std::max<int>(side, caption.cx + Scale(2 * 3) + 2);
    const int buttonLeft = width - (buttonWidth + 5);
    SetWindowPos(FButton, nullptr, buttonLeft, 1, buttonWidth, side, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(FEdit, nullptr, 0, 0, buttonLeft - 2, Scale(15),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (OnResize)
        OnResize(this);
}

LRESULT TCustomDialogEdit::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (FEdit && FButton)
            Resize();
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(ParentFont());
    case WM_COMMAND:
        if (LOWORD(wParam) == ButtonId && HIWORD(wParam) == BN_CLICKED) {
            ButtonClick();
            return 0;
        }
        if (LOWORD(wParam) == EditId && HIWORD(wParam) == EN_CHANGE) {
            if (OnChange)
                OnChange(this);
            return 0;
        }
        break;
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == FEdit && FEditBrush) {
            SetBkColor(reinterpret_cast<HDC>(wParam), FEditColor);
            return reinterpret_cast<LRESULT>(FEditBrush.get());
        }
        break;
    default:
        break;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

TCustomFileOpenEdit::TCustomFileOpenEdit(const TParams& params) : TCustomDialogEdit(params) {
    SetOwnedDialog(std::make_unique<TOpenDialog>());
    SetButtonText("...");
}

void TCustomFileOpenEdit::SetIntialDir(const std::string& value) {
    if (value == FIntialDir)
        return;
    FIntialDir = value;
    if (TFileDialog* dialog = FileDialog())
        dialog->InitialDir = value;
}

void TCustomFileOpenEdit::SetFilter(const std::string& value) {
    if (value == FFilter)
        return;
    FFilter = value;
    if (TFileDialog* dialog = FileDialog())
        dialog->Filter = value;
}

void TCustomFileOpenEdit::SetText(const std::string& text) {
    if (TFileDialog* dialog = FileDialog())
        dialog->FileName = text;
    TCustomDialogEdit::SetText(text);
}

void TCustomFileOpenEdit::DoAfterDialog() {
    if (TFileDialog* dialog = FileDialog())
        SetText(dialog->FileName);
    TCustomDialogEdit::DoAfterDialog();
}

TCustomFileSaveEdit::TCustomFileSaveEdit(const TParams& params) : TCustomFileOpenEdit(params) {
    SetOwnedDialog(std::make_unique<TSaveDialog>());
}

} // namespace kal
