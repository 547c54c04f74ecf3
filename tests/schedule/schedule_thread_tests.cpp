// The polling thread for real: these wait for actual turns, so each takes about a second.
#include "schedule_testing.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kal {
namespace {

using namespace std::chrono_literals;
using test::TCountingEvent;
using test::TStopThreadFirst;
using test::WaitUntil;

// Records each batch the thread hands over, then fires it as usual.
class TRecordingSchedule : public TSchedule {
public:
    ~TRecordingSchedule() override { StopThread(); }

    std::vector<std::vector<TEvent*>> Batches() const {
        std::lock_guard lock(FBatchMutex);
        return FBatches;
    }

    std::atomic<int> ThrowBeforeBatches{0};

protected:
    void DoEvents(const std::vector<TEvent*>& batch) override {
        {
            std::lock_guard lock(FBatchMutex);
            FBatches.push_back(batch);
        }
        if (ThrowBeforeBatches.load() > 0) {
            ThrowBeforeBatches.fetch_sub(1);
            throw std::runtime_error("batch refused");
        }
        TSchedule::DoEvents(batch);
    }

private:
    mutable std::mutex FBatchMutex;
    std::vector<std::vector<TEvent*>> FBatches;
};

TEST(ScheduleThread, OverdueEventsFireOnceAndMoveOn) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    const TDateTime twoHoursAgo = Now() - 2.0 / 24;
    TCountingEvent daily(nullptr, twoHoursAgo, "daily");
    daily.SetEventRepeat(erDaily);
    TCountingEvent once(nullptr, twoHoursAgo, "once");
    TCountingEvent future(nullptr, Now() + 5, "future");
    future.SetEventRepeat(erHourly);
    TStopThreadFirst stop(schedule);

    const TDateTime added = Now();
    schedule.AddEvent(&future);
    schedule.AddEvent(&daily);
    schedule.AddEvent(&once);
    ASSERT_TRUE(WaitUntil([&] { return daily.Fired() > 0 && once.Fired() > 0; }, 3s));

    EXPECT_NEAR(daily.DateTime(), twoHoursAgo + 1, 1e-9);
    EXPECT_GE(daily.DateTime(), added);
    EXPECT_FALSE(once.Active());
    EXPECT_EQ(once.DateTime(), twoHoursAgo);

    std::this_thread::sleep_for(1200ms); // two more turns
    EXPECT_EQ(daily.Fired(), 1);
    EXPECT_EQ(once.Fired(), 1);
    EXPECT_EQ(future.Fired(), 0);
    EXPECT_EQ(schedule.EventList(), (std::vector<TEvent*>{&once, &daily, &future}));
}

TEST(ScheduleThread, EventsDueTogetherFireInOneBatchInListOrder) {
    TRecordingSchedule schedule;
    schedule.SetOwnsEvents(false);
    const TDateTime due = Now() - 1.0 / 24;
    TCountingEvent b(nullptr, due, "b");
    TCountingEvent a(nullptr, due, "A");
    TCountingEvent later(nullptr, Now() + 1, "later");
    TStopThreadFirst stop(schedule);
    std::vector<std::string> order;
    std::mutex orderMutex;
    a.Action = [&] {
        std::lock_guard l(orderMutex);
        order.push_back("A");
    };
    b.Action = [&] {
        std::lock_guard l(orderMutex);
        order.push_back("b");
    };
    {
        std::lock_guard lock(schedule.Mutex()); // one scan sees both or neither
        schedule.AddEvent(&later);
        schedule.AddEvent(&b);
        schedule.AddEvent(&a);
    }
    ASSERT_TRUE(WaitUntil([&] { return b.Fired() > 0; }, 3s));
    const auto batches = schedule.Batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0], (std::vector<TEvent*>{&a, &b}));
    std::lock_guard l(orderMutex);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "b"}));
}

TEST(ScheduleThread, PausesWithoutEventsAndRunsAgainWhenOneArrives) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    TCountingEvent distant(&schedule, Now() + 10, "distant");
    ASSERT_TRUE(WaitUntil([&] { return !schedule.ThreadPaused(); }, 2s));
    schedule.RemoveEvent(&distant);
    ASSERT_TRUE(WaitUntil([&] { return schedule.ThreadPaused(); }, 3s));

    // Built outside the schedule: joining it while due, the thread could fire it
    // before its subclass part exists.
    TCountingEvent overdue(nullptr, Now() - 0.5, "overdue");
    TStopThreadFirst stop(schedule);
    schedule.AddEvent(&overdue);
    EXPECT_TRUE(WaitUntil([&] { return overdue.Fired() == 1; }, 3s));
    EXPECT_FALSE(overdue.Active());
}

TEST(ScheduleThread, ActionsRunWithoutTheScheduleLock) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    std::atomic<int> lockFree{-1};
    TCountingEvent event(nullptr, Now() - 1, "probe");
    TStopThreadFirst stop(schedule);
    event.Action = [&] {
        // Another thread (the window thread, say) must be able to get in now.
        std::thread other([&] {
            const bool got = schedule.Mutex().try_lock();
            if (got)
                schedule.Mutex().unlock();
            lockFree = got ? 1 : 0;
        });
        other.join();
    };
    schedule.AddEvent(&event);
    ASSERT_TRUE(WaitUntil([&] { return event.Fired() == 1; }, 3s));
    ASSERT_TRUE(WaitUntil([&] { return lockFree.load() >= 0; }, 1s));
    EXPECT_EQ(lockFree.load(), 1);
}

TEST(ScheduleThread, EventRemovedByAnEarlierActionOfTheBatchIsPassedOver) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    const TDateTime due = Now() - 1;
    TCountingEvent first(nullptr, due, "1 first");
    TCountingEvent second(nullptr, due, "2 second");
    TStopThreadFirst stop(schedule);
    first.Action = [&] {
        schedule.RemoveEvent(&second);
    };
    {
        std::lock_guard lock(schedule.Mutex());
        schedule.AddEvent(&first);
        schedule.AddEvent(&second);
    }
    ASSERT_TRUE(WaitUntil([&] { return first.Fired() == 1; }, 3s));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(second.Fired(), 0);
    EXPECT_TRUE(second.Active());
}

TEST(ScheduleThread, OwnerCanRemoveAFiringEventAndWaitUntilItIsSafeToFree) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    auto event = std::make_unique<TCountingEvent>(nullptr, Now() - 1, "slow");
    event->SetEventRepeat(erDaily);
    std::atomic<bool> release{false};
    event->Action = [&] {
        while (!release.load())
            std::this_thread::sleep_for(5ms);
    };
    TStopThreadFirst stop(schedule);
    schedule.AddEvent(event.get());
    ASSERT_TRUE(WaitUntil([&] { return schedule.Firing(event.get()); }, 3s));

    // The window's "Remove Profile" asks first and leaves a firing event alone.
    EXPECT_FALSE(schedule.RemoveEventUnlessFiring(event.get()));
    EXPECT_EQ(event->Schedule(), &schedule);
    schedule.RemoveEvent(event.get()); // as the window thread deleting its profile would
    EXPECT_EQ(event->Schedule(), nullptr);
    EXPECT_TRUE(schedule.Firing(event.get()));
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return !schedule.Firing(event.get()); }, 3s));
    EXPECT_GT(event->DateTime(), Now() - 1e-3); // advanced, though no longer listed
    schedule.AddEvent(event.get());
    EXPECT_TRUE(schedule.RemoveEventUnlessFiring(event.get()));
    EXPECT_EQ(event->Schedule(), nullptr);
    event.reset();
    EXPECT_EQ(schedule.EventCount(), 0);
}

TEST(ScheduleThread, ThrowingActionIsReportedAdvancedAndLaterFiringsGoOn) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    std::mutex errorMutex;
    std::vector<std::pair<TEvent*, std::string>> errors;
    schedule.OnError = [&](TSchedule&, TEvent* event, const std::string& message) {
        std::lock_guard l(errorMutex);
        errors.emplace_back(event, message);
    };
    const TDateTime due = Now() - 1.0 / 24;
    TCountingEvent failing(nullptr, due, "a failing");
    failing.SetEventRepeat(erDaily);
    failing.Action = [] {
        throw std::runtime_error("disk gone");
    };
    TCountingEvent fine(nullptr, due, "b fine");
    fine.SetEventRepeat(erDaily);
    TStopThreadFirst stop(schedule);
    {
        std::lock_guard lock(schedule.Mutex());
        schedule.AddEvent(&failing);
        schedule.AddEvent(&fine);
    }
    ASSERT_TRUE(WaitUntil([&] { return fine.Fired() == 1; }, 3s));
    EXPECT_EQ(failing.Fired(), 1);
    EXPECT_NEAR(failing.DateTime(), due + 1, 1e-9); // advanced despite the throw
    {
        std::lock_guard l(errorMutex);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].first, &failing);
        EXPECT_EQ(errors[0].second, "disk gone");
    }
    // The thread lives on: the same event fires again when due again.
    failing.Action = nullptr;
    failing.SetDateTime(Now() - 0.25);
    EXPECT_TRUE(WaitUntil([&] { return failing.Fired() == 2; }, 3s));
}

TEST(ScheduleThread, FailedBatchDoesNotRefireEveryTurn) {
    TRecordingSchedule schedule;
    schedule.SetOwnsEvents(false);
    std::atomic<int> reports{0};
    schedule.OnError = [&](TSchedule&, TEvent* event, const std::string& message) {
        EXPECT_EQ(event, nullptr);
        EXPECT_EQ(message, "batch refused");
        ++reports;
    };
    schedule.ThrowBeforeBatches = 1;
    const TDateTime due = Now() - 1.0 / 24;
    TCountingEvent hourly(nullptr, due, "hourly");
    hourly.SetEventRepeat(erHourly);
    TStopThreadFirst stop(schedule);
    schedule.AddEvent(&hourly);
    ASSERT_TRUE(WaitUntil([&] { return reports.load() == 1; }, 3s));
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(schedule.Batches().size(), 1u);
    EXPECT_EQ(hourly.Fired(), 0);
    EXPECT_GE(hourly.DateTime(), Now() - 1e-6);

    hourly.SetDateTime(Now() - 1.0 / 24);
    EXPECT_TRUE(WaitUntil([&] { return hourly.Fired() == 1; }, 3s));
}

TEST(ScheduleThread, DestructionIsPromptRunningOrPaused) {
    using Clock = std::chrono::steady_clock;
    auto running = std::make_unique<TSchedule>();
    new TCountingEvent(running.get(), Now() + 1, "owned");
    ASSERT_TRUE(WaitUntil([&] { return !running->ThreadPaused(); }, 2s));
    std::this_thread::sleep_for(100ms); // inside the thread's half-second wait
    auto start = Clock::now();
    running.reset();
    EXPECT_LT(Clock::now() - start, 2s);

    auto idle = std::make_unique<TSchedule>();
    std::this_thread::sleep_for(50ms);
    start = Clock::now();
    idle.reset();
    EXPECT_LT(Clock::now() - start, 2s);
}

} // namespace
} // namespace kal
