// Translation of Kalvaren's drive paths into host paths, shared by the stand-in
// and the bridge.
#include "DriveMap.h"

#include <gtest/gtest.h>

#include <map>

using namespace kal::rsynctools;

namespace {

DriveLookup Drives(std::map<char, std::string> drives) {
    return [drives = std::move(drives)](char letter) -> std::optional<std::string> {
        const auto found = drives.find(letter);
        if (found == drives.end())
            return std::nullopt;
        return found->second;
    };
}

const DriveLookup Host = Drives({{'D', "/h/d"}, {'E', "/h/e/"}, {'Z', "/"}, {'K', ""}});

} // namespace

TEST(DriveMap, CygdrivePathsBecomeHostPathsKeepingTheRestAsItIs) {
    EXPECT_EQ(MapArgument("/cygdrive/D/Work/Reports", Host), "/h/d/Work/Reports");
    EXPECT_EQ(MapArgument("/cygdrive/D/Photos 2008", Host), "/h/d/Photos 2008");
    // The trailing slash decides what rsync copies: it must survive.
    EXPECT_EQ(MapArgument("/cygdrive/D/Photos 2008/", Host), "/h/d/Photos 2008/");
    EXPECT_EQ(MapArgument("/cygdrive/d/lower", Host), "/h/d/lower");
    EXPECT_EQ(MapArgument("/cygdrive/D", Host), "/h/d");
    EXPECT_EQ(MapArgument("/cygdrive/D/", Host), "/h/d/");
    // A host folder given with a trailing slash, and the root itself, give no "//".
    EXPECT_EQ(MapArgument("/cygdrive/E/Users/jo/My Documents", Host), "/h/e/Users/jo/My Documents");
    EXPECT_EQ(MapArgument("/cygdrive/Z/etc/x", Host), "/etc/x");
    EXPECT_EQ(MapArgument("/cygdrive/Z", Host), "/");
    EXPECT_EQ(MapArgument("/cygdrive/D/Ünï cödé/ä", Host), "/h/d/Ünï cödé/ä");
}

TEST(DriveMap, DriveLetterFormsAndOptionValuesAreMapped) {
    EXPECT_EQ(MapArgument("D:/Keys/pw.txt", Host), "/h/d/Keys/pw.txt");
    EXPECT_EQ(MapArgument("d:\\Logs\\rsync.log", Host), "/h/d/Logs/rsync.log");
    EXPECT_EQ(MapArgument("--password-file=D:/Keys/pw.txt", Host),
              "--password-file=/h/d/Keys/pw.txt");
    EXPECT_EQ(MapArgument("--log-file=D:\\Logs\\rsync.log", Host),
              "--log-file=/h/d/Logs/rsync.log");
    EXPECT_EQ(MapArgument("--temp-dir=/cygdrive/E/tmp", Host), "--temp-dir=/h/e/tmp");
    // Only the first '=' separates the option from its value.
    EXPECT_EQ(MapArgument("--filter=/cygdrive/D/a=b", Host), "--filter=/h/d/a=b");
}

TEST(DriveMap, EverythingElsePassesUnchanged) {
    for (const char* arg : {"-v",
                            "-a",
                            "--delete",
                            "--port=8730",
                            "--bwlimit=64",
                            "--out-format=%n",
                            "--log-file-format=%t %f",
                            "store::Master/",
                            "jo@store::Master/My Documents/",
                            "store::Master//Reports/",
                            "rsync://store/Master/",
                            "//nas/share/x",
                            "/cygdrive/",
                            "/cygdrive/data/x",
                            "/cygdrive/DE/x",
                            "/cygdrive/1/x",
                            "/home/jo/x",
                            "D:",
                            "D:rel",
                            "Master/x",
                            "x=/cygdrive/D/y",
                            "-e=/cygdrive/D/y",
                            "--=",
                            ""}) {
        EXPECT_EQ(MapArgument(arg, Host), arg);
    }
}

TEST(DriveMap, UnknownDriveIsAnErrorNamingTheLetter) {
    for (const char* arg : {"/cygdrive/q/x", "Q:/x", "--password-file=q:\\pw", "/cygdrive/K/x"}) {
        try {
            MapArgument(arg, Host);
            ADD_FAILURE() << arg << " was mapped";
        } catch (const EDriveNotMapped& e) {
            EXPECT_EQ(e.Letter(), arg == std::string("/cygdrive/K/x") ? 'K' : 'Q') << arg;
            EXPECT_NE(std::string(e.what()).find(std::string(1, e.Letter()) + ":"),
                      std::string::npos);
        }
    }
    // One bad argument fails the whole command line: rsync must not run half-mapped.
    EXPECT_THROW(MapArguments({"-a", "/cygdrive/D/x", "/cygdrive/Q/y"}, Host), EDriveNotMapped);
    EXPECT_EQ(MapArguments({"-a", "/cygdrive/D/x", "store::M/"}, Host),
              (std::vector<std::string>{"-a", "/h/d/x", "store::M/"}));
}
