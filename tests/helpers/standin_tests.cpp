// kal-rsync, the stand-in for the Windows rsync build on Linux, run for real
// against local folders and a real rsync daemon.
#include "DriveMap.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kal::rsynctools;
using namespace kal::test;

namespace {

// Drives D: and E: as folders of one temporary root, as KAL_DRIVES_ROOT describes.
class Standin : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(FRoot / "D");
        fs::create_directories(FRoot / "E");
    }
    CommandResult Run(std::vector<std::string> args, Environment env = {}) {
        args.insert(args.begin(), StandinPath().string());
        env.emplace_back("KAL_DRIVES_ROOT", FRoot.Path().string());
        return RunCommand(args, env);
    }
    fs::path Drive(char letter, const std::string& relative = "") const {
        return FRoot / (std::string(1, letter) + (relative.empty() ? "" : "/" + relative));
    }

    TempDir FRoot{"kal-drives"};
};

} // namespace

TEST(StandinDrives, DriveFolderComesFromItsOwnVariableElseFromTheRoot) {
    ::setenv("KAL_DRIVE_D", "/srv/d", 1);
    ::setenv("KAL_DRIVES_ROOT", "/srv/drives/", 1);
    EXPECT_EQ(EnvironmentDrive('D'), "/srv/d");
    EXPECT_EQ(EnvironmentDrive('E'), "/srv/drives/E");
    ::unsetenv("KAL_DRIVES_ROOT");
    EXPECT_EQ(EnvironmentDrive('E'), std::nullopt);
    ::setenv("KAL_DRIVE_E", "", 1);
    EXPECT_EQ(EnvironmentDrive('E'), std::nullopt) << "an empty variable names no folder";
    ::unsetenv("KAL_DRIVE_D");
    ::unsetenv("KAL_DRIVE_E");
}

TEST_F(Standin, CopiesLocalFoldersWithBlanksAndNonAsciiNames) {
    WriteTextFile(Drive('D', "Work/Reports/q1 summary.txt"), "figures");
    WriteTextFile(Drive('D', "Photos 2008/Ünïcödé été/ä ö.jpg"), std::string(70000, 'x'));
    // Kalvaren's backup item: two sources, the destination with a trailing slash.
    const CommandResult result = Run({"-v", "-h", "-a", "/cygdrive/D/Work/Reports",
                                      "/cygdrive/D/Photos 2008", "/cygdrive/E/Backup/"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    EXPECT_NE(result.Out.find("q1 summary.txt"), std::string::npos) << result.Out;
    EXPECT_EQ(CompareTrees(Drive('D', "Work/Reports"), Drive('E', "Backup/Reports")), "");
    EXPECT_EQ(CompareTrees(Drive('D', "Photos 2008"), Drive('E', "Backup/Photos 2008")), "");
}

TEST_F(Standin, BacksUpToAndRestoresFromADaemonWithPasswordFileAndPort) {
    RsyncDaemon daemon;
    WriteTextFile(Drive('D', "Photos 2008/a b.txt"), "one");
    WriteTextFile(Drive('D', "Photos 2008/sub/Ünï.txt"), "two");
    const std::string remote = daemon.User() + "@127.0.0.1::" + daemon.ModuleName() + "/";
    // The password file arrives in the drive-letter form of a Windows path.
    const Environment keys = {{"KAL_DRIVE_K", daemon.PasswordFile().parent_path().string()}};
    const std::vector<std::string> options = {
        "-v", "-a", "--password-file=K:/" + daemon.PasswordFile().filename().string(),
        "--port=" + std::to_string(daemon.Port())};

    auto args = options;
    args.insert(args.end(), {"/cygdrive/D/Photos 2008", remote});
    const CommandResult backup = Run(args, keys);
    ASSERT_EQ(backup.ExitCode, 0) << backup.Err;
    EXPECT_EQ(CompareTrees(Drive('D', "Photos 2008"), daemon.ModulePath() / "Photos 2008"), "");

    args = options;
    args.insert(args.end(), {remote + "/Photos 2008/", "/cygdrive/E/Restored/"});
    const CommandResult restore = Run(args, keys);
    ASSERT_EQ(restore.ExitCode, 0) << restore.Err;
    EXPECT_EQ(CompareTrees(Drive('D', "Photos 2008"), Drive('E', "Restored")), "");
}

TEST_F(Standin, PassesOnRsyncsErrorsAndExitCodes) {
    RsyncDaemon daemon;
    WriteTextFile(Drive('D', "x.txt"), "x");
    const std::string port = "--port=" + std::to_string(daemon.Port());
    const std::string password = "--password-file=" + daemon.PasswordFile().string();

    const CommandResult wrongModule =
        Run({"-a", password, port, "/cygdrive/D/x.txt", "kal@127.0.0.1::NoSuchModule/"});
    EXPECT_EQ(wrongModule.ExitCode, 5);
    EXPECT_NE(wrongModule.Err.find("@ERROR: Unknown module"), std::string::npos) << wrongModule.Err;
    EXPECT_EQ(wrongModule.Out.find("@ERROR"), std::string::npos);

    // Also proves the daemon fixture really demands the password.
    const CommandResult wrongPassword =
        Run({"-a", port, "/cygdrive/D/x.txt", "kal@127.0.0.1::" + daemon.ModuleName() + "/"},
            {{"RSYNC_PASSWORD", "not-" + daemon.Password()}});
    EXPECT_EQ(wrongPassword.ExitCode, 5);
    EXPECT_NE(wrongPassword.Err.find("auth failed"), std::string::npos) << wrongPassword.Err;
    EXPECT_FALSE(fs::exists(daemon.ModulePath() / "x.txt"));

    const CommandResult missing = Run({"-a", "/cygdrive/D/missing", "/cygdrive/E/"});
    EXPECT_EQ(missing.ExitCode, 23);
    EXPECT_NE(missing.Err.find("No such file or directory"), std::string::npos) << missing.Err;
}

TEST_F(Standin, RefusesUnmappedDrivesAndReportsAMissingRsync) {
    WriteTextFile(Drive('D', "x.txt"), "x");
    const CommandResult unmapped = RunCommand(
        {StandinPath().string(), "-a", "/cygdrive/D/x.txt", "/cygdrive/Q/backup/"},
        {{"KAL_DRIVES_ROOT", ""}, {"KAL_DRIVE_D", Drive('D').string()}, {"KAL_DRIVE_Q", ""}});
    EXPECT_EQ(unmapped.ExitCode, 1);
    EXPECT_NE(unmapped.Err.find("drive Q:"), std::string::npos) << unmapped.Err;
    EXPECT_NE(unmapped.Err.find("KAL_DRIVE_Q"), std::string::npos) << unmapped.Err;
    EXPECT_EQ(unmapped.Out, "") << "rsync must not have run";

    const CommandResult noRsync =
        Run({"-a", "/cygdrive/D/x.txt", "/cygdrive/E/"}, {{"KAL_RSYNC", "/nonexistent/rsync"}});
    EXPECT_EQ(noRsync.ExitCode, 127);
    EXPECT_NE(noRsync.Err.find("/nonexistent/rsync"), std::string::npos) << noRsync.Err;
    EXPECT_FALSE(fs::exists(Drive('E', "x.txt")));
}

TEST(TestSupport, CompareTreesNamesEveryDifference) {
    TempDir a("kal-a"), b("kal-b");
    WriteTextFile(a / "same/x.txt", "x");
    WriteTextFile(b / "same/x.txt", "x");
    EXPECT_EQ(CompareTrees(a.Path(), b.Path()), "");
    WriteTextFile(a / "only in a.txt", "");
    WriteTextFile(b / "extra/ü.txt", "");
    WriteTextFile(b / "same/x.txt", "y");
    EXPECT_EQ(CompareTrees(a.Path(), b.Path()),
              "missing: only in a.txt\ndiffers: same/x.txt\nextra: extra\nextra: extra/ü.txt\n");
}
