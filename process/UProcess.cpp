// The portable half of the runner: the run's state machine, the hooks, the texts
// the runner writes, and the serial queue. Starting children and reading their
// pipes live in UProcess_win.cpp / UProcess_posix.cpp.
#include "UProcess.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kal {

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
    std::vector<std::string> args;
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t';
    };
    std::size_t i = 0;
    const std::size_t n = commandLine.size();
    while (i < n && isBlank(commandLine[i]))
        ++i;
    if (i == n)
        return args;

    // The program name: a path, so quotes group but nothing is escaped.
    std::string program;
    bool quoted = false;
    for (; i < n && (quoted || !isBlank(commandLine[i])); ++i) {
        if (commandLine[i] == '"')
            quoted = !quoted;
        else
            program += commandLine[i];
    }
    args.push_back(std::move(program));

    for (;;) {
        while (i < n && isBlank(commandLine[i]))
            ++i;
        if (i == n)
            break;
        std::string arg;
        quoted = false;
        while (i < n && (quoted || !isBlank(commandLine[i]))) {
            const char c = commandLine[i];
            if (c == '\\') {
                std::size_t slashes = 0;
                while (i < n && commandLine[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && commandLine[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even count leaves the quote to the delimiter rules below.
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (c == '"') {
                if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
                    // "" inside quotes: a literal quote, and the quoted part ends.
                    arg += '"';
                    i += 2;
                    quoted = false;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += c;
                ++i;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

// --- TProcessThread ---------------------------------------------------------------

void TProcessThread::Body() noexcept {
    TBaseProcess& process = Process;
    process.FRunning = true;
    try {
        process.Execute();
        if (process.FTerminated)
            process.DoTerminated();
        else
            process.DoComplete();
    } catch (...) {
        // An error ends the run where it happened; the owner sees Running fall and
        // may start a new run. Nothing may leave a thread entry.
    }
    process.FRunning = false;
    FFinished = true;
}

// --- TBaseProcess -----------------------------------------------------------------

TBaseProcess::TBaseProcess() = default;

TBaseProcess::~TBaseProcess() {
    FreeThread();
}

void TBaseProcess::Start() {
    // Also waits for a worker that is still ending after a stop request: two workers
    // on one runner would share its command line and hooks.
    FreeThread();
    FTerminated = false;
    FAborted = false;
    FStopping = false;
    FStartFailed = false;
    {
        std::lock_guard lock(FFirstErrorLock);
        FFirstError.clear();
    }
    // Set before the worker exists, so an owner that checks Running right after the
    // start cannot start a second run meanwhile.
    FRunning = true;
    // The worker's DoComplete takes this lock, so it cannot clear Thread before the
    // new worker is stored.
    std::lock_guard lock(FThreadLock);
    try {
        FThread = std::make_shared<TProcessThread>(*this);
    } catch (...) {
        FRunning = false;
        throw;
    }
}

int TBaseProcess::WaitFor() {
    if (FTerminated)
        return 0;
    std::shared_ptr<TProcessThread> worker;
    {
        std::lock_guard lock(FThreadLock);
        // During the auto-close countdown Thread is already cleared; the run has not
        // ended until the completed worker has.
        worker = FThread ? FThread : FCompletedThread;
    }
    if (worker)
        worker->WaitUntilFinished();
    return 0;
}

void TBaseProcess::Terminate() {
    FTerminated = true;
}

void TBaseProcess::Stop() {
    FTerminated = true;
    FStopping = true;
    std::lock_guard lock(FChildLock);
    KillChild();
}

void TBaseProcess::Abort() {
    {
        std::lock_guard lock(FCountdownLock);
        FAborted = true;
        FTerminated = true;
    }
    FCountdown.notify_all();
    Stop();
}

TBaseProcess::TChildGuard::TChildGuard(TBaseProcess& owner, std::intptr_t child,
                                       std::intptr_t group)
    : FOwner(owner) {
    std::lock_guard lock(FOwner.FChildLock);
    FOwner.FChild = child;
    FOwner.FChildGroup = group;
    if (FOwner.FStopping)
        FOwner.KillChild();
}

void TBaseProcess::TChildGuard::Release() {
    std::lock_guard lock(FOwner.FChildLock);
    FOwner.FChild = 0;
    FOwner.FChildGroup = 0;
}

bool TBaseProcess::WaitCountdown(int seconds) {
    std::unique_lock lock(FCountdownLock);
    return !FCountdown.wait_for(lock, std::chrono::seconds(seconds),
                                [this] { return FAborted.load(); });
}

void TBaseProcess::FreeThread() {
    std::shared_ptr<TProcessThread> current, completed;
    {
        std::lock_guard lock(FThreadLock);
        current = FThread;
        completed = FCompletedThread;
    }
    // The completed worker may still be counting down to Finished and then sets
    // Terminated on this runner, so it is waited for as well.
    for (const auto& worker : {current, completed})
        if (worker)
            worker->WaitUntilFinished();
    std::lock_guard lock(FThreadLock);
    if (FThread == current && !(current && current->IsCurrentThread()))
        FThread.reset();
    if (FCompletedThread == completed && !(completed && completed->IsCurrentThread()))
        FCompletedThread.reset();
}

void TBaseProcess::WriteOutput(std::string_view text) {
    if (!FOutputHandle)
        return;
    // The receiver may change the characters in place: it gets a copy of its own.
    std::string copy(text);
    PassOn(false, copy.data());
}

void TBaseProcess::WriteError(std::string_view text) {
    std::string copy(text);
    PassOn(true, copy.data());
}

void TBaseProcess::PassOn(bool error, char* text) {
    // A text ends at its first NUL, as the terminal will read it; an empty one is not sent.
    const std::size_t length = std::strlen(text);
    if (length == 0)
        return;
    if (error) {
        FErrorSeen = true;
        std::lock_guard lock(FFirstErrorLock);
        if (FFirstError.empty()) {
            std::string_view line(text, length);
            const std::size_t start = std::min(line.find_first_not_of("\r\n"), line.size());
            line.remove_prefix(start);
            FFirstError.assign(line.substr(0, line.find_first_of("\r\n")));
        }
    }
    if (!FOutputHandle)
        return;
    if (error)
        FOutputHandle->Error(text, length);
    else
        FOutputHandle->Output(text, length);
}

std::string TBaseProcess::FirstError() const {
    std::lock_guard lock(FFirstErrorLock);
    return FFirstError;
}

void TBaseProcess::ReportStartFailure(const std::string& reason) {
    FStartFailed = true;
    // Silence here would let a run that copied nothing report success.
    const std::vector<std::string> args = SplitCommandLine(FCommandLine);
    WriteError("Cannot start " + (args.empty() ? FCommandLine : args.front()) + ": " + reason);
}

void TBaseProcess::Execute() {
    FChildExit = {};
    DoProcessStart();
    RunChild();
    DoProcessEnd();
}

void TBaseProcess::DoProcessStart() {
    if (OnProcessStart)
        OnProcessStart(*this);
}

void TBaseProcess::DoProcessEnd() {
    if (OnProcessEnd)
        OnProcessEnd(*this);
}

void TBaseProcess::DoComplete() {
    {
        std::lock_guard lock(FThreadLock);
        FCompletedThread = std::move(FThread);
    }
    const int delay = FAutoCloseDelay;
    if (delay >= 0) {
        if (delay > 0) {
            WriteOutput("The terminal windows will close in " + std::to_string(delay) +
                        " seconds.");
            if (!WaitCountdown(delay)) {
                FTerminated = true;
                return;
            }
        }
        if (FOutputHandle && !FAborted)
            FOutputHandle->Finished();
    }
    FTerminated = true;
}

void TBaseProcess::DoTerminated() {
    WriteOutput("Process Terminated!");
}

// --- TSerialProcess ---------------------------------------------------------------

TSerialProcess::TSerialProcess() = default;

TSerialProcess::~TSerialProcess() {
    FreeThread();
}

void TSerialProcess::RunProcesses(const std::vector<std::string>* list) {
    // Items must not change under a worker that is still going through them.
    FreeThread();
    FItems.clear();
    if (list)
        FItems = *list;
    Start();
}

int TSerialProcess::RunProcessesAndWait(const std::vector<std::string>* list) {
    RunProcesses(list);
    return WaitFor();
}

void TSerialProcess::Execute() {
    const int count = static_cast<int>(FItems.size());
    if (count > 0) {
        DoStart();
        for (FItemIndex = 0; FItemIndex < count; ++FItemIndex) {
            std::string text;
            GetCommandLine(text);
            SetCommandLine(std::move(text));
            TBaseProcess::Execute();
            if (Terminated())
                break;
        }
    }
    DoFinish();
}

void TSerialProcess::GetCommandLine(std::string& text) {
    const int index = FItemIndex;
    text = index >= 0 && index < static_cast<int>(FItems.size()) ? FItems[index] : std::string();
}

void TSerialProcess::DoStart() {
    if (OnStart)
        OnStart(*this);
}

void TSerialProcess::DoFinish() {
    if (OnFinish)
        OnFinish(*this);
}

} // namespace kal
