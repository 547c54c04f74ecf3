// A saver to be killed: started once by the crash test, it loads the
// configurations once and forks one process per save on request, so each kill
// costs a fork rather than a program start and a load. Every schedule thread is
// stopped before the first fork: a fork copies only the forking thread, and a
// lock another thread held would stay locked in the copy.
//
//   kal_save_child <Data.dat path> <record>...
//   stdin  '0'..'9'  fork a process that saves that record (an uncompressed
//                    configuration, as SaveToFile writes it) as Data.dat
//          'w'       reap the last one
//   stdout "P <pid>" forked; "R" the save begins; "D" the save returned;
//          "E <status>" reaped (the wait status, so a kill shows as signal 9)
#include "UDataFile.h"
#include "URSync.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void Say(const std::string& line) {
    const std::string text = line + "\n";
    // One write per line: both processes share the pipe, and a short line is atomic.
    if (::write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::_Exit(3);
}

[[noreturn]] void SaveAndExit(const std::string& target, const kal::TRSync& sync) {
    int status = 0;
    try {
        Say("R");
        kal::SaveDataFile(sync, target);
        Say("D");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "save failed: %s\n", e.what());
        status = 1;
    }
    // Skips the destructors and the leak check: the parent judges the file only.
    std::_Exit(status);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kal_save_child <Data.dat path> <record>...\n");
        return 2;
    }
    const std::string target = argv[1];
    std::vector<std::unique_ptr<kal::TRSync>> records;
    try {
        for (int i = 2; i < argc; ++i) {
            auto sync = std::make_unique<kal::TRSync>();
            sync->LoadFromFile(argv[i]);
            sync->Schedule().StopThread();
            records.push_back(std::move(sync));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot load: %s\n", e.what());
        return 1;
    }
    pid_t last = -1;
    char command;
    while (::read(STDIN_FILENO, &command, 1) == 1) {
        const std::size_t index = static_cast<std::size_t>(command - '0');
        if (command >= '0' && index < records.size()) {
            const pid_t pid = ::fork();
            if (pid < 0) {
                std::perror("fork");
                return 1;
            }
            if (pid == 0)
                SaveAndExit(target, *records[index]);
            last = pid;
            Say("P " + std::to_string(pid));
        } else if (command == 'w' && last > 0) {
            int status = 0;
            while (::waitpid(last, &status, 0) < 0)
                if (errno != EINTR)
                    return 1;
            last = -1;
            Say("E " + std::to_string(status));
        }
    }
    return 0;
}
