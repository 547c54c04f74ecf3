// The report mail: building an HTML message and handing it to an SMTP server.
#pragma once

#include "UDateTime.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kal {

struct TMailMessage {
    std::string From;
    std::string To; // comma-separated list; "Name <addr>" entries are accepted
    std::string Subject;
    std::string HtmlBody; // ANSI (ISO-8859-1) text; any line ends, sent as CRLF
};

enum class TSmtpSecurity {
    // A plain start, upgraded with STARTTLS whenever the server offers it; after
    // such an offer nothing more goes in clear text.
    StartTls,
    // TLS from the first byte (port 465, "smtps").
    Implicit,
};

struct TSmtpServer {
    std::string Host;
    std::uint16_t Port = 25;
    TSmtpSecurity Security = TSmtpSecurity::StartTls;
    std::string User; // empty: no login even when the server offers one
    std::string Password;
    std::string HeloName; // empty: the computer's host name
    // Bound on the whole exchange: name lookup, connect and every reply, so a
    // dead or silent server holds the caller for this long at most; <= 0: 30 s.
    int TimeoutMs = 30000;
};

// One line naming the server and the reason, e.g.
// "Mail to 127.0.0.1:2525 failed: no reply within 30 s".
class ESmtpError : public std::runtime_error {
    using runtime_error::runtime_error;
};

// The EmailServer text into Host, Port and Security:
//   host, host:port, [::1]:port     plain start; port 25 when absent, and port 465
//                                   speaks TLS from the first byte
//   smtp://host[:port]              plain start, whatever the port
//   smtps://host[:port]             TLS from the first byte; port 465 when absent
// Raises ESmtpError for an empty host or a port outside 1..65535.
TSmtpServer ParseSmtpAddress(const std::string& address);

// RFC 5322 / MIME text of the message, CRLF line ends, before dot-stuffing.
// Raises ESmtpError when an address holds a line break.
std::string FormatMailMessage(const TMailMessage& message, TDateTime date,
                              const std::string& messageIdHost);

// Delivers the message; returns once the server has accepted it (a server that
// then fumbles QUIT has still got it). Raises ESmtpError on any failure, after
// QUIT when a connection was made. Safe to call from any thread.
void SendMail(const TSmtpServer& server, const TMailMessage& message);

// The computer's network host name ("localhost" when it has none).
std::string LocalHostName();

} // namespace kal
