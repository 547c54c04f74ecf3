// A text field with a small button at its right end that runs a common dialog
// (or only tells its owner, when it has no dialog), and the file-open and
// file-save variants whose button picks a file name.
#pragma once

#include "UWindow.h"

#include <cderr.h>
#include <commdlg.h>

#include <memory>
#include <string>

namespace kal {

// A dialog the button can run. Execute returns true when the user confirmed it.
class TCommonDialog {
public:
    virtual ~TCommonDialog() = default;
    virtual bool Execute(HWND owner) = 0;
};

// The file dialogs' shared state; tests derive from it to confirm on a file
// without a real modal dialog.
class TFileDialog : public TCommonDialog {
public:
    std::string FileName;
    std::string InitialDir;
    std::string Filter; // "Description|pattern|..." pairs
};

// "Log Files (*.log)|*.log" as the common dialogs want it: NUL-separated pairs
// ending in two NULs.
std::string CommonDialogFilter(const std::string& filter);

class TOpenDialog : public TFileDialog {
public:
    bool Execute(HWND owner) override;

protected:
    virtual BOOL Run(OPENFILENAMEA& data);
};

class TSaveDialog : public TOpenDialog {
protected:
    BOOL Run(OPENFILENAMEA& data) override;
};

class TCustomDialogEdit;
using TDialogEvent = std::function<void(TCustomDialogEdit* Sender, TCommonDialog* Dialog)>;
using TDialogEditEvent = std::function<void(TCustomDialogEdit* Sender)>;

class TCustomDialogEdit : public TWindow {
public:
    struct TParams {
        HWND Parent = nullptr;
        int Left = 0;
        int Top = 0;
        int Width = 137;
        int Height = 21;
        int Id = 0;
    };
    explicit TCustomDialogEdit(const TParams& params);
    ~TCustomDialogEdit() override;

    std::string Text() const { return GetText(); }
    // Raises OnChange when the text differs.
    virtual void SetText(const std::string& text);
    const std::string& ButtonText() const noexcept { return FButtonText; }
    void SetButtonText(const std::string& text);
    // Background of the text field (the system window colour at creation).
    void SetColor(COLORREF color);
    TCommonDialog* Dialog() const noexcept { return FDialog; }
    // A dialog given from outside is used, not owned.
    void SetDialog(TCommonDialog* dialog);

    HWND EditHandle() const noexcept { return FEdit; }
    HWND ButtonHandle() const noexcept { return FButton; }

    // The button's click: BeforeDialogEvent, then the dialog, then AfterDialogEvent
    // when it was confirmed.
    void ButtonClick();

    TDialogEvent BeforeDialogEvent;
    TDialogEvent AfterDialogEvent;
    TDialogEditEvent OnChange;
    TDialogEditEvent OnResize;

protected:
    virtual std::string GetText() const;
    virtual void DoBeforeDialog();
    virtual void DoAfterDialog();
    virtual void Resize();
    void SetOwnedDialog(std::unique_ptr<TCommonDialog> dialog);
    HFONT ParentFont() const;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND FEdit = nullptr;
    HWND FButton = nullptr;
    std::string FButtonText;
    TCommonDialog* FDialog = nullptr;
    std::unique_ptr<TCommonDialog> FOwnedDialog;
    unique_hbrush FEditBrush;
    COLORREF FEditColor = 0;
};

class TCustomFileOpenEdit : public TCustomDialogEdit {
public:
    explicit TCustomFileOpenEdit(const TParams& params);

    const std::string& IntialDir() const noexcept { return FIntialDir; }
    void SetIntialDir(const std::string& value);
    const std::string& Filter() const noexcept { return FFilter; }
    void SetFilter(const std::string& value);

    // The dialog opens on the current file.
    void SetText(const std::string& text) override;

protected:
    void DoAfterDialog() override;
    TFileDialog* FileDialog() const { return dynamic_cast<TFileDialog*>(Dialog()); }

private:
    std::string FIntialDir;
    std::string FFilter;
};

class TCustomFileSaveEdit : public TCustomFileOpenEdit {
public:
    explicit TCustomFileSaveEdit(const TParams& params);
};

} // namespace kal
