#include "URSyncProcess.h"

#include "URSync.h"
#include "USmtp.h"

#include <exception>

namespace kal {

std::atomic<int> TRSyncProcess::ReportTimeoutMs{30000};

namespace {

// The path of an existing program with a blank is quoted: unquoted, Windows would
// first try to run "C:\Program.exe" for "C:\Program Files\...". Anything else is
// left as typed, arguments after the program included.
std::string ProgramArgument(const std::string& location) {
    if (location.find(' ') == std::string::npos || !FileExists(location))
        return location;
    return '"' + location + '"';
}

} // namespace

TRSyncProcess::TRSyncProcess(TRSync* sync, std::string options, IProcessOutput* output,
                             int autoCloseDelay)
    : FSync(sync), FOptions(std::move(options)) {
    SetOutputHandle(output);
    SetAutoCloseDelay(autoCloseDelay);
    if (sync) {
        FRSyncLocation = ProgramArgument(sync->RSyncLocation());
        FEmailRecipient = sync->EmailRecipient();
        FEmailFrom = sync->EmailFrom();
        FEmailServer = sync->EmailServer();
        FEmailPassword = sync->EmailPassword();
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

void TRSyncProcess::DoStart() {
    WriteOutput("Transfer Intialising. Press Ctrl+Break to Terminate transfer.");
    WriteRefusals();
    TSerialProcess::DoStart();
}

void TRSyncProcess::DoFinish() {
    // A run whose every item was left out has no start to say so at.
    if (Items().empty())
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
    WriteOutput("\n");
    TSerialProcess::DoProcessEnd();
}

void TRSyncProcess::DoComplete() {
    WriteOutput("Transfer Complete.");
    if (!FEmailRecipient.empty() && !FEmailFrom.empty() && !FEmailServer.empty())
        SendReport();
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
    addLine("<B>Params:</B> " + FOptions);
    addLine("<B>Files/Folders:</B>");
    for (const auto& item : Items())
        addLine(item);
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
        WriteError("Mail to " + FEmailServer + " failed: " + e.what());
    } catch (...) {
        WriteError("Mail to " + FEmailServer + " failed.");
    }
}

} // namespace kal
