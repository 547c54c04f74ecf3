#include "UMailMessage.h"
#include "UMachine.h"
#include "UText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace kal {

namespace {

// ---- Encodings ----
// Quoted-printable (the body) and RFC 2047 Q (the subject) are a few lines each
// and nothing in the build offers them; they live here and nowhere else.

const char HexDigits[] = "0123456789ABCDEF";

void AppendHexEscape(std::string& out, unsigned char c) {
    out += '=';
    out += HexDigits[c >> 4];
    out += HexDigits[c & 0x0F];
}

// Splits text at any line end (CRLF, LF or a lone CR); a final line end adds no
// empty line.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// Quoted-printable with a CRLF hard break for every line of the text; soft breaks
// keep encoded lines within 76 characters. Plain ASCII stays readable.
std::string QuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (const std::string_view line : SplitLines(text)) {
        std::size_t width = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            const bool blank = c == ' ' || c == '\t';
            // A blank at a line's end would be lost to transports that trim lines.
            const bool literal =
                (c >= 33 && c <= 126 && c != '=') || (blank && i + 1 < line.size());
            const std::size_t size = literal ? 1 : 3;
            if (width + size > 75) {
                out += "=\r\n";
                width = 0;
            }
            if (literal)
                out += static_cast<char>(c);
            else
                AppendHexEscape(out, c);
            width += size;
        }
        out += "\r\n";
    }
    return out;
}

// RFC 2047 encoded words, Q encoding, each short enough for one header line,
// `separator` between them. A word holds whole characters only, so a UTF-8
// sequence is never split across two.
std::string EncodedWords(std::string_view text, std::string_view charset,
                         std::string_view separator = "\r\n ") {
    const std::string prefix = "=?" + std::string(charset) + "?Q?";
    constexpr std::size_t MaxPayload = 45; // "Subject: " + word stays within 78
    const bool utf8 = charset == "utf-8";
    std::string out = prefix;
    std::size_t payload = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        if (utf8)
            while (at + length < text.size() &&
                   (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80)
                ++length;
        std::string encoded;
        for (const char ch : text.substr(at, length)) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == ' ')
                encoded += '_';
            else if (std::isalnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/')
                encoded += ch;
            else
                AppendHexEscape(encoded, c);
        }
        if (payload + encoded.size() > MaxPayload) {
            out += "?=";
            out += separator;
            out += prefix;
            payload = 0;
        }
        out += encoded;
        payload += encoded.size();
        at += length;
    }
    out += "?=";
    return out;
}

// ---- Headers and addresses ----

constexpr std::size_t HeaderLineLimit = 78;

// Folds a "Name: value" header before blanks so that lines stay within 78
// characters where a blank allows; unfolding gives the value back unchanged.
std::string FoldHeader(const std::string& header) {
    const std::size_t valueStart = header.find(": ") + 2;
    std::string out;
    std::size_t start = 0;
    while (header.size() - start > HeaderLineLimit) {
        const std::size_t earliest = start == 0 ? valueStart : start + 1;
        std::size_t cut = header.rfind(' ', start + HeaderLineLimit);
        if (cut == std::string::npos || cut < earliest)
            cut = header.find(' ', start + HeaderLineLimit);
        if (cut == std::string::npos)
            break;
        out.append(header, start, cut - start);
        out += "\r\n";
        start = cut;
    }
    out.append(header, start);
    return out;
}

std::string SubjectHeader(const std::string& subject, std::string_view charset) {
    std::string value = subject;
    for (char& c : value)
        if (c == '\r' || c == '\n')
            c = ' '; // a line break here would start a header of the caller's choosing
    bool plain = value.find("=?") == std::string::npos;
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            plain = false;
    if (plain) {
        // A word too long for any line goes encoded, as encoded words split anywhere.
        const std::string folded = FoldHeader("Subject: " + value);
        std::size_t start = 0;
        for (std::size_t end; (end = folded.find("\r\n", start)) != std::string::npos;
             start = end + 2)
            plain = plain && end - start <= HeaderLineLimit;
        if (plain && folded.size() - start <= HeaderLineLimit)
            return folded;
    }
    return "Subject: " + EncodedWords(value, charset);
}

// An address list entry for From: or To:. A display name beyond ASCII goes as
// encoded words (Latin-1 when it fits), blank-separated so that folding can
// break between them; the address stays as it is.
std::string HeaderAddress(const std::string& entry) {
    const auto open = entry.rfind('<');
    const bool ascii = std::all_of(entry.begin(), entry.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || open == std::string::npos)
        return entry;
    std::string name = detail::Trim(std::string_view(entry).substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    if (name.empty())
        return entry.substr(open);
    const auto latin1 = Utf8ToLatin1(name);
    return EncodedWords(latin1 ? *latin1 : name, latin1 ? "iso-8859-1" : "utf-8", " ") + " " +
           entry.substr(open);
}

// A line break in an address would let its text be read as a command or header.
void CheckNoControls(std::string_view text, const char* what) {
    for (const char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            throw std::invalid_argument(std::string(what) +
                                        " holds a line break or control character");
}

// The address inside "Name <addr>", or the whole entry. MAIL FROM and RCPT TO
// put it between brackets: a bracket or blank of its own (outside quotes) would
// end it early and add parameters of the user's making, so it is refused, as
// is a bracket in the name.
std::string EnvelopeAddress(const std::string& entry, const char* what) {
    const auto open = entry.rfind('<');
    const auto close = entry.find('>', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close == std::string::npos)
        throw std::invalid_argument("the address \"" + entry + "\" lacks its closing '>'");
    const bool bracketed =
        open != std::string::npos && detail::Trim(entry.substr(close + 1)).empty();
    const std::string name = bracketed ? entry.substr(0, open) : std::string();
    std::string address =
        bracketed ? detail::Trim(std::string_view(entry).substr(open + 1, close - open - 1))
                  : entry;
    const auto check = [&](std::string_view text, std::string_view refused) {
        bool quoted = false;
        for (const char c : text) {
            if (c == '"')
                quoted = !quoted;
            else if (!quoted && refused.find(c) != std::string_view::npos)
                throw std::invalid_argument(std::string(what) + " \"" + entry +
                                            "\" holds a character that cannot stand in an "
                                            "address ('" +
                                            c + "')");
        }
    };
    check(name, "<>");
    check(address, "<> \t");
    return address;
}

// Comma-separated entries, trimmed, empty ones dropped; commas inside quotes or
// angle brackets belong to the entry.
std::vector<std::string> SplitAddressList(std::string_view list) {
    std::vector<std::string> entries;
    bool quoted = false;
    bool angled = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        const char c = i < list.size() ? list[i] : ',';
        if (c == '"')
            quoted = !quoted;
        else if (c == '<' && !quoted)
            angled = true;
        else if (c == '>' && !quoted)
            angled = false;
        else if (c == ',' && ((!quoted && !angled) || i == list.size())) {
            std::string entry = detail::Trim(list.substr(start, i - start));
            if (!entry.empty())
                entries.push_back(std::move(entry));
            start = i + 1;
        }
    }
    return entries;
}

std::string Rfc5322Date(TDateTime date) {
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const TDateTimeParts p = DecodeDateTime(date);
    // Day 0 (30 December 1899) was a Saturday.
    const auto day = static_cast<long long>(EncodeDateTime(p.Year, p.Month, p.Day));
    const int weekday = static_cast<int>(((day + 6) % 7 + 7) % 7);
    const int offset = LocalUtcOffsetMinutes(date);
    const int magnitude = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", Days[weekday],
                  p.Day, Months[p.Month - 1], p.Year, p.Hour, p.Minute, p.Second,
                  offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

std::string MessageId(TDateTime date, const std::string& host) {
    std::string right;
    for (const char c : host)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')
            right += c;
    while (!right.empty() && right.front() == '.')
        right.erase(0, 1);
    while (!right.empty() && right.back() == '.')
        right.pop_back();
    if (right.empty())
        right = "localhost";
    std::random_device random;
    const TDateTimeParts p = DecodeDateTime(date);
    char left[64];
    std::snprintf(left, sizeof left, "%04d%02d%02d%02d%02d%02d.%08x%08x", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second, static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    return std::string("<") + left + "@" + right + ">";
}

} // namespace

namespace detail {

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

TEnvelope MakeEnvelope(const TMailMessage& message) {
    TEnvelope envelope;
    CheckNoControls(message.From, "the sender address");
    CheckNoControls(message.To, "the recipient list");
    envelope.Sender = Trim(message.From);
    envelope.SenderAddress = EnvelopeAddress(envelope.Sender, "the sender address");
    if (envelope.SenderAddress.empty())
        throw std::invalid_argument("no sender address");
    envelope.To = SplitAddressList(message.To);
    for (const std::string& entry : envelope.To) {
        std::string address = EnvelopeAddress(entry, "the recipient address");
        if (!address.empty())
            envelope.Rcpt.push_back(std::move(address));
    }
    if (envelope.Rcpt.empty())
        throw std::invalid_argument("no recipient address");
    return envelope;
}

} // namespace detail

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string FormatMailMessage(const TMailMessage& message, TDateTime date,
                              const std::string& messageIdHost) {
    detail::TEnvelope envelope;
    try {
        envelope = detail::MakeEnvelope(message);
    } catch (const std::invalid_argument& e) {
        throw ESmtpError(std::string("Cannot write the mail: ") + e.what());
    }
    std::string to;
    for (const std::string& entry : envelope.To)
        to += (to.empty() ? "" : ", ") + HeaderAddress(entry);
    std::string out;
    out += "Date: " + Rfc5322Date(date) + "\r\n";
    out += FoldHeader("From: " + HeaderAddress(envelope.Sender)) + "\r\n";
    out += FoldHeader("To: " + to) + "\r\n";
    // Latin-1, as mail readers have always been told, when every character fits
    // it; UTF-8 for a report that names files in other scripts.
    const auto subject = Utf8ToLatin1(message.Subject);
    const auto body = Utf8ToLatin1(message.HtmlBody);
    const bool latin1 = subject && body;
    const std::string_view charset = latin1 ? "iso-8859-1" : "utf-8";
    out += SubjectHeader(latin1 ? *subject : message.Subject, charset) + "\r\n";
    out += "Message-ID: " + MessageId(date, messageIdHost) + "\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/html; charset=" + std::string(charset) + "\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += "\r\n";
    out += QuotedPrintable(latin1 ? *body : message.HtmlBody);
    return out;
}

} // namespace kal
