#include "UInputQuery.h"

namespace kal {

TInputQueryForm::TInputQueryForm(HWND owner, const std::string& caption, const std::string& prompt,
                                 const std::string& value) {
    TWindowSpec spec;
    spec.ClassName = "KalvarenInputQuery";
    spec.Caption = caption.c_str();
    spec.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    spec.ExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    spec.ClientWidth = 300;
    spec.ClientHeight = 96;
    spec.Parent = owner;
    Create(spec);
    CreateControl({.ClassName = "STATIC",
                   .Text = prompt.c_str(),
                   .Style = WS_VISIBLE,
                   .Left = 8,
                   .Top = 10,
                   .Width = 284,
                   .Height = 16,
                   .Parent = Handle()});
    FEdit = CreateControl({.ClassName = "EDIT",
                           .Text = value.c_str(),
                           .Style = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                           .ExStyle = WS_EX_CLIENTEDGE,
                           .Left = 8,
                           .Top = 30,
                           .Width = 284,
                           .Height = 21,
                           .Id = 100,
                           .Parent = Handle()});
    CreateControl({.ClassName = "BUTTON",
                   .Text = "OK",
                   .Style = WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                   .Left = 136,
                   .Top = 62,
                   .Width = 75,
                   .Height = 25,
                   .Id = IDOK,
                   .Parent = Handle()});
    CreateControl({.ClassName = "BUTTON",
                   .Text = "Cancel",
                   .Style = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                   .Left = 217,
                   .Top = 62,
                   .Width = 75,
                   .Height = 25,
                   .Id = IDCANCEL,
                   .Parent = Handle()});
    SendMessageA(FEdit, EM_SETSEL, 0, -1);
    OnShow = [this](TWindow*) {
        SetFocus(FEdit);
    };
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
