// A backup's output at scale: a child that writes rsync -v-like file lines runs
// through the real runner into the terminal, timed against the same child read
// through a plain pipe. Prints both times, their ratio and the peak working set;
// fails only when the terminal did not end with the child's last line.
// Argument: the number of lines.
//
// On Windows the terminal is the real "Backup Terminal" window, served by a message
// loop as the program serves it. Elsewhere there is no window: the runner's texts go
// through the terminal's line splitting into a buffer held as the window holds
// text before it adds it to a pane, which measures the portable part of the road.
#include "output_recorder.h"
#include "TestPattern.h"
#include "UConsoleLines.h"
#include "UProcess.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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

#ifdef _WIN32

// Runs the list through the terminal window; returns the newest text of its output pane.
std::string RunThroughTerminal(TSerialProcess& runner, const std::vector<std::string>& list) {
    TTerminalForm terminal;
    runner.SetOutputHandle(&terminal.ProcessOutput());
    runner.RunProcesses(&list);
    while (runner.Running())
        test::ServeMessagesBriefly();
    terminal.Flush();
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

std::string RunThroughTerminal(TSerialProcess& runner, const std::vector<std::string>& list) {
    TLineSink sink;
    runner.SetOutputHandle(&sink);
    runner.RunProcessesAndWait(&list);
    return sink.Text();
}

#endif

} // namespace

int main(int argc, char** argv) {
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::string command = test::ChildCommand({"rsync-lines", std::to_string(lines)});

    auto started = TClock::now();
    const std::size_t bytes = test::PlainRead(command);
    const double plain = Seconds(started);

    TSerialProcess runner;
    started = TClock::now();
    const std::string text = RunThroughTerminal(runner, {command});
    const double terminal = Seconds(started);

    std::printf("%ld rsync-like lines, %.1f MB\n", lines, static_cast<double>(bytes) / 1e6);
    std::printf("  plain pipe read       : %7.2f s\n", plain);
    std::printf("  runner and terminal   : %7.2f s\n", terminal);
    std::printf("  ratio terminal / plain: %7.2f\n", plain > 0 ? terminal / plain : 0.0);
    std::printf("  peak working set      : %7.1f MB\n", PeakWorkingSetMB());

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
