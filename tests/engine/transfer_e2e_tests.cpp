// Backups, restores, recovery and removal against a real rsync daemon on
// 127.0.0.1, through the stand-in that plays the Windows rsync build.
#include "transfer_daemon.h"
#include "URSyncProcess.h"
#include "transfer_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kal {
namespace {

namespace fs = std::filesystem;
using test::TOutputRecorder;
using test::WM_CLOSE;
using test::WM_CONSOLE_ERROR;
using test::WM_CONSOLE_OUTPUT;

class DaemonTransfers : public ::testing::Test {
protected:
    void SetUp() override {
        // Drive L of the commands is the folder Drives/L.
        setenv("KAL_DRIVES_ROOT", Drives.Path().c_str(), 1);
        Shell.Folders[test::CSIDL_PERSONAL] = "E:\\Users\\jo\\My Documents";
        SetExecutableFolder("X:\\App");
        fs::create_directories(Drives / "X/App/Temp");

        test::UseDaemon(Sync, Daemon);
        Sync.SetOutputHandle(&Window);

        Profile = TRSyncProfile::Create(Sync, "Work");
        Profile->AddPath("D:\\My Work");
        Profile->SetCommonSources({csMyDocuments});
        test::WriteTextFile(Work() / "report.txt", "quarterly figures\n");
        test::WriteTextFile(Work() / "sub folder/notes with blanks.txt", "line 1\nline 2\n");
        test::WriteTextFile(Documents() / "letter.txt", "Dear Jo,\n");
        test::WriteTextFile(Documents() / "Photos/2008/beach.jpg", std::string(70000, 'j'));
    }
    void TearDown() override {
        unsetenv("KAL_DRIVES_ROOT");
        SetExecutableFolder("");
    }

    fs::path Work() const { return Drives / "D/My Work"; }
    fs::path Documents() const { return Drives / "E/Users/jo/My Documents"; }

    // Runs an operation to its end; the run's error text, if any.
    template <typename F> std::string Run(F&& operation) {
        const std::size_t before = Window.Texts(WM_CONSOLE_ERROR).size();
        operation();
        Sync.WaitForProcess();
        std::string errors;
        const auto texts = Window.Texts(WM_CONSOLE_ERROR);
        for (std::size_t i = before; i < texts.size(); ++i)
            errors += texts[i];
        return errors;
    }

    static void Empty(const fs::path& folder) {
        for (const auto& entry : fs::directory_iterator(folder))
            fs::remove_all(entry.path());
    }

    test::RsyncDaemon Daemon;
    test::TempDir Drives{"kal-drives"};
    test::TempDir Saved{"kal-saved"};
    test::TTestShellFolders Shell;
    test::TShellFoldersScope ShellScope{Shell};
    TOutputRecorder Window;
    TRSync Sync;
    TRSyncProfile* Profile = nullptr;
};

TEST_F(DaemonTransfers, BackupThenRestoreBringsEveryFileBack) {
    ASSERT_EQ(Run([&] { Profile->Backup(); }), "");
    const auto options = Sync.ProcessRef()->Options();
    EXPECT_NE(options.find("--password-file=\""), std::string::npos) << options;
    EXPECT_NE(options.find("--port=" + std::to_string(Daemon.Port()) + " "), std::string::npos);
    EXPECT_EQ(test::CompareTrees(Work(), Daemon.ModulePath() / "My Work"), "");
    EXPECT_EQ(test::CompareTrees(Documents(), Daemon.ModulePath() / "My Documents"), "");

    fs::copy(Work(), Saved / "work", fs::copy_options::recursive);
    fs::copy(Documents(), Saved / "documents", fs::copy_options::recursive);
    Empty(Work());
    Empty(Documents());
    ASSERT_EQ(Run([&] { Profile->Restore(); }), "");
    EXPECT_EQ(test::CompareTrees(Saved / "work", Work()), "");
    EXPECT_EQ(test::CompareTrees(Saved / "documents", Documents()), "");
    EXPECT_FALSE(Sync.ProcessRef()->ErrorSeen());
}

TEST_F(DaemonTransfers, EmergancyRecoveryCopiesTheWholeModule) {
    ASSERT_EQ(Run([&] { Profile->Backup(); }), "");
    fs::create_directories(Drives / "R");
    ASSERT_EQ(Run([&] { Sync.EmergancyRecovery("R:\\Recovered"); }), "");
    const auto recovered = test::ReadTree(Drives / "R/Recovered");
    EXPECT_EQ(recovered.count("My Work/sub folder/notes with blanks.txt"), 1u);
    EXPECT_EQ(recovered.count("My Documents/Photos/2008/beach.jpg"), 1u);
    EXPECT_EQ(test::CompareTrees(Daemon.ModulePath(), Drives / "R/Recovered"), "");
}

TEST_F(DaemonTransfers, RemoveBackupEmptiesTheModule) {
    ASSERT_EQ(Run([&] { Profile->Backup(); }), "");
    ASSERT_FALSE(test::ReadTree(Daemon.ModulePath()).empty());
    ASSERT_EQ(Run([&] { Profile->RemoveBackup(); }), "");
    EXPECT_TRUE(test::ReadTree(Daemon.ModulePath()).empty());
    EXPECT_TRUE(test::ReadTree(Drives / "X/App/Temp").empty()) << "nothing is put into Temp";
}

TEST_F(DaemonTransfers, AWrongModuleIsAnError) {
    Sync.SetModule("NoSuchModule");
    const std::string errors = Run([&] { Profile->Backup(); });
    EXPECT_NE(errors.find("Unknown module"), std::string::npos) << errors;
    EXPECT_TRUE(Sync.ProcessRef()->ErrorSeen());
    EXPECT_EQ(Sync.ProcessRef()->ReportSubject().substr(0, 18), "Kalvaren - Error (");
}

} // namespace
} // namespace kal
