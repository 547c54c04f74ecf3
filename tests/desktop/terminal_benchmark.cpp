// Appends 200,000 lines to the terminal's output pane the way the runner sends
// them (1024-byte chunks, SendMessage of WM_CONSOLE_OUTPUT) and prints the cost
// per chunk at the start and at the end: they should stay about the same.
#include "UTerminalForm.h"

#include "UProcess.h"

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

using namespace kal;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int kLines = argc > 1 ? std::atoi(argv[1]) : 200000;
    constexpr size_t kChunk = 1024;
    constexpr size_t kWindow = 200; // chunks averaged at each end

    std::string all;
    for (int i = 0; i < kLines; ++i)
        all += "sent " + std::to_string(i) + " Documents/Projects/report-" +
               std::to_string(i % 97) + ".txt          4,096 100%\n";
    std::vector<std::string> chunks;
    for (size_t at = 0; at < all.size(); at += kChunk)
        chunks.push_back(all.substr(at, kChunk));

    TTerminalForm form;
    std::vector<double> perChunk;
    perChunk.reserve(chunks.size());
    const auto start = Clock::now();
    for (std::string& chunk : chunks) {
        const auto before = Clock::now();
        SendMessageA(form.Handle(), WM_CONSOLE_OUTPUT, reinterpret_cast<WPARAM>(chunk.data()), 0);
        perChunk.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - before).count());
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    form.Flush();
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    auto average = [&](size_t from) {
        double sum = 0;
        for (size_t i = from; i < from + kWindow; ++i)
            sum += perChunk[i];
        return sum / kWindow;
    };
    const int length = GetWindowTextLengthA(form.mem_ConsoleOutput);
    std::printf("terminal append: %d lines, %zu chunks of %zu bytes, pane holds %d characters\n",
                kLines, chunks.size(), kChunk, length);
    std::printf("total %.2f s; per chunk: first %zu %.1f us, last %zu %.1f us\n", total, kWindow,
                average(0), kWindow, average(perChunk.size() - kWindow));
    return 0;
}
