// Transfer runs: the runner's own lines, refusal while a run is going, and the
// text of the report.
#include "URSyncProcess.h"
#include "transfer_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace kal {
namespace {

using test::TOutputRecorder;
using test::WM_CLOSE;
using test::WM_CONSOLE_ERROR;
using test::WM_CONSOLE_OUTPUT;

// A configuration whose "rsync" is a shell command, so runs take no network.
class Runs : public ::testing::Test {
protected:
    void SetUp() override {
        test::UseStore(Sync);
        Sync.SetOutputHandle(&Window);
        UseChild("true");
    }

    // The options and item end up as the script's $0.. and are ignored.
    void UseChild(const std::string& script) {
        Sync.SetRSyncLocation("/bin/sh -c \"" + script + "\"");
    }
    std::shared_ptr<TRSyncProcess> RunAndWait(const std::vector<std::string>& items) {
        return test::RunAndWait(Sync, items);
    }

    TOutputRecorder Window;
    TRSync Sync;
};

TEST_F(Runs, ProgressLinesAroundEveryItem) {
    const std::string before = FormatDDMMYYhhmm(Now());
    const auto process = RunAndWait({"first", "\"second item\""});
    const std::string after = FormatDDMMYYhhmm(Now());
    const auto texts = Window.Texts(WM_CONSOLE_OUTPUT);
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[0], "Transfer Intialising. Press Ctrl+Break to Terminate transfer.");
    EXPECT_TRUE(texts[1] == "Transfering: first (" + before + ")" ||
                texts[1] == "Transfering: first (" + after + ")")
        << texts[1];
    EXPECT_TRUE(std::regex_match(texts[1],
                                 std::regex(R"(Transfering: first \(\d\d.\d\d.\d\d \d\d.\d\d\))")));
    EXPECT_EQ(texts[2], "\n");
    EXPECT_TRUE(std::regex_match(
        texts[3], std::regex(R"(Transfering: "second item" \(\d\d.\d\d.\d\d \d\d.\d\d\))")))
        << texts[3];
    EXPECT_EQ(texts[4], "\n");
    EXPECT_EQ(texts[5], "Transfer Complete.");
    EXPECT_EQ(Window.Count(WM_CLOSE), 0) << "the default delay leaves the terminal open";
    EXPECT_EQ(process->CommandLineOf(1), "/bin/sh -c \"true\" -v -h -a \"second item\"");
    EXPECT_FALSE(process->ErrorSeen());
}

TEST_F(Runs, RunTakesTheDelayCurrentAtItsStart) {
    Sync.SetOutputAutoCloseDelay(0);
    const auto process = RunAndWait({"x"});
    Sync.SetOutputAutoCloseDelay(-1);
    EXPECT_EQ(process->AutoCloseDelay(), 0);
    EXPECT_EQ(Window.Count(WM_CLOSE), 1);
}

TEST_F(Runs, ARunningTransferRefusesAnotherAndLaterOnesStart) {
    UseChild("sleep 0.4");
    Sync.RunTransfer({"first"}, 0, 0);
    const auto first = Sync.ProcessRef();
    Sync.RunTransfer({"second"}, 0, 0);
    EXPECT_EQ(Sync.ProcessRef(), first);
    EXPECT_EQ(first->Items(), std::vector<std::string>{"first"});
    Sync.WaitForProcess();
    EXPECT_FALSE(first->Running());

    UseChild("true");
    Sync.RunTransfer({"third"}, 0, 0);
    Sync.WaitForProcess();
    ASSERT_NE(Sync.ProcessRef(), first);
    EXPECT_EQ(Sync.ProcessRef()->Items(), std::vector<std::string>{"third"});
}

TEST_F(Runs, ADestinationThatCannotBePreparedIsAnErrorThatRunsNothing) {
    UseChild("echo ran");
    Sync.SetServer(std::make_unique<TLocalHost>("/nonexistent-kal/parent/child"));
    const auto process = RunAndWait({"x"});
    EXPECT_EQ(Window.Texts(WM_CONSOLE_ERROR),
              std::vector<std::string>{"The destination folder /nonexistent-kal/parent/child\\ "
                                       "is not available: it does not exist and cannot be "
                                       "created. Is its drive connected?"});
    EXPECT_EQ(Window.Output(), "Transfer Intialising. Press Ctrl+Break to Terminate transfer.");
    EXPECT_EQ(process->Outcome(), TRunOutcome::NotRun);
    EXPECT_EQ(process->ReportSubject().substr(0, 18), "Kalvaren - Error (");
}

// The child's exit decides as well as its error text: a crashed or killed rsync
// is an error, vanished source files only a warning.
TEST_F(Runs, TheExitCodeCounts) {
    const struct {
        const char* Script;
        const char* Error;
        const char* Warning;
    } cases[] = {
        {"exit 0", "", ""},
        {"echo failed; exit 23", "rsync ended with exit code 23: Partial transfer due to error",
         ""},
        {"exit 24", "",
         "Warning: rsync ended with exit code 24: Partial transfer due to vanished source files"},
        {"kill -9 $$", "rsync ended abnormally: signal 9", ""},
        {"exit 137", "rsync ended with exit code 137: Ended by signal 9", ""},
        {"exit 77", "rsync ended with exit code 77: Unknown error", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Script);
        TOutputRecorder window;
        Sync.SetOutputHandle(&window);
        UseChild(c.Script);
        const auto process = RunAndWait({"x"});
        const auto errors = window.Texts(WM_CONSOLE_ERROR);
        EXPECT_EQ(errors.empty() ? "" : errors.front(), c.Error);
        EXPECT_EQ(process->ErrorSeen(), *c.Error != 0);
        EXPECT_NE(window.Output().find(c.Warning), std::string::npos);
        EXPECT_EQ(process->Outcome(), TRunOutcome::Completed);
        Sync.WaitUntilIdle();
    }
}

TEST_F(Runs, ReportSubjectAndBody) {
    auto process = RunAndWait({"\"/cygdrive/D/a b\" \"store::Master/\"", "x y"});
    EXPECT_EQ(process->ReportSubject(), "Kalvaren - Success (" + FormatShortDate(Now()) + ")");
    EXPECT_EQ(process->ReportBody(),
              "<B>Params:</B> -v -h -a <BR>\r\n"
              "<B>Files/Folders:</B><BR>\r\n"
              "&quot;/cygdrive/D/a b&quot; &quot;store::Master/&quot;<BR>\r\n"
              "x y<BR>\r\n"
              "<BR>\r\n"
              "This is an automated responce. Please do not reply to "
              "this email.<BR>\r\n");

    // Error text from any child decides, whatever the exit code.
    UseChild("echo warning >&2; exit 0");
    process = RunAndWait({"x"});
    EXPECT_TRUE(process->ErrorSeen());
    EXPECT_EQ(process->ReportSubject(), "Kalvaren - Error (" + FormatShortDate(Now()) + ")");
}

} // namespace
} // namespace kal
