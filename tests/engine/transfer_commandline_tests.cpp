// The rsync command lines each operation produces, character for character.
#include "URSyncProcess.h"
#include "URSyncTransfer.h"
#include "UItemNames.h"
#include "UVersions.h"
#include "transfer_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <fnmatch.h>
#endif

namespace kal {
namespace {

using test::CSIDL_LOCAL_APPDATA;
using test::CSIDL_PERSONAL;

// The reference configuration: remote "store", module Master, a
// profile of two paths and the documents folder.
class CommandLines : public ::testing::Test {
protected:
    void SetUp() override {
        Shell.Folders[CSIDL_PERSONAL] = "E:\\Users\\jo\\My Documents";
        Shell.Present = {"D:\\Work\\Reports", "D:\\Photos 2008"};
        SetShellFolders(&Shell);
        SetExecutableFolder("D:\\Apps\\Backup");
        Host = &test::UseStore(Sync);
        Profile = TRSyncProfile::Create(Sync, "Work");
        Profile->AddPath("D:\\Work\\Reports");
        Profile->AddPath("D:\\Photos 2008");
        Profile->SetCommonSources({csMyDocuments});
    }
    void TearDown() override {
        SetShellFolders(nullptr);
        SetExecutableFolder("");
    }

    // Starts the operation and returns the command lines its run was given.
    template <typename F> std::vector<std::string> Run(F&& operation) {
        operation();
        Sync.WaitForProcess();
        std::vector<std::string> lines;
        if (const auto process = Sync.ProcessRef())
            for (int i = 0; i < static_cast<int>(process->Items().size()); ++i)
                lines.push_back(process->CommandLineOf(i));
        return lines;
    }

    test::TTestShellFolders Shell;
    TRSync Sync;
    TRemoteHost* Host = nullptr;
    TRSyncProfile* Profile = nullptr;
};

using Lines = std::vector<std::string>;

TEST_F(CommandLines, WorkedExamplesOfEveryOperation) {
    EXPECT_EQ(
        Run([&] { Profile->Backup(); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a /cygdrive/D/Work/Reports "/cygdrive/D/Photos 2008" "store::Master/")",
            R"(Bin\RSync.exe -v -h -a "/cygdrive/E/Users/jo/My Documents/" "store::Master/My Documents/")"}));
    EXPECT_EQ(
        Run([&] { Profile->Restore(); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a "store::Master//Reports/" "/cygdrive/D/Work/Reports/")",
            R"(Bin\RSync.exe -v -h -a "store::Master//Photos 2008/" "/cygdrive/D/Photos 2008/")",
            R"(Bin\RSync.exe -v -h -a "store::Master/My Documents/" "/cygdrive/E/Users/jo/My Documents")"}));
    EXPECT_EQ(
        Run([&] { Profile->RemoveBackup(); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a --delete "/cygdrive/D/Apps/Backup/Temp/" "store::Master/")"}));
    EXPECT_EQ(
        Run([&] { Sync.EmergancyRecovery("E:\\Restored"); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a --exclude=/.versions/ "store::Master/" "/cygdrive/E/Restored/")"}));
    EXPECT_EQ(Sync.Flags(), TRSync::DefaultFlags) << "forced bits must not stick";
}

TEST_F(CommandLines, UserNameGoesInFrontOfEveryAddress) {
    Host->SetUser("jo");
    EXPECT_EQ(
        Run([&] { Profile->Backup(); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a /cygdrive/D/Work/Reports "/cygdrive/D/Photos 2008" "jo@store::Master/")",
            R"(Bin\RSync.exe -v -h -a "/cygdrive/E/Users/jo/My Documents/" "jo@store::Master/My Documents/")"}));
    EXPECT_EQ(Run([&] { Profile->Restore(); }).front(),
              R"(Bin\RSync.exe -v -h -a "jo@store::Master//Reports/" "/cygdrive/D/Work/Reports/")");
    EXPECT_EQ(
        Run([&] { Profile->RemoveBackup(); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a --delete "/cygdrive/D/Apps/Backup/Temp/" "jo@store::Master/")"}));
    EXPECT_EQ(
        Run([&] { Sync.EmergancyRecovery("E:\\Restored"); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a --exclude=/.versions/ "jo@store::Master/" "/cygdrive/E/Restored/")"}));
}

TEST_F(CommandLines, DefaultLocalDestination) {
    TRSync local; // the constructor's own destination
    local.SetModule("Demo");
    auto* profile = TRSyncProfile::Create(local, "Local");
    profile->AddPath("D:\\Work\\Reports");
    const auto items = BackupItems(*profile);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0], R"(/cygdrive/D/Work/Reports "/cygdrive/C/Kalvaren Backup/Demo/")");
}

TEST_F(CommandLines, OptionsFollowFlagsAndSettings) {
    EXPECT_EQ(Sync.BuildOptions(Sync.Flags()), "-v -h -a ");
    EXPECT_EQ(Sync.BuildOptions(TRSync::DefaultFlags & ~1u), "-q -h -a ");
    EXPECT_EQ(Sync.BuildOptions(TRSync::DefaultFlags & ~(1u << 3)),
              "-v -h -r -l -t -g -o --devices --specials ");
    EXPECT_EQ(Sync.BuildOptions(TRSync::DefaultFlags & ~((1u << 7) | (1u << 11))),
              "-v -r -l -p -t -g -o --specials ");
    EXPECT_EQ(Sync.BuildOptions(0), "-q ");

    Sync.SetPort(872);
    EXPECT_EQ(Sync.BuildOptions(Sync.Flags()), "-v -h -a --port=872 ");
    Sync.SetPort(873);
    Sync.SetLogFormat("%t %f");
    EXPECT_EQ(Sync.BuildOptions(Sync.Flags()), "-v -h -a ") << "a log format needs a log file";
    Sync.SetPasswordFile("D:\\Keys\\missing.txt");
    EXPECT_EQ(Sync.BuildOptions(Sync.Flags()), "-v -h -a ") << "a missing password file";
}

TEST_F(CommandLines, EveryOptionInUse) {
    // The password file is passed only when it exists.
    const auto folder = std::filesystem::temp_directory_path() / "kal-xfer-options";
    std::filesystem::create_directories(folder);
#ifdef _WIN32
    const std::string passwordFile = (folder / "pw.txt").string();
    std::ofstream(passwordFile) << "secret\n";
#else
    // Natively a Windows path is relative, its backslashes separators: the file of
    // the example can be made real under the current folder.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    std::filesystem::create_directories("D:/Keys");
    std::ofstream("D:/Keys/pw.txt") << "secret\n";
    const std::string passwordFile = "D:\\Keys\\pw.txt";
#endif
    Sync.SetFlags(TRSync::DefaultFlags | (1u << 9) | (1u << 10) | (1u << 31));
    Sync.SetBandwidth(64);
    Sync.SetPasswordFile(passwordFile);
    Sync.SetPort(8730);
    Sync.SetOutputFormat("%n");
    Sync.SetLogFile("D:\\Logs\\rsync.log");
    Sync.SetLogFormat("%t %f");
    const std::string options = Sync.BuildOptions(Sync.Flags());
#ifndef _WIN32
    std::filesystem::current_path(previous);
#endif
    std::filesystem::remove_all(folder);
    EXPECT_EQ(options, "-v -h -a --delete --progress --bwlimit=64 --password-file=\"" +
                           ToCygwinPath(passwordFile, false) +
                           "\" --port=8730 --out-format=\"%n\" --log-file=\"D:\\Logs\\rsync.log\""
                           " --log-file-format=\"%t %f\" --compress ");
#ifndef _WIN32
    EXPECT_EQ(options,
              "-v -h -a --delete --progress --bwlimit=64 --password-file=\"D:/Keys/pw.txt\" "
              "--port=8730 --out-format=\"%n\" --log-file=\"D:\\Logs\\rsync.log\" "
              "--log-file-format=\"%t %f\" --compress ");
#endif
}

TEST_F(CommandLines, ForcedBits) {
    Sync.SetFlags(TRSync::DefaultFlags | (1u << 9));
    EXPECT_EQ(
        Run([&] { Sync.EmergancyRecovery("E:\\Restored"); }),
        (Lines{
            R"(Bin\RSync.exe -v -h -a --exclude=/.versions/ "store::Master/" "/cygdrive/E/Restored/")"}));
    EXPECT_EQ(Run([&] { Profile->Backup(); }).front().substr(0, 31),
              "Bin\\RSync.exe -v -h -a --delete");

    // Removal is the same whichever profile asks for it.
    Sync.SetFlags(TRSync::DefaultFlags);
    auto* other = TRSyncProfile::Create(Sync, "Other");
    other->AddPath("C:\\Elsewhere");
    EXPECT_EQ(Run([&] { other->RemoveBackup(); }), Run([&] { Profile->RemoveBackup(); }));
}

TEST_F(CommandLines, AProgramPathWithBlanksIsQuoted) {
    const auto folder = std::filesystem::temp_directory_path() / "kal xfer program";
    std::filesystem::create_directories(folder);
    const std::string program = (folder / "RSync.exe").string();
    std::ofstream(program) << "";
    Sync.SetRSyncLocation(program);
    const auto quoted = Run([&] { Sync.EmergancyRecovery("E:\\Restored"); });
    std::filesystem::remove_all(folder);
    EXPECT_EQ(
        quoted,
        Lines{"\"" + program +
              R"(" -v -h -a --exclude=/.versions/ "store::Master/" "/cygdrive/E/Restored/")"});

    // A location that names no file is taken as typed: it may carry arguments.
    Sync.SetRSyncLocation("Bin\\RSync.exe --chmod=ugo=rwX");
    EXPECT_EQ(Run([&] { Sync.EmergancyRecovery("E:\\Restored"); }).front().substr(0, 36),
              "Bin\\RSync.exe --chmod=ugo=rwX -v -h ");
}

TEST(CygwinPaths, Conversion) {
    EXPECT_EQ(ToCygwinPath("D:\\Data", true), "D/Data");
    EXPECT_EQ(ToCygwinPath("D:\\Keys\\pw.txt", false), "D:/Keys/pw.txt");
    EXPECT_EQ(ToCygwinPath("d:\\My Data\\", true), "d/My Data/") << "case and trailing kept";
    EXPECT_EQ(ToCygwinPath("D:\\a:\\b", true), "D/a:/b") << "only the first drive mark";
    EXPECT_EQ(ToCygwinPath("\\\\nas\\share\\x", true), "//nas/share/x");
    EXPECT_EQ(ToCygwinPath("", true), "");
}

TEST_F(CommandLines, ItemShapes) {
    // Network paths are rsync paths already.
    Profile->ClearPaths();
    Profile->AddPath("\\\\nas\\share\\x");
    Profile->AddPath("C");
    Shell.Present.insert("\\\\nas\\share\\x");
    EXPECT_EQ(BackupItems(*Profile).front(), R"(//nas/share/x /cygdrive/C "store::Master/")");
    EXPECT_EQ(RestoreItems(*Profile).front(), R"("store::Master//x/" "//nas/share/x/")");

    // Well-known folders only: the first item names nothing but the destination.
    Profile->ClearPaths();
    EXPECT_EQ(BackupItems(*Profile),
              (Lines{R"( "store::Master/")",
                     R"("/cygdrive/E/Users/jo/My Documents/" "store::Master/My Documents/")"}));

    // A well-known folder that is not there yields no item.
    Profile->SetCommonSources({csMyDocuments, csOutlook});
    EXPECT_EQ(BackupItems(*Profile).size(), 2u);
    Shell.Folders[CSIDL_LOCAL_APPDATA] = "E:\\Users\\jo\\AppData\\Local";
    EXPECT_EQ(
        BackupItems(*Profile).back(),
        R"("/cygdrive/E/Users/jo/AppData/Local/Microsoft/Outlook/" "store::Master/Outlook/")");
}

// What the Cygwin runtime would split, glob or read as a file of arguments is
// quoted; plain paths stay bare.
TEST_F(CommandLines, SourcesArriveAsExactlyOneArgumentEach) {
    Profile->ClearPaths();
    Profile->SetCommonSources({});
    for (const char* path : {"D:\\Mum's", "D:\\Photos[2008]", "D:\\Data{1,2}", "D:\\a*?",
                             "D:\\@home", "D:\\~old", "D:\\Work\\"})
        Profile->AddPath(path);
    EXPECT_EQ(BackupItems(*Profile),
              Lines{R"("/cygdrive/D/Mum's" "/cygdrive/D/Photos[2008]" "/cygdrive/D/Data{1,2}")"
                    R"( "/cygdrive/D/a*?" /cygdrive/D/@home /cygdrive/D/~old /cygdrive/D/Work)"
                    R"( "store::Master/")"});

    EXPECT_EQ(RSyncArgument("@list"), R"("@list")");
    EXPECT_EQ(RSyncArgument("~/x"), R"("~/x")");
    EXPECT_EQ(RSyncArgument("tab\there"), "\"tab\there\"");
    EXPECT_EQ(QuotedArgument(R"(D:\Logs\)"), R"("D:\Logs\\")");
    EXPECT_EQ(QuotedArgument(R"(say "hi" \"x)"), R"("say \"hi\" \\\"x")");
    EXPECT_EQ(QuotedArgument(R"(a\b)"), R"("a\b")") << "backslashes elsewhere stay single";

    Sync.SetLogFile("D:\\Logs\\");
    Sync.SetOutputFormat("%n \"%f\"");
    EXPECT_EQ(Sync.BuildOptions(Sync.Flags()),
              R"(-v -h -a --out-format="%n \"%f\"" --log-file="D:\Logs\\" )");
}

// A drive root is kept in a folder named after its letter, never in the account
// itself; network paths keep their //server/share form everywhere.
TEST_F(CommandLines, DriveRootsAndNetworkPaths) {
    Profile->ClearPaths();
    Profile->SetCommonSources({});
    Profile->AddPath("D:\\Work\\Reports");
    Profile->AddPath("F:\\");
    Shell.Present.insert("F:\\");
    EXPECT_EQ(BackupItems(*Profile), (Lines{R"(/cygdrive/D/Work/Reports "store::Master/")",
                                            R"("/cygdrive/F/" "store::Master/F/")"}));
    EXPECT_EQ(RestoreItems(*Profile).back(), R"("store::Master//F/" "/cygdrive/F/")");
    Profile->RemovePath(0);
    EXPECT_EQ(BackupItems(*Profile), Lines{R"("/cygdrive/F/" "store::Master/F/")"});

    EXPECT_EQ(EmergancyRecoveryItem(Sync, "\\\\nas\\share\\restore"),
              R"(--exclude=/.versions/ "store::Master/" "//nas/share/restore/")");
    EXPECT_EQ(EmergancyRecoveryItem(Sync, "E:\\"),
              R"(--exclude=/.versions/ "store::Master/" "/cygdrive/E/")");
    Shell.Folders[CSIDL_PERSONAL] = "\\\\nas\\home\\jo";
    Profile->SetCommonSources({csMyDocuments});
    EXPECT_EQ(BackupItems(*Profile).back(), R"("//nas/home/jo/" "store::Master/My Documents/")");
    EXPECT_EQ(RestoreItems(*Profile).back(), R"("store::Master/My Documents/" "//nas/home/jo")");

    // A picker choice without a path names no place to recover into.
    EXPECT_EQ(Run([&] { Sync.EmergancyRecovery(""); }), Lines{});
}

// What is gone is what a restore is for: a missing path is fetched into its folder,
// which brings back a file and a folder alike.
TEST_F(CommandLines, AMissingPathIsRestoredIntoItsFolder) {
    Profile->ClearPaths();
    Profile->SetCommonSources({});
    Profile->AddPath("D:\\Work\\gone");
    Profile->AddPath("\\\\nas\\share\\x");
    Profile->AddPath("D:\\top.txt");
    Profile->AddPath(""); // names nothing, not every drive
    EXPECT_EQ(BackupItems(*Profile),
              Lines{R"(/cygdrive/D/Work/gone //nas/share/x /cygdrive/D/top.txt "store::Master/")"});
    EXPECT_EQ(RestoreItems(*Profile), (Lines{R"("store::Master//gone" "/cygdrive/D/Work/")",
                                             R"("store::Master//x" "//nas/share/")",
                                             R"("store::Master//top.txt" "/cygdrive/D/")"}));
}

TEST_F(CommandLines, NothingToDoStartsNoRun) {
    Profile->ClearPaths();
    Profile->SetCommonSources({});
    Profile->Backup();
    Profile->Restore();
    EXPECT_EQ(Sync.ProcessRef(), nullptr);
    EXPECT_TRUE(BackupItems(*Profile).empty());
}

TEST_F(CommandLines, AnExistingFileIsRestoredIntoItsFolder) {
    const auto folder = std::filesystem::temp_directory_path() / "kal-xfer-file" / "Work";
    std::filesystem::create_directories(folder);
    const std::string base = folder.parent_path().string();
    std::ofstream(folder / "notes.txt") << "x";
    Profile->ClearPaths();
    Profile->SetCommonSources({});
    Profile->AddPath(base + "\\Work\\notes.txt");
    Profile->AddPath(base + "\\Work");
    const auto items = RestoreItems(*Profile);
    std::filesystem::remove_all(folder.parent_path());
    ASSERT_EQ(items.size(), 2u);
    const std::string local = "/" + ToCygwinPath(base, true) + "/Work/\"";
    EXPECT_EQ(items[0].substr(0, 28), R"("store::Master//notes.txt" ")");
    EXPECT_TRUE(items[0].ends_with(local)) << items[0];
    EXPECT_EQ(items[1].substr(0, 24), R"("store::Master//Work/" ")");
    EXPECT_TRUE(items[1].ends_with(local)) << items[1];
}

// One name of the account holds one item (compared without case, the same path in
// two profiles being one item), and a run of an earlier configuration that holds
// two leaves out all but the first. Names like options stay names; a restore or a
// recovery first makes the folders it goes into.
TEST_F(CommandLines, EveryItemHasAPlaceOfItsOwn) {
    Profile->ClearPaths();
    Profile->AddPath("D:\\A\\Docs"); // beside the documents folder E:\Users\jo\My Documents
    auto* home = TRSyncProfile::Create(Sync, "Home");
    for (const char* path : {"d:\\a\\docs\\", "E:\\Users\\jo\\My Documents"})
        EXPECT_EQ(NameConflict(*home, path), "") << path;
    for (const char* path : {"D:\\B\\docs", "E:\\.VERSIONS", "F:\\Old\\My Documents"})
        EXPECT_NE(NameConflict(*home, path), "") << path;
    EXPECT_TRUE(NameConflict(*home, "D:\\B\\docs")
                    .ends_with("which D:\\A\\Docs (profile \"Work\") already uses. Add its "
                               "folder D:\\B instead."));
    for (const char* path : {"F:\\Old\\My Documents", "D:\\C\\Budget.xls", "D:\\B\\Docs",
                             "D:\\E\\budget.XLS", "D:\\Odd\\-n.txt"})
        home->AddPath(path);
    EXPECT_TRUE(NameConflict(*home, csMyDocuments)
                    .ends_with("Replace F:\\Old\\My Documents (profile \"Home\") by its folder "
                               "F:\\Old first."));
    std::vector<std::string> refusals;
    EXPECT_EQ(RestoreItems(*home, &refusals),
              (Lines{R"("store::Master//Budget.xls" "/cygdrive/D/C/")",
                     R"("store::Master/./-n.txt" "/cygdrive/D/Odd/")"}));
    EXPECT_EQ(refusals.size(), 3u);
    EXPECT_EQ(BackupItems(*Profile).front(), R"(/cygdrive/D/A/Docs "store::Master/")");
    Run([&] { home->Restore(); });
    Run([&] { Sync.EmergancyRecovery("E:\\New\\Disk"); });
    EXPECT_EQ(Shell.Created, (Lines{"D:\\C\\", "D:\\Odd\\", "E:\\New\\Disk"}));
}

TEST_F(CommandLines, ASkipListInUseIsTheOnlyChangeToABackup) {
    const Lines plain = Run([&] { Profile->Backup(); });
    const auto list = (std::filesystem::temp_directory_path() / "kal skip list.txt").string();
    Sync.SetSkipListFile(list);
    SaveSkipList(list, "  \r\n\r\n");
    EXPECT_EQ(Run([&] { Profile->Backup(); }), plain) << "an empty list adds nothing";
    SaveSkipList(list, "*.tmp\r\nThumbs.db\r\n");
    std::string option = "--exclude-from=\"", skipping = plain[1];
    option.append(ToCygwinPath(list, false)).append("\" ");
    EXPECT_EQ(Run([&] { Profile->Backup(); })[1], skipping.insert(23, option));
    SaveSkipList(list, "");
    EXPECT_FALSE(std::filesystem::exists(list)) << "an empty list leaves no file";
    Sync.SetSkipListFile("");
}

// Which names the retention rules take: rsync's patterns match as fnmatch does here.
TEST(VersionStamps, RetentionTakesExactlyTheOlderStampsAndListingsNameWhatRunsKept) {
#ifndef _WIN32
    const std::string cutoff = "2026-11-08_093000";
    const struct {
        const char* Name;
        bool Older;
    } names[] = {{"2026-11-08_092959", true},
                 {"2026-11-08_093000", false},
                 {"2026-11-08_093001", false},
                 {"2025-12-31_235959", true},
                 {"2026-10-30_120000", true},
                 {"2026-11-09_000000", false},
                 {"1999-01-01_000000", true},
                 {"2027-01-01_000000", false},
                 {"2026-11-08", false},
                 {"2000-01-02_000000x", false},
                 {"notes", false},
                 {"2026-11-0A_000000", false}};
    const std::vector<std::string> patterns = StampPatternsBefore(cutoff);
    for (const auto& n : names) {
        bool matched = false;
        for (const std::string& pattern : patterns)
            matched = matched || fnmatch(pattern.c_str() + 1, n.Name, 0) == 0;
        EXPECT_EQ(matched, n.Older) << n.Name;
    }
#endif
    const std::string listing =
        "drwxr-xr-x          4,096 2026/12/08 23:48:36 .\n"
        "drwxr-xr-x          4,096 2026/12/08 23:48:37 2026-12-01_100000\n"
        "-rw-r--r--              0 2026/12/08 23:48:37 2026-12-01_100000/file.txt\n"
        "drwxr-xr-x          4,096 2026/12/08 23:48:36 2026-12-01_100000/My Documents\n"
        "drwxr-xr-x          4,096 2026/12/08 23:48:36 2026-12-03_080000\n"
        "drwxr-xr-x          4,096 2026/12/08 23:48:36 2026-12-03_080000/Caf\\#303\\#251\n"
        "drwxr-xr-x          4,096 2026/12/08 23:48:36 leftover\n";
    EXPECT_EQ(VersionsInListing(listing),
              (std::vector<TVersion>{{"2026-12-03_080000", {"Caf\xC3\xA9"}},
                                     {"2026-12-01_100000", {"file.txt", "My Documents"}}}));
}
} // namespace
} // namespace kal
