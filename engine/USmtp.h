// The report mail: handing a message to an SMTP server.
#pragma once

#include "UMailMessage.h"

#include <cstdint>
#include <string>

namespace kal {

enum class TSmtpSecurity {
    // A plain start, upgraded with STARTTLS whenever the server offers it; after
    // such an offer nothing more goes in clear text.
    StartTls,
    // TLS from the first byte (port 465, "smtps").
    Implicit,
    // Clear text throughout, the login included: only for a relay on a network
    // the user trusts, and only when the user says so ("smtp+insecure://").
    Insecure,
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

// The EmailServer text into Host, Port and Security:
//   host, host:port, [::1]:port     plain start; port 25 when absent, and port 465
//                                   speaks TLS from the first byte
//   smtp://host[:port]              plain start, whatever the port
//   smtps://host[:port]             TLS from the first byte; port 465 when absent
//   smtp+insecure://host[:port]     clear text, the password too; port 25 when absent
// Without the insecure form the password crosses only in TLS: a server that
// offers no TLS but asks for a login gets no report. Raises ESmtpError for text
// that names no server, such as an empty host, a port outside 1..65535, another
// scheme or a user name and password in the field (which the error never shows).
TSmtpServer ParseSmtpAddress(const std::string& address);

// Delivers the message; returns once the server has accepted it (a server that
// then fumbles QUIT has still got it). Raises ESmtpError on any failure, after
// QUIT when a connection was made. Safe to call from any thread.
void SendMail(const TSmtpServer& server, const TMailMessage& message);

} // namespace kal
