// A shorter soak that fails: every scheduled run must really run, and neither
// threads nor descriptors (handles on Windows) may grow with the number of runs.
#include "soak_driver.h"
#include "URSync.h"

#include <gtest/gtest.h>

#include <thread>

namespace kal::hardening {
namespace {

TEST(Soak, ScheduledRunsLeakNoThreadsOrHandles) {
#ifdef _WIN32
    constexpr int Runs = 40;
#else
    constexpr int Runs = 100;
#endif
    constexpr int PerTurn = 20;
    const TSoakResult r = RunSoak(Runs, PerTurn, SoakChildCommand(), std::chrono::seconds(90));
    std::printf("start: %s\nend:   %s\n", Describe(r.Start).c_str(), Describe(r.End).c_str());
    EXPECT_EQ(r.Fired, Runs);
    EXPECT_EQ(r.Completed, Runs);
    EXPECT_EQ(r.ChildOutputs, Runs);
    // A few of the runtime's own (pools, the reader of a pipe) may come and stay;
    // one per run may not.
    constexpr int Slack = 3;
    ASSERT_GT(r.Start.Threads, 0);
    EXPECT_LE(r.End.Threads, r.Start.Threads + Slack);
#ifdef _WIN32
    ASSERT_GT(r.Start.Handles, 0);
    EXPECT_LE(r.End.Handles, r.Start.Handles + Slack);
#else
    ASSERT_GT(r.Start.Descriptors, 0);
    EXPECT_LE(r.End.Descriptors, r.Start.Descriptors + Slack);
#endif
}

TEST(Soak, AConfigurationStartsTheScheduleThreadWithItsFirstProfileOnly) {
    // Loading a file only to read it (the fuzzer does so millions of times) must
    // not pay for a thread.
    // ThreadSanitizer starts a helper thread with the process's first thread.
    std::thread([] {}).join();
    const int before = MeasureResources().Threads;
    {
        TRSync sync;
        EXPECT_EQ(MeasureResources().Threads, before);
        TRSyncProfile::Create(sync, "first");
        EXPECT_EQ(MeasureResources().Threads, before + 1);
    }
    EXPECT_EQ(MeasureResources().Threads, before);
}

} // namespace
} // namespace kal::hardening
