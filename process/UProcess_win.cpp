// Windows half of the runner: a hidden child started with CreateProcessA whose
// standard output and error are pipes; the worker reads both at once with
// overlapped reads and hands each chunk to the run's output.
#include <windows.h>
#include <process.h>

#include "UProcess.h"
#include "UScoped.h"
#include "UText.h"
#include "UThread.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

namespace kal {

namespace {

// Delivers the messages other threads have sent to this thread's windows.
void HandleSentMessages() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Waits for `handle`; a thread with windows keeps handling the messages sent to them,
// or a worker that sends to one of its windows and this wait would block each other.
void WaitHandlingSentMessages(HANDLE handle) {
    for (;;) {
        const DWORD result =
            MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0 + 1) {
            HandleSentMessages();
            continue;
        }
        if (result == WAIT_FAILED)
            WaitForSingleObject(handle, INFINITE);
        return;
    }
}

// A job whose processes all end when its last handle closes.
unique_handle_t NewKillOnCloseJob() {
    unique_handle_t job(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof limits))
        job.reset();
    return job;
}

} // namespace

// --- Worker thread ----------------------------------------------------------------

struct TProcessThread::TImpl {
    unique_handle_t Thread;
    unsigned Id = 0;
};

TProcessThread::TProcessThread(TBaseProcess& process)
    : Process(process), FImpl(std::make_unique<TImpl>()) {
    // The C runtime's own thread start, so the runtime's per-thread data is set up.
    auto entry = [](void* parameter) -> unsigned {
        SetCurrentThreadName("kal-process");
        static_cast<TProcessThread*>(parameter)->Body();
        return 0;
    };
    const auto handle = _beginthreadex(nullptr, 0, entry, this, CREATE_SUSPENDED, &FImpl->Id);
    if (handle == 0)
        throw std::system_error(errno, std::generic_category(), "Cannot start a worker thread");
    FImpl->Thread.reset(reinterpret_cast<HANDLE>(handle));
    ResumeThread(FImpl->Thread.get());
}

TProcessThread::~TProcessThread() {
    if (!IsCurrentThread())
        WaitForSingleObject(FImpl->Thread.get(), INFINITE);
}

bool TProcessThread::IsCurrentThread() const {
    return FImpl->Id == GetCurrentThreadId();
}

void TProcessThread::WaitUntilFinished() {
    if (!IsCurrentThread())
        WaitHandlingSentMessages(FImpl->Thread.get());
}

// --- Child process ----------------------------------------------------------------

namespace {

// One of the child's two output streams. Anonymous pipes cannot be read with
// overlapped I/O, so this is a one-instance named pipe: our end is overlapped and
// kept out of the child, the child's end is inheritable and synchronous, as
// CreatePipe would make it.
struct TReader {
    // CreatePipe's default size; with none at all every write of the child would
    // wait for our read.
    static constexpr DWORD PipeBufferSize = 4096;

    unique_handle_t Read, Write;
    unique_handle_t Event;
    OVERLAPPED Overlapped{};
    bool Error = false; // the child's standard error, not its output
    bool Open = false;
    bool Pending = false;
    char Buffer[1025] = {};
    // The start of a character whose remaining bytes the next read brings.
    std::string Carry;

    // The text of the read just finished, as the program's code page has it. A
    // Cygwin rsync writes UTF-8, which is that code page too: it passes unchanged,
    // but a character the 1024-byte read cut waits for the rest of its bytes. On
    // a system without the UTF-8 code page the console's OEM characters are
    // converted to ANSI.
    std::string TakeText(std::size_t got) {
        std::string text = std::exchange(Carry, {}) + Buffer;
        std::memset(Buffer, 0, got + 1);
        if (GetACP() == CP_UTF8) {
            const std::size_t whole = Utf8Complete(text);
            Carry = text.substr(whole);
            text.resize(whole);
        } else {
            OemToCharA(text.data(), text.data());
        }
        return text;
    }

    void Create(SECURITY_ATTRIBUTES& inheritable) {
        static std::atomic<unsigned> serial{0};
        const std::string name = "\\\\.\\pipe\\Kalvaren.Process." +
                                 std::to_string(GetCurrentProcessId()) + "." +
                                 std::to_string(++serial);
        Read.reset(CreateNamedPipeA(
            name.c_str(),
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            PipeBufferSize, 0, nullptr));
        if (!Read)
            return;
        Write.reset(CreateFileA(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inheritable,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        Event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!Write || !Event) {
            Read.reset();
            Write.reset();
        }
    }

    // Starts the next read; false when the stream has ended.
    bool BeginRead() {
        Overlapped = OVERLAPPED{};
        Overlapped.hEvent = Event.get();
        if (ReadFile(Read.get(), Buffer, 1024, nullptr, &Overlapped) ||
            GetLastError() == ERROR_IO_PENDING) {
            Pending = true;
            return true;
        }
        return false;
    }

    // Collects a finished read: the byte count, or -1 when the stream has ended
    // (the broken pipe once the child has closed its end).
    long EndRead() {
        Pending = false;
        DWORD got = 0;
        if (!GetOverlappedResult(Read.get(), &Overlapped, &got, FALSE))
            return -1;
        return static_cast<long>(got);
    }

    // A pending read must be finished before its buffer and handles go.
    void Cancel() {
        if (!Pending)
            return;
        CancelIoEx(Read.get(), &Overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(Read.get(), &Overlapped, &ignored, TRUE);
        Pending = false;
    }

    ~TReader() { Cancel(); }
};

} // namespace

void TBaseProcess::RunChild() {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;

    const bool capture = FOutputHandle != nullptr;
    TReader readers[2];
    readers[1].Error = true;
    if (capture)
        for (auto& reader : readers)
            reader.Create(inheritable);

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.wShowWindow = SW_HIDE;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    if (capture) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdOutput = readers[0].Write.get();
        startup.hStdError = readers[1].Write.get();
    }

    // An empty command line asks for nothing to run.
    if (FCommandLine.find_first_not_of(" \t") == std::string::npos)
        return;
    // CreateProcessA may write into the command line.
    std::string commandLine = FCommandLine;
    PROCESS_INFORMATION info{};
    // Started suspended and put into a job first, so a stop ends whatever the child
    // starts too, even a process created in its first moments.
    if (!CreateProcessA(nullptr, commandLine.data(), &inheritable, &inheritable, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &info)) {
        ReportStartFailure(SystemErrorText(static_cast<int>(GetLastError())));
        return;
    }
    const TProcessInformation child(info);
    unique_handle_t job = NewKillOnCloseJob();
    // A job the system refuses (an old Windows inside a job of its own) leaves the
    // child alone in reach of a stop.
    if (job && !AssignProcessToJobObject(job.get(), child.Process.get()))
        job.reset();
    TChildGuard known(*this, reinterpret_cast<std::intptr_t>(child.Process.get()),
                      reinterpret_cast<std::intptr_t>(job.get()));
    ResumeThread(child.Thread.get());
    // The exit code is the verdict of the run; a stopped child has none worth telling.
    // `heedStop`: a plain stop request leaves the child running and ends the wait.
    const auto collectExit = [&](bool heedStop) {
        // A failing output ends the run at once, child or not.
        if (std::uncaught_exceptions() > 0)
            return;
        while (WaitForSingleObject(child.Process.get(), 100) == WAIT_TIMEOUT) {
            if (FAborted || (heedStop && Terminated() && !FStopping))
                return;
        }
        if (Terminated())
            return;
        DWORD code = 0;
        if (GetExitCodeProcess(child.Process.get(), &code)) {
            FChildExit.Known = true;
            FChildExit.Code = code;
            // Status codes of an unhandled exception, as Windows reports a crash.
            FChildExit.Abnormal = code >= 0xC0000000u;
        }
    };

    if (!capture) {
        // Nothing is read and the stop request is not looked at: the child runs to
        // its end, unless aborted.
        collectExit(false);
        return;
    }
    const scope_exit afterReading([&] { collectExit(true); });

    HANDLE events[2];
    for (auto& reader : readers) {
        // End of file comes once the child, and whatever inherited its handles, closed theirs.
        reader.Write.reset();
        reader.Open = static_cast<bool>(reader.Read);
    }

    // A stop request is looked at before every read; a read already waiting for the
    // child is not interrupted, and what it brings is still passed on.
    for (;;) {
        DWORD count = 0;
        TReader* waiting[2];
        for (auto& reader : readers) {
            if (reader.Open && !reader.Pending) {
                if (Terminated())
                    return;
                reader.Open = reader.BeginRead();
            }
            if (reader.Pending) {
                waiting[count] = &reader;
                events[count++] = reader.Event.get();
            }
        }
        if (count == 0)
            return;
        // A read that finished at once needs no wait (a round trip to the server on Wine).
        bool finished = false;
        for (DWORD i = 0; i < count; ++i)
            finished = finished || HasOverlappedIoCompleted(&waiting[i]->Overlapped);
        if (!finished) {
            // Abort ends the child, but something it started may keep the pipe open:
            // an abort is also looked at while waiting.
            const DWORD result = WaitForMultipleObjects(count, events, FALSE, 200);
            if (result == WAIT_TIMEOUT) {
                if (FAborted)
                    return;
                continue;
            }
            if (result >= WAIT_OBJECT_0 + count)
                return;
        }
        for (DWORD i = 0; i < count; ++i) {
            TReader& reader = *waiting[i];
            if (!HasOverlappedIoCompleted(&reader.Overlapped))
                continue;
            const long got = reader.EndRead();
            if (got < 0) {
                reader.Open = false;
                // Bytes of a character that never finished are passed on as they are.
                PassOn(reader.Error, reader.Carry.data());
                continue;
            }
            // A read of nothing is not the end of the stream: the child wrote zero bytes.
            std::string text = reader.TakeText(static_cast<std::size_t>(got));
            PassOn(reader.Error, text.data());
        }
    }
}

void TBaseProcess::KillChild() {
    if (FChildGroup)
        ::TerminateJobObject(reinterpret_cast<HANDLE>(FChildGroup), 1);
    if (FChild)
        ::TerminateProcess(reinterpret_cast<HANDLE>(FChild), 1);
}

void WaitHandlingSentMessages(const std::function<bool()>& done) {
    while (!done()) {
        if (MsgWaitForMultipleObjectsEx(0, nullptr, 5, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE) ==
            WAIT_OBJECT_0)
            HandleSentMessages();
    }
}

} // namespace kal
