// The main window built in the test's own process, for what cannot be read
// from outside under Wine (menus) and for handlers that need no other window.
#include "UMainForm.h"
#include "UTerminalForm.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kal::e2e {
namespace {

std::string MenuCaption(HMENU menu, int id) {
    char text[256] = {};
    GetMenuStringA(menu, static_cast<UINT>(id), text, sizeof text, MF_BYCOMMAND);
    return text;
}

class MainWindowInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Folder = ScratchFolder(std::string("InProcess.") + info->name());
        Application().OnException = [this](const std::string& message) {
            Errors.push_back(message);
        };
    }
    void TearDown() override { Application().OnException = nullptr; }
    std::unique_ptr<TMainForm> Create() {
        auto form = std::make_unique<TMainForm>(Folder, StandardUserTray());
        form->AttachForms({}); // as the program does once its windows exist
        return form;
    }
    std::string Folder;
    std::vector<std::string> Errors;
};

TEST_F(MainWindowInProcess, OnlineSupportStaysDisabledWithoutAnAddress) {
    WriteFile(Folder + "\\Settings.ini", "[Header]\r\nSupportTitle=&Help Desk\r\n");
    auto form = Create();
    EXPECT_EQ(MenuCaption(form->MainMenu1, TMainForm::idOnlineSupport), "&Online Support");
    EXPECT_TRUE(GetMenuState(form->MainMenu1, TMainForm::idOnlineSupport, MF_BYCOMMAND) &
                MF_GRAYED);
    EXPECT_TRUE(form->SupportURL().empty());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(MainWindowInProcess, OnlineSupportTakesItsCaptionFromSettingsIni) {
    WriteFile(Folder + "\\Settings.ini",
              "[Header]\r\nSupportURL=http://127.0.0.1/help\r\nSupportTitle=&Help Desk\r\n");
    auto form = Create();
    EXPECT_EQ(MenuCaption(form->MainMenu1, TMainForm::idOnlineSupport), "&Help Desk");
    EXPECT_FALSE(GetMenuState(form->MainMenu1, TMainForm::idOnlineSupport, MF_BYCOMMAND) &
                 MF_GRAYED);
    EXPECT_EQ(form->SupportURL(), "http://127.0.0.1/help");
}

TEST_F(MainWindowInProcess, AMissingPictureIsReportedAndTheWindowStillOpens) {
    WriteFile(Folder + "\\Settings.ini", "[Header]\r\nSubTitle=Office\r\n[Image]\r\nImage=" +
                                             Folder + "\\missing.jpg\r\n[Text]\r\nNot shown\r\n");
    auto form = Create();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("missing.jpg"), std::string::npos) << Errors[0];
    EXPECT_EQ(form->Caption(), "Kalvaren - Office");
    // The steps after the failed picture are skipped.
    EXPECT_EQ(GetText(form->lbl_Display), "");
}

TEST_F(MainWindowInProcess, ShowOutputTogglesVerboseOutput) {
    auto form = Create();
    EXPECT_TRUE(GetMenuState(form->MainMenu1, TMainForm::idShowOutput, MF_BYCOMMAND) & MF_CHECKED);
    SendMessageA(form->Handle(), WM_COMMAND, TMainForm::idShowOutput, 0);
    EXPECT_FALSE(GetMenuState(form->MainMenu1, TMainForm::idShowOutput, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(form->RSync().Flags(), TRSync::DefaultFlags & ~1u);
    SendMessageA(form->Handle(), WM_COMMAND, TMainForm::idShowOutput, 0);
    EXPECT_EQ(form->RSync().Flags(), TRSync::DefaultFlags);
}

// Modal to the main window: the profile it adds to cannot be removed meanwhile.
TEST_F(MainWindowInProcess, TheFolderPickerIsOwnedByTheMainWindow) {
    auto form = Create();
    EXPECT_EQ(form->FBrowser->BrowseInfo().hwndOwner, form->Handle());
}

TEST_F(MainWindowInProcess, ADestroyedWindowSavesDataDat) {
    {
        auto form = Create();
        TRSyncProfile::Create(form->RSync(), "Kept");
    }
    auto sync = ReadConfig(Folder);
    ASSERT_EQ(sync->ProfileCount(), 1);
    EXPECT_EQ(sync->GetProfile(0)->Name(), "Kept");
}

TEST_F(MainWindowInProcess, AnErrorOnTheScheduleThreadIsReportedOnTheWindowThread) {
    struct TFailing : TEvent {
        using TEvent::TEvent;
        void Fire() override { throw std::runtime_error("The disk is full"); }
    };
    auto form = Create();
    const DWORD windowThread = GetCurrentThreadId();
    DWORD reportThread = 0;
    Application().OnException = [&](const std::string& message) {
        reportThread = GetCurrentThreadId();
        Errors.push_back(message);
    };
    TFailing event(&form->RSync().Schedule(), Now(), "Failing");

    const ULONGLONG deadline = GetTickCount64() + 10000;
    MSG msg;
    while (Errors.empty() && GetTickCount64() < deadline) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(10);
    }
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "The disk is full");
    EXPECT_EQ(reportThread, windowThread);
    // A one-shot event is spent even though its action failed.
    EXPECT_FALSE(event.Active());
}

TEST_F(MainWindowInProcess, AStandardUserGetsNoErrorBoxAndTheUsersKeysHoldTheSettings) {
    CleanRegistry();
    {
        auto form = Create();
        form->SetRunOnStartup(true);
        form->CloseToTray = true;
    }
    EXPECT_TRUE(Errors.empty()) << Errors[0];
    char data[1024] = "";
    DWORD size = sizeof data;
    const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, run, "Kalvaren", RRF_RT_REG_SZ, nullptr, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(data),
              std::string(1, '"').append(Application().ExeName()).append("\" -startup"));
    size = sizeof data;
    EXPECT_NE(RegGetValueA(HKEY_LOCAL_MACHINE, run, "Kalvaren", RRF_RT_ANY, nullptr, data, &size),
              ERROR_SUCCESS);
    DWORD flag = 0;
    size = sizeof flag;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, "Software\\Kalvaren", "Close To Tray",
                           RRF_RT_REG_DWORD, nullptr, &flag, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(flag, 1u);
    CleanRegistry();
}

// The session end refused, the shutdown groups run one member after the other,
// the configuration saved, and only then the power-off; afterwards every session
// end is allowed. The power-off is this test's own, never the system's.
TEST_F(MainWindowInProcess, SessionEndRunsTheShutdownGroupsSavesThenPowersOff) {
    const std::string record = Folder + "\\record.txt";
    SetEnvironmentVariableA("KAL_RECORD_FILE", record.c_str());
    SetEnvironmentVariableA("KAL_RECORD_SLEEP_MS", "300");
    WriteConfig(Folder, [&](TRSync& sync) {
        sync.SetServer(std::make_unique<TLocalHost>(Folder));
        sync.SetRSyncLocation(ArgRecorder());
        auto* p1 = TRSyncProfile::Create(sync, "P1");
        p1->AddPath("C:\\one");
        auto* p2 = TRSyncProfile::Create(sync, "P2");
        p2->AddPath("C:\\two");
        auto* p3 = TRSyncProfile::Create(sync, "P3");
        p3->AddPath("C:\\three");
        TRSyncProfileGroup::Create(sync, "StartupRestore", true);
        TRSyncProfileGroup::Create(sync, "ShutdownRestore", true)->Add(p3);
        TRSyncProfileGroup::Create(sync, "StartupBackup", false);
        auto* backup = TRSyncProfileGroup::Create(sync, "ShutdownBackup", false);
        backup->Add(p1);
        backup->Add(p2);
    });
    auto form = Create();
    int powerOffs = 0;
    std::uint32_t flagsAtPowerOff = 0;
    form->PowerOff = [&] {
        ++powerOffs;
        flagsAtPowerOff = ReadConfig(Folder)->Flags();
    };
    SendMessageA(form->Handle(), WM_COMMAND, TMainForm::idShowOutput, 0); // not saved by itself
    EXPECT_EQ(SendMessageA(form->Handle(), WM_QUERYENDSESSION, 0, 0), 0) << "must be refused";
    // The user tries again while the run goes on: refused, and nothing runs twice.
    Application().ProcessMessages();
    EXPECT_EQ(SendMessageA(form->Handle(), WM_QUERYENDSESSION, 0, 0), 0) << "must be refused";
    // Until the power-off, then a while longer: a second run would show by then.
    ULONGLONG deadline = GetTickCount64() + 30000;
    for (bool off = false; GetTickCount64() < deadline; off = powerOffs > 0) {
        if (!off && powerOffs > 0)
            deadline = GetTickCount64() + 3000;
        Application().ProcessMessages();
        Sleep(10);
    }
    SetEnvironmentVariableA("KAL_RECORD_FILE", nullptr);
    SetEnvironmentVariableA("KAL_RECORD_SLEEP_MS", nullptr);
    ASSERT_EQ(powerOffs, 1);
    EXPECT_EQ(flagsAtPowerOff, TRSync::DefaultFlags & ~1u);
    const auto lines = ReadLines(record);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("/cygdrive/C/one \""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("/cygdrive/C/two \""), std::string::npos) << lines[1];
    // C:\three is not there: it is fetched by name into its folder.
    EXPECT_NE(lines[2].find("//three\" \"/cygdrive/C/\""), std::string::npos) << lines[2];
    EXPECT_EQ(SendMessageA(form->Handle(), WM_QUERYENDSESSION, 0, 0), 1);
}

// The program shows the main window before the terminal exists: once it does, runs
// write to it and Ctrl+Break in it reaches the main window.
TEST_F(MainWindowInProcess, AWindowShownBeforeTheTerminalExistsUsesItOnceItDoes) {
    auto form = Create();
    form->Show();
    EXPECT_EQ(form->RSync().OutputHandle(), nullptr);
    TTerminalForm terminal;
    form->AttachForms({.Terminal = &terminal});
    EXPECT_EQ(form->RSync().OutputHandle(), &terminal.ProcessOutput());
    EXPECT_TRUE(terminal.OnKeyDown);
}

} // namespace
} // namespace kal::e2e
