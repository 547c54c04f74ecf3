// Transfers through the real program, the rsync bridge and a real rsync daemon on
// 127.0.0.1 (the kal_rsyncd fixture): backup, restore, recovery, a refused
// module, Ctrl+Break, a scheduled run, a local destination, branding, the
// report mail to the loopback SMTP servers of the smtp_servers fixture; and
// what comes back of awkward names, deleted files and folders, and drive roots.
#include "test_support.h"
#include "UScoped.h"
#include "user_steps.h"
#include "UMainForm.h"
#include "e2e_support.h"
#include "UVersions.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

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
    void SelectProfile(const std::string& name) {
        const auto lines = Profiles();
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].starts_with(name))
                SelectListLine(Control(M::idProfiles), static_cast<int>(i));
        ASSERT_TRUE(WaitUntil([&] { return Enabled(Control(M::idBackup)); }));
    }
    // Presses Backup or Restore and waits for the run's end: the terminal's
    // `count`th "Transfer Complete.".
    void RunAndWait(int button, HWND& terminal, std::size_t count) {
        Click(Control(button));
        ASSERT_TRUE(terminal || (terminal = Terminal()));
        ASSERT_TRUE(
            WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == count; }, 120s))
            << Output(terminal) << Errors(terminal);
    }

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
    // Presses "Backup" and waits for the run to complete, with a screenshot of it.
    void BackUpAndWait(HWND& terminal) {
        Click(Control(M::idBackup));
        terminal = Terminal();
        ASSERT_NE(terminal, nullptr);
        ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
        SaveScreenshot(terminal, Shot("backup"));
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
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpAndWait(terminal));
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
        TRSyncProfile::Create(sync, "Refused")->AddPath(source);
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
        auto* p = TRSyncProfile::Create(sync, "Slow");
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
        auto* p = TRSyncProfile::Create(sync, "Night");
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
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpAndWait(terminal));
    EXPECT_EQ(test::CompareTrees(source, fs::path(dest) / "Demo" / "Local Folder"), "");
}

TEST_F(Transfer, TheReportReachesEveryKindOfMailServerOrSaysWhyNot) {
    const struct {
        std::string Server, Address; // "<port>" stands for the server's port
        std::string Recorded;        // what the server must have recorded, or
        std::string Error;           // the error pane's reason
        std::string RcptTail = "";   // typed after the recipient's address
    } cases[] = {
        {"starttls", "localhost:<port>",
         "login=kalvaren@example.test\npassword=s3cret pass\n"
         "mechanism=LOGIN\ntls=yes\n",
         ""},
        {"tls", "smtps://localhost:<port>", "mechanism=LOGIN\ntls=yes\n", ""},
        {"plainonly", "smtp://localhost:<port>",
         "login=kalvaren@example.test\n"
         "password=s3cret pass\nmechanism=PLAIN\ntls=yes\n",
         ""},
        // No TLS: the password crosses only when the field's form allows it.
        {"auth", "127.0.0.1:<port>", "",
         "the server offers no encryption, so the password was not sent; for a relay on a "
         "network you trust, enter the server as smtp+insecure://127.0.0.1:<port> to send it "
         "in clear text"},
        {"auth", "smtp+insecure://127.0.0.1:<port>",
         "login=kalvaren@example.test\npassword=s3cret pass\n"
         "mechanism=LOGIN\ntls=no\n",
         ""},
        {"noauth", "127.0.0.1:<port>", "",
         "the recipient address \"<rcpt>> NOTIFY=NEVER\" holds a character that cannot stand "
         "in an address ('>')",
         "> NOTIFY=NEVER"},
        // A server that never stops sending still ends the mail at the deadline.
        {"trickletls", "smtps://localhost:<port>", "", "no reply within 30 s"},
        {"wrongname", "localhost:<port>", "",
         "the server's certificate is for another name than \"localhost\""},
        {"untrusted", "localhost:<port>", "",
         "the server's certificate is not from a trusted certification authority"},
    };
    // The report names the folder and the output format: text, never markup.
    const std::string source = MakeSource("Tom & Jerry");
    const std::string dest = Folder + "\\Backup\\";
    std::random_device random;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Server + " " + c.Address);
        const std::string address = WithPort(c.Address, c.Server);
        const std::string rcpt = c.Server + "." + std::to_string(random()) + "@example.test";
        WriteConfig(Folder, [&](TRSync& sync) {
            sync.SetServer(std::make_unique<TLocalHost>(dest));
            sync.SetOutputAutoCloseDelay(-1);
            sync.SetOutputFormat("<img src=http://tracker.test/p.png> %n");
            sync.SetEmailServer(address);
            sync.SetEmailFrom("kalvaren@example.test");
            sync.SetEmailRecipient(rcpt + c.RcptTail);
            sync.SetEmailPassword("s3cret pass");
            TRSyncProfile::Create(sync, "Reported")->AddPath(source);
        });
        HWND terminal = nullptr;
        ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
        ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
        if (c.Error.empty()) {
            ASSERT_TRUE(WaitUntil([&] { return !RecordedFor(c.Server, rcpt).empty(); }, 30s))
                << Errors(terminal);
            const std::string recorded = RecordedFor(c.Server, rcpt);
            EXPECT_NE(recorded.find(c.Recorded), std::string::npos) << recorded;
            EXPECT_NE(recorded.find("\nsubject=Kalvaren - Success ("), std::string::npos)
                << recorded;
            EXPECT_TRUE(Errors(terminal).empty()) << Errors(terminal);
            const std::string body = RecordedFor(c.Server, rcpt, ".body");
            EXPECT_NE(body.find("--out-format=&quot;&lt;img src=http://tracker.test/p.png&gt; "
                                "%n&quot;"),
                      std::string::npos)
                << body;
            EXPECT_NE(body.find("/Tom &amp; Jerry"), std::string::npos) << body;
            EXPECT_EQ(body.find("<img"), std::string::npos) << body;
        } else {
            std::string error = WithPort(c.Error, c.Server);
            if (const auto at = error.find("<rcpt>"); at != std::string::npos)
                error.replace(at, 6, rcpt);
            // The server as errors name it: host and port, without the scheme.
            const auto scheme = address.find("://");
            const std::string line = "Mail to " +
                                     address.substr(scheme == std::string::npos ? 0 : scheme + 3) +
                                     " failed: " + error;
            // Within the deadline of 30 s and a little.
            ASSERT_TRUE(
                WaitUntil([&] { return Errors(terminal).find(line) != std::string::npos; }, 35s))
                << Errors(terminal);
            SaveScreenshot(terminal, Shot(c.Server));
            EXPECT_EQ(RecordedFor(c.Server, rcpt), "");
            // The run has ended: the next one starts.
            Click(Control(M::idBackup));
            EXPECT_TRUE(WaitUntil(
                [&] {
                    const std::string out = Output(terminal);
                    return out.find("Transfer Complete.") != out.rfind("Transfer Complete.");
                },
                30s))
                << Output(terminal);
        }
        Program.reset();
    }
}

std::string DataRecord(const std::string& folder);

// Data.dat as earlier versions wrote it: the password in clear text after the
// server field (put into the record of a configuration saved without one).
void WriteConfigWithPlainPassword(const std::string& folder, const std::string& server,
                                  const std::string& password,
                                  const std::function<void(TRSync&)>& setup) {
    WriteConfig(folder, setup);
    TMemoryStream without, with;
    WriteString(without, server);
    WriteString(without, "");
    WriteString(with, server);
    WriteString(with, password);
    const std::string from(without.Bytes().begin(), without.Bytes().end());
    std::string record = DataRecord(folder);
    const std::string to(with.Bytes().begin(), with.Bytes().end());
    record.replace(record.find(from), from.size(), to);
    TFileStream file(folder + "\\Data.dat", TFileMode::fmCreate);
    TCompressionStream packed(file);
    packed.Write(record.data(), record.size());
    packed.Finish();
}

TEST_F(Transfer, AnEarlierPlainPasswordStillLogsInAndIsStoredProtectedFromTheNextSave) {
    const std::string source = MakeSource("Guarded");
    const std::string address = WithPort("localhost:<port>", "starttls");
    std::random_device random;
    const std::string rcpt = "kept." + std::to_string(random()) + "@example.test";
    WriteConfigWithPlainPassword(Folder, address, "s3cret pass", [&](TRSync& sync) {
        sync.SetEmailServer(address);
        sync.SetServer(std::make_unique<TLocalHost>(Folder + "\\Backup\\"));
        sync.SetOutputAutoCloseDelay(-1);
        sync.SetEmailFrom("kalvaren@example.test");
        sync.SetEmailRecipient(rcpt);
        TRSyncProfile::Create(sync, "Guarded")->AddPath(source);
    });
    ASSERT_NE(DataRecord(Folder).find("s3cret pass"), std::string::npos) << "the earlier form";

    for (std::size_t run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run == 1 ? "plain in Data.dat" : "protected in Data.dat");
        HWND terminal = nullptr;
        ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
        ASSERT_TRUE(WaitUntil([&] { return MessagesFor("starttls", rcpt).size() == run; }, 60s))
            << Errors(terminal);
        for (const fs::path& message : MessagesFor("starttls", rcpt))
            EXPECT_NE(test::ReadTextFile(message).find("\npassword=s3cret pass\n"),
                      std::string::npos);
        Program.reset(); // the program saves Data.dat as it ends
        EXPECT_EQ(DataRecord(Folder).find("s3cret pass"), std::string::npos)
            << "no password in clear";
        EXPECT_EQ(ReadConfig(Folder)->EmailPassword(), "s3cret pass");
    }
}

// ---- What comes back: outcomes through the real program, the bridge and rsync ----

// A tree's files with their bytes and modification times, and its folders.
struct TEntry {
    bool Folder = false;
    std::string Bytes;
    fs::file_time_type Time;
    bool operator==(const TEntry&) const = default;
};
using TSnapshot = std::map<std::string, TEntry>;

TSnapshot Snapshot(const fs::path& root) {
    TSnapshot entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto relative = entry.path().lexically_relative(root).generic_u8string();
        TEntry& e = entries[std::string(relative.begin(), relative.end())];
        e.Folder = entry.is_directory();
        if (!e.Folder) {
            e.Bytes = test::ReadTextFile(entry.path());
            e.Time = entry.last_write_time();
        }
    }
    return entries;
}

// One line per path that is missing, extra, or different in bytes, time or kind.
std::string Differences(const TSnapshot& expected, const TSnapshot& actual) {
    return test::MapDifferences(expected, actual);
}

TSnapshot Below(const TSnapshot& snapshot, const std::string& folder) {
    TSnapshot below;
    for (const auto& [path, entry] : snapshot)
        if (path.starts_with(folder + "/"))
            below[path.substr(folder.size() + 1)] = entry;
    return below;
}

void Write(const fs::path& file, const std::string& bytes) {
    test::WriteTextFile(file, bytes);
}

// Names a Cygwin runtime would split, glob or read as a file of arguments when they
// reached it bare, beside the folders such globbing would pick instead. `Café` is
// stored in the legacy ANSI code page, as earlier versions wrote it.
const std::vector<std::string> AwkwardPaths = {"Mum's", "Photos[2008]", "Data{1,2}",   "@home",
                                               "~old",  "Caf\xE9",      "notes[1].txt"};

void MakeAwkwardTree(const std::string& root) {
    const fs::path r(root);
    std::string noise(3 << 20, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 11);
    Write(r / "Mum's" / "a'b.txt", "apostrophe\n");
    Write(r / "Mum's" / "big.bin", noise);
    fs::create_directories(r / "Mum's" / "empty folder");
    Write(r / "Photos[2008]" / "[x].jpg", "brackets");
    Write(r / "Photos[2008]" / "{a,b}.txt", "braces");
    Write(r / "Photos[2008]" / "@list", "at");
    Write(r / "Photos[2008]" / "~tilde", "tilde");
    Write(r / "Photos[2008]" / "with blank.txt", "blank");
    Write(r / "Photos[2008]" / "empty.txt", "");
    Write(r / "Data{1,2}" / "n.txt", "data");
    Write(r / "@home" / "inner" / "deep.txt", "deep");
    Write(r / "~old" / "x.txt", "old");
    const fs::path cafe = r / fs::path(u8"Caf\u00e9");
    Write(cafe / fs::path(u8"Cr\u00e8me br\u00fbl\u00e9e.txt"), "accents");
    Write(r / "notes[1].txt", "a file of its own");
    // What globbing would take instead.
    for (const char* decoy : {"Photos2", "Data1", "Data2", "Mum"})
        Write(r / decoy / "decoy.txt", decoy);
}

// Deletes, changes and re-dates what a restore must bring back as it was.
void Damage(const std::string& root) {
    const fs::path r(root);
    fs::remove(r / "Photos[2008]" / "[x].jpg");
    Write(r / "Mum's" / "a'b.txt", "changed\n");
    fs::last_write_time(r / "Data{1,2}" / "n.txt",
                        fs::last_write_time(r / "Data{1,2}" / "n.txt") + std::chrono::hours(1));
    fs::remove_all(r / "Mum's" / "empty folder");
    fs::remove_all(r / "@home");    // a profile's folder, gone
    fs::remove(r / "notes[1].txt"); // a profile's file, gone
}

class Outcome : public Transfer {
protected:
    // The two kinds of destination every outcome is checked through.
    std::function<void(TRSync&)> TheDaemon() {
        return [this](TRSync& sync) {
            UseDaemon(sync, Account);
        };
    }
    std::function<void(TRSync&)> ALocalFolder() {
        return [this](TRSync& sync) {
            sync.SetServer(std::make_unique<TLocalHost>(Folder + "\\Backup\\"));
            sync.SetOutputAutoCloseDelay(-1);
        };
    }
    fs::path LocalAccount() const { return fs::path(Folder) / "Backup" / "Demo"; }

    // Stores one profile of `paths` in folder `root`, starts the program and backs it up.
    void BackUpPaths(const std::function<void(TRSync&)>& destination, const std::string& root,
                     const std::vector<std::string>& paths, HWND& terminal) {
        WriteConfig(Folder, [&](TRSync& sync) {
            destination(sync);
            auto* profile = TRSyncProfile::Create(sync, "Items");
            for (const std::string& path : paths)
                profile->AddPath(root + "\\" + path);
        });
        ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
        ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.", 120s)) << Output(terminal);
        EXPECT_EQ(Errors(terminal), "");
    }

    // Backs up the awkward tree's profile, damages the tree and restores it.
    void RoundTrip(const std::function<void(TRSync&)>& destination, const fs::path& account) {
        const std::string source = Folder + "\\src";
        MakeAwkwardTree(source);
        const TSnapshot original = Snapshot(source);
        HWND terminal = nullptr;
        ASSERT_NO_FATAL_FAILURE(BackUpPaths(destination, source, AwkwardPaths, terminal));
        // Exactly the profile's paths, each under its own name, and nothing globbed.
        const TSnapshot stored = Snapshot(account);
        for (const char* name : {"Mum's", "Photos[2008]", "Data{1,2}", "@home", "~old"})
            EXPECT_EQ(Differences(Below(original, name), Below(stored, name)), "") << name;
        EXPECT_EQ(Differences(Below(original, "Café"), Below(stored, "Café")), "");
        EXPECT_TRUE(stored.contains("notes[1].txt"));
        for (const char* decoy : {"Photos2", "Data1", "Data2", "Mum"})
            EXPECT_FALSE(stored.contains(decoy)) << decoy << " was backed up";

        Damage(source);
        ASSERT_NE(Differences(original, Snapshot(source)), "");
        Click(Control(M::idRestore));
        ASSERT_TRUE(
            WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 2; }, 120s))
            << Output(terminal);
        SaveScreenshot(terminal, Shot("restored"));
        EXPECT_EQ(Errors(terminal), "");
        EXPECT_EQ(Differences(original, Snapshot(source)), "");
    }
};

TEST_F(Outcome, AwkwardNamesDeletedFilesAndFoldersComeBackThroughTheDaemon) {
    RoundTrip(TheDaemon(), AccountPath);
}

TEST_F(Outcome, AwkwardNamesDeletedFilesAndFoldersComeBackThroughALocalFolder) {
    RoundTrip(ALocalFolder(), LocalAccount());
}

// Runs a host program (a Linux one: Wine gives no handle to wait on).
void RunOnHost(const std::string& commandLine) {
    std::string command = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &info))
        << commandLine;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

std::string HostPathOf(const std::string& windowsPath) {
    std::string path = windowsPath.substr(2); // scratch folders lie on Z:, the host's root
    for (char& c : path)
        c = c == '\\' ? '/' : c;
    return path;
}

// A drive letter of the prefix pointed at a folder while it lives.
class TDrive {
public:
    TDrive(char letter, const std::string& folder) {
        const char* prefix = std::getenv("WINEPREFIX");
        if (prefix)
            FLink = std::string(prefix) + "/dosdevices/" + char(std::tolower(letter)) + ":";
        FRoot = std::string(1, letter) + ":\\";
        if (!FLink.empty())
            RunOnHost("Z:\\bin\\ln -sfn \"" + HostPathOf(folder) + "\" \"" + FLink + "\"");
    }
    ~TDrive() {
        if (!FLink.empty())
            RunOnHost("Z:\\bin\\rm -f \"" + FLink + "\"");
    }
    TDrive(const TDrive&) = delete;
    TDrive& operator=(const TDrive&) = delete;
    const std::string& Root() const { return FRoot; }

private:
    std::string FLink, FRoot;
};

TEST_F(Outcome, ADriveRootKeepsItsOwnFolderAndLeavesTheOtherBackupsAlone) {
    const std::string drive = Folder + "\\drive";
    Write(fs::path(drive) / "on the drive.txt", "root file");
    Write(fs::path(drive) / "sub" / "inner.txt", "inner");
    const std::string sibling = MakeSource("Sibling");
    TDrive q('Q', drive);
    ASSERT_TRUE(WaitUntil([&] { return e2e::FileExists("Q:\\on the drive.txt"); }, 10s))
        << "Q: was not mapped (WINEPREFIX " << (std::getenv("WINEPREFIX") ? "set" : "unset") << ")";
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, Account);
        sync.SetFlags(sync.Flags() | (1u << 9)); // --delete
        TRSyncProfile::Create(sync, "Sibling")->AddPath(sibling);
        TRSyncProfile::Create(sync, "Drive")->AddPath(q.Root());
    });
    const TSnapshot original = Snapshot(drive);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 2; }));
    SelectProfile("Sibling");
    Click(Control(M::idBackup));
    HWND terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
    SelectProfile("Drive");
    Click(Control(M::idBackup));
    ASSERT_TRUE(WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 2; }, 60s))
        << Output(terminal);
    SaveScreenshot(terminal, Shot("drive"));
    EXPECT_EQ(Errors(terminal), "");
    EXPECT_EQ(test::CompareTrees(sibling, AccountPath / "Sibling"), "")
        << "the drive's backup touched another";
    EXPECT_EQ(Differences(original, Snapshot(AccountPath / "Q")), "");

    fs::remove(fs::path(drive) / "on the drive.txt");
    Click(Control(M::idRestore));
    ASSERT_TRUE(WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 3; }, 60s))
        << Output(terminal);
    EXPECT_EQ(Differences(original, Snapshot(drive)), "") << "the account came back into the drive";
}

TEST_F(Outcome, ARunWhoseRsyncCannotStartReportsAnError) {
    const std::string source = MakeSource("Unsent");
    const std::string port = test::ReadTextFile(test::FromHostPath(
        std::string(std::getenv("KAL_BINARY_DIR")) + "/smtp_fixture/noauth/port"));
    const std::string recipient = "unstartable-" + std::to_string(GetTickCount64()) + "@127.0.0.1";
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, Account);
        sync.SetRSyncLocation("Bin\\NoSuchRSync.exe");
        sync.SetEmailServer("127.0.0.1:" + port.substr(0, port.find_first_of("\r\n")));
        sync.SetEmailFrom("kalvaren@127.0.0.1");
        sync.SetEmailRecipient(recipient);
        auto* p = TRSyncProfile::Create(sync, "Unsent");
        p->AddPath(source);
        p->SetCommonSources({csMyDocuments}); // the next item still runs
    });
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpTheStoredProfile(terminal));
    ASSERT_TRUE(WaitForOutput(terminal, "Transfer Complete.")) << Output(terminal);
    SaveScreenshot(terminal, Shot("cannot-start"));
    EXPECT_EQ(Count(Errors(terminal), "Cannot start Bin\\NoSuchRSync.exe: "), 2u)
        << Errors(terminal);

    const fs::path mail = test::FromHostPath(std::string(std::getenv("KAL_BINARY_DIR")) +
                                             "/smtp_fixture/noauth/mail");
    std::string subject;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& entry : fs::directory_iterator(mail)) {
                const std::string env = entry.path().extension() == ".env"
                                            ? test::ReadTextFile(entry.path())
                                            : std::string();
                if (env.find("rcpt=" + recipient) == std::string::npos)
                    continue;
                const auto at = env.find("subject=");
                subject = env.substr(at + 8, env.find('\n', at) - at - 8);
                return true;
            }
            return false;
        },
        60s))
        << "no report arrived";
    EXPECT_TRUE(subject.starts_with("Kalvaren - Error (")) << subject;
}

TEST_F(Transfer, APickerChoiceWithoutAPathAddsNothingAndRecoversNothing) {
    WriteConfig(Folder, [&](TRSync& sync) { UseDaemon(sync, Account); });
    Start();
    NewProfile(1);
    const std::vector<std::wstring> computer = {L"My Computer", L"Computer", L"This PC"};
    Click(Control(M::idAddFolder));
    ASSERT_TRUE(PickVirtualFolder(*Program, computer)) << "no computer item in the picker";
    MenuCommand(Main, M::idEmergancyRecovery);
    ASSERT_TRUE(PickVirtualFolder(*Program, computer));
    HWND terminal = Program->WaitForWindow("Backup Terminal", 3s);
    EXPECT_FALSE(terminal && WaitUntil([&] { return Visible(terminal); }, 3s))
        << "a recovery started";
    EXPECT_TRUE(ListLines(Control(M::idFilePath)).empty());
    Program.reset();
    EXPECT_EQ(ReadConfig(Folder)->GetProfile(0)->PathCount(), 0);
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

    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpAndWait(terminal));
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
        TRSyncProfile::Create(sync, "Vid\xE9os")->AddPath(legacyFolder);
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

// ---- every item back in its own place ----

TEST_F(Outcome, OneNameOnTheServerHoldsOneItem) {
    const std::string a = Folder + "\\A\\Docs", b = Folder + "\\B\\Docs";
    Write(fs::path(a) / "report.txt", "A's report\n");
    Write(fs::path(b) / "report.txt", "B's report\n");
    WriteConfig(Folder, [&](TRSync& sync) {
        UseDaemon(sync, Account);
        TRSyncProfile::Create(sync, "Work")->AddPath(a);
        TRSyncProfile::Create(sync, "Home")->AddPath(b); // as earlier versions allowed
    });
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 2; }));
    SelectProfile("Work");
    Click(Control(M::idAddFolder));
    PickFolder(b);
    HWND box = Program->WaitForDialog(10s);
    ASSERT_NE(box, nullptr) << "the second Docs was added";
    const std::string text = Text(FindChild(box, 0xFFFF));
    EXPECT_NE(text.find("which " + a + " (profile \"Work\") already uses. Add its folder " +
                        Folder + "\\B instead."),
              std::string::npos)
        << text;
    Click(FindChild(box, IDOK));
    EXPECT_EQ(ListLines(Control(M::idFilePath)), std::vector<std::string>{a});
    HWND terminal = nullptr;
    RunAndWait(M::idBackup, terminal, 1);
    SelectProfile("Home");
    RunAndWait(M::idBackup, terminal, 2);
    EXPECT_NE(Errors(terminal).find(b + " (profile \"Home\") was left out"), std::string::npos)
        << Errors(terminal);
    EXPECT_EQ(test::ReadTextFile(AccountPath / "Docs" / "report.txt"), "A's report\n");
    Write(fs::path(a) / "report.txt", "damaged\n");
    SelectProfile("Work");
    RunAndWait(M::idRestore, terminal, 3);
    EXPECT_EQ(test::ReadTextFile(fs::path(a) / "report.txt"), "A's report\n");
}

// Names that look like options, in the module itself, where a name read as an option
// would fetch the whole module; then once more onto a new disk, their parents gone.
TEST_F(Outcome, OptionLikeNamesComeBackToThemselvesAndOntoANewDisk) {
    const std::string disk = Folder + "\\Users", odd = disk + "\\jo\\Odd";
    const std::vector<std::string> names = {"-rf", "--delete", "-e sh", "-n.txt"};
    for (const std::string& name : names) {
        fs::remove_all(Daemon.ModulePath / name);
        Write(name == "-n.txt" ? fs::path(odd) / name : fs::path(odd) / name / "inside.txt", name);
    }
    const TSnapshot original = Snapshot(disk);
    HWND terminal = nullptr;
    ASSERT_NO_FATAL_FAILURE(BackUpPaths([&](TRSync& sync) { UseDaemon(sync, Daemon.ModuleName); },
                                        odd, names, terminal));
    for (const std::string& name : names)
        fs::remove_all(fs::path(odd) / name);
    fs::create_directory(fs::path(odd) / "-e sh"); // restored in the folder form
    RunAndWait(M::idRestore, terminal, 2);
    EXPECT_EQ(Differences(original, Snapshot(disk)), "");
    fs::remove_all(disk);
    RunAndWait(M::idRestore, terminal, 3);
    EXPECT_EQ(Errors(terminal), "");
    EXPECT_EQ(Differences(original, Snapshot(disk)), "");
    for (const std::string& name : names)
        fs::remove_all(Daemon.ModulePath / name);
}

// A small file past MAX_PATH, its bytes and modification time, through the "\\?\"
// form: under Wine the C runtime takes such a path for the working folder.
std::pair<std::string, ULONGLONG> LongFile(const std::wstring& file) {
    const unique_handle_t handle(CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ULARGE_INTEGER time{};
    std::string bytes(4096, '\0');
    DWORD got = 0;
    if (!handle ||
        !GetFileTime(handle.get(), nullptr, nullptr, reinterpret_cast<FILETIME*>(&time)) ||
        !::ReadFile(handle.get(), bytes.data(), 4096, &got, nullptr))
        return {};
    bytes.resize(got);
    return {bytes, time.QuadPart};
}

// Wine's picker lists no folder below one past MAX_PATH: the long part is the last
// name. The host makes and removes the tree, which Wine's shell cannot remove.
TEST_F(Outcome, AFolderOfThreeHundredCharactersComesBackWhole) {
    std::string deep = Folder + "\\Long";
    for (char level = 'a'; deep.size() < 200; ++level)
        deep += "\\" + std::string(40, level);
    deep += "\\" + std::string(299 - deep.size(), 'z');
    ASSERT_EQ(deep.size(), 300u);
    const std::wstring file = Widen(deep) + L"\\deep.txt";
    struct TRemoval {
        std::string Command;
        ~TRemoval() { RunOnHost(Command); }
    } removal{"Z:\\bin\\rm -rf \"" + HostPathOf(Folder + "\\Long") + "\""};
    RunOnHost("Z:\\bin\\sh -c \"mkdir -p '" + HostPathOf(deep) + "' && echo bottom > '" +
              HostPathOf(deep) + "/deep.txt'\"");
    ASSERT_TRUE(WaitUntil([&] { return LongFile(file).first == "bottom\n"; }));
    const auto original = LongFile(file);
    WriteConfig(Folder, [&](TRSync& sync) { UseDaemon(sync, Account); });
    Start();
    NewProfile(1);
    ASSERT_NO_FATAL_FAILURE(AddFolder(deep));
    HWND terminal = nullptr;
    RunAndWait(M::idBackup, terminal, 1);
    const std::string name = deep.substr(deep.find_last_of('\\') + 1);
    EXPECT_EQ(test::ReadTextFile(AccountPath / name / "deep.txt"), "bottom\n");
    ASSERT_TRUE(DeleteFileW((L"\\\\?\\" + file).c_str()));
    RunAndWait(M::idRestore, terminal, 2);
    EXPECT_NE(Output(terminal).find("//" + name + "/\" \""), std::string::npos) << "not a folder";
    EXPECT_EQ(LongFile(file), original);
    RunOnHost(removal.Command);
    ASSERT_TRUE(WaitUntil([&] { return LongFile(file).first.empty(); }));
    RunAndWait(M::idRestore, terminal, 3);
    EXPECT_EQ(Errors(terminal), "");
    EXPECT_EQ(LongFile(file), original);
}
// Three backups with versions kept, a restore as of the middle one, retention and
// recovery: what a user who kept versions finds on the destination and gets back.
class Versions : public Outcome {
protected:
    void Journey(const std::function<void(TRSync&)>& destination, const fs::path& account) {
        const fs::path docs = fs::path(Folder) / "src" / "Docs";
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            Write(docs / name, std::string(1, name[0]) + "1");
        Write(docs / "junk.tmp", "skipped");
        Write(docs / "Thumbs.db", "skipped");
        const fs::path lookalike = fs::path(Folder) / "src" / "2000-01-02_000000";
        Write(lookalike / "decoy.txt", "an item, not a version");
        const fs::path documents = Documents();
        Write(documents / "d.txt", "d1");
        Write(fs::path(Folder) / "Exclude.txt", "*.tmp\nThumbs.db\n");
        const DWORD days = 1;
        RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Kalvaren", "Keep Versions Days", REG_DWORD,
                        &days, sizeof days);
        const fs::path versions = account / ".versions";
        Write(versions / VersionStamp(Now() - 3) / "Docs" / "old.txt", "expired");
        const std::string recent = VersionStamp(Now() - 2.0 / 24);
        Write(versions / recent / "Docs" / "recent.txt", "kept");
        WriteConfig(Folder, [&](TRSync& sync) {
            destination(sync);
            sync.SetFlags(sync.Flags() | TRSync::KeepVersionsBit | TRSync::DeleteBit);
            auto* profile = TRSyncProfile::Create(sync, "Items");
            profile->AddPath(docs.string());
            profile->AddPath(lookalike.string());
            profile->SetCommonSources({csMyDocuments});
        });
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(WaitUntil([&] { return Profiles().size() == 1; }));
        SelectProfile("Items");
        HWND terminal = nullptr;
        const auto backUp = [&](std::size_t count) {
            // One stamp a second: each run gets its own.
            std::this_thread::sleep_for(1100ms);
            RunAndWait(M::idBackup, terminal, count);
            EXPECT_EQ(Errors(terminal), "");
        };
        ASSERT_NO_FATAL_FAILURE(backUp(1));
        const TSnapshot before = Snapshot(docs);
        const TSnapshot documentsBefore = Snapshot(documents);
        Write(docs / "a.txt", "a2 longer");
        Write(docs / "b.txt", "");
        ASSERT_NO_FATAL_FAILURE(backUp(2));
        Write(docs / "a.txt", "a3 longer still");
        fs::remove(docs / "c.txt");
        Write(documents / "d.txt", "d2 changed");
        Write(docs / "late.txt", "made after the middle run");
        ASSERT_NO_FATAL_FAILURE(backUp(3));

        std::vector<std::string> stamps;
        for (const auto& entry : fs::directory_iterator(versions))
            stamps.push_back(entry.path().filename().string());
        std::sort(stamps.rbegin(), stamps.rend());
        ASSERT_EQ(stamps.size(), 3u) << "expired, or not kept";
        EXPECT_EQ(stamps[2], recent);
        const std::map<fs::path, std::string> kept{
            {fs::path(stamps[1]) / "Docs" / "a.txt", "a1"},
            {fs::path(stamps[1]) / "Docs" / "b.txt", "b1"},
            {fs::path(stamps[0]) / "Docs" / "a.txt", "a2 longer"},
            {fs::path(stamps[0]) / "Docs" / "c.txt", "c1"},
            {fs::path(stamps[0]) / "My Documents" / "d.txt", "d1"}};
        for (const auto& [path, bytes] : kept)
            EXPECT_EQ(test::ReadTextFile(versions / path), bytes) << path;
        EXPECT_TRUE(fs::exists(account / "2000-01-02_000000" / "decoy.txt"));
        EXPECT_FALSE(fs::exists(account / "Docs" / "junk.tmp"));
        EXPECT_FALSE(fs::exists(account / "Docs" / "Thumbs.db"));

        MenuCommand(Main, M::idRestoreEarlierVersion);
        HWND dialog = Program->WaitForWindow("Restore Earlier Version");
        ASSERT_NE(dialog, nullptr);
        ASSERT_EQ(ListLines(FindChild(dialog, 100)).size(), 3u);
        SelectListLine(FindChild(dialog, 100), 1);
        SaveScreenshot(dialog, Shot("versions"));
        Click(FindChild(dialog, IDOK));
        ASSERT_TRUE(
            WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 4; }, 120s));
        EXPECT_EQ(Errors(terminal), "");
        TSnapshot expected = before;
        expected["late.txt"] = Snapshot(docs)["late.txt"];
        EXPECT_EQ(Differences(expected, Snapshot(docs)), "");
        EXPECT_EQ(Differences(documentsBefore, Snapshot(documents)), "");

        const std::string recovered = Folder + "\\recovered";
        CreateDirectoryA(recovered.c_str(), nullptr);
        MenuCommand(Main, M::idEmergancyRecovery);
        PickFolder(recovered);
        ASSERT_TRUE(
            WaitUntil([&] { return Count(Output(terminal), "Transfer Complete.") == 5; }, 120s));
        EXPECT_TRUE(fs::exists(fs::path(recovered) / "Docs" / "a.txt"));
        EXPECT_FALSE(fs::exists(fs::path(recovered) / ".versions"));
    }
};

TEST_F(Versions, KeptRestoredAsOfARunExpiredAndLeftOnTheServerThroughTheDaemon) {
    Journey(TheDaemon(), AccountPath);
}

TEST_F(Versions, KeptRestoredAsOfARunExpiredAndLeftOnTheServerThroughALocalFolder) {
    Journey(ALocalFolder(), LocalAccount());
}
} // namespace
} // namespace kal::e2e
