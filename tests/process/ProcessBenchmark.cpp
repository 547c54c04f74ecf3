// Throughput of the runner for a child that floods its standard output, next to a
// plain read of the same child's pipe in 1024-byte chunks. Prints figures only.
#include "OutputRecorder.h"
#include "UProcess.h"

#include <chrono>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

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

// Reads everything the child writes, 1024 bytes at a time; returns the byte count.
std::size_t PlainRead(const std::string& command) {
    char buffer[1024];
    std::size_t total = 0;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        return 0;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info{};
    std::string line = command;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(write);
        write = nullptr;
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            total += got;
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    if (write)
        CloseHandle(write);
    CloseHandle(read);
#else
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return 0;
    ssize_t got;
    while ((got = ::read(::fileno(pipe), buffer, sizeof(buffer))) > 0)
        total += static_cast<std::size_t>(got);
    ::pclose(pipe);
#endif
    return total;
}

} // namespace

int main() {
    const std::string command = kal::test::ChildCommand({"blast", std::to_string(FloodBytes)});
    double plainBest = 0, runnerBest = 0;
    std::size_t plainBytes = 0, runnerBytes = 0;
    for (int round = 0; round < Rounds; ++round) {
        auto started = TClock::now();
        plainBytes = PlainRead(command);
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
