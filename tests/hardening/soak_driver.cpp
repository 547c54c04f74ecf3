#include "soak_driver.h"

#include "output_recorder.h"
#include "URSync.h"
#include "URSyncProcess.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace kal::hardening {

void TSoakWindow::Received(const char* text) {
    if (std::strcmp(text, "Transfer Complete.") == 0)
        ++FCompleted;
    else if (std::strstr(text, Marker))
        ++FChildOutputs;
}
int TSoakWindow::Completed() const {
    return FCompleted.load();
}
int TSoakWindow::ChildOutputs() const {
    return FChildOutputs.load();
}

std::string SoakChildCommand() {
    return test::ChildCommand({"out", TSoakWindow::Marker, "exit", "0"});
}

TSoakResult RunSoak(int runs, int perTurn, const std::string& childCommand,
                    std::chrono::seconds timeout) {
    TSoakWindow window;
    TSoakResult result;
    // Before the root: its schedule thread may still be in a handler while it stops.
    std::atomic<int> fired{0};
    std::atomic<int> armed{0};
    {
        TRSync sync;
        auto host = std::make_unique<TRemoteHost>();
        host->SetHost("store");
        sync.SetServer(std::move(host));
        sync.SetModule("Soak");
        sync.SetRSyncLocation(childCommand);
        sync.SetOutputHandle(window.Handle());

        const TDateTime pastHour = 1.0 / 24;
        std::vector<TRSyncProfile*> profiles;
        for (int i = 0; i < perTurn; ++i) {
            auto* profile = TRSyncProfile::Create(sync, "Soak " + std::to_string(i));
            profile->AddPath("D:\\Soak\\" + std::to_string(i));
            profile->SetDateTime(Now() + 1); // not due before the warm-up is over
            profile->SetProfileEvent(reHourly);
            // Called on the schedule thread after the event moved an hour on: due
            // again at once, so every turn of the thread fires the whole set.
            profile->OnScheduledEvent = [&](TRSyncProfile& sender) {
                ++fired;
                if (armed.fetch_add(1) < runs - perTurn)
                    sender.SetDateTime(Now() - pastHour);
            };
            profiles.push_back(profile);
        }
        const auto settle = [&](const std::function<bool()>& done) {
            window.ServeUntil(done, timeout);
            sync.WaitForProcess();
            if (const auto process = sync.ProcessRef())
                process->FreeThread();
        };
        // One run by hand first: the first child start loads and caches what every
        // later one reuses, which is not growth.
        sync.RunTransfer({"warm-up"}, 0, 0);
        settle([&] { return window.Completed() == 1; });
        result.Start = MeasureResources();
        const auto begin = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(sync.Mutex());
            for (auto* profile : profiles)
                profile->SetDateTime(Now() - pastHour);
        }
        settle([&] { return fired.load() >= runs; });
        result.Seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        result.Fired = fired.load();
        result.Completed = window.Completed() - 1;
        result.ChildOutputs = window.ChildOutputs() - 1;
        result.End = MeasureResources();
    }
    return result;
}

} // namespace kal::hardening
