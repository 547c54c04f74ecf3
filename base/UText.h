// Text is UTF-8 throughout the program. These helpers keep it whole: they find
// character boundaries, take older files' legacy ANSI bytes in, and fit text into
// fixed-size fields without cutting a character in two.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kal {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

// `text` as UTF-8: unchanged when it already is, otherwise read as bytes of the
// machine's legacy ANSI code page (what the program wrote before it spoke UTF-8).
std::string FromLegacyText(std::string_view text);

// The length of the longest prefix of `text` of at most `maxBytes` bytes that
// ends on a character boundary.
std::size_t Utf8Fit(std::string_view text, std::size_t maxBytes);

// The length of the prefix of `text` that holds only whole characters; the rest
// is the start of a character whose remaining bytes have not arrived yet.
std::size_t Utf8Complete(std::string_view text);

// `text` as ISO-8859-1 bytes, or nothing when a character does not fit that set.
std::optional<std::string> Utf8ToLatin1(std::string_view text);

#ifdef _WIN32
// Between the UTF-16 of the wide Windows functions and the program's UTF-8.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
#endif

// The system's text for an error code (GetLastError on Windows, errno elsewhere),
// without a trailing line break.
std::string SystemErrorText(int code);

namespace platform {
// The legacy ANSI bytes `text` converted to UTF-8.
std::string LegacyToUtf8(std::string_view text);
} // namespace platform

} // namespace kal
