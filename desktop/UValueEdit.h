// A single-line edit for a whole number within a range. Typing only changes the
// text; the number is accepted (and corrected) when focus leaves the field.
#pragma once

#include "UWindow.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kal {

// The keys the field lets through: control keys, "-" and the digits. Pasted
// text bypasses this and is judged when focus leaves the field.
bool IsValueEditChar(unsigned code);

// The text read as a signed decimal integer of 64 bits; none when it is not one
// (empty, letters, a sign inside the digits, out of the 64-bit range).
std::optional<std::int64_t> ParseValueText(std::string_view text);

// What leaving the field makes of its text under the bounds.
struct TValueExit {
    std::int32_t Value = 0;
    bool ReplaceText = false; // false: the text stays as typed (leading zeros included)
};
TValueExit ResolveValueText(std::string_view text, std::int32_t min, std::int32_t max);

class TCustomValueEdit;
using TValueEditEvent = std::function<void(TCustomValueEdit* Sender)>;

// An EDIT control, subclassed for the key filter and the focus-leave step. The
// owner keeps the object; the control may go with its parent window first.
class TCustomValueEdit {
public:
    struct TParams {
        HWND Parent = nullptr;
        int Left = 0;
        int Top = 0;
        int Width = 121;
        int Height = 21;
        int Id = 0;
    };
    explicit TCustomValueEdit(const TParams& params);
    TCustomValueEdit(const TCustomValueEdit&) = delete;
    TCustomValueEdit& operator=(const TCustomValueEdit&) = delete;
    virtual ~TCustomValueEdit();

    HWND Handle() const noexcept { return FHandle; }

    std::int32_t Value() const noexcept { return FValue; }
    void SetValue(std::int32_t value);
    std::int32_t Min() const noexcept { return FMin; }
    void SetMin(std::int32_t value);
    std::int32_t Max() const noexcept { return FMax; }
    void SetMax(std::int32_t value);

    // The text becomes the number, then Value follows.
    void UpdateValue(std::int32_t value);

    // The leave-the-field judgement of the text, without the focus change: lets a
    // dialog take a number still being typed when it is confirmed with Enter.
    void AcceptText();

protected:
    // Runs on every focus leave: AcceptText, then OnExit.
    virtual void DoExit();
    void ClampValue();

    std::string Text() const;
    void SetText(const std::string& text);
    void SetMaxLength(int length);
    bool Enabled() const;
    void SetEnabled(bool enabled);

    TValueEditEvent OnEnter;
    TValueEditEvent OnExit;

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR data);
    // Replaces the text, keeping the caret where the user had it (one to the left).
    void ReplaceText(const std::string& text);

    HWND FHandle = nullptr;
    std::int32_t FValue = 0;
    std::int32_t FMin = INT32_MIN;
    std::int32_t FMax = INT32_MAX;
};

// The value edit with the usual edit members made public.
class TValueEdit : public TCustomValueEdit {
public:
    using TCustomValueEdit::Enabled;
    using TCustomValueEdit::OnEnter;
    using TCustomValueEdit::OnExit;
    using TCustomValueEdit::SetEnabled;
    using TCustomValueEdit::SetMaxLength;
    using TCustomValueEdit::SetText;
    using TCustomValueEdit::TCustomValueEdit;
    using TCustomValueEdit::Text;
};

} // namespace kal
