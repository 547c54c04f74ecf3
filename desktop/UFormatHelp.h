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

    // Shows the window, not modal, beside `anchor`: right of it when it fits on
    // the monitor's work area, else left of it, else as near as the screen allows.
    void ShowBeside(HWND anchor);

    HWND Memo1 = nullptr;
};

} // namespace kal
