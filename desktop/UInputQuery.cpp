#include "UInputQuery.h"

#include "UFormUtils.h"

namespace kal {

TInputQueryForm::TInputQueryForm(HWND owner, const std::string& caption, const std::string& prompt,
                                 const std::string& value) {
    TWindowParams params;
    params.ClassName = "KalvarenInputQuery";
    params.Caption = caption.c_str();
    params.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    params.ExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    params.ClientWidth = 300;
    params.ClientHeight = 96;
    params.Parent = owner;
    Create(params);
    CreateLabel(Handle(), prompt.c_str(), 8, 10, 284, 16);
    FEdit = CreateEdit(Handle(), 8, 30, 284, 0, 100);
    SetText(FEdit, value);
    CreateButton(Handle(), "OK", 136, 62, IDOK, true);
    CreateButton(Handle(), "Cancel", 217, 62, IDCANCEL, false);
    SendMessageA(FEdit, EM_SETSEL, 0, -1);
    ActiveControl = FEdit;
}

LRESULT TInputQueryForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndModal(LOWORD(wParam) == IDOK ? mrOk : mrCancel);
        return 0;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

bool InputQuery(HWND owner, const std::string& caption, const std::string& prompt,
                std::string& value) {
    TInputQueryForm form(owner, caption, prompt, value);
    if (form.ShowModal() != mrOk)
        return false;
    value = form.Value();
    return true;
}

} // namespace kal
