#include "UText.h"

#include <cstdint>
#include <cstring>

namespace kal {

namespace {

// Bytes of the sequence that `lead` opens, 0 for a byte that cannot open one.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The length of the well-formed sequence at `at`, or 0 when it is damaged or cut short.
std::size_t SequenceAt(std::string_view text, std::size_t at, char32_t* value = nullptr) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const int n = SequenceLength(lead);
    if (n == 0 || at + static_cast<std::size_t>(n) > text.size())
        return 0;
    char32_t c = n == 1 ? lead : lead & (0x7F >> n);
    for (int i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(text[at + static_cast<std::size_t>(i)]);
        if ((b & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < Least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    if (value)
        *value = c;
    return static_cast<std::size_t>(n);
}

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        // Paths and settings are mostly ASCII: such runs are passed eight bytes at a time.
        std::uint64_t word;
        if (at + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + at, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                at += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const std::size_t n = SequenceAt(text, at);
        if (n == 0)
            return false;
        at += n;
    }
    return true;
}

std::string FromLegacyText(std::string_view text) {
    return IsUtf8(text) ? std::string(text) : platform::LegacyToUtf8(text);
}

std::size_t Utf8Fit(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text.size();
    std::size_t cut = maxBytes;
    while (cut > 0 && IsContinuation(text[cut]))
        --cut;
    return cut;
}

std::size_t Utf8Complete(std::string_view text) {
    // Only the last three bytes can belong to an unfinished character.
    const std::size_t size = text.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto b = static_cast<unsigned char>(text[size - back]);
        if (IsContinuation(static_cast<char>(b)))
            continue;
        const int n = SequenceLength(b);
        return n > static_cast<int>(back) ? size - back : size;
    }
    return size;
}

std::optional<std::string> Utf8ToLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t n = SequenceAt(text, at, &c);
        if (n == 0 || c > 0xFF)
            return std::nullopt;
        out += static_cast<char>(c);
        at += n;
    }
    return out;
}

} // namespace kal
