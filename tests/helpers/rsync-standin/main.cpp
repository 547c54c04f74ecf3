// kal-rsync: plays the Windows rsync build on Linux for the native tests and demo.
//
// Kalvaren names local files as /cygdrive/<L>/... (and the password file as
// <L>:/...); this program translates those arguments to host folders (see
// DriveMap.h) and replaces itself with the host's rsync, so the exit code, output
// and error text are rsync's own.
//
//   KAL_DRIVE_<L>     host folder that stands for drive L (upper-case letter)
//   KAL_DRIVES_ROOT   otherwise drive L is $KAL_DRIVES_ROOT/<L>
//   KAL_RSYNC         rsync to run (default: "rsync" on PATH)
//
// Its own failures: exit 1 for a drive with no host folder, 127 when rsync cannot
// be started; a message on stderr either way.
#include "DriveMap.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace kal::rsynctools;
    std::vector<std::string> args;
    try {
        args = MapArguments(std::vector<std::string>(argv + 1, argv + argc), EnvironmentDrive);
    } catch (const EDriveNotMapped& e) {
        std::fprintf(stderr, "kal-rsync: %s (set KAL_DRIVE_%c or KAL_DRIVES_ROOT)\n", e.what(),
                     e.Letter());
        return 1;
    }

    const char* rsync = std::getenv("KAL_RSYNC");
    if (!rsync || !*rsync)
        rsync = "rsync";
    std::vector<char*> child;
    child.push_back(const_cast<char*>(rsync));
    for (std::string& arg : args)
        child.push_back(arg.data());
    child.push_back(nullptr);
    execvp(rsync, child.data());
    std::fprintf(stderr, "kal-rsync: cannot run %s: %s\n", rsync, std::strerror(errno));
    return 127;
}
