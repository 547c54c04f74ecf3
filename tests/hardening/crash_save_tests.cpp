// Saves killed at random instants: whatever the instant, Data.dat loads and holds
// either the configuration before the save or the one being saved, and at most
// one temporary file is left beside it.
#include "hardening_support.h"
#include "test_support.h"
#include "UDataFile.h"
#include "URSync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <csignal>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <poll.h>

extern char** environ;

namespace kal {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int Profiles = 1000;
constexpr int Kills = 1000;

// The saver, driven through its standard input and output.
class TSaver {
public:
    TSaver(const std::string& target, const std::vector<std::string>& records) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<char*> argv{const_cast<char*>(KAL_SAVE_CHILD_PATH),
                                const_cast<char*>(target.c_str())};
        for (const auto& record : records)
            argv.push_back(const_cast<char*>(record.c_str()));
        argv.push_back(nullptr);
        const int error =
            posix_spawn(&FPid, KAL_SAVE_CHILD_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        FIn = in[1];
        FOut = out[0];
        if (error != 0)
            throw std::runtime_error("cannot start the saver");
    }
    ~TSaver() {
        ::close(FIn); // end of input ends the saver
        ::close(FOut);
        int status;
        ::waitpid(FPid, &status, 0);
    }
    TSaver(const TSaver&) = delete;
    TSaver& operator=(const TSaver&) = delete;

    void Send(char command) {
        if (::write(FIn, &command, 1) != 1)
            throw std::runtime_error("the saver has gone");
    }
    // The next line, or "" after 20 s of silence.
    std::string ReadLine() {
        for (;;) {
            const auto end = FBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = FBuffer.substr(0, end);
                FBuffer.erase(0, end + 1);
                return line;
            }
            pollfd p{FOut, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0)
                return "";
            char chunk[256];
            const ssize_t n = ::read(FOut, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            FBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Starts a save of record `index`; its pid, once the save has begun.
    pid_t StartSave(int index) {
        Send(static_cast<char>('0' + index));
        pid_t pid = -1;
        bool begun = false;
        // The two lines come from two processes, in either order.
        while (pid < 0 || !begun) {
            const std::string line = ReadLine();
            if (line.empty())
                throw std::runtime_error("the saver did not start a save");
            if (line[0] == 'P')
                pid = static_cast<pid_t>(std::stol(line.substr(2)));
            else if (line[0] == 'R')
                begun = true;
        }
        return pid;
    }
    // Reads lines until one starts with `prefix`; the rest of that line.
    std::string Expect(char prefix) {
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
            if (line[0] == prefix)
                return line.size() > 2 ? line.substr(2) : std::string();
        throw std::runtime_error(std::string("the saver did not answer ") + prefix);
    }

private:
    pid_t FPid = -1;
    int FIn = -1;
    int FOut = -1;
    std::string FBuffer;
};

// The raw record of a generation, also written to `file` for the saver.
std::string Configuration(int generation, const std::string& file) {
    TRSync sync;
    hardening::FillConfiguration(sync, Profiles, generation);
    sync.SaveToFile(file);
    return hardening::RawRecord(sync);
}

// The record in the file as a fresh load saves it again; throws when it does not load.
std::string Reloaded(const std::string& file) {
    TRSync sync;
    LoadDataFile(sync, file);
    return hardening::RawRecord(sync);
}

std::vector<std::string> FolderEntries(const test::fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : test::fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CrashSafeSave, KilledSavesLeaveTheOldOrTheNewConfiguration) {
    test::TempDir dir("kal-crash");
    test::TempDir sources("kal-crash-records");
    const std::string target = (dir / "Data.dat").string();
    const std::vector<std::string> files{(sources / "0.raw").string(),
                                         (sources / "1.raw").string()};
    const std::string records[2] = {Configuration(0, files[0]), Configuration(1, files[1])};
    ASSERT_NE(records[0], records[1]);

    TSaver saver(target, files);
    int current = 0;
    saver.StartSave(0);
    saver.Expect('D');
    saver.Send('w');
    ASSERT_EQ(saver.Expect('E'), "0");
    ASSERT_EQ(Reloaded(target), records[0]) << "a complete save must load back unchanged";

    // How long a save takes here and now: the kills are spread over that span.
    std::vector<double> durations;
    for (int i = 0; i < 9; ++i) {
        current = 1 - current;
        saver.StartSave(current);
        const auto begin = Clock::now();
        saver.Expect('D');
        durations.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        saver.Send('w');
        ASSERT_EQ(saver.Expect('E'), "0");
    }
    std::sort(durations.begin(), durations.end());
    const double span = durations[durations.size() / 2];
    ASSERT_EQ(Reloaded(target), records[current]);

    std::mt19937 random(20261208);
    std::uniform_real_distribution<double> instant(0, span);
    int interrupted = 0, old = 0, renewed = 0, unloadable = 0, neither = 0, strays = 0;
    int reloads = 0;
    std::map<std::string, int> verified; // file bytes -> the record they load as
    for (int kill = 0; kill < Kills; ++kill) {
        const int next = 1 - current;
        const auto delay = std::chrono::duration<double, std::micro>(instant(random));
        const pid_t pid = saver.StartSave(next);
        std::this_thread::sleep_for(delay);
        // The saver reaps only on 'w', so the pid cannot have been reused yet.
        ::kill(pid, SIGKILL);
        saver.Send('w');
        const int status = std::stoi(saver.Expect('E'));
        if (WIFSIGNALED(status))
            ++interrupted;

        const auto entries = FolderEntries(dir.Path());
        const bool tidy = entries == std::vector<std::string>{"Data.dat"} ||
                          entries == std::vector<std::string>{"Data.dat", "Data.dat.tmp"};
        if (!tidy)
            ++strays;
        // Loading is deterministic: bytes that once loaded as a record load as it
        // again. Other bytes, and every 20th kill regardless, are loaded in full.
        const std::string bytes = test::ReadTextFile(target);
        auto known = verified.find(bytes);
        if (known == verified.end() || kill % 20 == 0) {
            ++reloads;
            try {
                const std::string record = Reloaded(target);
                const int index = record == records[0] ? 0 : record == records[1] ? 1 : -1;
                known = index < 0 ? verified.end() : verified.insert_or_assign(bytes, index).first;
            } catch (const std::exception& e) {
                ++unloadable;
                ADD_FAILURE() << "kill " << kill << ": " << e.what();
                continue;
            }
        }
        if (known == verified.end()) {
            ++neither;
        } else if (known->second == current) {
            ++old;
        } else {
            ++renewed;
            current = next;
        }
    }
    std::printf("crash-safe save: %d profiles, save %.1f ms (median of %zu), %d kills "
                "(%d during the save), old %d, new %d, unloadable %d, neither %d, "
                "untidy folders %d; %d full reloads\n",
                Profiles, span / 1000, durations.size(), Kills, interrupted, old, renewed,
                unloadable, neither, strays, reloads);
    EXPECT_EQ(unloadable, 0);
    EXPECT_EQ(neither, 0);
    EXPECT_EQ(strays, 0);
    EXPECT_EQ(old + renewed + unloadable + neither, Kills);
    // Kills that all came too late would prove nothing.
    EXPECT_GT(interrupted, Kills / 4) << "the kills missed the saves";
}

} // namespace
} // namespace kal
