// A backup of a 10,000-file tree to a real rsync daemon, through Kalvaren's runner
// and as the same rsync command run directly; prints both times and their ratio.
#include "transfer_daemon.h"
#include "URSync.h"
#include "URSyncProcess.h"
#ifndef _WIN32
#include "output_messages.h"
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace kal;
namespace fs = std::filesystem;

namespace {

// The terminal's share of the work: take every chunk, keep a count.
class TCountingWindow : public test::TMessageOutput {
public:
    void Receive(unsigned, char*, std::intptr_t lParam) override {
        Bytes += static_cast<std::size_t>(lParam);
    }
    std::atomic<std::size_t> Bytes{0};
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <typename F> double Timed(F&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return Seconds(std::chrono::steady_clock::now() - start);
}

// rsync on its own: the same arguments, output thrown away by the system.
void RunDirectly(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(pid, nullptr, 0);
    posix_spawn_file_actions_destroy(&actions);
}

void EmptyFolder(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        fs::remove_all(entry.path());
}

} // namespace

int main() {
    constexpr int Folders = 100;
    constexpr int FilesPerFolder = 100;
    constexpr int Rounds = 2;

    test::RsyncDaemon daemon;
    test::TempDir drives("kal-bench-drives");
    setenv("KAL_DRIVES_ROOT", drives.Path().c_str(), 1);
    for (int d = 0; d < Folders; ++d)
        for (int f = 0; f < FilesPerFolder; ++f)
            test::WriteTextFile(drives / ("D/Tree/folder " + std::to_string(d) + "/file" +
                                          std::to_string(f) + ".txt"),
                                std::string(200 + f, static_cast<char>('a' + f % 26)));

    TCountingWindow window;
    TRSync sync;
    test::UseDaemon(sync, daemon);
    sync.SetOutputHandle(&window);
    auto* profile = TRSyncProfile::Create(sync, "Bench");
    profile->AddPath("D:\\Tree");

    // Each round starts from an empty module, so both sides send every file.
    std::vector<double> kalvaren, direct;
    std::string commandLine;
    for (int round = 0; round < Rounds; ++round) {
        // Alternate who goes first, so neither always meets a warm cache.
        for (int turn = 0; turn < 2; ++turn) {
            EmptyFolder(daemon.ModulePath());
            if ((round + turn) % 2 == 0) {
                kalvaren.push_back(Timed([&] {
                    profile->Backup();
                    sync.WaitForProcess();
                }));
                commandLine = sync.ProcessRef()->CommandLineOf(0);
            } else if (!commandLine.empty()) {
                direct.push_back(Timed([&] { RunDirectly(SplitCommandLine(commandLine)); }));
            }
        }
    }
    const std::size_t files = test::ReadTree(daemon.ModulePath() / "Tree").size();
    const double kalBest = *std::min_element(kalvaren.begin(), kalvaren.end());
    const double directBest = *std::min_element(direct.begin(), direct.end());

    std::printf("transfer_benchmark: backup of %d files to an rsync daemon on 127.0.0.1\n",
                Folders * FilesPerFolder);
    std::printf("  command: %s\n", commandLine.c_str());
    std::printf("  entries on the server after the last run: %zu\n", files);
    std::printf("  Kalvaren run (runner, progress lines, terminal messages): best %.3f s of %zu\n",
                kalBest, kalvaren.size());
    std::printf("  same rsync command run directly, output to /dev/null:   best %.3f s of %zu\n",
                directBest, direct.size());
    std::printf("  ratio Kalvaren / direct: %.3f (aim: within 1.05)\n", kalBest / directBest);
    // Every sample: on a shared machine the spread says how far to trust the ratio.
    std::printf("  samples Kalvaren:");
    for (double t : kalvaren)
        std::printf(" %.3f", t);
    std::printf(" s; direct:");
    for (double t : direct)
        std::printf(" %.3f", t);
    std::printf(" s\n");
    std::printf("  output relayed to the terminal: %zu bytes per run\n",
                window.Bytes.load() / kalvaren.size());
    unsetenv("KAL_DRIVES_ROOT");
    return 0;
}
