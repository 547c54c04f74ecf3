#include "USmtp.h"
#include "USocket.h"
#include "UText.h"
#include "UTls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string_view>
#include <vector>

namespace kal {

namespace {

// ---- Encodings ----
// Base64 (AUTH LOGIN), quoted-printable (the body) and RFC 2047 Q (the subject)
// are a few lines each and nothing in the build offers them; they live here and
// nowhere else.

const char HexDigits[] = "0123456789ABCDEF";

void AppendHexEscape(std::string& out, unsigned char c) {
    out += '=';
    out += HexDigits[c >> 4];
    out += HexDigits[c & 0x0F];
}

std::string Base64(std::string_view data) {
    static const char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                           static_cast<unsigned char>(data[i + 1]) << 8 |
                           static_cast<unsigned char>(data[i + 2]);
        out += Alphabet[v >> 18 & 63];
        out += Alphabet[v >> 12 & 63];
        out += Alphabet[v >> 6 & 63];
        out += Alphabet[v & 63];
    }
    if (i < data.size()) {
        const bool two = i + 1 < data.size();
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                           (two ? static_cast<unsigned char>(data[i + 1]) << 8 : 0u);
        out += Alphabet[v >> 18 & 63];
        out += Alphabet[v >> 12 & 63];
        out += two ? Alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
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

// RFC 2047 encoded words, Q encoding, each short enough for one header line. A
// word holds whole characters only, so a UTF-8 sequence is never split across two.
std::string EncodedWords(std::string_view text, std::string_view charset) {
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
            out += "?=\r\n ";
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

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

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

// A line break in an address would let its text be read as a command or header.
void CheckNoControls(std::string_view text, const char* what) {
    for (const char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            throw std::invalid_argument(std::string(what) +
                                        " holds a line break or control character");
}

// The address inside "Name <addr>", or the whole entry.
std::string EnvelopeAddress(const std::string& entry) {
    const auto open = entry.rfind('<');
    if (open == std::string::npos)
        return entry;
    const auto close = entry.find('>', open);
    if (close == std::string::npos)
        throw std::invalid_argument("the address \"" + entry + "\" lacks its closing '>'");
    return Trim(std::string_view(entry).substr(open + 1, close - open - 1));
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
            std::string entry = Trim(list.substr(start, i - start));
            if (!entry.empty())
                entries.push_back(std::move(entry));
            start = i + 1;
        }
    }
    return entries;
}

struct TEnvelope {
    std::string Sender;            // header form
    std::string SenderAddress;     // MAIL FROM
    std::vector<std::string> To;   // header form
    std::vector<std::string> Rcpt; // RCPT TO, one per entry
};

// Raises std::invalid_argument naming what is wrong.
TEnvelope MakeEnvelope(const TMailMessage& message) {
    TEnvelope envelope;
    CheckNoControls(message.From, "the sender address");
    CheckNoControls(message.To, "the recipient list");
    envelope.Sender = Trim(message.From);
    envelope.SenderAddress = EnvelopeAddress(envelope.Sender);
    if (envelope.SenderAddress.empty())
        throw std::invalid_argument("no sender address");
    envelope.To = SplitAddressList(message.To);
    for (const std::string& entry : envelope.To) {
        std::string address = EnvelopeAddress(entry);
        if (!address.empty())
            envelope.Rcpt.push_back(std::move(address));
    }
    if (envelope.Rcpt.empty())
        throw std::invalid_argument("no recipient address");
    return envelope;
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

// A leading "." on a line is doubled so that no line of the message reads as the
// end of the data.
std::string DotStuff(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

// ---- The exchange ----

// A refusal or a reply that makes no sense; the text is the reason.
class EStep : public std::runtime_error {
    using runtime_error::runtime_error;
};

std::string Printable(std::string_view text, std::size_t limit = 200) {
    std::string out;
    for (const char c : text.substr(0, limit))
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    if (text.size() > limit)
        out += "...";
    return out;
}

struct TReply {
    int Code = 0;
    std::vector<std::string> Lines; // the text after each line's code

    std::string Summary() const {
        std::string text = std::to_string(Code);
        for (const std::string& line : Lines)
            if (!line.empty())
                text += " " + line;
        return Printable(text);
    }
};

class TSmtpSession {
public:
    TSmtpSession(TSocket socket, TDeadline deadline)
        : FSocket(std::move(socket)), FDeadline(deadline) {}

    void Send(std::string_view data) { Send(data, FDeadline); }

    // From here on every byte goes encrypted, to a server proved to be `host`.
    void StartTls(const std::string& host) {
        // Bytes that came in clear after the go-ahead could be a forger's
        // replies to the commands still to come.
        FBroken = true; // nothing more in clear, not even QUIT, should this fail
        if (!FPending.empty())
            throw EStep("the server sent more than its go-ahead for TLS");
        FTls = std::make_unique<TTlsChannel>(FSocket, host, FDeadline);
        FBroken = false;
    }
    bool Encrypted() const { return FTls != nullptr; }

    TReply ReadReply() {
        TReply reply;
        for (;;) {
            const std::string line = ReadLine();
            const bool shaped = line.size() >= 3 &&
                                std::isdigit(static_cast<unsigned char>(line[0])) &&
                                std::isdigit(static_cast<unsigned char>(line[1])) &&
                                std::isdigit(static_cast<unsigned char>(line[2])) &&
                                (line.size() == 3 || line[3] == ' ' || line[3] == '-');
            const int code = shaped ? std::stoi(line.substr(0, 3)) : 0;
            if (!shaped || (!reply.Lines.empty() && code != reply.Code))
                throw EStep("unexpected reply \"" + Printable(line) + "\"");
            reply.Code = code;
            reply.Lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
            if (line.size() == 3 || line[3] == ' ')
                return reply;
            if (reply.Lines.size() > MaxReplyLines)
                throw EStep("reply of more than " + std::to_string(MaxReplyLines) + " lines");
        }
    }

    TReply Command(std::string_view line) {
        Send(std::string(line) + "\r\n");
        return ReadReply();
    }

    TReply Expect(std::string_view line, std::initializer_list<int> codes, std::string_view step) {
        TReply reply = Command(line);
        for (const int code : codes)
            if (reply.Code == code)
                return reply;
        throw EStep(std::string(step) + " refused: " + reply.Summary());
    }

    // Polite end; never throws. Without waiting, the QUIT goes out only if the
    // socket takes it at once: a silent server gets no more of the run's time.
    void Quit(bool waitForReply) noexcept {
        if (FBroken)
            return;
        try {
            if (waitForReply)
                Command("QUIT");
            else
                Send("QUIT\r\n", std::chrono::steady_clock::now());
        } catch (...) {
        }
    }

    const TSocket& Socket() const { return FSocket; }

private:
    static constexpr std::size_t MaxReplyLines = 200;
    static constexpr std::size_t MaxLineLength = 4096; // RFC 5321 allows 512

    std::string ReadLine() {
        for (;;) {
            const auto end = FPending.find('\n');
            if (end != std::string::npos) {
                std::string line = FPending.substr(0, end);
                FPending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            if (FPending.size() > MaxLineLength)
                throw EStep("reply line longer than " + std::to_string(MaxLineLength) + " bytes");
            char buffer[1024];
            const std::size_t got = FTls ? FTls->Receive(buffer, sizeof buffer, FDeadline)
                                         : FSocket.Receive(buffer, sizeof buffer, FDeadline);
            if (got == 0)
                throw ESocketError(ESocketError::TReason::Closed,
                                   "connection closed by the server");
            FPending.append(buffer, got);
        }
    }

    void Send(std::string_view data, TDeadline deadline) {
        if (FTls)
            FTls->Send(data, deadline);
        else
            FSocket.Send(data, deadline);
    }

    TSocket FSocket;
    std::unique_ptr<TTlsChannel> FTls; // after FSocket: it ends first
    TDeadline FDeadline;
    std::string FPending;
    bool FBroken = false;
};

std::string Upper(std::string_view text) {
    std::string upper;
    for (const char c : text)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// Whether an EHLO reply line starts with `keyword` ("STARTTLS", "AUTH") as a word.
bool OffersExtension(const TReply& ehlo, std::string_view keyword) {
    for (const std::string& line : ehlo.Lines) {
        const std::string upper = Upper(line);
        if (upper.rfind(keyword, 0) == 0 &&
            (upper.size() == keyword.size() || upper[keyword.size()] == ' '))
            return true;
    }
    return false;
}

// Whether the reply offers the AUTH mechanism: "AUTH PLAIN LOGIN", or the old
// "AUTH=LOGIN" form.
bool OffersLogin(const TReply& ehlo, std::string_view mechanism) {
    for (const std::string& line : ehlo.Lines) {
        const std::string upper = Upper(line);
        if (upper.rfind("AUTH", 0) != 0 || upper.size() < 5 || (upper[4] != ' ' && upper[4] != '='))
            continue;
        std::size_t pos = 5;
        while (pos < upper.size()) {
            const std::size_t end = std::min(upper.find_first_of(" =", pos), upper.size());
            if (upper.compare(pos, end - pos, mechanism) == 0)
                return true;
            pos = end + 1;
        }
    }
    return false;
}

bool IsDomainName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.' ||
        name.front() == '-')
        return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            return false;
    return true;
}

// The name for EHLO: a valid domain, or else the address literal of our end.
std::string GreetingName(const TSmtpServer& server, const TSocket& socket) {
    const std::string name = server.HeloName.empty() ? LocalHostName() : server.HeloName;
    if (IsDomainName(name))
        return name;
    std::string address = socket.LocalAddress();
    address = address.substr(0, address.find('%')); // a link-local zone is no part of a literal
    if (address.empty())
        return "localhost";
    return address.find(':') == std::string::npos ? "[" + address + "]" : "[IPv6:" + address + "]";
}

std::string Seconds(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

std::string ServerName(const TSmtpServer& server) {
    const bool v6 = server.Host.find(':') != std::string::npos;
    return (v6 ? "[" + server.Host + "]" : server.Host) + ":" + std::to_string(server.Port);
}

void Converse(TSmtpSession& session, const TSmtpServer& server, const std::string& host,
              const TEnvelope& envelope, const std::string& text) {
    const TReply greeting = session.ReadReply();
    if (greeting.Code != 220)
        throw EStep("server not ready: " + greeting.Summary());
    const std::string name = GreetingName(server, session.Socket());
    TReply ehlo = session.Command("EHLO " + name);
    if (ehlo.Code != 250) {
        session.Expect("HELO " + name, {250}, "HELO");
        ehlo = {};
    }
    // A server that offers TLS gets nothing more in clear text: not the login,
    // not the report. A refused or failed upgrade ends the mail.
    if (!session.Encrypted() && OffersExtension(ehlo, "STARTTLS")) {
        session.Expect("STARTTLS", {220}, "STARTTLS");
        session.StartTls(host);
        ehlo = session.Expect("EHLO " + name, {250}, "EHLO after STARTTLS");
    }
    if (!server.User.empty()) {
        if (OffersLogin(ehlo, "LOGIN")) {
            session.Expect("AUTH LOGIN", {334}, "login");
            session.Expect(Base64(server.User), {334}, "login");
            session.Expect(Base64(server.Password), {235}, "login");
        } else if (session.Encrypted() && OffersLogin(ehlo, "PLAIN")) {
            // RFC 4616: no authorisation identity, the user, the password.
            const std::string credentials =
                std::string(1, '\0') + server.User + std::string(1, '\0') + server.Password;
            session.Expect("AUTH PLAIN " + Base64(credentials), {235}, "login");
        }
    }
    session.Expect("MAIL FROM:<" + envelope.SenderAddress + ">", {250},
                   "sender <" + envelope.SenderAddress + ">");
    for (const std::string& address : envelope.Rcpt)
        session.Expect("RCPT TO:<" + address + ">", {250, 251}, "recipient <" + address + ">");
    session.Expect("DATA", {354}, "DATA");
    session.Send(DotStuff(text) + ".\r\n");
    const TReply accepted = session.ReadReply();
    if (accepted.Code != 250)
        throw EStep("message refused: " + accepted.Summary());
}

} // namespace

TSmtpServer ParseSmtpAddress(const std::string& address) {
    std::string text = Trim(address);
    const auto invalid = [&](const std::string& why) {
        return ESmtpError("Mail server address \"" + Printable(address, 80) + "\" " + why);
    };
    constexpr std::uint16_t ImplicitTlsPort = 465;
    TSmtpServer server;
    enum class TScheme { None, Smtp, Smtps } scheme = TScheme::None;
    const std::string head = Upper(text.substr(0, 8));
    if (head.rfind("SMTP://", 0) == 0) {
        scheme = TScheme::Smtp;
        text.erase(0, 7);
    } else if (head.rfind("SMTPS://", 0) == 0) {
        scheme = TScheme::Smtps;
        text.erase(0, 8);
    } else if (text.find("://") != std::string::npos) {
        throw invalid("has a scheme other than smtp:// or smtps://");
    }
    if (scheme != TScheme::None && !text.empty() && text.back() == '/')
        text.pop_back();
    const std::string defaultPort = scheme == TScheme::Smtps ? "465" : "25";
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            throw invalid("lacks its closing ']'");
        server.Host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            throw invalid("has text after ']'");
        port = rest.empty() ? defaultPort : rest.substr(1);
    } else if (const auto colon = text.find(':');
               colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        server.Host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else {
        server.Host = text; // a name, or a bare IPv6 address
        port = defaultPort;
    }
    if (server.Host.empty())
        throw invalid("names no server");
    for (const char c : server.Host)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '/' || c == '@')
            throw invalid("holds a character that no server name has");
    unsigned long value = 0;
    for (const char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || value > 65535)
            throw invalid("has an invalid port");
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (port.empty() || value == 0 || value > 65535)
        throw invalid("has an invalid port");
    server.Port = static_cast<std::uint16_t>(value);
    const bool implicit =
        scheme == TScheme::Smtps || (scheme == TScheme::None && server.Port == ImplicitTlsPort);
    server.Security = implicit ? TSmtpSecurity::Implicit : TSmtpSecurity::StartTls;
    return server;
}

std::string FormatMailMessage(const TMailMessage& message, TDateTime date,
                              const std::string& messageIdHost) {
    TEnvelope envelope;
    try {
        envelope = MakeEnvelope(message);
    } catch (const std::invalid_argument& e) {
        throw ESmtpError(std::string("Cannot write the mail: ") + e.what());
    }
    std::string to;
    for (const std::string& entry : envelope.To)
        to += (to.empty() ? "" : ", ") + entry;
    std::string out;
    out += "Date: " + Rfc5322Date(date) + "\r\n";
    out += FoldHeader("From: " + envelope.Sender) + "\r\n";
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

void SendMail(const TSmtpServer& server, const TMailMessage& message) {
    const std::string prefix = "Mail to " + ServerName(server) + " failed: ";
    const int timeoutMs = server.TimeoutMs > 0 ? server.TimeoutMs : TSmtpServer{}.TimeoutMs;
    const TDeadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    TEnvelope envelope;
    std::string text;
    try {
        envelope = MakeEnvelope(message);
        text = FormatMailMessage(message, Now(), LocalHostName());
    } catch (const std::exception& e) {
        throw ESmtpError(prefix + e.what());
    }

    std::string host = server.Host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    TSocket socket;
    try {
        if (host.empty())
            throw ESocketError(ESocketError::TReason::Failed, "no server given");
        socket = TSocket::Connect(host, server.Port, deadline);
    } catch (const ESocketError& e) {
        throw ESmtpError(prefix + (e.Reason() == ESocketError::TReason::Timeout
                                       ? "no connection within " + Seconds(timeoutMs)
                                       : std::string(e.what())));
    } catch (const std::exception& e) {
        throw ESmtpError(prefix + e.what());
    }

    TSmtpSession session(std::move(socket), deadline);
    try {
        if (server.Security == TSmtpSecurity::Implicit)
            session.StartTls(host);
        Converse(session, server, host, envelope, text);
    } catch (const EStep& e) {
        session.Quit(true);
        throw ESmtpError(prefix + e.what());
    } catch (const ESocketError& e) {
        const bool timedOut = e.Reason() == ESocketError::TReason::Timeout;
        if (e.Reason() != ESocketError::TReason::Closed)
            session.Quit(false);
        throw ESmtpError(
            prefix + (timedOut ? "no reply within " + Seconds(timeoutMs) : std::string(e.what())));
    } catch (const std::exception& e) {
        session.Quit(false);
        throw ESmtpError(prefix + e.what());
    }
    // The message is accepted; a server that then fumbles QUIT has still got it.
    session.Quit(true);
}

} // namespace kal
