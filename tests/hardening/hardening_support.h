// Shared by the hardening tests and benchmarks: a large configuration that comes
// in distinct generations, and the process's resource counts.
#pragma once

#include <string>

namespace kal {
class TRSync;
}

namespace kal::hardening {

// Fills an empty root with `profiles` profiles (one path each, schedules of every
// kind, some common sources), the four start-up and shutdown groups, and settings.
// Every field that a save writes depends on `generation`, so two generations never
// share a record.
void FillConfiguration(TRSync& sync, int profiles, int generation);

// The uncompressed record a save writes.
std::string RawRecord(const TRSync& sync);

// What the process holds right now; -1 where the platform has no such count.
struct TResources {
    long ResidentKb = -1; // RSS natively, the working set on Windows
    int Descriptors = -1; // open file descriptors (/proc/self/fd)
    int Handles = -1;     // GetProcessHandleCount
    int Threads = -1;
};
TResources MeasureResources();
std::string Describe(const TResources& r);

} // namespace kal::hardening
