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

// The server of a fixture mode: "auth", "noauth" or "silent".
TSmtpServer Server(const std::string& mode) {
    const std::string port = ReadFile(FixtureFolder() + "/" + mode + "/port");
    TSmtpServer server;
    server.Host = "127.0.0.1";
    server.Port = static_cast<std::uint16_t>(std::atoi(port.c_str()));
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

// Sends the sample report and gives what the server recorded of it.
TDelivery DeliverSample(const std::string& mode, const TSmtpServer& server) {
    const TMailMessage message = SampleReport(UniqueSubject("Kalvaren - Success"));
    EXPECT_EQ(SendFailure(server, message), "");
    auto found = Deliveries(mode, message.Subject);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? TDelivery{} : std::move(found.front());
}

TEST(SmtpDelivery, ArrivesWithEnvelopeCredentialsHeadersAndBodyIntact) {
    TSmtpServer server = Server("auth");
    server.User = "backup@example.test";
    server.Password = "p\xE4ss w=rd";
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
    EXPECT_EQ(mail.Value("defects"), "0");
    EXPECT_NE(mail.Raw.find("\r\nTo: first@example.test, Second <second@example.test>\r\n"),
              std::string::npos);
    EXPECT_NE(mail.Raw.find("\r\nContent-Type: text/html; charset=iso-8859-1\r\n"),
              std::string::npos);
    EXPECT_EQ(mail.Body, expectedBody);
}

TEST(SmtpDelivery, AnEmptyPasswordIsStillSent) {
    TSmtpServer server = Server("auth");
    server.User = "backup@example.test";
    const TDelivery mail = DeliverSample("auth", server);
    EXPECT_EQ(mail.Value("login"), "backup@example.test");
    EXPECT_EQ(mail.Value("password"), "");
}

TEST(SmtpDelivery, ARefusedLoginDeliversNothingAndSaysWhy) {
    TSmtpServer server = Server("auth");
    server.User = "backup@example.test";
    server.Password = "wrong password"; // the fixture refuses this one
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

TEST(SmtpDelivery, ASilentServerFailsWithinTheTimeout) {
    TSmtpServer server = Server("silent");
    server.TimeoutMs = 1500;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFailure(server, SampleReport("never")),
              "Mail to 127.0.0.1:" + std::to_string(server.Port) +
                  " failed: no reply within 1.5 s");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

} // namespace
