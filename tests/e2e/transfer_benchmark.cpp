// The wall time of a backup of a 2,000-file tree through the real program under
// Wine (from the Backup click to "Transfer Complete." in the terminal) against
// the same rsync command run directly on the host; and a backup that replaces every
// file with earlier versions kept against one without.
#include "user_steps.h"
#include "UMainForm.h"
#include "e2e_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace kal;
using namespace kal::e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Files = 2000;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string HostPath(const std::string& windowsPath) {
    std::string path = windowsPath.substr(2); // scratch folders lie on Z:, the host's root
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

std::size_t CountFiles(const fs::path& root) {
    std::size_t n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        n += entry.is_regular_file() ? 1 : 0;
    return n;
}

int Fail(const char* what) {
    std::fprintf(stderr, "transfer benchmark: %s\n", what);
    return 1;
}

} // namespace

int main() {
    const std::string folder = ScratchFolder("TransferBenchmark");
    const std::string tree = folder + "\\tree";
    for (int i = 0; i < Files; ++i) {
        const fs::path file =
            fs::path(tree) / ("dir " + std::to_string(i % 40)) / ("file " + std::to_string(i));
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << std::string(200 + i % 1800, 'k');
    }
    const std::string exe = InstallProgram(folder);
    CreateDirectoryA((folder + "\\Bin").c_str(), nullptr);
    if (!CopyFileA(WindowsPath(KAL_BRIDGE_PATH).c_str(), (folder + "\\Bin\\RSync.exe").c_str(),
                   FALSE))
        return Fail("cannot install the bridge");
    std::string options;
    WriteConfig(folder, [&](TRSync& sync) {
        sync.SetServer(std::make_unique<TLocalHost>(folder + "\\program\\"));
        sync.SetOutputAutoCloseDelay(-1);
        TRSyncProfile::Create(sync, "Tree")->AddPath(tree);
        options = sync.BuildOptions(sync.Flags());
    });

    // Backs up the stored profile once more and answers its wall time, 0 on failure.
    const auto backUp = [](TProgram& kalvaren, std::size_t count) {
        HWND main = kalvaren.WaitForWindow("Kalvaren", 60s, "KalvarenMainForm");
        if (!main)
            return 0.0;
        HWND profiles = FindChild(main, TMainForm::idProfiles);
        WaitUntil([&] { return ListLines(profiles).size() == 1; });
        SelectListLine(profiles, 0);
        HWND backup = FindChild(main, TMainForm::idBackup);
        WaitUntil([&] { return Enabled(backup); });
        const auto start = Clock::now();
        Click(backup);
        HWND terminal = kalvaren.WaitForWindow("Backup Terminal", 60s);
        const bool complete =
            terminal && WaitUntil(
                            [&] {
                                const std::string out = Text(TerminalPanes(terminal).at(0));
                                std::size_t n = 0;
                                for (auto at = out.find("Transfer Complete."); at != out.npos;
                                     at = out.find("Transfer Complete.", at + 1))
                                    ++n;
                                return n == count;
                            },
                            300s);
        return complete ? Seconds(start) : 0.0;
    };
    // Every file changes size, so a run replaces all of them.
    const auto changeAll = [&](const char* extra) {
        for (int i = 0; i < Files; ++i)
            std::ofstream(fs::path(tree) / ("dir " + std::to_string(i % 40)) /
                              ("file " + std::to_string(i)),
                          std::ios::binary | std::ios::app)
                << extra;
    };
    double program = 0, replacing = 0, keeping = 0;
    {
        TProgram kalvaren(exe, "", folder);
        program = backUp(kalvaren, 1);
        changeAll("v");
        replacing = backUp(kalvaren, 2);
    }
    if (program == 0 || replacing == 0)
        return Fail("the program's backup did not complete");
    WriteConfig(folder, [&](TRSync& sync) {
        sync.SetServer(std::make_unique<TLocalHost>(folder + "\\program\\"));
        sync.SetOutputAutoCloseDelay(-1);
        sync.SetFlags(sync.Flags() | TRSync::KeepVersionsBit);
        TRSyncProfile::Create(sync, "Tree")->AddPath(tree);
    });
    changeAll("w");
    {
        TProgram kalvaren(exe, "", folder);
        keeping = backUp(kalvaren, 1);
    }
    if (keeping == 0)
        return Fail("the backup keeping versions did not complete");

    // The host's rsync, started through the shell as the bridge starts it; its end
    // is seen through a file, since Wine does not wait for a Linux process.
    const std::string done = folder + "\\host.done";
    WriteFile(folder + "\\host.sh", "mkdir -p \"" + HostPath(folder) + "/host\"\nrsync " + options +
                                        "\"" + HostPath(tree) + "\" \"" + HostPath(folder) +
                                        "/host/Demo/\" >/dev/null 2>&1\n" + "echo $? >\"" +
                                        HostPath(done) + ".tmp\"\n" + "mv \"" + HostPath(done) +
                                        ".tmp\" \"" + HostPath(done) + "\"\n");
    std::string command = "Z:\\bin\\sh \"" + HostPath(folder) + "/host.sh\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const auto start = Clock::now();
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return Fail("cannot start /bin/sh");
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    if (!WaitUntil([&] { return e2e::FileExists(done); }, 300s))
        return Fail("the host's rsync did not finish");
    const double host = Seconds(start);
    if (ReadFile(done).rfind("0", 0) != 0)
        return Fail("the host's rsync failed");

    const std::size_t copied = CountFiles(folder + "\\program\\Demo\\tree");
    const std::size_t kept = CountFiles(folder + "\\program\\Demo\\.versions");
    const std::size_t direct = CountFiles(folder + "\\host\\Demo\\tree");
    if (copied != Files || direct != Files || kept != Files)
        return Fail("a copy is incomplete");
    std::printf("backup of %d files (%s): Kalvaren under Wine %.2f s, host rsync %.2f s, "
                "ratio %.1f\n",
                Files, options.c_str(), program, host, program / host);
    std::printf("backup replacing all %d files: %.2f s; keeping each replaced file as an earlier "
                "version: %.2f s, ratio %.2f\n",
                Files, replacing, keeping, keeping / replacing);
    RemoveDirectoryA(folder.c_str()); // the next run starts afresh anyway
    return 0;
}
