// Helpers shared by the test suites of every area (library kal_testsupport).
//
//   TempDir        a fresh folder, removed with everything in it at destruction
//   FreePort       a TCP port on 127.0.0.1 that nobody listens on right now
//   ChildProcess   a program run with its output and error captured separately,
//                  readable while it runs; RunCommand for the simple case
//   ReadTree, CompareTrees, WriteTextFile, ReadTextFile   file-tree checks
//   RsyncDaemon    (native) a real rsync daemon on 127.0.0.1 with one module that
//                  requires a user and password; stopped at destruction
//   FixtureDaemon  the daemon that tests/fixtures/rsyncd.sh started for ctest
//   StandinPath, BridgePath   the rsync programs Kalvaren can be pointed at in tests
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kal::test {

namespace fs = std::filesystem;

class TempDir {
public:
    explicit TempDir(const std::string& tag = "kal");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& Path() const { return FPath; }
    // A path inside the folder; `relative` is UTF-8 with '/' separators.
    fs::path operator/(const std::string& relative) const;

private:
    fs::path FPath;
};

// Bound and released at once: good enough for a server the test starts next,
// which should still retry on a clash (RsyncDaemon does).
unsigned short FreePort();

// Names and values added to (or replacing those of) the test's own environment.
using Environment = std::vector<std::pair<std::string, std::string>>;

// A command line exactly as given, for programs that must see the quoting a
// caller such as Kalvaren produces: CreateProcess on Windows, /bin/sh -c natively.
struct RawCommandLine {
    std::string Text;
};

class ChildProcess {
public:
    // argv[0] is searched on PATH (native) or used as the program (Windows).
    explicit ChildProcess(const std::vector<std::string>& argv, const Environment& env = {});
    explicit ChildProcess(const RawCommandLine& commandLine, const Environment& env = {});
    ~ChildProcess(); // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True as soon as `ready` holds for the output and error text read so far,
    // false when the timeout passes or both streams end first without it.
    bool WaitFor(const std::function<bool(const std::string& out, const std::string& err)>& ready,
                 std::chrono::milliseconds timeout);
    bool Running();
    // Waits for the end of the child and of both streams; the exit code.
    int Wait();
    void Terminate(); // SIGTERM natively, TerminateProcess on Windows
    void Kill();      // SIGKILL natively, TerminateProcess on Windows

    std::string Out() const;
    std::string Err() const;

    class Platform;

private:
    void StartReaders();

    std::unique_ptr<Platform> FChild;
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::string FOut, FErr;
    int FOpenStreams = 2;
    std::thread FOutReader, FErrReader;
};

struct CommandResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

CommandResult RunCommand(const std::vector<std::string>& argv, const Environment& env = {});
CommandResult RunCommand(const RawCommandLine& commandLine, const Environment& env = {});

void WriteTextFile(const fs::path& path, const std::string& content); // creates parent folders
std::string ReadTextFile(const fs::path& path);

// Relative path ('/' separators, UTF-8) to contents; folders map to "<dir>".
std::map<std::string, std::string> ReadTree(const fs::path& root);
// Empty when both maps hold the same keys with equal values, otherwise one line
// per key: "missing: ", "differs: " or "extra: " and the key.
template <typename Map> std::string MapDifferences(const Map& expected, const Map& actual) {
    std::string differences;
    for (const auto& [key, value] : expected) {
        const auto found = actual.find(key);
        if (found == actual.end())
            differences += "missing: " + key + "\n";
        else if (!(found->second == value))
            differences += "differs: " + key + "\n";
    }
    for (const auto& [key, value] : actual)
        if (!expected.contains(key))
            differences += "extra: " + key + "\n";
    return differences;
}

// Empty when both trees hold the same relative paths with the same contents,
// otherwise one line per difference.
std::string CompareTrees(const fs::path& expected, const fs::path& actual);

struct RsyncDaemonInfo {
    unsigned short Port = 0;
    fs::path ModulePath;
    std::string ModuleName;
    std::string User;
    std::string Password;
    fs::path PasswordFile; // holds Password, mode 600 as rsync demands
};

#ifndef _WIN32
class RsyncDaemon {
public:
    explicit RsyncDaemon(const std::string& moduleName = "Master");
    ~RsyncDaemon();
    RsyncDaemon(const RsyncDaemon&) = delete;
    RsyncDaemon& operator=(const RsyncDaemon&) = delete;

    unsigned short Port() const { return FInfo.Port; }
    const fs::path& ModulePath() const { return FInfo.ModulePath; }
    const std::string& ModuleName() const { return FInfo.ModuleName; }
    const std::string& User() const { return FInfo.User; }
    const std::string& Password() const { return FInfo.Password; }
    const fs::path& PasswordFile() const { return FInfo.PasswordFile; }
    const RsyncDaemonInfo& Info() const { return FInfo; }

private:
    TempDir FFolder;
    RsyncDaemonInfo FInfo;
    std::unique_ptr<ChildProcess> FProcess;
};
#endif

// The daemon of the ctest fixture "kal_rsyncd" (tests that use it declare
// FIXTURES_REQUIRED kal_rsyncd). Throws when the fixture has not run.
RsyncDaemonInfo FixtureDaemon();

// A host (Linux) path as this program names it: unchanged natively, the Wine
// drive path (Z:\...) on Windows.
fs::path FromHostPath(const std::string& hostPath);

#ifndef _WIN32
fs::path StandinPath(); // kal-rsync
#else
fs::path BridgePath(); // app\Bin\RSync.exe of this build
#endif

} // namespace kal::test
