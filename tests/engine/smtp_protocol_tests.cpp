// The SMTP exchange against a scripted loopback server: order of commands,
// multi-line replies, fall-backs, refusals, silence and a dropped connection.
#include "USmtp.h"
#include "smtp_testing.h"
#include "smtp_fake_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using kal::TMailMessage;
using kal::TSmtpServer;
using kal::test::TFakeSmtpServer;
using Script = TFakeSmtpServer::TScript;

using kal::test::SampleReport;
using kal::test::SendFailure;

namespace {

TSmtpServer At(const TFakeSmtpServer& fake, int timeoutMs = 5000) {
    TSmtpServer server;
    server.Host = "127.0.0.1";
    server.Port = fake.Port();
    server.User = "backup@example.test";
    server.Password = "s3cret";
    server.HeloName = "client.example.test";
    server.TimeoutMs = timeoutMs;
    // The plain exchange, login in clear text included, as smtp+insecure:// asks.
    server.Security = kal::TSmtpSecurity::Insecure;
    return server;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SmtpExchange, FollowsTheDialogueInOrderAndLogsIn) {
    TFakeSmtpServer fake(Script{});
    ASSERT_TRUE(fake.Listening());
    EXPECT_EQ(SendFailure(At(fake), SampleReport()), "");
    const auto record = fake.Finish();
    const std::vector<std::string> expected = {
        "EHLO client.example.test",
        "AUTH LOGIN",
        "YmFja3VwQGV4YW1wbGUudGVzdA==", // backup@example.test
        "czNjcmV0",                     // s3cret
        "MAIL FROM:<backup@example.test>",
        "RCPT TO:<first@example.test>",
        "RCPT TO:<second@example.test>",
        "DATA",
        "QUIT",
    };
    EXPECT_EQ(record.Lines, expected);
    ASSERT_GE(record.Data.size(), 5u);
    EXPECT_EQ(record.Data.substr(record.Data.size() - 5), "\r\n.\r\n");
    EXPECT_NE(record.Data.find("Subject: Kalvaren - Success (08/12/2026)\r\n"), std::string::npos);
}

TEST(SmtpExchange, ReadsMultiLineRepliesAndFindsLoginAmongMechanisms) {
    TFakeSmtpServer fake(Script{{"GREETING", "220-fake.test ESMTP\r\n220-no spam\r\n220 welcome"},
                                {"EHLO", "250-fake.test\r\n250-SIZE 1000\r\n250-AUTH=PLAIN\r\n"
                                         "250-auth plain login cram-md5\r\n250 8BITMIME"}});
    EXPECT_EQ(SendFailure(At(fake), SampleReport()), "");
    const auto lines = fake.Finish().Lines;
    EXPECT_TRUE(Contains(lines, "AUTH LOGIN"));
    EXPECT_EQ(lines.back(), "QUIT");
}

TEST(SmtpExchange, LogsInOnlyWhenLoginIsOfferedAndAUserIsGiven) {
    {
        TFakeSmtpServer fake(Script{{"EHLO", "250-fake.test\r\n250 AUTH PLAIN CRAM-MD5"}});
        EXPECT_EQ(SendFailure(At(fake), SampleReport()), "");
        const auto lines = fake.Finish().Lines;
        EXPECT_EQ(lines[1], "MAIL FROM:<backup@example.test>");
    }
    {
        TFakeSmtpServer fake(Script{});
        TSmtpServer server = At(fake);
        server.User.clear();
        EXPECT_EQ(SendFailure(server, SampleReport()), "");
        EXPECT_FALSE(Contains(fake.Finish().Lines, "AUTH LOGIN"));
    }
    {
        // An empty password is still sent: an empty base64 line.
        TFakeSmtpServer fake(Script{});
        TSmtpServer server = At(fake);
        server.Password.clear();
        EXPECT_EQ(SendFailure(server, SampleReport()), "");
        const auto lines = fake.Finish().Lines;
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[1], "AUTH LOGIN");
        EXPECT_EQ(lines[3], "");
    }
}

TEST(SmtpExchange, AServerThatOffersTlsGetsNothingMoreInClearText) {
    const std::string offer = "250-fake.test\r\n250-STARTTLS\r\n250 AUTH LOGIN PLAIN";
    struct TCase {
        std::string Reply, Reason;
        std::vector<std::string> Lines;
    };
    const TCase cases[] = {
        // Refused: QUIT is all that may follow.
        {"454 4.7.0 TLS not available",
         "STARTTLS refused: 454 4.7.0 TLS not available",
         {"EHLO client.example.test", "STARTTLS", "QUIT"}},
        {"502 5.5.1 not implemented",
         "STARTTLS refused: 502 5.5.1 not implemented",
         {"EHLO client.example.test", "STARTTLS", "QUIT"}},
        // A reply smuggled in behind the go-ahead is a forger's.
        {"220 go ahead\r\n250 2.1.0 sender ok",
         "the server sent more than its go-ahead for TLS",
         {"EHLO client.example.test", "STARTTLS"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Reply);
        TFakeSmtpServer fake(Script{{"EHLO", offer}, {"STARTTLS", c.Reply}});
        TSmtpServer server = At(fake);
        server.Security = kal::TSmtpSecurity::StartTls;
        EXPECT_EQ(SendFailure(server, SampleReport()),
                  "Mail to 127.0.0.1:" + std::to_string(fake.Port()) + " failed: " + c.Reason);
        EXPECT_EQ(fake.Finish().Lines, c.Lines);
    }
}

TEST(SmtpExchange, WithoutTlsThePasswordCrossesOnlyWhenTheUserAllowsClearText) {
    const auto StartTls = kal::TSmtpSecurity::StartTls;
    const struct {
        std::string Ehlo;
        kal::TSmtpSecurity Security;
        std::string Next; // what follows EHLO; QUIT after the line that names the insecure form
    } cases[] = {
        {"250-fake.test\r\n250 AUTH LOGIN", StartTls, "QUIT"},
        {"250-fake.test\r\n250 AUTH PLAIN", StartTls, "QUIT"},
        {"250 fake.test", StartTls, "MAIL FROM:<backup@example.test>"}, // no login asked: no secret
        {"250-fake.test\r\n250 AUTH LOGIN", kal::TSmtpSecurity::Insecure, "AUTH LOGIN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Ehlo);
        TFakeSmtpServer fake(Script{{"EHLO", c.Ehlo}});
        TSmtpServer server = At(fake);
        server.Security = c.Security;
        const std::string error = SendFailure(server, SampleReport());
        EXPECT_EQ(error.find("enter the server as smtp+insecure://127.0.0.1:" +
                             std::to_string(fake.Port()) + " to send it in clear text") ==
                      std::string::npos,
                  c.Next != "QUIT")
            << error;
        const auto lines = fake.Finish().Lines;
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], c.Next);
    }
}

TEST(SmtpExchange, NoErrorLineRepeatsThePasswordAServerEchoes) {
    // base64 of "s3cret" and the password itself, echoed in a refusal.
    TFakeSmtpServer fake(Script{{"AUTH-PASSWORD", "535 bad password czNjcmV0 (s3cret)"}});
    const std::string error = SendFailure(At(fake), SampleReport());
    EXPECT_NE(error.find("login refused: 535 bad password *** (***)"), std::string::npos) << error;
    EXPECT_EQ(error.find("s3cret"), std::string::npos);
}

TEST(SmtpExchange, FallsBackToHeloWhenEhloIsRefused) {
    TFakeSmtpServer fake(Script{{"EHLO", "502 5.5.1 EHLO not implemented"}});
    EXPECT_EQ(SendFailure(At(fake), SampleReport()), "");
    const auto lines = fake.Finish().Lines;
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "EHLO client.example.test");
    EXPECT_EQ(lines[1], "HELO client.example.test");
    // HELO tells nothing of AUTH, so no login is tried.
    EXPECT_EQ(lines[2], "MAIL FROM:<backup@example.test>");
}

TEST(SmtpExchange, EveryRefusalFailsWithTheReplyAndStillQuits) {
    struct TCase {
        std::string Key, Reply, Reason, LastBeforeQuit;
    };
    const TCase cases[] = {
        {"GREETING", "554 5.3.2 busy", "server not ready: 554 5.3.2 busy", ""},
        {"HELO", "501 5.5.4 bad name", "HELO refused: 501 5.5.4 bad name",
         "HELO client.example.test"},
        {"AUTH", "504 5.5.4 unrecognized", "login refused: 504", "AUTH LOGIN"},
        {"AUTH-USER", "535 5.7.8 bad", "login refused: 535 5.7.8 bad",
         "YmFja3VwQGV4YW1wbGUudGVzdA=="},
        {"AUTH-PASSWORD", "535 5.7.8 Authentication credentials invalid",
         "login refused: 535 5.7.8 Authentication credentials invalid", "czNjcmV0"},
        {"MAIL", "550 5.7.1 sender rejected",
         "sender <backup@example.test> refused: 550 5.7.1 sender rejected",
         "MAIL FROM:<backup@example.test>"},
        {"RCPT", "550 5.1.1 no such user",
         "recipient <first@example.test> refused: 550 5.1.1 no such user",
         "RCPT TO:<first@example.test>"},
        {"DATA", "554 5.5.1 no valid recipients", "DATA refused: 554 5.5.1 no valid recipients",
         "DATA"},
        {".", "552 5.3.4 message too big", "message refused: 552 5.3.4 message too big", "DATA"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Key);
        TFakeSmtpServer::TScript script = {{c.Key, c.Reply}};
        if (c.Key == "HELO")
            script["EHLO"] = "500 5.5.2 what?";
        TFakeSmtpServer fake(script);
        const std::string error = SendFailure(At(fake), SampleReport());
        const std::string prefix = "Mail to 127.0.0.1:" + std::to_string(fake.Port()) + " failed: ";
        EXPECT_EQ(error.rfind(prefix + c.Reason, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        const auto lines = fake.Finish().Lines;
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "QUIT");
        if (!c.LastBeforeQuit.empty()) {
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[lines.size() - 2], c.LastBeforeQuit);
        }
    }
}

TEST(SmtpExchange, AnAcceptedMailStaysSentWhenQuitGoesWrong) {
    for (const std::string& quit : {std::string("500 5.5.2 what?"), TFakeSmtpServer::Hangup}) {
        TFakeSmtpServer fake(Script{{"QUIT", quit}});
        EXPECT_EQ(SendFailure(At(fake), SampleReport()), "") << quit;
    }
}

TEST(SmtpExchange, ASilentServerEndsAtTheDeadlineAndIsStillSentQuit) {
    TFakeSmtpServer fake(Script{{".", TFakeSmtpServer::Silent}});
    const auto start = std::chrono::steady_clock::now();
    const std::string error = SendFailure(At(fake, 1500), SampleReport());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error, "Mail to 127.0.0.1:" + std::to_string(fake.Port()) +
                         " failed: no reply within 1.5 s");
    EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
    EXPECT_LT(elapsed, std::chrono::seconds(10)); // bounded, not merely "eventually"
    EXPECT_EQ(fake.Finish().Lines.back(), "QUIT");
}

TEST(SmtpExchange, BrokenRepliesAndDroppedConnectionsFailClearly) {
    {
        TFakeSmtpServer fake(Script{{"MAIL", TFakeSmtpServer::Hangup}});
        EXPECT_NE(
            SendFailure(At(fake), SampleReport()).find("failed: connection closed by the server"),
            std::string::npos);
    }
    {
        TFakeSmtpServer fake(Script{{"EHLO", "hello there"}});
        const std::string error = SendFailure(At(fake), SampleReport());
        EXPECT_NE(error.find("unexpected reply \"hello there\""), std::string::npos) << error;
        EXPECT_EQ(fake.Finish().Lines.back(), "QUIT");
    }
    {
        // A continuation line with another code is no reply at all.
        TFakeSmtpServer fake(Script{{"EHLO", "250-fake.test\r\n550 AUTH LOGIN"}});
        EXPECT_NE(SendFailure(At(fake), SampleReport()).find("unexpected reply"),
                  std::string::npos);
    }
    {
        // An endless line must not make the client buffer it all.
        TFakeSmtpServer fake(Script{{"EHLO", "250 " + std::string(20000, 'x')}});
        EXPECT_NE(SendFailure(At(fake), SampleReport()).find("reply line longer than"),
                  std::string::npos);
    }
}

TEST(SmtpExchange, DotStuffsLinesThatStartWithADot) {
    TMailMessage message = SampleReport();
    message.HtmlBody = ".hidden<BR>\r\n.\r\nplain\r\n..two";
    TFakeSmtpServer fake(Script{});
    EXPECT_EQ(SendFailure(At(fake), message), "");
    const std::string data = fake.Finish().Data;
    EXPECT_NE(data.find("\r\n..hidden<BR>\r\n"), std::string::npos);
    EXPECT_NE(data.find("\r\n..\r\n"), std::string::npos);
    EXPECT_NE(data.find("\r\n...two\r\n"), std::string::npos);
    // Only the final line ends the data.
    EXPECT_EQ(data.find("\r\n.\r\n"), data.size() - 5);
}

TEST(SmtpExchange, RefusesAddressesThatWouldInjectCommandsBeforeConnecting) {
    TSmtpServer server;
    server.Host = "127.0.0.1";
    server.Port = kal::test::UnusedLoopbackPort();
    TMailMessage message = SampleReport();
    message.From = "backup@example.test>\r\nRCPT TO:<victim@example.test";
    EXPECT_NE(SendFailure(server, message).find("sender address holds a line break"),
              std::string::npos);
    message = SampleReport();
    message.To = "a@example.test\nDATA";
    EXPECT_NE(SendFailure(server, message).find("recipient list holds a line break"),
              std::string::npos);
    message = SampleReport();
    message.To = " , ,";
    EXPECT_NE(SendFailure(server, message).find("no recipient address"), std::string::npos);
}

TEST(SmtpExchange, GreetsWithAnAddressLiteralWhenTheNameIsNoDomain) {
    TFakeSmtpServer fake(Script{});
    TSmtpServer server = At(fake);
    server.HeloName = "MY_PC";
    EXPECT_EQ(SendFailure(server, SampleReport()), "");
    EXPECT_EQ(fake.Finish().Lines.front(), "EHLO [127.0.0.1]");
}

TEST(SmtpExchange, ReachesAnIpv6LoopbackServerByBracketedAddress) {
    TFakeSmtpServer fake(Script{}, true);
    if (!fake.Listening())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    TSmtpServer server = kal::ParseSmtpAddress("[::1]:" + std::to_string(fake.Port()));
    server.TimeoutMs = 5000;
    server.HeloName = "client.example.test";
    EXPECT_EQ(SendFailure(server, SampleReport()), "");
    EXPECT_EQ(fake.Finish().Lines.back(), "QUIT");
}

TEST(SmtpExchange, AClosedPortFailsFastWithTheReason) {
    TSmtpServer server;
    server.Host = "127.0.0.1";
    server.Port = kal::test::UnusedLoopbackPort();
    server.TimeoutMs = 20000;
    const auto start = std::chrono::steady_clock::now();
    const std::string error = SendFailure(server, SampleReport());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(error,
              "Mail to 127.0.0.1:" + std::to_string(server.Port) + " failed: connection refused");
}

} // namespace
