// Appends lines to the terminal's output pane the way the runner sends them
// (1024-byte chunks, SendMessage of WM_CONSOLE_OUTPUT) and prints the cost per
// chunk at the start and at the end, the dearest single chunk, and the program's
// peak working set. With the pane bounded, the cost stays flat and the working set
// does not grow with the number of lines. Argument: the number of lines.
#include "UTerminalForm.h"

#include "UProcess.h"

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace kal;
using Clock = std::chrono::steady_clock;

namespace {

// An rsync -v file line.
std::string FileLine(long i) {
    return "sent " + std::to_string(i) + " Documents/Projects/report-" + std::to_string(i % 97) +
           ".txt          4,096 100%\n";
}

double PeakWorkingSetMB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024 * 1024);
}

} // namespace

int main(int argc, char** argv) {
    const long kLines = argc > 1 ? std::atol(argv[1]) : 1000000;
    constexpr size_t kChunk = 1024;
    constexpr size_t kWindow = 1000; // chunks averaged at each end

    TTerminalForm form;
    const double idleMB = PeakWorkingSetMB();
    // The text is made as it is sent, so the benchmark's own memory stays small.
    std::string text;
    std::vector<double> first, last(kWindow);
    first.reserve(kWindow);
    size_t chunks = 0;
    double dearest = 0;
    long next = 0;
    const auto start = Clock::now();
    while (next < kLines || !text.empty()) {
        while (text.size() < kChunk && next < kLines)
            text += FileLine(next++);
        std::string chunk = text.substr(0, kChunk);
        text.erase(0, chunk.size());
        const auto before = Clock::now();
        SendMessageA(form.Handle(), WM_CONSOLE_OUTPUT, reinterpret_cast<WPARAM>(chunk.data()),
                     static_cast<LPARAM>(chunk.size() + 1));
        const double cost =
            std::chrono::duration<double, std::micro>(Clock::now() - before).count();
        if (first.size() < kWindow)
            first.push_back(cost);
        last[chunks % kWindow] = cost;
        dearest = std::max(dearest, cost);
        ++chunks;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    form.Flush();
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    const size_t window = std::min(kWindow, chunks);
    auto average = [&](const std::vector<double>& costs) {
        double sum = 0;
        for (size_t i = 0; i < window; ++i)
            sum += costs[i];
        return window ? sum / static_cast<double>(window) : 0.0;
    };
    const double head = average(first), tail = average(last);
    const long lines =
        static_cast<long>(SendMessageA(form.mem_ConsoleOutput, EM_GETLINECOUNT, 0, 0));
    std::printf("terminal append: %ld lines in %zu chunks of %zu bytes; the pane holds %ld lines, "
                "%d characters (bound %ld lines, %ld characters)\n",
                kLines, chunks, kChunk, lines - 1, GetWindowTextLengthW(form.mem_ConsoleOutput),
                PaneLineLimit, PaneCharLimit);
    std::printf("total %.2f s; per chunk: first %zu %.1f us, last %zu %.1f us (ratio %.2f); "
                "dearest chunk %.1f ms\n",
                total, window, head, window, tail, head > 0 ? tail / head : 0.0, dearest / 1000);
    std::printf("peak working set %.1f MB (%.1f MB with the window idle)\n", PeakWorkingSetMB(),
                idleMB);

    // The figures say nothing if the text did not arrive: the newest line must be last.
    std::string expected = kLines > 0 ? FileLine(kLines - 1) : "";
    if (!expected.empty())
        expected.replace(expected.size() - 1, 1, "\r\n");
    const int length = GetWindowTextLengthA(form.mem_ConsoleOutput);
    std::string pane(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(form.mem_ConsoleOutput, pane.data(), length + 1);
    pane.resize(static_cast<size_t>(length));
    if (pane.size() < expected.size() ||
        pane.compare(pane.size() - expected.size(), expected.size(), expected) != 0) {
        std::fprintf(stderr, "the pane does not end with the last line sent\n");
        return 1;
    }
    return 0;
}
