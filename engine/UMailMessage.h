// The report mail as text: an HTML message written out in RFC 5322 / MIME form,
// and the envelope its delivery needs.
#pragma once

#include "UDateTime.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kal {

struct TMailMessage {
    std::string From;
    std::string To; // comma-separated list; "Name <addr>" entries are accepted
    std::string Subject;
    // UTF-8 like all the program's text; any line ends, sent as CRLF.
    std::string HtmlBody;
};

// The report mail's one error, from writing the message and from delivering it
// (USmtp.h) alike: one line with the reason, naming the server once there is
// one, e.g. "Mail to 127.0.0.1:2525 failed: no reply within 30 s".
class ESmtpError : public std::runtime_error {
    using runtime_error::runtime_error;
};

// RFC 5322 / MIME text of the message, CRLF line ends, before dot-stuffing. The
// subject and body go as ISO-8859-1 when every character of both fits it, else
// as UTF-8. Raises ESmtpError when an address holds a line break.
std::string FormatMailMessage(const TMailMessage& message, TDateTime date,
                              const std::string& messageIdHost);

// Text for an HTML body: "&", "<", ">" and '"' as entities, so that a name or
// an option that holds them shows as written and never as markup.
std::string HtmlEscape(std::string_view text);

namespace detail {

// The addresses as the headers show them and as the SMTP commands name them.
struct TEnvelope {
    std::string Sender;            // header form
    std::string SenderAddress;     // MAIL FROM
    std::vector<std::string> To;   // header form
    std::vector<std::string> Rcpt; // RCPT TO, one per entry
};

// Raises std::invalid_argument naming what is wrong.
TEnvelope MakeEnvelope(const TMailMessage& message);

// `text` without the blanks and tabs at either end.
std::string Trim(std::string_view text);

} // namespace detail

} // namespace kal
