// Delivery to real SMTP servers on the loopback interface (aiosmtpd, started by
// the ctest fixture in tests/fixtures), which record what they received and
// decode it with Python's own MIME parser.
#include "USmtp.h"
#include "smtp_testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

using kal::TMailMessage;
using kal::TSmtpServer;

using kal::test::SampleReport;
using kal::test::SendFailure;

namespace {

std::string FixtureFolder() {
    const char* binary = std::getenv("KAL_BINARY_DIR");
    std::string folder = std::string(binary ? binary : ".") + "/smtp_fixture";
#ifdef _WIN32
    if (!folder.empty() && folder.front() == '/')
        folder = "Z:" + folder; // Wine shows the Linux root as drive Z:
#endif
    return folder;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint16_t Port(const std::string& mode) {
    return static_cast<std::uint16_t>(
        std::atoi(ReadFile(FixtureFolder() + "/" + mode + "/port").c_str()));
}

// The server of a fixture mode: "auth", "noauth" or "silent".
TSmtpServer Server(const std::string& mode) {
    TSmtpServer server;
    server.Host = "127.0.0.1";
    server.Port = Port(mode);
    server.TimeoutMs = 10000;
    return server;
}

// The "auth" server as smtp+insecure:// reaches it: the login in clear text.
TSmtpServer ClearTextLogin(const std::string& password) {
    TSmtpServer server = Server("auth");
    server.Security = kal::TSmtpSecurity::Insecure;
    server.User = "backup@example.test";
    server.Password = password;
    return server;
}

// A server with TLS, by the name its certificate carries. The test CA is trusted
// in the test's Wine prefix by the fixture, natively through OpenSSL's variable.
TSmtpServer TlsServer(const std::string& mode) {
#ifndef _WIN32
    setenv("SSL_CERT_FILE", (FixtureFolder() + "/certs/ca.pem").c_str(), 1);
#endif
    TSmtpServer server;
    server.Host = "localhost";
    server.Port = Port(mode);
    server.User = "backup@example.test";
    server.Password = "s3cret pass";
    server.TimeoutMs = 10000;
    return server;
}

struct TDelivery {
    std::multimap<std::string, std::string> Envelope;
    std::string Raw;  // as the server received it, dot-stuffing undone
    std::string Body; // transfer encoding undone by Python

    std::string Value(const std::string& key) const {
        const auto found = Envelope.find(key);
        return found == Envelope.end() ? "<none>" : found->second;
    }
};

// The one message the server recorded with this subject.
std::vector<TDelivery> Deliveries(const std::string& mode, const std::string& subject) {
    std::vector<TDelivery> found;
    const std::filesystem::path folder = FixtureFolder() + "/" + mode + "/mail";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".env")
            continue;
        TDelivery delivery;
        std::istringstream lines(ReadFile(entry.path()));
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos)
                delivery.Envelope.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
        if (delivery.Value("subject") != subject)
            continue;
        std::filesystem::path base = entry.path();
        delivery.Raw = ReadFile(base.replace_extension(".eml"));
        delivery.Body = ReadFile(base.replace_extension(".body"));
        found.push_back(std::move(delivery));
    }
    return found;
}

// Subjects tell this run's messages from those of any other test.
std::string UniqueSubject(const std::string& stem) {
    std::random_device random;
    return stem + " #" + std::to_string(random());
}

// What a server received on the connection that greeted it with `helo`, line by
// line, each starting "clear " or "tls ".
std::vector<std::string> Wire(const std::string& mode, const std::string& helo) {
    const std::filesystem::path folder = FixtureFolder() + "/" + mode + "/wire";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::vector<std::string> lines;
        std::istringstream text(ReadFile(entry.path()));
        bool mine = false;
        for (std::string line; std::getline(text, line);) {
            mine = mine || line.find(" EHLO " + helo) != std::string::npos ||
                   line.rfind("tls EHLO " + helo, 0) == 0;
            lines.push_back(line);
        }
        if (mine)
            return lines;
    }
    return {};
}

std::string UniqueHelo() {
    std::random_device random;
    return "t" + std::to_string(random()) + ".example.test";
}

std::vector<std::string> InClear(const std::vector<std::string>& wire) {
    std::vector<std::string> clear;
    for (const std::string& line : wire)
        if (line.rfind("clear ", 0) == 0)
            clear.push_back(line.substr(6));
    return clear;
}

// Sends the sample report and gives what the server recorded of it.
TDelivery DeliverSample(const std::string& mode, const TSmtpServer& server) {
    const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));
    EXPECT_EQ(SendFailure(server, message), "");
    auto found = Deliveries(mode, message.Subject);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? TDelivery{} : std::move(found.front());
}

TEST(SmtpDelivery, ArrivesWithEnvelopeCredentialsHeadersAndBodyIntact) {
    const TSmtpServer server = ClearTextLogin("p\xE4ss w=rd");
    TMailMessage message =
        SampleReport(UniqueSubject("Kalvaren - Success (08/12/2026) \xC3\xA9t\xC3\xA9"));
    message.To = "  first@example.test , ,Second <second@example.test>,";
    // Every Latin-1 character but the line ends (the program's UTF-8 text, sent
    // as Latin-1 bytes), a line far past any limit, lines that start with dots,
    // blanks at line ends, and all three kinds of line end.
    std::string bytes, text;
    for (int c = 1; c < 256; ++c) {
        if (c == '\r' || c == '\n')
            continue;
        bytes += static_cast<char>(c);
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    message.HtmlBody = "<B>Params:</B> -a <BR>\r\n" + text + "\n." + "\r\n.dot first \r" +
                       std::string(3000, 'L') + "\r\n\r\nlast\t";
    const std::string expectedBody = "<B>Params:</B> -a <BR>\r\n" + bytes +
                                     "\r\n.\r\n.dot first \r\n" + std::string(3000, 'L') +
                                     "\r\n\r\nlast\t\r\n";

    ASSERT_EQ(SendFailure(server, message), "");

    const auto found = Deliveries("auth", message.Subject);
    ASSERT_EQ(found.size(), 1u);
    const TDelivery& mail = found.front();
    EXPECT_EQ(mail.Value("mail_from"), "backup@example.test");
    const auto recipients = mail.Envelope.equal_range("rcpt");
    std::vector<std::string> rcpt;
    for (auto it = recipients.first; it != recipients.second; ++it)
        rcpt.push_back(it->second);
    EXPECT_EQ(rcpt, (std::vector<std::string>{"first@example.test", "second@example.test"}));
    EXPECT_EQ(mail.Value("login"), "backup@example.test");
    EXPECT_EQ(mail.Value("password"), "p\xE4ss w=rd");
    EXPECT_EQ(mail.Value("mechanism"), "LOGIN");
    EXPECT_EQ(mail.Value("tls"), "no") << "a server without STARTTLS keeps the plain exchange";
    EXPECT_EQ(mail.Value("defects"), "0");
    EXPECT_NE(mail.Raw.find("\r\nTo: first@example.test, Second <second@example.test>\r\n"),
              std::string::npos);
    EXPECT_NE(mail.Raw.find("\r\nContent-Type: text/html; charset=iso-8859-1\r\n"),
              std::string::npos);
    EXPECT_EQ(mail.Body, expectedBody);
}

TEST(SmtpDelivery, AnEmptyPasswordIsStillSent) {
    const TDelivery mail = DeliverSample("auth", ClearTextLogin(""));
    EXPECT_EQ(mail.Value("login"), "backup@example.test");
    EXPECT_EQ(mail.Value("password"), "");
}

TEST(SmtpDelivery, ARefusedLoginDeliversNothingAndSaysWhy) {
    const TSmtpServer server = ClearTextLogin("wrong password"); // the fixture refuses this one
    const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Error"));
    const std::string error = SendFailure(server, message);
    const std::string expected =
        "Mail to 127.0.0.1:" + std::to_string(server.Port) + " failed: login refused: 535";
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    EXPECT_TRUE(Deliveries("auth", message.Subject).empty());
}

TEST(SmtpDelivery, AServerWithoutAuthGetsNoLoginAttempt) {
    // This server answers any AUTH with an error, so a login attempt would fail the send.
    TSmtpServer server = Server("noauth");
    server.User = "backup@example.test";
    server.Password = "secret";
    const TDelivery mail = DeliverSample("noauth", server);
    EXPECT_EQ(mail.Value("mail_from"), "backup@example.test");
    EXPECT_EQ(mail.Value("login"), "<none>");
}

TEST(SmtpDelivery, ASilentServerFailsWithinTheTimeoutTheTlsHandshakeIncluded) {
    for (const auto security : {kal::TSmtpSecurity::StartTls, kal::TSmtpSecurity::Implicit}) {
        TSmtpServer server = Server("silent");
        server.Security = security;
        server.TimeoutMs = 1500;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendFailure(server, SampleReport("never")),
                  "Mail to 127.0.0.1:" + std::to_string(server.Port) +
                      " failed: no reply within 1.5 s");
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
        EXPECT_LT(elapsed, std::chrono::seconds(10));
    }
}

// ---- TLS: servers with certificates from the fixture's test CA ----

struct TTlsCase {
    std::string Mode;
    std::string Address; // the EmailServer text, "<port>" standing for the port
};

TEST(SmtpTls, EveryWayInDeliversEncryptedWithTheLoginTheServerOffers) {
    const struct {
        TTlsCase Case;
        std::string Mechanism;
        std::vector<std::string> Clear; // what may cross before TLS
    } cases[] = {
        {{"starttls", "localhost:<port>"}, "LOGIN", {"EHLO", "STARTTLS"}},
        {{"starttls", "smtp://localhost:<port>"}, "LOGIN", {"EHLO", "STARTTLS"}},
        {{"plainonly", "localhost:<port>"}, "PLAIN", {"EHLO", "STARTTLS"}},
        {{"tls", "smtps://localhost:<port>"}, "LOGIN", {}},
        // Asked for a client certificate it does not have, the handshake goes on.
        {{"askscert", "localhost:<port>"}, "LOGIN", {"EHLO", "STARTTLS"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case.Address + " (" + c.Case.Mode + ")");
        std::string address = c.Case.Address;
        address.replace(address.find("<port>"), 6, std::to_string(Port(c.Case.Mode)));
        TSmtpServer server = TlsServer(c.Case.Mode);
        const TSmtpServer parsed = kal::ParseSmtpAddress(address);
        server.Port = parsed.Port;
        server.Security = parsed.Security;
        server.HeloName = UniqueHelo();
        const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));

        ASSERT_EQ(SendFailure(server, message), "");

        const auto found = Deliveries(c.Case.Mode, message.Subject);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].Value("tls"), "yes");
        EXPECT_EQ(found[0].Value("mechanism"), c.Mechanism);
        EXPECT_EQ(found[0].Value("login"), "backup@example.test");
        EXPECT_EQ(found[0].Value("password"), "s3cret pass");
        EXPECT_EQ(found[0].Body,
                  "<B>Params:</B> -a <BR>\r\nThis is an automated responce.<BR>\r\n");
        std::vector<std::string> clearWords;
        for (const std::string& line : InClear(Wire(c.Case.Mode, server.HeloName)))
            clearWords.push_back(line.substr(0, line.find(' ')));
        EXPECT_EQ(clearWords, c.Clear);
    }
}

TEST(SmtpTls, AnAddressIsProvedByTheCertificatesIpEntriesAloneAndIsNeverSentAsSni) {
    const std::string mismatch = "the server's certificate is for another name than ";
    const struct {
        std::string Mode, Host;
        std::string Reason; // empty: delivered
    } cases[] = {
        {"ipcert", "127.0.0.1", ""},
        {"ipcert6", "::1", ""},
        {"ipcert", "localhost", mismatch + "\"localhost\""},
        {"ipdns", "127.0.0.1", mismatch + "\"127.0.0.1\""}, // a DNS entry proves no address
        {"starttls", "127.0.0.1", mismatch + "\"127.0.0.1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mode + " as " + c.Host);
        TSmtpServer server = TlsServer(c.Mode);
        server.Host = c.Host;
        const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));
        const std::string shown = c.Host == "::1" ? "[::1]" : c.Host;
        EXPECT_EQ(SendFailure(server, message), c.Reason.empty() ? ""
                                                                 : "Mail to " + shown + ":" +
                                                                       std::to_string(server.Port) +
                                                                       " failed: " + c.Reason);
        EXPECT_EQ(Deliveries(c.Mode, message.Subject).size(), c.Reason.empty() ? 1u : 0u);
    }
    // The name went as SNI; neither address did.
    EXPECT_EQ(ReadFile(FixtureFolder() + "/ipcert/wire/sni") +
                  ReadFile(FixtureFolder() + "/ipcert6/wire/sni"),
              "(none)\nlocalhost\n(none)\n");
}

TEST(SmtpTls, ATls13OnlyServerGetsTheReportOrTheNamedReason) {
    // Windows offers TLS 1.3 from Windows 11 and Server 2022 on; elsewhere the
    // mail must say why it failed rather than give a bare status code.
    TSmtpServer server = TlsServer("tls13");
    const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));
    const std::string error = SendFailure(server, message);
    if (error.empty()) {
        ASSERT_EQ(Deliveries("tls13", message.Subject).size(), 1u);
        EXPECT_EQ(Deliveries("tls13", message.Subject)[0].Value("tls"), "yes");
    } else {
        EXPECT_NE(error.find("TLS 1.3 needs Windows 11"), std::string::npos) << error;
    }
}

TEST(SmtpTls, APlainServerReachedAsSmtpsFailsAtOnceWithTheReason) {
    // The user typed smtps:// (or port 465) for a server that speaks plain SMTP:
    // its greeting is no TLS, and that ends the mail before the deadline does.
    TSmtpServer server = Server("auth");
    server.Security = kal::TSmtpSecurity::Implicit;
    server.User = "backup@example.test";
    const std::string error = SendFailure(server, SampleReport("never"));
    const std::string prefix =
        "Mail to 127.0.0.1:" + std::to_string(server.Port) + " failed: TLS handshake failed: ";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
}

TEST(SmtpTls, AnUnprovenServerGetsNeitherLoginNorReportAndTheErrorSaysWhy) {
    const struct {
        std::string Mode;
        std::string Reason;
    } cases[] = {
        {"untrusted", "the server's certificate is not from a trusted certification authority"},
        {"wrongname", "the server's certificate is for another name than \"localhost\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mode);
        TSmtpServer server = TlsServer(c.Mode);
        server.HeloName = UniqueHelo();
        const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));

        EXPECT_EQ(SendFailure(server, message),
                  "Mail to localhost:" + std::to_string(server.Port) + " failed: " + c.Reason);

        EXPECT_TRUE(Deliveries(c.Mode, message.Subject).empty());
        // Not one line after the go-ahead: no QUIT in clear, no login in any form.
        EXPECT_EQ(Wire(c.Mode, server.HeloName),
                  (std::vector<std::string>{"clear EHLO " + server.HeloName, "clear STARTTLS"}));
    }
}

} // namespace
