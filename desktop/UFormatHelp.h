// The "Formatting Help" window: rsync's log-format escapes, shown beside the
// options dialog while the user edits the two format fields.
#pragma once

#include "UWindow.h"

#include <string>

namespace kal {

// The help text, lines separated by CR LF as a multi-line edit wants them.
const std::string& FormatHelpText();

class TFormatHelpDialog : public TWindow {
public:
    // `owner`: none takes the application's main window of this moment.
    explicit TFormatHelpDialog(HWND owner = nullptr);
    ~TFormatHelpDialog() override;

    // Shows the window without activating a modal loop, beside `anchor` when
    // there is room on its monitor's work area (right first, then left).
    void ShowBeside(HWND anchor);

    HWND Memo1 = nullptr;
};

} // namespace kal
