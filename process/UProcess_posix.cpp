// POSIX half of the runner: the child is started with posix_spawnp, and its output
// and error pipes are read together with poll.
#include "UProcess.h"
#include "UScoped.h"
#include "UText.h"
#include "UThread.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <system_error>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kal {

// --- Worker thread ----------------------------------------------------------------

struct TProcessThread::TImpl {
    std::thread Thread;
    std::mutex Lock;
    std::condition_variable Ended;
    bool Done = false;
};

TProcessThread::TProcessThread(TBaseProcess& process)
    : Process(process), FImpl(std::make_unique<TImpl>()) {
    FImpl->Thread = std::thread([this] {
        SetCurrentThreadName("kal-process");
        Body();
        std::lock_guard lock(FImpl->Lock);
        FImpl->Done = true;
        FImpl->Ended.notify_all();
    });
}

TProcessThread::~TProcessThread() {
    if (!FImpl->Thread.joinable())
        return;
    if (IsCurrentThread())
        FImpl->Thread.detach();
    else
        FImpl->Thread.join();
}

bool TProcessThread::IsCurrentThread() const {
    return FImpl->Thread.get_id() == std::this_thread::get_id();
}

void TProcessThread::WaitUntilFinished() {
    if (IsCurrentThread())
        return;
    std::unique_lock lock(FImpl->Lock);
    FImpl->Ended.wait(lock, [this] { return FImpl->Done; });
}

// --- Child process ----------------------------------------------------------------

namespace {

struct TPipe {
    unique_fd Read, Write;
    // A failed pipe leaves both ends invalid: the child then writes nowhere and
    // nothing is read, as with a pipe that broke at once.
    void Create() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        Read.reset(fds[0]);
        Write.reset(fds[1]);
        // Only our end: the flag belongs to the read end's open file description.
        ::fcntl(Read.get(), F_SETFL, ::fcntl(Read.get(), F_GETFL) | O_NONBLOCK);
    }
};

class TSpawnActions {
public:
    TSpawnActions() { ::posix_spawn_file_actions_init(&FActions); }
    ~TSpawnActions() { ::posix_spawn_file_actions_destroy(&FActions); }
    TSpawnActions(const TSpawnActions&) = delete;
    TSpawnActions& operator=(const TSpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }
    // The pipe's write end when there is one, else nowhere: like a hidden console.
    void Redirect(int target, const unique_fd& source) {
        if (source)
            ::posix_spawn_file_actions_adddup2(&FActions, source.get(), target);
        else
            ::posix_spawn_file_actions_addopen(&FActions, target, "/dev/null", O_WRONLY, 0);
    }

private:
    posix_spawn_file_actions_t FActions;
};

class TSpawnAttributes {
public:
    TSpawnAttributes() {
        ::posix_spawnattr_init(&FAttributes);
        // The child starts with default signal handling whatever this process did,
        // so a child whose pipe we closed ends on its next write.
        sigset_t none, piped;
        sigemptyset(&none);
        sigemptyset(&piped);
        sigaddset(&piped, SIGPIPE);
        ::posix_spawnattr_setsigmask(&FAttributes, &none);
        ::posix_spawnattr_setsigdefault(&FAttributes, &piped);
        // A process group of its own, so a stop reaches what the child started too.
        ::posix_spawnattr_setpgroup(&FAttributes, 0);
        ::posix_spawnattr_setflags(&FAttributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETPGROUP);
    }
    ~TSpawnAttributes() { ::posix_spawnattr_destroy(&FAttributes); }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    posix_spawnattr_t* Get() { return &FAttributes; }

private:
    posix_spawnattr_t FAttributes;
};

// Collects the exit status so no zombie stays behind; the runner does not wait for a
// child it has stopped listening to, so a child still running is left to a thread of
// its own.
void Reap(pid_t pid) {
    int status = 0;
    pid_t result;
    do
        result = ::waitpid(pid, &status, WNOHANG);
    while (result < 0 && errno == EINTR);
    if (result != 0)
        return;
    std::thread([pid] {
        int ignored = 0;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

class TChild {
public:
    explicit TChild(pid_t pid) : FPid(pid) {}
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() {
        if (FPid > 0)
            Reap(FPid);
    }

    // Waits for the end while `keepWaiting` holds, leaving the child unreaped (its
    // pid cannot be reused yet); true once it ended.
    bool WaitForEnd(const std::function<bool()>& keepWaiting) {
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOWAIT | WNOHANG) < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (info.si_pid == FPid)
                return true;
            if (!keepWaiting())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Reaps a child that has ended.
    TChildExit Collect() {
        TChildExit exit;
        int status = 0;
        while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
        }
        FPid = -1;
        exit.Known = WIFEXITED(status) || WIFSIGNALED(status);
        exit.Abnormal = WIFSIGNALED(status);
        exit.Code =
            static_cast<std::uint32_t>(WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        return exit;
    }

private:
    pid_t FPid;
};

struct TReader {
    TPipe Pipe;
    bool Error = false; // the child's standard error, not its output
    bool Open = false;
    bool Readable = false;
    char Buffer[1025] = {};
};

} // namespace

void TBaseProcess::RunChild() {
    std::vector<std::string> args = SplitCommandLine(FCommandLine);
    if (args.empty() || args[0].empty())
        return;
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const bool capture = FOutputHandle != nullptr;
    TReader readers[2];
    readers[1].Error = true;
    TSpawnActions actions;
    ::posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    if (capture)
        for (auto& reader : readers)
            reader.Pipe.Create();
    actions.Redirect(1, readers[0].Pipe.Write);
    actions.Redirect(2, readers[1].Pipe.Write);
    TSpawnAttributes attributes;

    pid_t pid = -1;
    // glibc reports a program that cannot be executed here, like a failed CreateProcess.
    if (const int error =
            ::posix_spawnp(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(), environ)) {
        ReportStartFailure(SystemErrorText(error));
        return;
    }
    TChild child(pid);
    TChildGuard known(*this, pid, pid);
    if (!capture) {
        // Without an output nothing is read and the stop request is not looked at: the
        // child runs to its end.
        // Ended but not yet reaped, so Abort cannot hit a recycled pid.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        known.Release();
        const TChildExit exit = child.Collect();
        if (!Terminated())
            FChildExit = exit;
        return;
    }
    // The exit code is the verdict of the run; a stopped child has none worth telling.
    const scope_exit afterReading([&] {
        // A failing output ends the run at once, child or not.
        if (std::uncaught_exceptions() > 0)
            return;
        if (!child.WaitForEnd([this] { return !FAborted && (!Terminated() || FStopping); }))
            return;
        known.Release();
        const TChildExit exit = child.Collect();
        if (!Terminated())
            FChildExit = exit;
    });

    for (auto& reader : readers) {
        // End of file comes once the child, and whatever inherited its handles, closed theirs.
        reader.Pipe.Write.reset();
        reader.Open = static_cast<bool>(reader.Pipe.Read);
    }

    // A stop request is looked at before every read. A poll that is waiting for the
    // child stands for a blocking read: what it waited for is still passed on.
    bool waited = false;
    bool polling = false;
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        bool anyReadable = false;
        for (auto& reader : readers)
            if (reader.Open) {
                anyReadable = anyReadable || reader.Readable;
                fds[count++] = pollfd{reader.Pipe.Read.get(), POLLIN, 0};
            }
        if (count == 0)
            break;
        if (!anyReadable) {
            // A wait cut into turns (to look at an abort) is still one blocking read.
            if (!polling && Terminated())
                break;
            polling = true;
            // Abort ends the child, but something it started may keep the pipe open:
            // an abort is also looked at while waiting.
            const int ready = ::poll(fds, count, 200);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (ready == 0) {
                if (FAborted)
                    break;
                continue;
            }
            polling = false;
            for (nfds_t i = 0; i < count; ++i)
                for (auto& reader : readers)
                    if (reader.Open && reader.Pipe.Read.get() == fds[i].fd)
                        reader.Readable = fds[i].revents != 0;
            waited = true;
        }
        for (auto& reader : readers) {
            if (!reader.Readable)
                continue;
            if (!waited && Terminated())
                return;
            const ssize_t got = ::read(reader.Pipe.Read.get(), reader.Buffer, 1024);
            if (got > 0) {
                PassOn(reader.Error, reader.Buffer);
                std::memset(reader.Buffer, 0, static_cast<std::size_t>(got) + 1);
            } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                reader.Readable = false;
            } else {
                reader.Open = false;
                reader.Readable = false;
                reader.Pipe.Read.reset();
            }
        }
        waited = false;
    }
}

void TBaseProcess::KillChild() {
    if (FChildGroup > 0)
        ::kill(-static_cast<pid_t>(FChildGroup), SIGKILL);
    if (FChild > 0)
        ::kill(static_cast<pid_t>(FChild), SIGKILL);
}

void WaitHandlingSentMessages(const std::function<bool()>& done) {
    // Outputs here are called directly on the worker; nothing to handle.
    while (!done())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace kal
