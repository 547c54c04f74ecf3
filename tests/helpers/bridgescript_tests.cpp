// The shell side of the Wine rsync bridge, run natively with /bin/sh: quoting,
// the recorded exit code, the output files and the watchdog.
#include "BridgeScript.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace kal::rsynctools;
using namespace kal::test;
using namespace std::chrono_literals;

TEST(BridgeScript, QuotedWordsReachTheProgramExactly) {
    const std::vector<std::string> words = {
        "plain", "two words", "it's", "''",          "$HOME", "`id`",      "back\\slash",
        "a\"b",  "Ünï cödé",  "*",    "line\nbreak", "",      "--opt=a b", "; exit 3"};
    std::string command = "printf '[%s]'";
    std::string expected;
    for (const std::string& word : words) {
        command += " " + ShellQuote(word);
        expected += "[" + word + "]";
    }
    const CommandResult result = RunCommand({"/bin/sh", "-c", command});
    EXPECT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Out, expected);
}

TEST(BridgeScript, ExitCodeTextIsParsedStrictly) {
    EXPECT_EQ(ParseExitCode("0\n"), 0);
    EXPECT_EQ(ParseExitCode("23\n"), 23);
    EXPECT_EQ(ParseExitCode("255\r\n"), 255);
    for (const char* bad : {"", "\n", "abc", "256", "-1", "5x", " 5", "1e2"})
        EXPECT_EQ(ParseExitCode(bad), -1) << bad;
}

namespace {

// The bridge's side of the folder protocol, played natively.
class ScriptRun {
public:
    ScriptRun(const std::string& program, const std::vector<std::string>& args)
        : FFolder(FDir / "bridge") {
        fs::create_directory(FFolder);
        for (const char* name : {BridgeOutFile, BridgeErrFile, BridgeHeartbeatFile})
            WriteTextFile(FFolder / name, "");
        WriteTextFile(FFolder / BridgeScriptFile, BridgeScript(FFolder.string(), program, args));
        FShell = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", (FFolder / BridgeScriptFile).string()});
    }
    ~ScriptRun() { StopHeartbeat(); }

    void StartHeartbeat() {
        FBeating = std::thread([this] {
            while (!FStop.load()) {
                if (!fs::exists(FFolder / BridgeHeartbeatFile))
                    WriteTextFile(FFolder / BridgeHeartbeatFile, "");
                std::this_thread::sleep_for(100ms);
            }
        });
    }
    void StopHeartbeat() {
        FStop.store(true);
        if (FBeating.joinable())
            FBeating.join();
    }
    // The shell's exit status; the script's own work is in the folder.
    int WaitShell() { return FShell->Wait(); }
    bool FolderExists() const { return fs::exists(FFolder); }
    std::string File(const char* name) const { return ReadTextFile(FFolder / name); }

private:
    TempDir FDir{"kal-script"};
    fs::path FFolder;
    std::unique_ptr<ChildProcess> FShell;
    std::atomic<bool> FStop{false};
    std::thread FBeating;
};

} // namespace

TEST(BridgeScript, RecordsOutputErrorAndExitCodeOfTheProgram) {
    TempDir data("kal-data");
    WriteTextFile(data / "src/a b.txt", "alpha");
    WriteTextFile(data / "src/Ünï/c.txt", "gamma");
    {
        ScriptRun run("/usr/bin/rsync",
                      {"-v", "-a", (data / "src").string() + "/", (data / "dst it's").string()});
        run.StartHeartbeat();
        EXPECT_EQ(run.WaitShell(), 0);
        EXPECT_EQ(run.File(BridgeCodeFile), "0\n");
        EXPECT_NE(run.File(BridgeOutFile).find("a b.txt"), std::string::npos);
        EXPECT_NE(run.File(BridgeOutFile).find("Ünï/c.txt"), std::string::npos)
            << "non-ASCII names must not come out as escapes";
        EXPECT_EQ(run.File(BridgeErrFile), "");
        EXPECT_GT(std::stoi(run.File(BridgePidFile)), 1) << "the bridge watches this process";
    }
    EXPECT_EQ(CompareTrees(data / "src", data / "dst it's"), "");
    {
        ScriptRun run("/usr/bin/rsync", {(data / "missing").string(), (data / "dst").string()});
        run.StartHeartbeat();
        run.WaitShell();
        EXPECT_EQ(run.File(BridgeCodeFile), "23\n");
        EXPECT_NE(run.File(BridgeErrFile).find("No such file or directory"), std::string::npos);
        EXPECT_EQ(run.File(BridgeOutFile).find("No such file"), std::string::npos);
    }
    {
        ScriptRun run("/nonexistent/rsync", {"-a"});
        run.StartHeartbeat();
        run.WaitShell();
        EXPECT_EQ(run.File(BridgeCodeFile), "127\n");
        EXPECT_NE(run.File(BridgeErrFile).find("/nonexistent/rsync"), std::string::npos);
    }
}

TEST(BridgeScript, WatchdogSparesALiveBridgeAndStopsAnOrphanedRun) {
    // Longer than the watchdog's patience, so a live heartbeat is what keeps it.
    const std::string patience = std::to_string(BridgeWatchdogSeconds * (BridgeWatchdogMisses + 1));
    {
        ScriptRun run("/bin/sleep", {patience});
        run.StartHeartbeat();
        EXPECT_EQ(run.WaitShell(), 0);
        EXPECT_EQ(run.File(BridgeCodeFile), "0\n");
    }
    {
        ScriptRun run("/bin/sleep", {"30"});
        const auto started = std::chrono::steady_clock::now();
        run.WaitShell();
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, 15s) << "the orphaned program was not stopped";
        EXPECT_FALSE(run.FolderExists()) << "an orphaned run cleans up after itself";
    }
}
