#include "UGroupRuns.h"

#include "UProcess.h"
#include "URSync.h"
#include "UThread.h"

#include <exception>

namespace kal {

TGroupRuns::TGroupRuns(TRSync& sync) : FSync(sync) {}

TGroupRuns::~TGroupRuns() {
    {
        std::lock_guard lock(FLock);
        FStop = true;
        FQueue.clear();
    }
    FWake.notify_all();
    if (!FThread.joinable())
        return;
    // The transfer being waited for writes to a window of this thread.
    WaitHandlingSentMessages([this] {
        std::lock_guard lock(FLock);
        return FEnded;
    });
    FThread.join();
}

void TGroupRuns::Run(std::vector<TRSyncProfileGroup*> groups, TDone done) {
    std::lock_guard lock(FLock);
    if (FStop)
        return;
    FQueue.push_back({std::move(groups), std::move(done)});
    // Started with the first request: a program that never runs a group keeps no
    // thread for it.
    if (!FThread.joinable())
        FThread = std::thread([this] { Execute(); });
    FWake.notify_all();
}

bool TGroupRuns::Busy() const {
    std::lock_guard lock(FLock);
    return FRunning || !FQueue.empty();
}

void TGroupRuns::Execute() {
    SetCurrentThreadName("kal-groups");
    std::unique_lock lock(FLock);
    for (;;) {
        FWake.wait(lock, [this] { return FStop || !FQueue.empty(); });
        if (FStop)
            break;
        const TRequest request = std::move(FQueue.front());
        FQueue.pop_front();
        FRunning = true;
        lock.unlock();
        RunRequest(request);
        lock.lock();
        FRunning = false;
    }
    FEnded = true;
}

void TGroupRuns::RunRequest(const TRequest& request) {
    // Nothing may leave a thread entry: a failure ends this request and is reported.
    try {
        for (TRSyncProfileGroup* group : request.Groups) {
            if (FSync.Closing())
                return;
            group->Run();
        }
        if (!FSync.Closing() && request.Done)
            request.Done();
    } catch (const std::exception& e) {
        if (OnError)
            OnError(e.what());
    } catch (...) {
        if (OnError)
            OnError("A start-up or shutdown run failed.");
    }
}

} // namespace kal
