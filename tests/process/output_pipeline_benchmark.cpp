// A backup's output at scale: a child that writes rsync -v-like file lines runs
// through the real runner into the terminal, timed against the same child read
// through a plain pipe, round after round. Prints min / median / max of both, the
// ratio of the medians, the cost per chunk in the first and the last tenth of the
// run, and the peak working set; fails only when the terminal did not end with
// the child's last line. Arguments: the number of lines, the number of rounds.
//
// On Windows the terminal is the real "Backup Terminal" window, served by a message
// loop as the program serves it. Elsewhere there is no window: the runner's texts go
// through the terminal's line splitting into a buffer held as the window holds
// text before it adds it to a pane, which measures the portable part of the road.
#include "bench_figures.h"
#include "output_recorder.h"
#include "TestPattern.h"
#include "UConsoleLines.h"
#include "UProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "UTerminalForm.h"
#else
#include <sys/resource.h>
#endif

using namespace kal;
using TClock = std::chrono::steady_clock;

namespace {

double Seconds(TClock::time_point since) {
    return std::chrono::duration<double>(TClock::now() - since).count();
}

double PeakWorkingSetMB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024 * 1024);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024; // kilobytes on Linux
#endif
}

// Passes each text on and keeps how long the terminal took over it.
class TTimedOutput : public IProcessOutput {
public:
    explicit TTimedOutput(IProcessOutput& next) : FNext(next) {}
    void Output(char* text, std::size_t length) override {
        Time([&] { FNext.Output(text, length); });
    }
    void Error(char* text, std::size_t length) override {
        Time([&] { FNext.Error(text, length); });
    }
    void Finished() override { FNext.Finished(); }
    const std::vector<double>& Costs() const { return FCosts; } // microseconds

private:
    template <typename F> void Time(F&& pass) {
        const auto start = TClock::now();
        pass();
        FCosts.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
    }
    IProcessOutput& FNext;
    std::vector<double> FCosts;
};

// The mean cost of the chunks in the first and in the last tenth of the run.
std::pair<double, double> FirstAndLastTenth(const std::vector<double>& costs) {
    const std::size_t tenth = std::max<std::size_t>(1, costs.size() / 10);
    if (costs.size() < tenth)
        return {0, 0};
    double first = 0, last = 0;
    for (std::size_t i = 0; i < tenth; ++i) {
        first += costs[i];
        last += costs[costs.size() - 1 - i];
    }
    return {first / static_cast<double>(tenth), last / static_cast<double>(tenth)};
}

#ifdef _WIN32

// Runs the list through the terminal window, shown as in a backup; returns the
// newest text of its output pane.
std::string RunThroughTerminal(TSerialProcess& runner, const std::vector<std::string>& list,
                               std::vector<double>& costs) {
    TTerminalForm terminal;
    terminal.Show();
    TTimedOutput timed(terminal.ProcessOutput());
    runner.SetOutputHandle(&timed);
    runner.RunProcesses(&list);
    while (runner.Running())
        test::ServeMessagesBriefly();
    terminal.Flush();
    costs = timed.Costs();
    const int length = GetWindowTextLengthA(terminal.mem_ConsoleOutput);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    GetWindowTextA(terminal.mem_ConsoleOutput, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

#else

// The terminal's work without its window: each text split into lines, then held.
class TLineSink : public test::TMessageOutput {
public:
    void Receive(unsigned message, char* text, std::intptr_t) override {
        if (message == test::WM_CONSOLE_OUTPUT || message == test::WM_CONSOLE_ERROR) {
            AppendLines(text, FText);
            // The window adds its held text to a pane every 64 KB; only the newest is kept here.
            if (FText.size() >= 0x10000)
                FText.erase(0, FText.size() - 256);
        }
    }
    const std::string& Text() const { return FText; }

private:
    std::string FText;
};

std::string RunThroughTerminal(TSerialProcess& runner, const std::vector<std::string>& list,
                               std::vector<double>& costs) {
    TLineSink sink;
    TTimedOutput timed(sink);
    runner.SetOutputHandle(&timed);
    runner.RunProcessesAndWait(&list);
    costs = timed.Costs();
    return sink.Text();
}

#endif

} // namespace

int main(int argc, char** argv) {
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string command = test::ChildCommand({"rsync-lines", std::to_string(lines)});

    std::vector<double> plainTimes, terminalTimes, firstTenth, lastTenth;
    std::size_t bytes = 0;
    std::string text;
    for (int round = 0; round < rounds; ++round) {
        auto started = TClock::now();
        bytes = test::PlainRead(command);
        plainTimes.push_back(Seconds(started));

        TSerialProcess runner;
        std::vector<double> costs;
        started = TClock::now();
        text = RunThroughTerminal(runner, {command}, costs);
        terminalTimes.push_back(Seconds(started));
        const auto [first, last] = FirstAndLastTenth(costs);
        firstTenth.push_back(first);
        lastTenth.push_back(last);
    }
    const test::TSpread plain = test::Spread(plainTimes);
    const test::TSpread terminal = test::Spread(terminalTimes);
    std::printf("%ld rsync-like lines, %.1f MB, %d rounds (min / median / max)\n", lines,
                static_cast<double>(bytes) / 1e6, rounds);
    test::PrintBeside("plain pipe read", plain, "runner and terminal", terminal, "s");
    test::PrintSpread("per chunk, first tenth of the run", test::Spread(firstTenth), "us");
    test::PrintSpread("per chunk, last tenth of the run", test::Spread(lastTenth), "us");
    std::printf("  %-34s: %9.1f MB\n", "peak working set", PeakWorkingSetMB());

    std::string last =
        lines > 0 ? testchild::RsyncLikeLine(static_cast<std::size_t>(lines - 1)) : "";
    if (!last.empty())
        last.replace(last.size() - 1, 1, "\r\n");
    if (text.size() < last.size() || text.compare(text.size() - last.size(), last.size(), last)) {
        std::fprintf(stderr, "the terminal does not end with the child's last line\n");
        return 1;
    }
    return 0;
}
