// The report mail of a run, delivered to a real SMTP server on 127.0.0.1 (the
// project's aiosmtpd fixture, one private instance per test).
#include "test_support.h"
#include "URSyncProcess.h"
#include "transfer_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace kal {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TOutputRecorder;
using test::WM_CLOSE;
using test::WM_CONSOLE_ERROR;
using test::WM_CONSOLE_OUTPUT;

class TSmtpServerProcess {
public:
    explicit TSmtpServerProcess(const std::string& mode) {
        const char* source = std::getenv("KAL_SOURCE_DIR");
        const fs::path script = fs::path(source ? source : ".") / "tests/fixtures/smtp_server.py";
        FProcess = std::make_unique<test::ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", script.string(), "--mode", mode, "--port-file",
            (FFolder / "port").string(), "--mail-dir", MailFolder().string(), "--seconds", "60"});
        for (int i = 0; i < 300 && !fs::exists(FFolder / "port"); ++i)
            std::this_thread::sleep_for(20ms);
        if (!fs::exists(FFolder / "port"))
            throw std::runtime_error("SMTP server did not start: " + FProcess->Err());
        FAddress = "127.0.0.1:" + std::to_string(std::stoi(test::ReadTextFile(FFolder / "port")));
    }
    ~TSmtpServerProcess() {
        FProcess->Terminate();
        FProcess->Wait();
    }
    const std::string& Address() const { return FAddress; }
    fs::path MailFolder() const { return FFolder / "mail"; }

    // Numbers of the messages recorded so far (N.env is written last).
    std::vector<std::string> Messages() const {
        std::vector<std::string> numbers;
        if (fs::exists(MailFolder()))
            for (const auto& entry : fs::directory_iterator(MailFolder()))
                if (entry.path().extension() == ".env")
                    numbers.push_back(entry.path().stem().string());
        return numbers;
    }
    std::string Envelope(const std::string& number) const {
        return test::ReadTextFile(MailFolder() / (number + ".env"));
    }
    std::string Body(const std::string& number) const {
        return test::ReadTextFile(MailFolder() / (number + ".body"));
    }

private:
    test::TempDir FFolder{"kal-smtp"};
    std::unique_ptr<test::ChildProcess> FProcess;
    std::string FAddress;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class MailedReports : public ::testing::Test {
protected:
    void SetUp() override {
        test::UseStore(Sync);
        Sync.SetOutputHandle(&Window);
        Sync.SetRSyncLocation("/bin/sh -c \"true\"");
        Sync.SetEmailRecipient("jo@example.com");
        Sync.SetEmailFrom("kalvaren@example.com");
        Sync.SetEmailPassword("s3cret pass");
    }
    void TearDown() override { TRSyncProcess::ReportTimeoutMs = 30000; }

    std::shared_ptr<TRSyncProcess> RunAndWait(const std::vector<std::string>& items) {
        return test::RunAndWait(Sync, items);
    }

    TOutputRecorder Window;
    TRSync Sync;
};

TEST_F(MailedReports, ACompletedRunDeliversOneSuccessReport) {
    TSmtpServerProcess server("auth");
    Sync.SetEmailServer("smtp+insecure://" + server.Address());
    const std::vector<std::string> items{
        R"(/cygdrive/D/Work "store::Master/")",
        R"("/cygdrive/E/Tom & Jerry <img src=http://tracker.test/p.png>/" "store::Master/")"};
    RunAndWait(items);
    const std::string today = FormatShortDate(Now());

    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const auto envelope = Lines(server.Envelope(messages[0]));
    EXPECT_EQ(envelope, (std::vector<std::string>{
                            "mail_from=kalvaren@example.com", "rcpt=jo@example.com",
                            "login=kalvaren@example.com", "password=s3cret pass", "mechanism=LOGIN",
                            "tls=no", "subject=Kalvaren - Success (" + today + ")", "defects=0"}));
    EXPECT_EQ(
        Lines(server.Body(messages[0])),
        (std::vector<std::string>{
            "<B>Params:</B> -v -h -a <BR>", "<B>Files/Folders:</B><BR>",
            "/cygdrive/D/Work &quot;store::Master/&quot;<BR>",
            "&quot;/cygdrive/E/Tom &amp; Jerry &lt;img src=http://tracker.test/p.png&gt;/&quot; "
            "&quot;store::Master/&quot;<BR>",
            "<BR>", "This is an automated responce. Please do not reply to this email.<BR>"}));
    EXPECT_TRUE(Window.Texts(WM_CONSOLE_ERROR).empty());
}

TEST_F(MailedReports, EverySettingIsNeededButNeitherTerminalNorPassword) {
    TSmtpServerProcess server("auth");
    Sync.SetEmailServer("smtp+insecure://" + server.Address());
    Sync.SetEmailRecipient("");
    RunAndWait({"x"});
    EXPECT_TRUE(server.Messages().empty()) << "no recipient, no report";

    // A run without a terminal still reports; an empty password still logs in.
    Sync.SetEmailRecipient("jo@example.com, backup@example.com");
    Sync.SetEmailPassword("");
    Sync.SetOutputHandle(nullptr);
    RunAndWait({"x"});
    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string envelope = server.Envelope(messages[0]);
    EXPECT_NE(envelope.find("\nrcpt=jo@example.com\nrcpt=backup@example.com\n"), std::string::npos)
        << envelope;
    EXPECT_NE(envelope.find("\nlogin=kalvaren@example.com\npassword=\n"), std::string::npos)
        << envelope;
}

TEST_F(MailedReports, ErrorTextMakesAnErrorReportAndAStopSendsNone) {
    TSmtpServerProcess server("auth");
    Sync.SetEmailServer("smtp+insecure://" + server.Address());
    Sync.SetRSyncLocation("/bin/sh -c \"echo '@ERROR: Unknown module' >&2; exit 5\"");
    RunAndWait({"x"});
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(server.Envelope(messages[0])
                  .find("\nsubject=Kalvaren - Error (" + FormatShortDate(Now()) + ")\n"),
              std::string::npos);

    // Stopped while the child is silent: it takes effect when the child ends.
    Sync.SetRSyncLocation("/bin/sh -c \"sleep 0.3\"");
    Sync.RunTransfer({"y", "z"}, 0, 0);
    Sync.TerminateProcess();
    Sync.ProcessRef()->FreeThread(); // a wait after a stop request returns at once
    EXPECT_EQ(Window.Texts(WM_CONSOLE_OUTPUT).back(), "Process Terminated!");
    EXPECT_EQ(Sync.ProcessRef()->ItemIndex(), 0) << "the second item never started";
    EXPECT_EQ(server.Messages().size(), 1u);
}

TEST_F(MailedReports, ASilentServerDelaysTheEndByTheTimeoutOnly) {
    TSmtpServerProcess server("silent");
    Sync.SetEmailServer(server.Address());
    TRSyncProcess::ReportTimeoutMs = 1000;

    const auto start = std::chrono::steady_clock::now();
    const auto process = RunAndWait({"x"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 6s);
    EXPECT_FALSE(process->Running());
    const auto errors = Window.Texts(WM_CONSOLE_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(server.Address()), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0].find('\n'), std::string::npos) << "one line";
    EXPECT_EQ(Window.Texts(WM_CONSOLE_OUTPUT).back(), "Transfer Complete.");

    // The run ended normally: the next one is accepted.
    Sync.SetEmailServer("");
    Sync.RunTransfer({"again"}, 0, 0);
    Sync.WaitForProcess();
    ASSERT_NE(Sync.ProcessRef(), process);
    EXPECT_EQ(Sync.ProcessRef()->Items(), std::vector<std::string>{"again"});
}

TEST_F(MailedReports, AnUnreachableServerIsOneErrorLine) {
    const std::string address = "127.0.0.1:" + std::to_string(test::FreePort());
    Sync.SetEmailServer(address);
    const auto process = RunAndWait({"x"});
    const auto errors = Window.Texts(WM_CONSOLE_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(address), std::string::npos) << errors[0];
    EXPECT_FALSE(process->Running());
}

} // namespace
} // namespace kal
