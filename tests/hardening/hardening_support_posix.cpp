#include "hardening_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kal::hardening {

namespace {
int CountEntries(const char* folder) {
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error)
        return -1;
    // The iterator's own descriptor is counted too; it is the same every time.
    return static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
}

long StatusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}
} // namespace

TResources MeasureResources() {
    TResources r;
    r.ResidentKb = StatusField("VmRSS");
    r.Descriptors = CountEntries("/proc/self/fd");
    r.Threads = CountEntries("/proc/self/task");
    return r;
}

} // namespace kal::hardening
