// RSync.exe, the Wine bridge to the host's rsync, driven as Kalvaren drives it:
// a command line with /cygdrive paths, output and error read from two pipes.
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <utility>

using namespace kal::test;
using namespace std::chrono_literals;

namespace {

// C:\users\x\Temp\kal-1\My Docs -> /cygdrive/C/users/x/Temp/kal-1/My Docs
std::string CygPath(const fs::path& path) {
    const auto text = fs::absolute(path).generic_u8string();
    std::string generic(text.begin(), text.end());
    return "/cygdrive/" + generic.substr(0, 1) + generic.substr(2);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Bridge(const std::string& arguments) {
    return Quoted(BridgePath().string()) + " " + arguments;
}

// Host processes named rsync whose command line mentions `marker`; Wine shows the
// host's /proc on Z:. Processes come and go while it looks: one that ended counts
// as gone.
int HostRsyncsMentioning(const std::string& marker) {
    int found = 0;
    std::error_code error;
    for (fs::directory_iterator entry("Z:\\proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string pid = entry->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline;
        try {
            std::ifstream file(entry->path() / "cmdline", std::ios::binary);
            cmdline.assign(std::istreambuf_iterator<char>(file), {});
        } catch (const std::exception&) {
            continue;
        }
        const std::string program = cmdline.substr(0, cmdline.find('\0'));
        const std::string name = program.substr(program.rfind('/') + 1);
        if (name == "rsync" && cmdline.find(marker) != std::string::npos)
            ++found;
    }
    return found;
}

// Drives D: and E: as two folders of the test's own.
class RsyncBridge : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Path("D"));
        fs::create_directories(Path("E"));
    }
    fs::path Path(const std::string& relative) const { return FDir / relative; }
    std::string Cyg(const std::string& relative) const { return CygPath(Path(relative)); }
    std::string Leaf() const { return FDir.Path().filename().string(); }
    // Ten seconds of transfer at --bwlimit=300, incompressible enough for rsync.
    void WriteBigFile(const std::string& relative) const {
        std::string big(3 << 20, '\0');
        for (std::size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>((i * 2654435761u) >> 13);
        WriteTextFile(Path(relative), big);
    }

    TempDir FDir{"kal-bridge"};
};

} // namespace

TEST_F(RsyncBridge, CopiesLocalFoldersWithBlanksAndNonAsciiNames) {
    WriteTextFile(Path("D/Work/Reports/q1 summary.txt"), "figures");
    WriteTextFile(Path("D/Photos 2008/Ünïcödé été/ä ö.jpg"), std::string(70000, 'x'));
    const CommandResult result = RunCommand(RawCommandLine{
        Bridge("-v -h -a " + Cyg("D/Work/Reports") + " " + Quoted(Cyg("D/Photos 2008")) + " " +
               Quoted(Cyg("E/My Backup") + "/"))});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    EXPECT_NE(result.Out.find("q1 summary.txt"), std::string::npos) << result.Out;
    EXPECT_NE(result.Out.find("ä ö.jpg"), std::string::npos) << result.Out;
    EXPECT_EQ(CompareTrees(Path("D/Work/Reports"), Path("E/My Backup/Reports")), "");
    EXPECT_EQ(CompareTrees(Path("D/Photos 2008"), Path("E/My Backup/Photos 2008")), "");
}

TEST_F(RsyncBridge, BacksUpToAndRestoresFromADaemonModuleWithAuth) {
    const RsyncDaemonInfo daemon = FixtureDaemon();
    WriteTextFile(Path("D/Photos 2008/a b.txt"), "one");
    WriteTextFile(Path("D/Photos 2008/sub/ü.txt"), "two");
    // Options as Kalvaren writes them: the password file quoted, in drive-letter form.
    const std::string options =
        "-v -a --password-file=" + Quoted(daemon.PasswordFile.generic_string()) +
        " --port=" + std::to_string(daemon.Port) + " ";
    const std::string remote =
        daemon.User + "@127.0.0.1::" + daemon.ModuleName + "/" + Leaf() + "/";

    const CommandResult backup = RunCommand(
        RawCommandLine{Bridge(options + Quoted(Cyg("D/Photos 2008")) + " " + Quoted(remote))});
    ASSERT_EQ(backup.ExitCode, 0) << backup.Err;
    EXPECT_EQ(CompareTrees(Path("D/Photos 2008"), daemon.ModulePath / Leaf() / "Photos 2008"), "");

    const CommandResult restore = RunCommand(RawCommandLine{
        Bridge(options + Quoted(remote + "Photos 2008/") + " " + Quoted(Cyg("E/Restored") + "/"))});
    ASSERT_EQ(restore.ExitCode, 0) << restore.Err;
    EXPECT_EQ(CompareTrees(Path("D/Photos 2008"), Path("E/Restored")), "");
    fs::remove_all(daemon.ModulePath / Leaf());
}

TEST_F(RsyncBridge, RelaysOutputAndErrorSeparatelyWithRsyncsExitCode) {
    const RsyncDaemonInfo daemon = FixtureDaemon();
    WriteTextFile(Path("D/present.txt"), "here");
    const std::string port = " --port=" + std::to_string(daemon.Port) + " ";

    const CommandResult wrongModule = RunCommand(RawCommandLine{
        Bridge("-v -a" + port + Cyg("D/present.txt") + " \"kal@127.0.0.1::NoSuchModule/\"")});
    EXPECT_EQ(wrongModule.ExitCode, 5);
    EXPECT_NE(wrongModule.Err.find("@ERROR: Unknown module"), std::string::npos) << wrongModule.Err;
    EXPECT_EQ(wrongModule.Out.find("@ERROR"), std::string::npos) << wrongModule.Out;

    const CommandResult partial = RunCommand(RawCommandLine{Bridge(
        "-v -a " + Cyg("D/present.txt") + " " + Cyg("D/absent.txt") + " " + Cyg("E") + "/")});
    EXPECT_EQ(partial.ExitCode, 23);
    EXPECT_NE(partial.Out.find("present.txt"), std::string::npos) << partial.Out;
    EXPECT_EQ(partial.Out.find("absent.txt"), std::string::npos) << partial.Out;
    EXPECT_NE(partial.Err.find("absent.txt"), std::string::npos) << partial.Err;
    EXPECT_EQ(partial.Err.find("present.txt"), std::string::npos) << partial.Err;
    EXPECT_EQ(ReadTextFile(Path("E/present.txt")), "here");
}

TEST_F(RsyncBridge, RefusesADriveWineDoesNotHave) {
    WriteTextFile(Path("D/x.txt"), "x");
    const CommandResult result =
        RunCommand(RawCommandLine{Bridge("-a " + Cyg("D/x.txt") + " /cygdrive/K/backup/")});
    // Not Q:, which a transfer test maps for a while.
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Err.find("drive K:"), std::string::npos) << result.Err;
}

TEST_F(RsyncBridge, StreamsProgressLiveAndStopsRsyncWhenKilled) {
    WriteBigFile("D/big.bin");
    ChildProcess bridge(RawCommandLine{
        Bridge("-v --progress --bwlimit=300 -a " + Cyg("D/big.bin") + " " + Cyg("E/") + "/")});
    // Output that arrives while the transfer still runs is relayed as it grows.
    ASSERT_TRUE(
        bridge.WaitFor([](const std::string& out,
                          const std::string&) { return out.find("big.bin") != std::string::npos; },
                       10s))
        << bridge.Out() << bridge.Err();
    EXPECT_TRUE(bridge.Running());
    ASSERT_GE(HostRsyncsMentioning(Leaf()), 1) << "the search for rsync must see it running";

    bridge.Kill();
    bridge.Wait();
    int left = -1;
    for (int i = 0; i < 100 && left != 0; ++i) {
        std::this_thread::sleep_for(100ms);
        left = HostRsyncsMentioning(Leaf());
    }
    EXPECT_EQ(left, 0) << "rsync outlived the bridge";
    EXPECT_FALSE(fs::exists(Path("E/big.bin")));
}

// Kalvaren stops reading when the user stops a run; a real rsync then dies on its
// next write to the broken pipe, and so must the one behind the bridge.
TEST_F(RsyncBridge, StopsRsyncWhenItsOutputIsNoLongerRead) {
    WriteBigFile("D/big.bin");

    // Whichever way the test leaves, the bridge ends and the handles close.
    struct Bridged {
        HANDLE Read = nullptr, Write = nullptr;
        PROCESS_INFORMATION Info{};
        ~Bridged() {
            for (HANDLE h : {Read, Write, Info.hThread})
                if (h)
                    CloseHandle(h);
            if (Info.hProcess) {
                TerminateProcess(Info.hProcess, 1);
                CloseHandle(Info.hProcess);
            }
        }
    } bridge;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ASSERT_TRUE(CreatePipe(&bridge.Read, &bridge.Write, &inherit, 0));
    SetHandleInformation(bridge.Read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = bridge.Write;
    startup.hStdError = bridge.Write;
    std::wstring line = fs::path(Bridge("-v --progress --bwlimit=300 -a " + Cyg("D/big.bin") + " " +
                                        Cyg("E") + "/"))
                            .wstring();
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &bridge.Info));
    CloseHandle(std::exchange(bridge.Write, nullptr));

    std::string seen;
    char buffer[256];
    DWORD got = 0;
    while (seen.find("big.bin") == std::string::npos &&
           ReadFile(bridge.Read, buffer, sizeof buffer, &got, nullptr) && got > 0)
        seen.append(buffer, got);
    ASSERT_NE(seen.find("big.bin"), std::string::npos) << seen;
    ASSERT_GE(HostRsyncsMentioning(Leaf()), 1);
    CloseHandle(std::exchange(bridge.Read, nullptr));

    ASSERT_EQ(WaitForSingleObject(bridge.Info.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(bridge.Info.hProcess, &code);
    EXPECT_NE(code, 0u) << "an interrupted transfer must not look like success";
    // Signalled rsyncs take a moment to go on a loaded machine.
    for (int i = 0; i < 100 && HostRsyncsMentioning(Leaf()) > 0; ++i)
        Sleep(100);
    EXPECT_EQ(HostRsyncsMentioning(Leaf()), 0);
    EXPECT_FALSE(fs::exists(Path("E/big.bin")));
}
