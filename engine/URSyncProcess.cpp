#include "URSyncProcess.h"

#include "URSync.h"
#include "USmtp.h"

#include <cstdio>
#include <exception>

namespace kal {

std::atomic<int> TRSyncProcess::ReportTimeoutMs{30000};

std::string RSyncProgramArgument(const std::string& location) {
    // Unquoted, Windows would first try to run "C:\Program.exe" for
    // "C:\Program Files\...".
    if (location.find(' ') == std::string::npos || !FileExists(location))
        return location;
    return '"' + location + '"';
}

std::string RSyncExitMeaning(std::uint32_t code) {
    switch (code) {
    case 1:
        return "Syntax or usage error";
    case 2:
        return "Protocol incompatibility";
    case 3:
        return "Errors selecting input/output files, dirs";
    case 4:
        return "Requested action not supported";
    case 5:
        return "Error starting client-server protocol";
    case 6:
        return "Daemon unable to append to log-file";
    case 10:
        return "Error in socket I/O";
    case 11:
        return "Error in file I/O";
    case 12:
        return "Error in rsync protocol data stream";
    case 13:
        return "Errors with program diagnostics";
    case 14:
        return "Error in IPC code";
    case 20:
        return "Received SIGUSR1 or SIGINT";
    case 21:
        return "Some error returned by waitpid()";
    case 22:
        return "Error allocating core memory buffers";
    case 23:
        return "Partial transfer due to error";
    case 24:
        return "Partial transfer due to vanished source files";
    case 25:
        return "The --max-delete limit stopped deletions";
    case 30:
        return "Timeout in data send/receive";
    case 35:
        return "Timeout waiting for daemon connection";
    default:
        // What a shell reports for a program ended by a signal.
        if (code > 128 && code < 128 + 65)
            return "Ended by signal " + std::to_string(code - 128);
        return "Unknown error";
    }
}

std::string RSyncExitLine(const TChildExit& exit, bool& warning) {
    warning = false;
    if (!exit.Known || (exit.Code == 0 && !exit.Abnormal))
        return {};
    if (exit.Abnormal) {
        char code[16];
        std::snprintf(code, sizeof code, exit.Code > 0xFFFF ? "0x%08X" : "%u", exit.Code);
        return std::string("rsync ended abnormally: ") +
               (exit.Code > 0xFFFF ? "status " : "signal ") + code;
    }
    warning = exit.Code == 24;
    return "rsync ended with exit code " + std::to_string(exit.Code) + ": " +
           RSyncExitMeaning(exit.Code);
}

TRSyncProcess::TRSyncProcess(TRSync* sync, std::string options, IProcessOutput* output,
                             int autoCloseDelay)
    : FSync(sync), FOptions(std::move(options)) {
    SetOutputHandle(output);
    SetAutoCloseDelay(autoCloseDelay);
    if (sync) {
        FRSyncLocation = RSyncProgramArgument(sync->RSyncLocation());
        FEmailRecipient = sync->EmailRecipient();
        FEmailFrom = sync->EmailFrom();
        FEmailServer = sync->EmailServer();
        FEmailPassword = sync->EmailPassword();
        FOnFailed = sync->OnRunFailed;
    }
}

TRSyncProcess::~TRSyncProcess() {
    // The worker calls our overrides; it must be gone before they are.
    FreeThread();
}

std::string TRSyncProcess::CommandLineOf(int index) const {
    const auto& items = Items();
    if (index < 0 || index >= static_cast<int>(items.size()))
        return {};
    return FRSyncLocation + " " + FOptions + items[static_cast<std::size_t>(index)];
}

void TRSyncProcess::GetCommandLine(std::string& text) {
    text = CommandLineOf(ItemIndex());
}

TRunOutcome TRSyncProcess::Outcome() const {
    if (!FCompleted)
        return TRunOutcome::Stopped;
    return FPreparationFailure.empty() && !StartFailed() ? TRunOutcome::Completed
                                                         : TRunOutcome::NotRun;
}

void TRSyncProcess::Execute() {
    if (FPreparationFailure.empty()) {
        TSerialProcess::Execute();
        return;
    }
    DoStart();
    WriteError(FPreparationFailure);
    DoFinish();
}

void TRSyncProcess::DoStart() {
    WriteOutput("Transfer Intialising. Press Ctrl+Break to Terminate transfer.");
    WriteRefusals();
    TSerialProcess::DoStart();
}

void TRSyncProcess::DoFinish() {
    // A run whose every item was left out has no start to say so at.
    if (Items().empty() && FPreparationFailure.empty())
        WriteRefusals();
    TSerialProcess::DoFinish();
}

void TRSyncProcess::WriteRefusals() {
    for (const std::string& line : FRefusals)
        WriteError(line);
}

void TRSyncProcess::DoProcessStart() {
    const auto& items = Items();
    const auto index = static_cast<std::size_t>(ItemIndex());
    const std::string item = index < items.size() ? items[index] : std::string();
    WriteOutput("Transfering: " + item + " (" + FormatDDMMYYhhmm(Now()) + ")");
    TSerialProcess::DoProcessStart();
}

void TRSyncProcess::DoProcessEnd() {
    // Error text alone cannot tell a crashed or killed rsync from a clean one.
    bool warning = false;
    const std::string exitLine = RSyncExitLine(ChildExit(), warning);
    if (warning)
        WriteOutput("Warning: " + exitLine);
    else if (!exitLine.empty())
        WriteError(exitLine);
    WriteOutput("\n");
    TSerialProcess::DoProcessEnd();
}

void TRSyncProcess::DoComplete() {
    FCompleted = true;
    if (FPreparationFailure.empty())
        WriteOutput("Transfer Complete.");
    const bool failed = ErrorSeen();
    if (!FEmailRecipient.empty() && !FEmailFrom.empty() && !FEmailServer.empty() &&
        (!failed || FErrorReportAllowed)) {
        SendReport();
        FErrorReported = failed;
    }
    if (failed && FOnFailed)
        FOnFailed(FLabel, FirstError());
    TSerialProcess::DoComplete();
}

std::string TRSyncProcess::ReportSubject() const {
    return std::string(ErrorSeen() ? "Kalvaren - Error (" : "Kalvaren - Success (") +
           FormatShortDate(Now()) + ")";
}

std::string TRSyncProcess::ReportBody() const {
    std::string body;
    const auto addLine = [&body](std::string_view line) {
        body.append(line);
        body.append("<BR>\r\n");
    };
    // Options and items are the user's text (formats, names, paths), never markup.
    addLine("<B>Params:</B> " + HtmlEscape(FOptions));
    addLine("<B>Files/Folders:</B>");
    for (const auto& item : Items())
        addLine(HtmlEscape(item));
    addLine("");
    addLine("This is an automated responce. Please do not reply to this email.");
    return body;
}

void TRSyncProcess::SendReport() {
    // The verdict is taken before anything below can touch ErrorSeen: a failed
    // report is shown as error text, which would otherwise colour the subject.
    TMailMessage message;
    message.From = FEmailFrom;
    message.To = FEmailRecipient;
    message.Subject = ReportSubject();
    message.HtmlBody = ReportBody();
    try {
        TSmtpServer server = ParseSmtpAddress(FEmailServer);
        server.User = FEmailFrom;
        server.Password = FEmailPassword;
        server.TimeoutMs = ReportTimeoutMs.load();
        SendMail(server, message);
    } catch (const ESmtpError& e) {
        // The run itself went fine; say why no report arrives and end normally.
        WriteError(e.what());
    } catch (const std::exception& e) {
        // Not the server field: a password typed into it must not reach the screen.
        WriteError(std::string("Mail failed: ") + e.what());
    } catch (...) {
        WriteError("Mail failed.");
    }
}

} // namespace kal
