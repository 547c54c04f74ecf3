// Start-up and shutdown runs away from the window thread: the groups of one
// request run one after the other on a thread of their own, each member's
// transfer waited for there, so the windows keep answering meanwhile. Requests
// made while one runs are queued behind it, keeping the order they were made in.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kal {

class TRSync;
class TRSyncProfileGroup;

class TGroupRuns {
public:
    using TDone = std::function<void()>;

    // The groups must live as long as this object: the root's own groups do.
    explicit TGroupRuns(TRSync& sync);
    // Waits for the request in progress while serving messages sent to this
    // thread's windows; close the root first, so that its transfer ends at once.
    ~TGroupRuns();
    TGroupRuns(const TGroupRuns&) = delete;
    TGroupRuns& operator=(const TGroupRuns&) = delete;

    // Runs the groups in this order (TRSyncProfileGroup::Run). `done` is called on
    // the groups' thread once all have run, unless the root closed meanwhile or a
    // run failed.
    void Run(std::vector<TRSyncProfileGroup*> groups, TDone done);
    // True while a request runs or waits.
    bool Busy() const;

    // A run that failed: the reason, on the groups' thread. The request ends there.
    std::function<void(const std::string& message)> OnError;

private:
    struct TRequest {
        std::vector<TRSyncProfileGroup*> Groups;
        TDone Done;
    };
    void Execute();
    void RunRequest(const TRequest& request);

    TRSync& FSync;
    mutable std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TRequest> FQueue;
    bool FRunning = false;
    bool FStop = false;
    bool FEnded = false;
    std::thread FThread;
};

} // namespace kal
