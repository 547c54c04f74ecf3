// Profiles fired by the schedule thread: batches, one-shot profiles, profiles with
// nothing to do, and a backup that fails on the schedule thread.
#include "URSyncProcess.h"
#include "transfer_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace kal {
namespace {

using namespace std::chrono_literals;
using test::TOutputRecorder;
using test::WM_CLOSE;
using test::WM_CONSOLE_ERROR;
using test::WM_CONSOLE_OUTPUT;

constexpr TDateTime OneHour = 1.0 / 24;

class ScheduledRuns : public ::testing::Test {
protected:
    void SetUp() override {
        test::UseStore(Sync);
        Sync.SetOutputHandle(&Window);
        // Each run takes a moment, so an overlap would show.
        Sync.SetRSyncLocation("/bin/sh -c \"sleep 0.2\"");
    }

    TRSyncProfile* AddProfile(const std::string& name, bool withPath = true) {
        auto* profile = TRSyncProfile::Create(Sync, name);
        if (withPath)
            profile->AddPath("D:\\" + name);
        profile->OnScheduledEvent = [this](TRSyncProfile& sender) {
            std::lock_guard lock(FMutex);
            Fired.push_back(sender.Name());
            AutoCloseSeen.push_back(Sync.OutputAutoCloseDelay());
            FChanged.notify_all();
        };
        return profile;
    }

    bool WaitForFirings(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, timeout, [&] { return Fired.size() >= count; });
    }
    std::size_t FiredCount() {
        std::lock_guard lock(FMutex);
        return Fired.size();
    }

    TOutputRecorder Window;
    TRSync Sync;
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<std::string> Fired;
    std::vector<int> AutoCloseSeen;
};

TEST_F(ScheduledRuns, ProfilesDueTogetherRunInTurnAndOnlyTheLastClosesTheTerminal) {
    Sync.SetOutputAutoCloseDelay(0);
    auto* first = AddProfile("Alpha");
    auto* second = AddProfile("Beta");
    {
        // Both become due in the same instant, so one scan finds both.
        std::lock_guard lock(Sync.Mutex());
        const TDateTime due = Now() - OneHour;
        for (auto* profile : {first, second}) {
            profile->SetProfileEvent(reDaily);
            profile->SetDateTime(due);
        }
    }
    ASSERT_TRUE(WaitForFirings(2));
    ASSERT_TRUE(Window.WaitFor(
        [](const auto& messages) {
            return std::any_of(messages.begin(), messages.end(),
                               [](const auto& m) { return m.Message == WM_CLOSE; });
        },
        5s));
    Sync.WaitForProcess();

    // One terminal, two runs one after the other, one close at the very end.
    std::vector<std::string> sequence;
    for (const auto& m : Window.Messages()) {
        if (m.Message == WM_CLOSE)
            sequence.push_back("close");
        else if (m.Text.starts_with("Transfering: "))
            sequence.push_back(m.Text.substr(13, m.Text.rfind(" (") - 13));
        else if (m.Text == "Transfer Complete.")
            sequence.push_back("complete");
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{
                            R"(/cygdrive/D/Alpha "store::Master/")", "complete",
                            R"(/cygdrive/D/Beta "store::Master/")", "complete", "close"}));
    std::lock_guard lock(FMutex);
    EXPECT_EQ(Fired, (std::vector<std::string>{"Alpha", "Beta"}));
    EXPECT_EQ(AutoCloseSeen, (std::vector<int>{0, 0})) << "the setting itself is never changed";
    EXPECT_GT(first->DateTime(), Now());
    EXPECT_GT(second->DateTime(), Now());
}

TEST_F(ScheduledRuns, AProfileDueWhileAStoppedRunEndsRunsAfterIt) {
    // Without a terminal the stopped run's child still runs to its end, a second.
    Sync.SetOutputHandle(nullptr);
    Sync.SetRSyncLocation("/bin/sh -c \"sleep 1\"");
    Sync.RunTransfer({"manual"}, 0, 0);
    Sync.TerminateProcess();
    Sync.SetOutputHandle(&Window);
    Sync.SetRSyncLocation("/bin/sh -c \"true\"");
    auto* profile = AddProfile("Later");
    profile->SetProfileEvent(reDaily);
    profile->SetDateTime(Now() - OneHour);
    ASSERT_TRUE(WaitForFirings(1));
    const auto process = Sync.ProcessRef();
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->Items(), std::vector<std::string>{R"(/cygdrive/D/Later "store::Master/")"});
}

TEST_F(ScheduledRuns, AOnceOnlyProfileRunsOnceAndBecomesInactive) {
    auto* profile = AddProfile("Once");
    profile->SetProfileEvent(reOnce);
    const TDateTime due = Now() - OneHour;
    profile->SetDateTime(due);
    ASSERT_TRUE(WaitForFirings(1));
    Sync.WaitForProcess();
    EXPECT_EQ(profile->ProfileEvent(), reInactive);
    EXPECT_FALSE(profile->Event()->Active());
    EXPECT_EQ(profile->DateTime(), due);
    ASSERT_NE(Sync.ProcessRef(), nullptr);
    EXPECT_EQ(Sync.ProcessRef()->Items().size(), 1u);

    // Two more turns of the schedule thread: nothing fires again.
    EXPECT_FALSE(WaitForFirings(2, 1200ms));
}

TEST_F(ScheduledRuns, NothingToBackUpStillAdvancesAndNotifies) {
    auto* profile = AddProfile("Empty", false);
    profile->SetProfileEvent(reDaily);
    profile->SetDateTime(Now() - 3 * 24 * OneHour);
    ASSERT_TRUE(WaitForFirings(1));
    EXPECT_EQ(Sync.ProcessRef(), nullptr) << "no transfer started";
    EXPECT_GT(profile->DateTime(), Now());
    EXPECT_LT(profile->DateTime(), Now() + 24 * OneHour);
    EXPECT_EQ(profile->ProfileEvent(), reDaily);
}

TEST_F(ScheduledRuns, ABackupThatCannotStartStaysDueNotifiesAndIsReported) {
    test::TTestShellFolders shell;
    shell.Fail = true;
    test::TShellFoldersScope scope(shell);
    std::atomic<int> reported{0};
    std::string reportedText;
    Sync.Schedule().OnError = [&](TSchedule&, TEvent*, const std::string& text) {
        reportedText = text;
        ++reported;
    };
    auto* profile = AddProfile("Broken", false);
    profile->SetCommonSources({csMyDocuments});
    profile->SetProfileEvent(reDaily);
    const TDateTime due = Now() - OneHour;
    profile->SetDateTime(due);
    ASSERT_TRUE(WaitForFirings(1));
    EXPECT_EQ(reported.load(), 1);
    EXPECT_EQ(reportedText, "shell folders unavailable");
    // Still at the missed occurrence, and not tried again every turn.
    EXPECT_EQ(profile->DateTime(), due);
    EXPECT_GT(profile->Event()->DeferredUntil(), Now() + TRSyncEvent::RetryDelay * 0.9);
    EXPECT_EQ(Sync.ProcessRef(), nullptr);
}

// A firing that waits behind a manual run follows the schedule as it is once the
// run has ended: an edit made during the wait stands, and nothing stale runs.
TEST_F(ScheduledRuns, AnEditMadeWhileAFiringWaitsIsWhatCounts) {
    const struct {
        TRSyncProfileEvent Kind;
        TDateTime Shift; // of the due time, during the wait
    } cases[] = {{reInactive, 0}, {reOnce, OneHour}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Kind);
        Sync.SetRSyncLocation("/bin/sh -c \"sleep 1\"");
        Sync.RunTransfer({"manual"}, 0, 0);
        const auto manual = Sync.ProcessRef();
        auto* profile = AddProfile("Edited");
        profile->SetProfileEvent(reDaily);
        profile->SetDateTime(Now() - OneHour);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!Sync.Schedule().Firing(profile->Event()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        const TDateTime edited = profile->DateTime() + c.Shift;
        profile->SetProfileEvent(c.Kind);
        profile->SetDateTime(edited);
        ASSERT_TRUE(WaitForFirings(Fired.size() + 1));
        EXPECT_EQ(Sync.ProcessRef(), manual) << "the stale firing ran";
        EXPECT_EQ(profile->ProfileEvent(), c.Kind);
        EXPECT_EQ(profile->DateTime(), edited);
        Sync.DeleteProfile(profile);
        Sync.WaitUntilIdle();
    }
}

TEST_F(ScheduledRuns, ARemovedProfileWaitsForItsFiringToEnd) {
    // The firing waits behind a manual run for a moment; the profile goes meanwhile.
    Sync.SetRSyncLocation("/bin/sh -c \"sleep 1\"");
    Sync.RunTransfer({"manual"}, 0, 0);
    auto* profile = AddProfile("Doomed");
    TEvent* event = profile->Event();
    profile->SetProfileEvent(reDaily);
    profile->SetDateTime(Now() - OneHour);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!Sync.Schedule().Firing(event) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(Sync.Schedule().Firing(event));
    ASSERT_EQ(FiredCount(), 0u) << "still waiting for the manual run";

    Sync.DeleteProfile(profile);
    // The firing, which used the profile, finished before the profile was freed.
    EXPECT_FALSE(Sync.Schedule().Firing(event));
    EXPECT_EQ(FiredCount(), 1u);
    EXPECT_EQ(Sync.ProfileCount(), 0);
    EXPECT_EQ(Sync.Schedule().EventCount(), 0);
    Sync.WaitForProcess();
}

} // namespace
} // namespace kal
