// "End User Licence Agreement": the text of EULA.txt from the current folder at
// creation, or a fixed notice. Edits in the window are never saved.
#pragma once

#include "UWindow.h"

#include <string>
#include <string_view>

namespace kal {

// Text with lines ending in CR, LF or CR LF, as a multi-line edit shows it (CR LF).
std::string ToMemoText(std::string_view text);

// The whole file; throws std::runtime_error naming the file and the reason.
std::string ReadTextFile(const std::string& fileName);

class TEULAForm : public TWindow {
public:
    // `owner`: none takes the application's main window of this moment.
    explicit TEULAForm(HWND owner = nullptr);
    ~TEULAForm() override;

    HWND Memo1 = nullptr;

protected:
    void FormCreate();
};

} // namespace kal
