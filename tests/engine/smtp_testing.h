// Shared by the mail tests: a report-shaped message and a send that says how it ended.
#pragma once

#include "USmtp.h"

#include <string>

namespace kal::test {

inline TMailMessage SampleReport(const std::string& subject = "Kalvaren - Success (08/12/2026)") {
    TMailMessage message;
    message.From = "backup@example.test";
    message.To = "first@example.test, second@example.test";
    message.Subject = subject;
    message.HtmlBody = "<B>Params:</B> -a <BR>\r\nThis is an automated responce.<BR>";
    return message;
}

// The error text, or "" when the server took the mail.
inline std::string SendFailure(const TSmtpServer& server, const TMailMessage& message) {
    try {
        SendMail(server, message);
        return {};
    } catch (const ESmtpError& e) {
        return e.what();
    }
}

} // namespace kal::test
