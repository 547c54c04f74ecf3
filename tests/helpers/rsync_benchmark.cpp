// Prints what the rsync tooling adds to a transfer: natively the stand-in against
// the host rsync run directly, under Wine the bridge's cost per call and the time
// of a many-file copy with its output relayed.
#include "test_support.h"

#include <cstdio>

using namespace kal::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Files = 500;
constexpr int Calls = 5;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Seconds for one run of `command`; fails loudly rather than time a failure.
template <typename Command> double Timed(const Command& command, const Environment& env = {}) {
    const auto start = Clock::now();
    const CommandResult result = RunCommand(command, env);
    const double took = Seconds(start);
    if (result.ExitCode != 0) {
        std::fprintf(stderr, "command failed (%d): %s\n", result.ExitCode, result.Err.c_str());
        std::exit(1);
    }
    return took;
}

void MakeTree(const fs::path& root) {
    for (int i = 0; i < Files; ++i)
        WriteTextFile(root / ("dir " + std::to_string(i % 20)) / ("file " + std::to_string(i)),
                      std::string(100 + i % 900, 'k'));
}

} // namespace

int main() {
    TempDir dir("kal-bench");
    MakeTree(dir / "D/tree");
    fs::create_directories(dir / "E");
#ifndef _WIN32
    const Environment drives = {{"KAL_DRIVES_ROOT", dir.Path().string()}};
    double direct = 0, standin = 0;
    for (int i = 0; i < Calls; ++i) {
        direct +=
            Timed(std::vector<std::string>{"rsync", "-a", "--delete", (dir / "D/tree").string(),
                                           (dir / "E/direct").string() + "/"});
        standin += Timed(std::vector<std::string>{StandinPath().string(), "-a", "--delete",
                                                  "/cygdrive/D/tree", "/cygdrive/E/standin/"},
                         drives);
        fs::remove_all(dir / "E");
        fs::create_directories(dir / "E");
    }
    std::printf("copy of %d files, mean of %d: rsync %.3f s, kal-rsync %.3f s, ratio %.3f\n", Files,
                Calls, direct / Calls, standin / Calls, standin / direct);
#else
    const std::string bridge = "\"" + BridgePath().string() + "\"";
    double version = 0;
    for (int i = 0; i < Calls; ++i)
        version += Timed(RawCommandLine{bridge + " --version"});
    std::printf("RSync.exe --version, mean of %d calls: %.3f s\n", Calls, version / Calls);

    const auto tree = fs::absolute(dir / "D/tree").generic_string();
    const auto target = fs::absolute(dir / "E").generic_string();
    const auto start = Clock::now();
    const CommandResult copy = RunCommand(
        RawCommandLine{bridge + " -v -a \"/cygdrive/" + tree.substr(0, 1) + tree.substr(2) +
                       "\" \"/cygdrive/" + target.substr(0, 1) + target.substr(2) + "/\""});
    const double took = Seconds(start);
    std::printf("RSync.exe -v copy of %d files: %.3f s (exit %d), %zu bytes of output relayed\n",
                Files, took, copy.ExitCode, copy.Out.size());
    if (copy.ExitCode != 0)
        return 1;
#endif
    return 0;
}
