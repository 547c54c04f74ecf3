// Scheduled backups back to back through the real schedule thread and runner.
#pragma once

#include "hardening_support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace kal {
class IProcessOutput;
}

namespace kal::hardening {

// The terminal as the soak sees it: counts the runs' completions and the child's
// marker, and lets the waiting thread serve what the workers send it.
class TSoakWindow {
public:
    static constexpr const char* Marker = "soak-child-ran";
    TSoakWindow();
    ~TSoakWindow();
    TSoakWindow(const TSoakWindow&) = delete;
    TSoakWindow& operator=(const TSoakWindow&) = delete;

    IProcessOutput* Handle() const;
    int Completed() const;
    int ChildOutputs() const;
    // Serves sent messages until `done` holds; false on timeout.
    bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // What the platform's window received as output text.
    void Received(const char* text);

    struct TImpl;

private:
    TImpl* FImpl;
    std::atomic<int> FCompleted{0};
    std::atomic<int> FChildOutputs{0};
};

struct TSoakResult {
    int Fired = 0;        // profile firings seen by OnScheduledEvent
    int Completed = 0;    // runs that wrote "Transfer Complete."
    int ChildOutputs = 0; // runs whose child was really started
    double Seconds = 0;
    TResources Start, End;
};

// `runs` firings of `perTurn` hourly profiles kept due, each backing up one path
// with `childCommand` as the rsync location. Start is measured after one warm-up
// run by hand (not counted), End after the last run has ended and its worker is
// released.
TSoakResult RunSoak(int runs, int perTurn, const std::string& childCommand,
                    std::chrono::seconds timeout);

// The test child's command line that prints the marker and ends; it stops at
// "exit", before the options and the item rsync would take.
std::string SoakChildCommand();

} // namespace kal::hardening
