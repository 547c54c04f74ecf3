// Transfers through the real program, the rsync bridge and a real rsync daemon on
// 127.0.0.1 (the kal_rsyncd fixture): backup, restore, recovery, a refused
// module, Ctrl+Break, a scheduled run, a local destination, and branding.
#include "KalTestSupport.h"
#include "KalUserSteps.h"
#include "UMainForm.h"
#include "e2e_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <zlib.h>

#include <filesystem>

namespace kal::e2e {
namespace {

namespace fs = std::filesystem;
using M = TMainForm;

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::string Shot(const std::string& step) {
    return ScreenshotFolder() + "\\transfer-" + TestName() + "-" + step + ".png";
}

constexpr const char* ShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Points the account's documents folder at a test folder while it lives: in the
// shared Wine prefix it is the Linux home folder, far too much to back up.
class TDocumentsRedirect {
public:
    explicit TDocumentsRedirect(const std::string& folder) {
        char old[MAX_PATH] = {};
        DWORD size = sizeof old;
        FHad = RegGetValueA(HKEY_CURRENT_USER, ShellFoldersKey, "Personal",
                            RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &FType, old,
                            &size) == ERROR_SUCCESS;
        FOld = old;
        // A run killed mid-test leaves its own folder behind; never restore that.
        if (FOld.find("e2e-scratch") != std::string::npos)
            FHad = false;
        CreateDirectoryA(folder.c_str(), nullptr);
        Set(REG_SZ, folder);
    }
    ~TDocumentsRedirect() {
        if (FHad)
            Set(FType, FOld);
        else
            RegDeleteKeyValueA(HKEY_CURRENT_USER, ShellFoldersKey, "Personal");
    }
    TDocumentsRedirect(const TDocumentsRedirect&) = delete;
    TDocumentsRedirect& operator=(const TDocumentsRedirect&) = delete;

private:
    static void Set(DWORD type, const std::string& value) {
        RegSetKeyValueA(HKEY_CURRENT_USER, ShellFoldersKey, "Personal", type, value.c_str(),
                        static_cast<DWORD>(value.size() + 1));
    }
    bool FHad = false;
    DWORD FType = REG_SZ;
    std::string FOld;
};

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        CleanRegistry();
        Folder = ScratchFolder("Transfer." + TestName());
        Exe = InstallProgram(Folder);
        CreateDirectoryA((Folder + "\\Bin").c_str(), nullptr);
        ASSERT_TRUE(CopyFileA(test::BridgePath().string().c_str(),
                              (Folder + "\\Bin\\RSync.exe").c_str(), FALSE));
        Daemon = test::FixtureDaemon();
        // Each test backs up into its own account inside the shared module.
        Account = Daemon.ModuleName + "/" + TestName();
        AccountPath = Daemon.ModulePath / TestName();
        Redirect = std::make_unique<TDocumentsRedirect>(Folder + "\\Documents");
    }
    void TearDown() override {
        Program.reset();
        Redirect.reset();
        CleanRegistry();
    }

    void UseDaemon(TRSync& sync, const std::string& module) const {
        auto remote = std::make_unique<TRemoteHost>();
        remote->SetUser(Daemon.User);
        remote->SetHost("127.0.0.1");
        sync.SetServer(std::move(remote));
        sync.SetModule(module);
        sync.SetPort(Daemon.Port);
        sync.SetOutputAutoCloseDelay(-1); // the terminal stays open to be read
    }

    void Start() {
        Program = std::make_unique<TProgram>(
            Exe, "", Folder,
            std::map<std::string, std::string>{{"RSYNC_PASSWORD", Daemon.Password}});
        Main = Program->WaitForWindow("Kalvaren", 30s, "KalvarenMainForm");
        ASSERT_NE(Main, nullptr) << "no main window";
        WaitUntil([&] { return Visible(Main); });
    }
    HWND Control(int id) const { return FindChild(Main, id); }
    std::vector<std::string> Profiles() const { return ListLines(Control(M::idProfiles)); }

    void NewProfile(std::size_t count) {
        Click(Control(M::idNewProfile));
        HWND prompt = Program->WaitForWindow("New Profile");
        ASSERT_NE(prompt, nullptr);
        Click(FindChild(prompt, IDOK));
        ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == count; }));
    }

    void PickFolder(const std::string& folder) {
        ASSERT_TRUE(e2e::PickFolder(*Program, folder, Shot("picker")))
            << "the picker did not select " << folder;
    }

    void AddFolder(const std::string& folder) {
        Click(Control(M::idAddFolder));
        PickFolder(folder);
        ASSERT_TRUE(WaitUntil([&] {
            const auto lines = ListLines(Control(M::idFilePath));
            return std::find(lines.begin(), lines.end(), folder) != lines.end();
        })) << folder;
    }

    // Starts the program and backs up the one profile Data.dat holds.
    void BackUpTheStoredProfile(HWND& terminal) {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 1; }));
        SelectListLine(Control(M::idProfiles), 0);
        ASSERT_TRUE(WaitUntil([&] { return Enabled(Control(M::idBackup)); }));
        Click(Control(M::idBackup));
        terminal = Terminal();
        ASSERT_NE(terminal, nullptr);
    }
    HWND Terminal() {
        HWND terminal = Program->WaitForWindow("Backup Terminal", 30s);
        EXPECT_NE(terminal, nullptr) << "no terminal";
        return terminal;
    }
    std::string Output(HWND terminal) { return Text(TerminalPanes(terminal).at(0)); }
    std::string Errors(HWND terminal) { return Text(TerminalPanes(terminal).at(1)); }
    bool WaitForOutput(HWND terminal, const std::string& text, std::chrono::milliseconds t = 60s) {
        return WaitUntil([&] { return Output(terminal).find(text) != std::string::npos; }, t);
    }

    // A folder holding a file with a blank in its name and a nested one.
    std::string MakeSource(const std::string& name) {
        const std::string folder = Folder + "\\" + name;
        test::WriteTextFile(fs::path(folder) / "read me.txt", "first file of " + name + "\n");
        test::WriteTextFile(fs::path(folder) / "sub" / "data.bin", std::string(5000, 'k'));
        return folder;
    }
    std::string Documents() {
        char path[MAX_PATH] = {};
        EXPECT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_PERSONAL, FALSE));
        return path;
    }

    std::string Folder, Exe, Account;
    fs::path AccountPath;
    test::RsyncDaemonInfo Daemon;
    std::unique_ptr<TDocumentsRedirect> Redirect;
    std::unique_ptr<TProgram> Program;
    HWND Main = nullptr;
};

TEST_F(Transfer, BackupRestoreAndRecoveryThroughTheDaemon) {
    WriteConfig(Folder, [&](TRSync& sync) { UseDaemon(sync, Account); });
    const std::string source = MakeSource("My Folder");
    const fs::path pristine = fs::path(Folder) / "pristine";
    fs::copy(source, pristine, fs::copy_options::recursive);
    ASSERT_EQ(Documents(), Folder + "\\Documents");
    const std::string DocumentsFile = Documents() + "\\kalvaren e2e.txt";
    test::WriteTextFile(DocumentsFile, "in the documents\n");

    Start();
    NewProfile(1);
    AddFolder(source);
    Click(Control(M::idMyDocuments));
    ASSERT_TRUE(WaitUntil([&] { return Checked(Control(M::idMyDocuments)); }));
    SaveScreenshot(Main, Shot("profile"));
    Click(Control(M::idBackup));
    HWND terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
    SaveScreenshot(terminal, Shot("backup"));
    const std::string out = Output(terminal);
    EXPECT_NE(out.find("Transfer Intialising. Press Ctrl+Break to Terminate transfer."),
              std::string::npos);
    EXPECT_EQ(Count(out, "Transfering: "), 2u) << out;
    EXPECT_NE(out.find("read me.txt"), std::string::npos) << "rsync's own list is missing";
    EXPECT_TRUE(Errors(terminal).empty()) << Errors(terminal);
    EXPECT_EQ(test::CompareTrees(pristine, AccountPath / "My Folder"), "");
    EXPECT_EQ(test::ReadTextFile(AccountPath / "My Documents" / "kalvaren e2e.txt"),
              "in the documents\n");

    fs::remove_all(source);
    fs::remove(DocumentsFile);
    Click(Control(M::idRestore));
    ASSERT_TRUE(WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 2; }, 60s))
        << Output(terminal);
    EXPECT_EQ(test::CompareTrees(pristine, source), "");
    EXPECT_EQ(test::ReadTextFile(DocumentsFile), "in the documents\n");

    const std::string recovered = Folder + "\\recovered";
    CreateDirectoryA(recovered.c_str(), nullptr);
    MenuCommand(Main, M::idEmergancyRecovery);
    PickFolder(recovered);
    ASSERT_TRUE(WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 3; }, 60s))
        << Output(terminal);
    SaveScreenshot(terminal, Shot("recovery"));
    EXPECT_EQ(test::CompareTrees(AccountPath, recovered), "");
    EXPECT_TRUE(fs::exists(fs::path(recovered) / "My Folder" / "read me.txt"));
}

TEST_F(Transfer, AnUnknownModuleShowsRsyncsErrorInTheErrorPane) {
    const std::string source = MakeSource("Refused");
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, "NoSuchModule");
        (new TRSyncProfile(&sync, "Refused"))->AddPath(source);
    });
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
    ASSERT_TRUE(WaitUntil(
        [&] { return Errors(terminal).find("Unknown module") != std::string::npos; }, 60s))
        << Output(terminal) << "\n---\n"
        << Errors(terminal);
    EXPECT_TRUE(Visible(TerminalPanes(terminal).at(1)));
    SaveScreenshot(terminal, Shot("error"));
}

TEST_F(Transfer, CtrlBreakStopsTheRunAndNoFurtherItemStarts) {
    const std::string big = Folder + "\\big";
    std::string noise(3 << 20, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    test::WriteTextFile(fs::path(big) / "large.bin", noise);
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, Account);
        sync.SetBandwidth(100); // kB/s: half a minute for the file
        auto* p = new TRSyncProfile(&sync, "Slow");
        p->AddPath(big);
        p->SetCommonSources({csMyDocuments}); // a second item that must not start
    });
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
    ASSERT_TRUE(WaitForOutput(terminal, "Transfering: "));
    PostMessageA(TerminalPanes(terminal).at(0), WM_KEYDOWN, VK_CANCEL, 0);
    ASSERT_TRUE(WaitForOutput(terminal, "Process Terminated!", 30s)) << Output(terminal);
    SaveScreenshot(terminal, Shot("terminated"));
    // Nothing further may start: a second item would show within a few seconds.
    EXPECT_FALSE(WaitUntil([&] { return Count(Output(terminal), "Transfering: ") > 1; }, 4s))
        << Output(terminal);
    EXPECT_EQ(Output(terminal).find("Transfer Complete."), std::string::npos);
    EXPECT_FALSE(fs::exists(AccountPath / "My Documents"));
    // The host's rsync really ended: the daemon drops its partial file once the
    // client is gone, and a client still running would keep it growing.
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::error_code error;
            return fs::is_empty(AccountPath / "big", error) || error;
        },
        15s))
        << "a partial file remains in the module";
    EXPECT_FALSE(fs::exists(AccountPath / "big" / "large.bin"));
}

// Scheduled a few seconds ahead rather than a minute, to keep the suite short.
TEST_F(Transfer, AOnceProfileBacksUpOnItsOwnAndTurnsManual) {
    const std::string source = MakeSource("Scheduled");
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, Account);
        sync.SetOutputAutoCloseDelay(0);
        auto* p = new TRSyncProfile(&sync, "Night");
        p->AddPath(source);
        p->SetDateTime(Now() + 15.0 / 86400);
        p->SetProfileEvent(reOnce);
    });
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 1; }));
    EXPECT_NE(Profiles()[0], "Night: Manual");
    SaveScreenshot(Main, Shot("scheduled"));
    ASSERT_TRUE(
        WaitUntil([&] { return fs::exists(AccountPath / "Scheduled" / "read me.txt"); }, 60s));
    ASSERT_TRUE(
        WaitUntil([&] { return Profiles() == std::vector<std::string>{"Night: Manual"}; }, 30s))
        << Profiles()[0];
    SaveScreenshot(Main, Shot("manual"));
    EXPECT_EQ(test::CompareTrees(source, AccountPath / "Scheduled"), "");
}

TEST_F(Transfer, BackupToALocalFolder) {
    const std::string dest = Folder + "\\Kalvaren Backup\\";
    WriteConfig(Folder, [&](TRSync& sync) {
        sync.SetServer(std::make_unique<TLocalHost>(dest));
        sync.SetOutputAutoCloseDelay(-1);
    });
    const std::string source = MakeSource("Local Folder");
    Start();
    NewProfile(1);
    AddFolder(source);
    Click(Control(M::idBackup));
    HWND terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
    SaveScreenshot(terminal, Shot("backup"));
    EXPECT_EQ(test::CompareTrees(source, fs::path(dest) / "Demo" / "Local Folder"), "");
}

TEST_F(Transfer, BrandingShowsTheSubTitleAndTheJpegPicture) {
    const std::string picture = Folder + "\\logo.jpg";
    ASSERT_TRUE(
        CopyFileA(test::FromHostPath(KAL_SAMPLE_JPEG).string().c_str(), picture.c_str(), FALSE));
    WriteFile(Folder + "\\Settings.ini", "[Header]\r\nSubTitle=Head Office\r\n[Image]\r\nImage=" +
                                             picture + "\r\nStretch=1\r\n");
    Program = std::make_unique<TProgram>(Exe, "", Folder);
    Main = Program->WaitForWindow("Kalvaren - Head Office", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Visible(Main); }));
    // No error box: the only dialog would be one about the picture.
    EXPECT_EQ(Program->WaitForDialog(2s), nullptr);
    HWND image = Control(M::idDisplayImage);
    ASSERT_NE(image, nullptr);
    RECT box{};
    GetWindowRect(image, &box);
    // The picture's top rows are deep blue; the window's face is grey.
    bool blue = WaitUntil([&] {
        HDC screen = GetDC(nullptr);
        const COLORREF c = GetPixel(screen, box.left + 3, box.top + 3);
        ReleaseDC(nullptr, screen);
        return GetBValue(c) > GetRValue(c) + 60;
    });
    EXPECT_TRUE(blue);
    SaveScreenshot(Main, ScreenshotFolder() + "\\transfer-branding.png");
}

// ---- names in every script ----

fs::path U8(const std::string& text) {
    return fs::path(Widen(text));
}

// The Data.dat record itself, unpacked.
std::string DataRecord(const std::string& folder) {
    const std::string packed = ReadFile(folder + "\\Data.dat");
    std::string record(4 << 20, '\0');
    uLongf size = static_cast<uLongf>(record.size());
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(record.data()), &size,
                         reinterpret_cast<const Bytef*>(packed.data()),
                         static_cast<uLong>(packed.size())),
              Z_OK);
    record.resize(size);
    return record;
}

// Cyrillic, CJK and an emoji in the profile's name, its folders and its files, and
// a folder whose path takes more UTF-8 bytes than a MAX_PATH byte buffer holds.
TEST_F(Transfer, NamesInEveryScriptGoThereAndComeBackWhole) {
    WriteConfig(Folder, [&](TRSync& sync) { UseDaemon(sync, Account); });
    const std::string top = "\xD0\xA4\xD0\xBE\xD1\x82\xD0\xBE \xE5\x86\x99\xE7\x9C\x9F "
                            "\xF0\x9F\x93\xB7"; // "Photo" in Russian and Japanese, a camera
    const std::string kanji = "\xE5\x86\x99\xE7\x9C\x9F.bin";
    std::string deep;
    for (int i = 0; i < 70; ++i)
        deep += "\xE6\xB7\xB1"; // 210 bytes, 70 characters
    const std::string source = Folder + "\\" + top;
    const std::string deepSource = source + "\\" + deep;
    ASSERT_GT(deepSource.size(), std::size_t{MAX_PATH + 1});
    test::WriteTextFile(U8(source) / U8("\xD1\x81\xD0\xBD\xD0\xB8\xD0\xBC\xD0\xBE\xD0\xBA.txt"),
                        "Cyrillic\n");
    test::WriteTextFile(U8(source) / U8(kanji), std::string(70000, 'Z'));
    test::WriteTextFile(U8(source) / U8("Vid\xC3\xA9os") / U8("\xC3\x84rger \xF0\x9F\x98\x80.txt"),
                        "Latin and an emoji\n");
    test::WriteTextFile(U8(deepSource) / "deep.txt", "deep\n");
    const fs::path pristine = fs::path(Folder) / "pristine";
    fs::copy(U8(source), pristine, fs::copy_options::recursive);

    Start();
    const std::string name = "\xD0\x94\xD0\xBE\xD0\xBC \xE5\xAE\xB6"; // "Home" twice
    Click(Control(M::idNewProfile));
    HWND prompt = Program->WaitForWindow("New Profile");
    ASSERT_NE(prompt, nullptr);
    SetText(FindChild(prompt, 100), name);
    Click(FindChild(prompt, IDOK));
    ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 1; }));
    EXPECT_EQ(Profiles()[0], name + ": Manual");
    AddFolder(source);
    AddFolder(deepSource);
    SaveScreenshot(Main, Shot("profile"));

    Click(Control(M::idBackup));
    HWND terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
    SaveScreenshot(terminal, Shot("backup"));
    // rsync's own list names the file as it is called.
    EXPECT_NE(Output(terminal).find(kanji), std::string::npos) << Output(terminal);
    EXPECT_TRUE(Errors(terminal).empty()) << Errors(terminal);
    EXPECT_EQ(test::CompareTrees(pristine, AccountPath / U8(top)), "");
    EXPECT_EQ(test::CompareTrees(pristine / U8(deep), AccountPath / U8(deep)), "");

    fs::remove_all(U8(source));
    Click(Control(M::idRestore));
    ASSERT_TRUE(WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 2; }, 60s))
        << Output(terminal);
    EXPECT_EQ(test::CompareTrees(pristine, U8(source)), "");

    Program.reset(); // the exit saves
    const auto sync = ReadConfig(Folder);
    ASSERT_EQ(sync->ProfileCount(), 1);
    EXPECT_EQ(sync->GetProfile(0)->Name(), name);
    ASSERT_EQ(sync->GetProfile(0)->PathCount(), 2);
    EXPECT_EQ(sync->GetProfile(0)->Paths(0), source);
    EXPECT_EQ(sync->GetProfile(0)->Paths(1), deepSource);
}

// A Data.dat and a Settings.ini written in Windows-1252 by an earlier version.
TEST_F(Transfer, OlderFilesInTheLegacyCodePageKeepTheirLetters) {
    const std::string legacyFolder = Folder + "\\\xC4rger"; // as the old program stored it
    const std::string folder = Folder + "\\\xC3\x84rger";
    ASSERT_TRUE(CreateDirectoryW(Widen(folder).c_str(), nullptr));
    WriteConfig(Folder, [&](TRSync& sync) {
        (new TRSyncProfile(&sync, "Vid\xE9os"))->AddPath(legacyFolder);
    });
    ASSERT_NE(DataRecord(Folder).find("Vid\xE9os"), std::string::npos);
    WriteFile(Folder + "\\Settings.ini", "[Header]\r\nSubTitle=Caf\xE9 \x80\r\n");

    Program = std::make_unique<TProgram>(Exe, "", Folder);
    Main = Program->WaitForWindow("Kalvaren - Caf\xC3\xA9 \xE2\x82\xAC", 30s, "KalvarenMainForm");
    ASSERT_NE(Main, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 1; }));
    EXPECT_EQ(Profiles()[0], "Vid\xC3\xA9os: Manual");
    SelectListLine(Control(M::idProfiles), 0);
    EXPECT_TRUE(WaitUntil([&] {
        return ListLines(Control(M::idFilePath)) == std::vector<std::string>{folder};
    })) << ListLines(Control(M::idFilePath)).size();

    Program.reset(); // the exit saves, in UTF-8
    const std::string record = DataRecord(Folder);
    EXPECT_NE(record.find("Vid\xC3\xA9os"), std::string::npos);
    EXPECT_NE(record.find(folder), std::string::npos);
    EXPECT_EQ(record.find("Vid\xE9os"), std::string::npos);
}

} // namespace
} // namespace kal::e2e
