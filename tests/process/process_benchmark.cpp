// Throughput of the runner for a child that floods its standard output, next to a
// plain read of the same child's pipe in 1024-byte chunks. Prints figures only.
#include "output_recorder.h"
#include "UProcess.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Wine moves at best about 14 MB/s through a pipe read in 1 KB chunks, and a sent
// message costs more round trips to its server; natively a pipe moves GB/s.
#ifdef _WIN32
constexpr std::size_t FloodBytes = 4u << 20;
constexpr int Rounds = 1;
#else
constexpr std::size_t FloodBytes = 200u << 20;
constexpr int Rounds = 3;
#endif

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
    return std::chrono::duration<double>(TClock::now() - since).count();
}

} // namespace

int main() {
    const std::string command = kal::test::ChildCommand({"blast", std::to_string(FloodBytes)});
    double plainBest = 0, runnerBest = 0;
    std::size_t plainBytes = 0, runnerBytes = 0;
    for (int round = 0; round < Rounds; ++round) {
        auto started = TClock::now();
        plainBytes = kal::test::PlainRead(command);
        plainBest = std::max(plainBest, plainBytes / Seconds(started) / 1e6);

        kal::test::TOutputRecorder window;
        window.SetCountOnly(true);
        kal::TSerialProcess runner;
        runner.SetOutputHandle(window.Handle());
        const std::vector<std::string> list = {command};
        started = TClock::now();
        runner.RunProcessesAndWait(&list);
        runnerBytes = window.BytesReceived();
        runnerBest = std::max(runnerBest, runnerBytes / Seconds(started) / 1e6);
    }
    std::printf("child output flood, best of %d, 1024-byte reads\n", Rounds);
    std::printf("  plain pipe read : %10zu bytes  %8.1f MB/s\n", plainBytes, plainBest);
    std::printf("  process runner  : %10zu bytes  %8.1f MB/s (messages to the window)\n",
                runnerBytes, runnerBest);
    std::printf("  runner / plain  : %.2f\n", plainBest > 0 ? runnerBest / plainBest : 0.0);
    if (plainBytes != FloodBytes || runnerBytes != FloodBytes)
        std::printf("  note: expected %zu bytes from each\n", FloodBytes);
    return 0;
}
