#include "UText.h"
#include "UScoped.h"

#include <windows.h>

#include <cstdlib>

namespace kal {

std::string WideToUtf8(std::wstring_view text) {
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Utf8ToWide(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    return out;
}

std::string SystemErrorText(int code) {
    unique_hlocal buffer;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(buffer.put()), 0, nullptr);
    const auto* text = static_cast<const char*>(buffer.get());
    std::string message = n && text ? std::string(text, n) : "System error " + std::to_string(code);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n'))
        message.pop_back();
    return message;
}

namespace platform {

namespace {

// The code page the machine's ANSI programs use. GetACP cannot tell it: a program
// that declares UTF-8 in its manifest is answered 65001.
UINT LegacyCodePage() {
    static const UINT page = [] {
        char text[16] = {};
        DWORD size = sizeof text - 1;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage",
                         "ACP", RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS) {
            const unsigned long value = std::strtoul(text, nullptr, 10);
            if (value != 0 && value != CP_UTF8 && IsValidCodePage(static_cast<UINT>(value)))
                return static_cast<UINT>(value);
        }
        return UINT{1252};
    }();
    return page;
}

} // namespace

std::string LegacyToUtf8(std::string_view text) {
    // Where Windows ignores the manifest's UTF-8 (before 10 version 1903) the
    // program itself still speaks the legacy code page: its text stays as it is.
    if (GetACP() != CP_UTF8)
        return std::string(text);
    const int length = static_cast<int>(text.size());
    const UINT page = LegacyCodePage();
    const int wideLength = MultiByteToWideChar(page, 0, text.data(), length, nullptr, 0);
    if (wideLength <= 0)
        return std::string(text);
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(page, 0, text.data(), length, wide.data(), wideLength);
    return WideToUtf8(wide);
}

} // namespace platform

} // namespace kal
