// Test events that record their firings, and calendar helpers for readable failures.
#pragma once

#include "USchedule.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kal::test {

class TCountingEvent : public TEvent {
public:
    using TEvent::TEvent;

    void Fire() override {
        // The action sees the due time that made it fire.
        {
            std::lock_guard lock(FFiredMutex);
            FDueTimesSeen.push_back(DateTime());
        }
        FFired.fetch_add(1);
        if (Action)
            Action();
    }

    int Fired() const { return FFired.load(); }
    std::vector<TDateTime> DueTimesSeen() const {
        std::lock_guard lock(FFiredMutex);
        return FDueTimesSeen;
    }

    std::function<void()> Action;

private:
    std::atomic<int> FFired{0};
    mutable std::mutex FFiredMutex;
    std::vector<TDateTime> FDueTimesSeen;
};

// Joins the polling thread before the events declared ahead of it are destroyed,
// so no trigger is still finishing on an event that is going away.
class TStopThreadFirst {
public:
    explicit TStopThreadFirst(TSchedule& schedule) : FSchedule(schedule) {}
    ~TStopThreadFirst() { FSchedule.StopThread(); }
    TStopThreadFirst(const TStopThreadFirst&) = delete;
    TStopThreadFirst& operator=(const TStopThreadFirst&) = delete;

private:
    TSchedule& FSchedule;
};

// "YYYY-MM-DD hh:mm:ss.mmm", so a wrong date reads as one in the failure message.
inline std::string Stamp(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second, p.Millisecond);
    return buf;
}

// Polls until the condition holds or the time is up; true when it held.
template <typename Condition> bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace kal::test
