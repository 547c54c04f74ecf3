// Child processes with captured output, and the serial queue that runs a list of
// command lines one after the other on a worker thread.
//
// Output reaches the run's IProcessOutput as synchronous calls from the worker:
// Output for the child's standard output and the runner's own texts, Error for
// the child's standard error, Finished at the end of the auto-close delay.
// Nothing is queued and nothing is buffered by lines.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// <windows.h> maps GetCommandLine to GetCommandLineA; the hook of that name keeps
// it. Windows units include <windows.h> before this header.
#ifdef GetCommandLine
#undef GetCommandLine
#endif

namespace kal {

// Where a run's text goes: the terminal in the program. Every call comes from the
// run's worker and returns once the receiver has taken the text, so text arrives
// in the order written and the worker never runs ahead of the receiver.
class IProcessOutput {
public:
    virtual ~IProcessOutput() = default;
    // `text` holds `length` characters and a NUL after them: a private copy that
    // the receiver may change in place, valid only during the call. Never empty.
    virtual void Output(char* text, std::size_t length) = 0;
    virtual void Error(char* text, std::size_t length) = 0;
    // The auto-close delay of a completed run has run out: the terminal closes.
    virtual void Finished() = 0;
};

// Splits a command line into arguments the way the Microsoft C runtime does: blanks
// separate, double quotes group, backslashes are literal unless they precede a quote
// (2n backslashes + quote: n backslashes and the quote delimits; 2n+1: n backslashes
// and a literal quote); the program name takes quotes without escapes.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Returns once `done` holds, checking it every few milliseconds. Meanwhile a Windows
// thread with windows keeps handling the messages sent to them, so a run whose
// output is one of them cannot block this wait (nor this wait the run).
void WaitHandlingSentMessages(const std::function<bool()>& done);

class TBaseProcess;

// How the last child ended. Unknown when it could not start or was stopped
// (the run's end then says so itself).
struct TChildExit {
    bool Known = false;
    // Ended by a signal (POSIX) or an exception (a Windows status code).
    bool Abnormal = false;
    std::uint32_t Code = 0;
};

// The worker of one run. Starts running before its constructor returns; the
// destructor waits for it to end.
class TProcessThread {
public:
    explicit TProcessThread(TBaseProcess& process);
    ~TProcessThread();
    TProcessThread(const TProcessThread&) = delete;
    TProcessThread& operator=(const TProcessThread&) = delete;

    TBaseProcess& Process;

    bool Finished() const { return FFinished.load(); }
    // Waits until the worker has ended; a thread that owns windows keeps handling
    // the messages sent to them meanwhile. Returns at once on the worker itself.
    void WaitUntilFinished();
    bool IsCurrentThread() const;

private:
    // The run itself; platform code calls it on the new thread.
    void Body() noexcept;
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
    std::atomic<bool> FFinished{false};
};

class TBaseProcess {
public:
    using TNotifyEvent = std::function<void(TBaseProcess& sender)>;

    TBaseProcess();
    // FreeThread(); every subclass destructor must call FreeThread() first, since the
    // worker calls the virtual hooks.
    virtual ~TBaseProcess();
    TBaseProcess(const TBaseProcess&) = delete;
    TBaseProcess& operator=(const TBaseProcess&) = delete;

    // Where the run's text goes; none: nothing is captured and nothing is written.
    IProcessOutput* OutputHandle() const { return FOutputHandle; }
    void SetOutputHandle(IProcessOutput* value) { FOutputHandle = value; }
    std::string CommandLine() const { return FCommandLine; }
    void SetCommandLine(std::string value) { FCommandLine = std::move(value); }
    int AutoCloseDelay() const { return FAutoCloseDelay; }
    void SetAutoCloseDelay(int seconds) { FAutoCloseDelay = seconds; }

    bool Running() const { return FRunning.load(); }
    bool Terminated() const { return FTerminated.load(); }
    bool ErrorSeen() const { return FErrorSeen.load(); }

    TNotifyEvent OnProcessStart, OnProcessEnd;

    // 0 at once when the run was stopped or has completed, or there never was one;
    // otherwise waits for the worker to end (handling sent messages on Windows).
    int WaitFor();
    // Stop request: takes effect at the next read of the child's output, or after the
    // current child when there is no output. The child is never killed.
    void Terminate();
    // A stop request that ends the current child and every process it started at
    // once; the run's end follows once they are gone, however silent the child.
    void Stop();
    // The end of the program: Stop, and an auto-close countdown cut short (no
    // Finished follows), so the worker ends within moments however long the delay.
    void Abort();
    bool Aborted() const { return FAborted.load(); }
    void WriteOutput(std::string_view text);
    void WriteError(std::string_view text);
    // The exit of the child that ran last; read it in DoProcessEnd.
    TChildExit ChildExit() const { return FChildExit; }
    // A child of this run that could not be started.
    bool StartFailed() const { return FStartFailed.load(); }
    // The first error text of the run, up to its first line end.
    std::string FirstError() const;
    // Waits for the worker of the last run, if any, and releases it.
    void FreeThread();

protected:
    // Starts a run on a new worker and returns at once.
    void Start();
    virtual void Execute();
    virtual void DoProcessStart();
    virtual void DoProcessEnd();
    virtual void DoComplete();
    virtual void DoTerminated();

private:
    friend class TProcessThread;
    // Passes on a private NUL-terminated text unless it is empty; error text marks
    // ErrorSeen even without an output.
    void PassOn(bool error, char* text);
    // Runs CommandLine as one child and forwards its output; platform code.
    void RunChild();
    // A child that could not start: one line of error text naming the program.
    void ReportStartFailure(const std::string& reason);
    void ReleaseWorkers();
    // Makes the running child known to Abort while the guard lives; a child started
    // after an abort is ended at once.
    class TChildGuard {
    public:
        // `group`: what ends the child with all it started (a job object on
        // Windows), 0 when there is none.
        TChildGuard(TBaseProcess& owner, std::intptr_t child, std::intptr_t group = 0);
        ~TChildGuard() { Release(); }
        TChildGuard(const TChildGuard&) = delete;
        TChildGuard& operator=(const TChildGuard&) = delete;
        void Release();

    private:
        TBaseProcess& FOwner;
    };
    // Platform layer: ends the child in FChild and what it started, if any;
    // FChildLock held.
    void KillChild();
    // Waits the auto-close delay unless aborted; true when the delay ran out.
    bool WaitCountdown(int seconds);

    std::shared_ptr<TProcessThread> FThread; // current or last worker; none after a completed run
    IProcessOutput* FOutputHandle = nullptr;
    std::string FCommandLine;
    std::atomic<bool> FTerminated{false};
    std::atomic<int> FAutoCloseDelay{-1};
    std::atomic<bool> FRunning{false};
    std::atomic<bool> FErrorSeen{false};
    std::atomic<bool> FAborted{false};
    // The running child (a process handle on Windows, a pid elsewhere), 0 when none.
    std::mutex FChildLock;
    std::intptr_t FChild = 0;
    std::intptr_t FChildGroup = 0;
    std::atomic<bool> FStopping{false}; // Stop or Abort: the child is being ended
    TChildExit FChildExit;              // worker only
    std::atomic<bool> FStartFailed{false};
    mutable std::mutex FFirstErrorLock;
    std::string FFirstError;
    std::mutex FCountdownLock;
    std::condition_variable FCountdown;
    // The worker of a completed run, which DoComplete lets go of: joined at the next
    // run, FreeThread or destruction.
    std::shared_ptr<TProcessThread> FCompletedThread;
    // Guards the two worker references, which the worker itself changes in DoComplete.
    mutable std::mutex FThreadLock;
};

class TSerialProcess : public TBaseProcess {
public:
    TSerialProcess();
    ~TSerialProcess() override;

    // Copies the list (none means empty) and starts the run; returns at once. Waits
    // first for a previous run of this runner that is still ending.
    void RunProcesses(const std::vector<std::string>* list);
    int RunProcessesAndWait(const std::vector<std::string>* list);
    const std::vector<std::string>& Items() const { return FItems; }
    int ItemIndex() const { return FItemIndex.load(); }

    TNotifyEvent OnStart, OnFinish;

protected:
    void Execute() override;
    virtual void GetCommandLine(std::string& text);
    virtual void DoStart();
    virtual void DoFinish();

private:
    std::vector<std::string> FItems;
    std::atomic<int> FItemIndex{0};
};

} // namespace kal
