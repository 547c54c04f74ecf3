#include "USmtp.h"
#include "UMachine.h"
#include "USocket.h"
#include "UTls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace kal {

namespace {

// Base64 for AUTH is a few lines and nothing in the build offers it.
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

    // Texts that no reply shown to the user may repeat, should a server echo them.
    void SetSecrets(std::vector<std::string> secrets) { FSecrets = std::move(secrets); }

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
                throw EStep("unexpected reply \"" + Printable(Concealed(line)) + "\"");
            reply.Code = code;
            reply.Lines.push_back(line.size() > 4 ? Concealed(line.substr(4)) : std::string());
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

    std::string Concealed(std::string text) const {
        for (const std::string& secret : FSecrets)
            for (std::size_t at; !secret.empty() && (at = text.find(secret)) != std::string::npos;)
                text.replace(at, secret.size(), "***");
        return text;
    }

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
    std::vector<std::string> FSecrets;
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

// RFC 4616, in base64: no authorisation identity, the user, the password.
std::string PlainCredentials(const TSmtpServer& server) {
    return Base64(std::string(1, '\0') + server.User + std::string(1, '\0') + server.Password);
}

// The server field as an error may show it: a user name and password typed into
// it stay hidden.
std::string ShownAddress(const std::string& address) {
    const auto at = address.rfind('@');
    if (at == std::string::npos)
        return Printable(address, 80);
    const auto scheme = address.find("://");
    const std::string head = scheme < at ? address.substr(0, scheme + 3) : std::string();
    return Printable(head + "***" + address.substr(at), 80);
}

void Converse(TSmtpSession& session, const TSmtpServer& server, const std::string& host,
              const detail::TEnvelope& envelope, const std::string& text) {
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
    const bool insecure = server.Security == TSmtpSecurity::Insecure;
    if (!insecure && !session.Encrypted() && OffersExtension(ehlo, "STARTTLS")) {
        session.Expect("STARTTLS", {220}, "STARTTLS");
        session.StartTls(host);
        ehlo = session.Expect("EHLO " + name, {250}, "EHLO after STARTTLS");
    }
    if (!server.User.empty()) {
        // The password crosses in clear text only when the user asked for that.
        if (!insecure && !session.Encrypted() &&
            (OffersLogin(ehlo, "LOGIN") || OffersLogin(ehlo, "PLAIN")))
            throw EStep("the server offers no encryption, so the password was not sent; for a "
                        "relay on a network you trust, enter the server as smtp+insecure://" +
                        ServerName(server) + " to send it in clear text");
        if (OffersLogin(ehlo, "LOGIN")) {
            session.Expect("AUTH LOGIN", {334}, "login");
            session.Expect(Base64(server.User), {334}, "login");
            session.Expect(Base64(server.Password), {235}, "login");
        } else if (session.Encrypted() && OffersLogin(ehlo, "PLAIN")) {
            session.Expect("AUTH PLAIN " + PlainCredentials(server), {235}, "login");
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
    std::string text = detail::Trim(address);
    const auto invalid = [&](const std::string& why) {
        return ESmtpError("Mail server address \"" + ShownAddress(address) + "\" " + why);
    };
    if (text.find('@') != std::string::npos)
        throw invalid("holds a user name or password: give the server only (the password has "
                      "a field of its own)");
    constexpr std::uint16_t ImplicitTlsPort = 465;
    const std::string_view insecureScheme = "SMTP+INSECURE://";
    TSmtpServer server;
    enum class TScheme { None, Smtp, Smtps, Insecure } scheme = TScheme::None;
    const std::string head = Upper(text.substr(0, insecureScheme.size()));
    if (head.rfind(insecureScheme, 0) == 0) {
        scheme = TScheme::Insecure;
        text.erase(0, insecureScheme.size());
    } else if (head.rfind("SMTP://", 0) == 0) {
        scheme = TScheme::Smtp;
        text.erase(0, 7);
    } else if (head.rfind("SMTPS://", 0) == 0) {
        scheme = TScheme::Smtps;
        text.erase(0, 8);
    } else if (text.find("://") != std::string::npos) {
        throw invalid("has a scheme other than smtp://, smtps:// or smtp+insecure://");
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
    server.Security = scheme == TScheme::Insecure ? TSmtpSecurity::Insecure
                      : implicit                  ? TSmtpSecurity::Implicit
                                                  : TSmtpSecurity::StartTls;
    return server;
}

void SendMail(const TSmtpServer& server, const TMailMessage& message) {
    const std::string prefix = "Mail to " + ServerName(server) + " failed: ";
    const int timeoutMs = server.TimeoutMs > 0 ? server.TimeoutMs : TSmtpServer{}.TimeoutMs;
    const TDeadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    detail::TEnvelope envelope;
    std::string text;
    try {
        envelope = detail::MakeEnvelope(message);
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
    if (!server.Password.empty())
        session.SetSecrets({server.Password, Base64(server.Password), PlainCredentials(server)});
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
