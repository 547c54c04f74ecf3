// The real program started from its own folder with the argument recorder as
// rsync: the fixture of the tests that drive the main window from outside.
#pragma once

#include "UMainForm.h"
#include "e2e_support.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

namespace kal::e2e {

using M = TMainForm;

inline TRSyncProfile* WithPath(TRSyncProfile* profile, const std::string& path) {
    profile->AddPath(path);
    return profile;
}

inline std::string TestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        CleanRegistry();
        Folder = ScratchFolder(TestName());
        Exe = InstallProgram(Folder);
    }
    void TearDown() override {
        Program.reset();
        CleanRegistry();
    }

    HWND Start(const std::string& arguments = "",
               std::map<std::string, std::string> environment = {},
               const std::string& caption = "Kalvaren") {
        environment.emplace("KAL_RECORD_FILE", Folder + "\\record.txt");
        Program = std::make_unique<TProgram>(Exe, arguments, Folder, environment);
        Main = Program->WaitForWindow(caption, 30s, "KalvarenMainForm");
        EXPECT_NE(Main, nullptr) << "no main window";
        WaitUntil([&] { return Visible(Main); }, 10s);
        return Main;
    }
    HWND Control(int id) const { return FindChild(Main, id); }
    void Exit(std::chrono::milliseconds within = 30s) {
        MenuCommand(Main, M::idExit);
        ASSERT_TRUE(Program->WaitForExit(within)) << "the program did not end";
    }
    // Ends the program as Windows does after a session end: no destruction, no save.
    void Kill() {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, Program->ProcessId());
        ASSERT_NE(process, nullptr);
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    // Children of the program still alive (the recorder standing in for rsync).
    int LiveChildren() const {
        int count = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more;
             more = Process32Next(snapshot, &entry))
            count += entry.th32ParentProcessID == Program->ProcessId();
        CloseHandle(snapshot);
        return count;
    }
    std::vector<std::string> Profiles() const { return ListLines(Control(M::idProfiles)); }
    bool WaitForProfiles(std::size_t count) const {
        return WaitUntil([&] { return Profiles().size() == count; });
    }
    std::vector<std::string> Recorded() const { return ReadLines(Folder + "\\record.txt"); }
    // One profile, in the start-up backup group only, backed up by the recorder.
    void WriteStartupBackupOnly() const {
        WriteConfig(Folder, [&](TRSync& sync) {
            UseRecorder(sync);
            auto* p = TRSyncProfile::Create(sync, "P");
            p->AddPath("C:\\p");
            TRSyncProfileGroup::Create(sync, "StartupBackup", false)->Add(p);
        });
    }

    // A destination folder of the test's own and the recorder as rsync.
    void UseRecorder(TRSync& sync) const {
        sync.SetServer(std::make_unique<TLocalHost>(Folder + "\\dest"));
        CreateDirectoryA((Folder + "\\dest").c_str(), nullptr);
        sync.SetRSyncLocation(ArgRecorder());
    }

    std::string Folder, Exe;
    std::unique_ptr<TProgram> Program;
    HWND Main = nullptr;
};

} // namespace kal::e2e
