// Start to a visible main window: Kalvaren.exe (a first start, no Data.dat) against
// a program that loads the same DLLs and shows a window of 40 standard controls,
// started in turn, round after round. Prints min / median / max of both and the
// ratio of the medians. Argument: the number of rounds.
#include "bench_figures.h"
#include "e2e_support.h"

#include "UScoped.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kal;
using namespace kal::e2e;
using Clock = std::chrono::steady_clock;

namespace {

struct TSearch {
    DWORD Process = 0;
    const char* ClassName = nullptr;
    bool Found = false;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM data) {
    auto& search = *reinterpret_cast<TSearch*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    if (process == search.Process && IsWindowVisible(window) &&
        std::strcmp(name, search.ClassName) == 0) {
        search.Found = true;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from starting `exe` in its folder to a visible top-level window of
// `className`; the program is ended right after. Negative when it never shows.
double TimeToVisible(const std::string& exe, const std::string& folder, const char* className) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    std::string commandLine = "\"" + exe + "\"";
    const auto start = Clock::now();
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &started))
        return -1;
    const TProcessInformation process(started);
    TSearch search{process.ProcessId, className};
    double elapsed = -1;
    while (Clock::now() - start < std::chrono::seconds(30)) {
        EnumWindows(&FindVisible, reinterpret_cast<LPARAM>(&search));
        if (search.Found) {
            elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            break;
        }
        Sleep(1);
    }
    TerminateProcess(process.Process.get(), 0);
    WaitForSingleObject(process.Process.get(), 10000);
    return elapsed;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    CleanRegistry();
    const std::string folder = ScratchFolder("start-benchmark");
    const std::string program = InstallProgram(folder);
    const std::string yardstickExe = WindowsPath(KAL_START_REFERENCE);

    std::vector<double> programTimes, referenceTimes;
    // One start of each first, so neither pays alone for a cold disk cache.
    TimeToVisible(yardstickExe, folder, "KalvarenStartReference");
    TimeToVisible(program, folder, "KalvarenMainForm");
    for (int round = 0; round < rounds; ++round) {
        const double yardstick = TimeToVisible(yardstickExe, folder, "KalvarenStartReference");
        const double kalvaren = TimeToVisible(program, folder, "KalvarenMainForm");
        if (yardstick < 0 || kalvaren < 0) {
            std::fprintf(stderr, "%s did not show its window\n",
                         yardstick < 0 ? "the reference" : "Kalvaren");
            return 1;
        }
        referenceTimes.push_back(yardstick);
        programTimes.push_back(kalvaren);
    }
    CleanRegistry();
    const test::TSpread reference = test::Spread(referenceTimes);
    const test::TSpread kalvaren = test::Spread(programTimes);
    std::printf("start to visible main window, %d rounds (min / median / max)\n", rounds);
    test::PrintBeside("same DLLs and 40 controls", reference, "Kalvaren.exe", kalvaren, "ms");
    return 0;
}
