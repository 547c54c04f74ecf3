// Scheduled backups back to back: memory, descriptors or handles, and threads
// before and after. Prints figures; a leak shows as growth between the two lines.
#include "soak_driver.h"

#include <cstdio>
#include <cstdlib>

int main() {
#ifdef _WIN32
    constexpr int Runs = 200; // a child costs far more under Wine
    constexpr int PerTurn = 20;
#else
    constexpr int Runs = 1000;
    constexpr int PerTurn = 50;
#endif
    using namespace kal::hardening;
    const TSoakResult r = RunSoak(Runs, PerTurn, SoakChildCommand(), std::chrono::seconds(240));
    std::printf("soak: %d scheduled runs (%d per turn) in %.1f s: %d fired, %d completed, "
                "%d children ran\n",
                Runs, PerTurn, r.Seconds, r.Fired, r.Completed, r.ChildOutputs);
    std::printf("soak start: %s\n", Describe(r.Start).c_str());
    std::printf("soak end:   %s\n", Describe(r.End).c_str());
    return 0;
}
