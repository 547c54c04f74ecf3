#include "UValueEdit.h"

#include <commctrl.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace kal {

bool IsValueEditChar(unsigned code) {
    return code < 32 || code == '-' || (code >= '0' && code <= '9');
}

std::optional<std::int64_t> ParseValueText(std::string_view text) {
    std::int64_t n = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, n);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return n;
}

TValueExit ResolveValueText(std::string_view text, std::int32_t min, std::int32_t max) {
    // Unreadable text becomes 0 even when 0 lies outside the bounds.
    const std::optional<std::int64_t> n = ParseValueText(text);
    if (!n)
        return {0, true};
    if (*n < min)
        return {min, true};
    if (*n > max)
        return {max, true};
    return {static_cast<std::int32_t>(*n), false};
}

namespace {
constexpr UINT_PTR ValueEditSubclassId = 1;
} // namespace

TCustomValueEdit::TCustomValueEdit(const TParams& params) {
    FHandle = CreateControl({.ClassName = "EDIT",
                             .Text = "0",
                             .Style = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                             .ExStyle = WS_EX_CLIENTEDGE,
                             .Left = params.Left,
                             .Top = params.Top,
                             .Width = params.Width,
                             .Height = params.Height,
                             .Id = params.Id,
                             .Parent = params.Parent});
    if (!SetWindowSubclass(FHandle, &SubclassProc, ValueEditSubclassId,
                           reinterpret_cast<DWORD_PTR>(this))) {
        DestroyWindow(FHandle);
        throw std::runtime_error(LastErrorText("SetWindowSubclass"));
    }
}

TCustomValueEdit::~TCustomValueEdit() {
    if (FHandle) {
        RemoveWindowSubclass(FHandle, &SubclassProc, ValueEditSubclassId);
        DestroyWindow(FHandle);
    }
}

LRESULT CALLBACK TCustomValueEdit::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<TCustomValueEdit*>(data);
    try {
        switch (message) {
        case WM_CHAR:
            if (!IsValueEditChar(static_cast<unsigned>(wParam)))
                return 0;
            break;
        case WM_SETFOCUS: {
            const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
            if (self->OnEnter)
                self->OnEnter(self);
            return result;
        }
        case WM_KILLFOCUS: {
            const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
            self->DoExit();
            return result;
        }
        case WM_NCDESTROY:
            // The parent went first: forget the control so the owner does not touch it.
            RemoveWindowSubclass(window, &SubclassProc, ValueEditSubclassId);
            self->FHandle = nullptr;
            break;
        default:
            break;
        }
    } catch (...) {
        Application().HandleException();
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

void TCustomValueEdit::SetValue(std::int32_t value) {
    // Deliberately no range check and no text update when unchanged: code that
    // sets the current value must not discard what the user is typing.
    if (value != FValue)
        UpdateValue(value);
}

void TCustomValueEdit::SetMin(std::int32_t value) {
    if (value == FMin || value > FMax)
        return;
    FMin = value;
    ClampValue();
}

void TCustomValueEdit::SetMax(std::int32_t value) {
    if (value == FMax || value < FMin)
        return;
    FMax = value;
    ClampValue();
}

void TCustomValueEdit::UpdateValue(std::int32_t value) {
    SetText(std::to_string(value));
    FValue = value;
}

void TCustomValueEdit::ClampValue() {
    if (FValue < FMin) {
        ReplaceText(std::to_string(FMin));
        FValue = FMin;
    } else if (FValue > FMax) {
        ReplaceText(std::to_string(FMax));
        FValue = FMax;
    }
}

void TCustomValueEdit::AcceptText() {
    const std::string text = Text();
    const TValueExit exit = ResolveValueText(text, FMin, FMax);
    if (!exit.ReplaceText) {
        FValue = exit.Value; // the text stays as typed, leading zeros included
    } else if (ParseValueText(text)) {
        ReplaceText(std::to_string(exit.Value)); // a bound
        FValue = exit.Value;
    } else {
        UpdateValue(exit.Value);
    }
}

void TCustomValueEdit::DoExit() {
    AcceptText();
    if (OnExit)
        OnExit(this);
}

void TCustomValueEdit::ReplaceText(const std::string& text) {
    if (!FHandle)
        return;
    DWORD start = 0;
    SendMessageA(FHandle, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
    SetText(text);
    const auto caret = static_cast<LPARAM>(std::max<DWORD>(start, 1) - 1);
    SendMessageA(FHandle, EM_SETSEL, static_cast<WPARAM>(caret), caret);
}

std::string TCustomValueEdit::Text() const {
    return FHandle ? GetText(FHandle) : std::string();
}

void TCustomValueEdit::SetText(const std::string& text) {
    if (FHandle)
        kal::SetText(FHandle, text);
}

void TCustomValueEdit::SetMaxLength(int length) {
    if (FHandle)
        SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(std::max(length, 0)), 0);
}

bool TCustomValueEdit::Enabled() const {
    return FHandle && IsWindowEnabled(FHandle);
}

void TCustomValueEdit::SetEnabled(bool enabled) {
    if (FHandle)
        EnableWindow(FHandle, enabled);
}

} // namespace kal
