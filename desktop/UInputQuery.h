// The text-input prompt: a small modal window with a prompt, an edit field and
// OK/Cancel.
#pragma once

#include "UWindow.h"

#include <string>

namespace kal {

class TInputQueryForm : public TWindow {
public:
    TInputQueryForm(HWND owner, const std::string& caption, const std::string& prompt,
                    const std::string& value);
    std::string Value() const { return GetText(FEdit); }
    HWND Edit() const noexcept { return FEdit; }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND FEdit = nullptr;
};

// True and the entered text in `value` on OK; false and `value` unchanged otherwise.
bool InputQuery(HWND owner, const std::string& caption, const std::string& prompt,
                std::string& value);

} // namespace kal
