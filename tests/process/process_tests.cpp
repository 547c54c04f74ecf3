// The runner against real children (tests/helpers/testchild) and a recording output window.
#ifdef _WIN32
#include <windows.h>
#endif

#include "output_recorder.h"
#include "TestPattern.h"
#include "UProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using kal::TSerialProcess;
using kal::test::ChildCommand;
using kal::test::CloseMessage;
using kal::test::TOutputRecorder;
using kal::test::WM_CONSOLE_ERROR;
using kal::test::WM_CONSOLE_OUTPUT;
using Steps = std::vector<std::string>;

namespace {

// Records the hooks in the order the worker calls them.
class TRecordingProcess : public TSerialProcess {
public:
    ~TRecordingProcess() override { FreeThread(); }

    Steps Hooks() const {
        std::lock_guard lock(FLock);
        return FHooks;
    }
    bool RunningInsideHooks() const { return FRunningInsideHooks; }

protected:
    void GetCommandLine(std::string& text) override {
        Note("GetCommandLine");
        TSerialProcess::GetCommandLine(text);
    }
    void DoStart() override {
        Note("DoStart");
        TSerialProcess::DoStart();
    }
    void DoProcessStart() override {
        Note("DoProcessStart");
        TSerialProcess::DoProcessStart();
    }
    void DoProcessEnd() override {
        Note("DoProcessEnd");
        TSerialProcess::DoProcessEnd();
    }
    void DoFinish() override {
        Note("DoFinish");
        TSerialProcess::DoFinish();
    }
    void DoComplete() override {
        Note("DoComplete");
        TSerialProcess::DoComplete();
    }
    void DoTerminated() override {
        Note("DoTerminated");
        TSerialProcess::DoTerminated();
    }

private:
    void Note(const char* hook) {
        FRunningInsideHooks = FRunningInsideHooks && Running();
        std::lock_guard lock(FLock);
        FHooks.push_back(hook);
    }
    mutable std::mutex FLock;
    Steps FHooks;
    std::atomic<bool> FRunningInsideHooks{true};
};

const Steps OneChild = {"GetCommandLine", "DoProcessStart", "DoProcessEnd"};

Steps Concat(std::initializer_list<Steps> parts) {
    Steps all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string MissingProgram() {
#ifdef _WIN32
    return "\"C:\\Kalvaren\\no such folder\\missing-program.exe\" -av";
#else
    return "/nonexistent/kalvaren/missing-program -av";
#endif
}

struct ProcessTest : ::testing::Test {
    TOutputRecorder window;
    TRecordingProcess runner;
    ProcessTest() { runner.SetOutputHandle(window.Handle()); }

    // Runs the list and waits for its end, handling the window's messages meanwhile.
    void Run(const Steps& list) {
        runner.RunProcesses(&list);
        ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }));
    }
    // Starts the list and returns at once; the runner keeps its own copy.
    void Start(const Steps& list) { runner.RunProcesses(&list); }
    std::vector<unsigned> Kinds() const {
        std::vector<unsigned> kinds;
        for (const auto& record : window.Messages())
            kinds.push_back(record.Message);
        return kinds;
    }
};

} // namespace

// --- What reaches the window --------------------------------------------------------

TEST_F(ProcessTest, OutputArrivesAsOneMessageWithItsLengthIncludingTheNul) {
    Run({ChildCommand({"out", "abc"})});
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Message, WM_CONSOLE_OUTPUT);
    EXPECT_EQ(messages[0].Text, "abc");
    EXPECT_EQ(messages[0].LParam, 4);
    EXPECT_FALSE(runner.ErrorSeen());
    EXPECT_EQ(runner.Hooks(), Concat({{"DoStart"}, OneChild, {"DoFinish", "DoComplete"}}));
    EXPECT_TRUE(runner.RunningInsideHooks());
    EXPECT_TRUE(runner.Terminated());
}

TEST_F(ProcessTest, ErrorTextGoesOnlyAsErrorMessagesAndMarksTheRun) {
    Run({ChildCommand({"err", "rsync: link_stat failed", "sleep", "50", "err", "second"})});
    EXPECT_EQ(window.Count(WM_CONSOLE_OUTPUT), 0u);
    EXPECT_EQ(window.Joined(WM_CONSOLE_ERROR), "rsync: link_stat failedsecond");
    EXPECT_EQ(window.Count(WM_CONSOLE_ERROR), 2u);
    EXPECT_TRUE(runner.ErrorSeen());
}

TEST_F(ProcessTest, ChunkIsCutAtANulAndConvertedFromTheOemCodePage) {
    // "a", NUL, "bc" in one write: the window sees "a" only.
    Run({ChildCommand({"outhex", "61006263"}), ChildCommand({"outhex", "82"})});
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Text, "a");
    EXPECT_EQ(messages[0].LParam, 2);
#ifdef _WIN32
    char expected[2] = {'\x82', 0};
    OemToCharA(expected, expected);
    ASSERT_NE(expected[0], '\x82') << "OEM and ANSI code pages agree here; nothing to check";
    EXPECT_EQ(messages[1].Text, std::string(expected));
#else
    EXPECT_EQ(messages[1].Text, "\x82");
#endif
}

TEST_F(ProcessTest, EmptyTextsAreNotSentAndDoNotMarkErrors) {
    runner.WriteOutput("");
    runner.WriteError("");
    runner.WriteError(std::string_view("\0tail", 5));
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_FALSE(runner.ErrorSeen());

    runner.WriteOutput(std::string_view("x\0y", 3));
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "x");
    EXPECT_EQ(messages[0].LParam, 2);
}

TEST_F(ProcessTest, MuchErrorTextWhileOutputStaysOpenArrivesCompleteAndInOrder) {
    constexpr std::size_t errorBytes = 1 << 20, outputBytes = 100000;
    Run({ChildCommand({"out", "start", "flood-err", std::to_string(errorBytes), "flood-out",
                       std::to_string(outputBytes), "out", "end"})});
    std::string expectedError, expectedOutput = "start";
    for (std::size_t i = 0; i < errorBytes; ++i)
        expectedError += kal::testchild::PatternByte(i);
    for (std::size_t i = 0; i < outputBytes; ++i)
        expectedOutput += kal::testchild::PatternByte(i);
    expectedOutput += "end";
    // Compared as booleans: a mismatch would print megabytes.
    const std::string error = window.Joined(WM_CONSOLE_ERROR);
    const std::string output = window.Joined(WM_CONSOLE_OUTPUT);
    EXPECT_EQ(error.size(), expectedError.size());
    EXPECT_TRUE(error == expectedError);
    EXPECT_EQ(output.size(), expectedOutput.size());
    EXPECT_TRUE(output == expectedOutput);
    for (const auto& record : window.Messages()) {
        ASSERT_LE(record.TextSize, 1024u);
        ASSERT_EQ(record.LParam, static_cast<std::intptr_t>(record.TextSize + 1));
    }
}

// --- Programs that do not start -----------------------------------------------------

TEST_F(ProcessTest, AMissingProgramIsOneErrorLineAndTheRunGoesOn) {
    runner.SetAutoCloseDelay(-1);
    Run({MissingProgram(), ChildCommand({"out", "second"})});
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Message, WM_CONSOLE_ERROR);
#ifdef _WIN32
    const std::string program = "C:\\Kalvaren\\no such folder\\missing-program.exe";
#else
    const std::string program = "/nonexistent/kalvaren/missing-program";
#endif
    EXPECT_EQ(messages[0].Text.rfind("Cannot start " + program + ": ", 0), 0u) << messages[0].Text;
    EXPECT_GT(messages[0].Text.size(), ("Cannot start " + program + ": ").size())
        << "the system's reason is missing";
    EXPECT_EQ(messages[0].Text.find('\n'), std::string::npos) << "one line";
    EXPECT_TRUE(runner.ErrorSeen());
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "second");
    EXPECT_EQ(runner.Hooks(),
              Concat({{"DoStart"}, OneChild, OneChild, {"DoFinish", "DoComplete"}}));
}

TEST_F(ProcessTest, AnEmptyCommandLineStartsNothingAndSaysNothing) {
    Run({"", ChildCommand({"out", "second"}), ChildCommand({"out", "third"})});
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "secondthird");
    EXPECT_FALSE(runner.ErrorSeen());
    EXPECT_EQ(runner.Hooks(),
              Concat({{"DoStart"}, OneChild, OneChild, OneChild, {"DoFinish", "DoComplete"}}));
}

// --- The queue ----------------------------------------------------------------------

TEST_F(ProcessTest, EmptyOrMissingListFinishesAndCompletesOnly) {
    runner.SetAutoCloseDelay(0);
    runner.RunProcesses(nullptr);
    ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }));
    EXPECT_EQ(runner.Hooks(), (Steps{"DoFinish", "DoComplete"}));
    EXPECT_EQ(Kinds(), (std::vector<unsigned>{CloseMessage}));

    Run({});
    EXPECT_EQ(runner.Hooks(), (Steps{"DoFinish", "DoComplete", "DoFinish", "DoComplete"}));
    EXPECT_TRUE(runner.Items().empty());
}

TEST_F(ProcessTest, ListIsCopiedWhenTheRunStarts) {
    Steps list = {ChildCommand({"sleep", "100", "out", "a"})};
    runner.RunProcesses(&list);
    // Running from the moment the run is started, not only once the worker is scheduled.
    EXPECT_TRUE(runner.Running());
    list.push_back(ChildCommand({"out", "b"}));
    list.clear();
    ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }));
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "a");
    EXPECT_EQ(runner.Items().size(), 1u);
}

TEST_F(ProcessTest, RunProcessesAndWaitReturnsZeroAfterTheWholeRun) {
    const Steps list = {ChildCommand({"out", "1"}), ChildCommand({"sleep", "50", "out", "2"})};
    EXPECT_EQ(runner.RunProcessesAndWait(&list), 0);
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "12");
    EXPECT_EQ(runner.ItemIndex(), 2);
    EXPECT_TRUE(runner.Terminated());
    // A completed runner starts again without waiting for anything.
    EXPECT_EQ(runner.RunProcessesAndWait(&list), 0);
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "1212");
}

// --- Stopping -----------------------------------------------------------------------

TEST_F(ProcessTest, StopWhileTheChildIsSilentTakesEffectAtItsNextWrite) {
    runner.SetAutoCloseDelay(0);
    Start({ChildCommand({"out", "a", "sleep", "700", "out", "b", "sleep", "1500"})});
    ASSERT_TRUE(window.WaitUntil([&] { return window.Count(WM_CONSOLE_OUTPUT) == 1; }));
    // Let the worker get back into its read; a stop before that read ends at once.
    window.Pump(100ms);
    const auto stoppedAt = std::chrono::steady_clock::now();
    runner.Terminate();
    window.Pump(250ms);
    EXPECT_EQ(window.Messages().size(), 1u);
    EXPECT_TRUE(runner.Running());

    // The runner does not wait for the child, which still sleeps for seconds.
    ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }, 1200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - stoppedAt, 300ms);
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].Text, "b");
    EXPECT_EQ(messages[2].Text, "Process Terminated!");
    EXPECT_EQ(window.Count(CloseMessage), 0u);
    EXPECT_EQ(runner.Hooks(), Concat({{"DoStart"}, OneChild, {"DoFinish", "DoTerminated"}}));
}

TEST_F(ProcessTest, StopDuringTheSecondOfThreeItemsSkipsTheThird) {
    Start({ChildCommand({"out", "one"}),
           ChildCommand({"out", "two", "sleep", "300", "out", "late"}),
           ChildCommand({"out", "three"})});
    ASSERT_TRUE(window.WaitUntil([&] { return window.Joined(WM_CONSOLE_OUTPUT) == "onetwo"; }));
    window.Pump(100ms);
    runner.Terminate();
    ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }));
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "onetwolateProcess Terminated!");
    EXPECT_EQ(runner.ItemIndex(), 1);
    EXPECT_EQ(runner.Hooks(),
              Concat({{"DoStart"}, OneChild, OneChild, {"DoFinish", "DoTerminated"}}));

    // A stopped runner can run again.
    const Steps again = {ChildCommand({"out", "again"})};
    EXPECT_EQ(runner.RunProcessesAndWait(&again), 0);
    EXPECT_EQ(window.Messages().back().Text, "again");
}

TEST_F(ProcessTest, WithoutWindowTheChildRunsToItsEndDespiteAStop) {
    runner.SetOutputHandle(nullptr);
    runner.SetAutoCloseDelay(0);
    const auto started = std::chrono::steady_clock::now();
    Start({ChildCommand({"out", "unseen", "sleep", "400"})});
    runner.Terminate();
    runner.FreeThread();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 400ms);
    EXPECT_FALSE(runner.Running());
    EXPECT_EQ(runner.Hooks(), Concat({{"DoStart"}, OneChild, {"DoFinish", "DoTerminated"}}));
    EXPECT_TRUE(window.Messages().empty());
}

// --- Waiting ------------------------------------------------------------------------

TEST_F(ProcessTest, WaitForReturnsAtOnceWhenThereIsNothingToWaitFor) {
    EXPECT_EQ(runner.WaitFor(), 0); // never ran
    EXPECT_FALSE(runner.Running());

    Run({ChildCommand({"out", "x"})});
    EXPECT_EQ(runner.WaitFor(), 0); // completed

    Start({ChildCommand({"out", "y", "sleep", "400", "out", "z"})});
    ASSERT_TRUE(window.WaitUntil([&] { return window.Joined(WM_CONSOLE_OUTPUT) == "xy"; }));
    window.Pump(100ms);
    runner.Terminate();
    EXPECT_EQ(runner.WaitFor(), 0); // stopping: the stop request is enough
    EXPECT_TRUE(runner.Running());
    ASSERT_TRUE(window.WaitUntil([&] { return !runner.Running(); }));
    EXPECT_EQ(runner.WaitFor(), 0); // stopped
}

TEST_F(ProcessTest, WaitForDuringTheCloseCountdownWaitsForTheClose) {
    runner.SetAutoCloseDelay(1);
    runner.RunProcesses(nullptr);
    ASSERT_TRUE(window.WaitUntil([&] { return window.Count(WM_CONSOLE_OUTPUT) == 1; }));
    EXPECT_EQ(runner.WaitFor(), 0);
    const auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Text, "The terminal windows will close in 1 seconds.");
    EXPECT_EQ(messages[1].Message, CloseMessage);
    EXPECT_GE(messages[1].At - messages[0].At, 950ms);
    EXPECT_FALSE(runner.Running());
}

TEST_F(ProcessTest, AutoCloseDelayMinusOneLeavesTheWindowOpenAndZeroClosesAtOnce) {
    runner.SetAutoCloseDelay(-1);
    Run({ChildCommand({"out", "kept"})});
    EXPECT_EQ(Kinds(), (std::vector<unsigned>{WM_CONSOLE_OUTPUT}));

    runner.SetAutoCloseDelay(0);
    Run({ChildCommand({"out", "closed"})});
    EXPECT_EQ(Kinds(), (std::vector<unsigned>{WM_CONSOLE_OUTPUT, WM_CONSOLE_OUTPUT, CloseMessage}));
}

TEST(ProcessWindowThread, WaitingOwnerOfTheWindowKeepsServingTheWorker) {
    // Everything on a thread of its own that owns the window and then blocks in the
    // runner's waits while the worker still sends to that window.
    std::string output;
    bool closedEachRun = false;
    std::thread owner([&] {
        TOutputRecorder window;
        const Steps list = {ChildCommand({"flood-out", "20000", "out", "end"})};
        {
            TSerialProcess runner;
            runner.SetOutputHandle(window.Handle());
            runner.SetAutoCloseDelay(0);
            runner.RunProcessesAndWait(&list); // WaitFor
            runner.RunProcesses(&list);
            runner.FreeThread();
            runner.RunProcesses(&list);
        } // destroyed in the middle of a run in the middle of a run
        output = window.Joined(WM_CONSOLE_OUTPUT);
        closedEachRun = window.Count(CloseMessage) == 3;
    });
    owner.join();
    EXPECT_EQ(output.size(), 3 * 20003u);
    EXPECT_TRUE(closedEachRun);
}

// --- Errors inside a run ------------------------------------------------------------

TEST_F(ProcessTest, ErrorFromAHookEndsTheRunAndANewRunWorks) {
    int processStarts = 0;
    runner.OnProcessStart = [&](kal::TBaseProcess&) {
        if (++processStarts == 1)
            throw std::runtime_error("hook failed");
    };
    Run({ChildCommand({"out", "never"}), ChildCommand({"out", "never"})});
    EXPECT_EQ(runner.Hooks(), (Steps{"DoStart", "GetCommandLine", "DoProcessStart"}));
    EXPECT_FALSE(runner.Terminated());
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_EQ(runner.WaitFor(), 0);

    runner.OnFinish = [](kal::TBaseProcess&) {
        throw 42;
    };
    Run({ChildCommand({"out", "ran"})});
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "ran");
    EXPECT_EQ(runner.Hooks().back(), "DoFinish");

    runner.OnFinish = nullptr;
    Run({ChildCommand({"out", "again"})});
    EXPECT_EQ(runner.Hooks().back(), "DoComplete");
}

TEST_F(ProcessTest, HooksMayWaitForOrFreeTheirOwnRunner) {
    runner.OnProcessEnd = [](kal::TBaseProcess& sender) {
        EXPECT_EQ(sender.WaitFor(), 0);
        sender.FreeThread();
        sender.WriteOutput("still here");
    };
    Run({ChildCommand({"out", "x"})});
    EXPECT_EQ(window.Joined(WM_CONSOLE_OUTPUT), "xstill here");
    EXPECT_EQ(runner.Hooks().back(), "DoComplete");
}

#ifndef _WIN32
TEST(ProcessErrors, ErrorFromTheWindowEndsTheRunWithoutWaitingForTheChild) {
    struct TFailingWindow : kal::test::TMessageOutput {
        void Receive(unsigned, char*, std::intptr_t) override {
            throw std::runtime_error("window gone");
        }
    } window;
    TRecordingProcess runner;
    runner.SetOutputHandle(&window);
    const auto started = std::chrono::steady_clock::now();
    const Steps list = {ChildCommand({"out", "x", "sleep", "3000"})};
    runner.RunProcesses(&list);
    runner.FreeThread();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    EXPECT_EQ(runner.Hooks(), (Steps{"DoStart", "GetCommandLine", "DoProcessStart"}));
    EXPECT_FALSE(runner.Running());
}
#endif
