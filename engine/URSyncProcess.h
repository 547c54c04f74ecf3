// The runner of one transfer: the rsync items of one RunTransfer, run one after
// the other on a worker thread, with progress lines of its own in the terminal
// and an HTML report by mail when the run has completed.
#pragma once

#include "UProcess.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kal {

class TRSync;

// The meaning of an rsync exit code, from rsync's documented table.
std::string RSyncExitMeaning(std::uint32_t code);
// The line a child's exit adds to the terminal: empty for success; `warning`
// is set for an exit that lost nothing stored (source files vanished).
std::string RSyncExitLine(const TChildExit& exit, bool& warning);

// The rsync location as a command line begins with it: an existing program with a
// blank in its path is quoted; anything else is left as typed, arguments included.
std::string RSyncProgramArgument(const std::string& location);

// How a run ended, once it has.
enum class TRunOutcome {
    Completed, // every item ran, with or without errors
    NotRun,    // the destination could not be prepared or rsync could not start
    Stopped    // Ctrl+Break, the end of the program or of the session
};

class TRSyncProcess : public TSerialProcess {
public:
    // The rsync location and the mail settings are taken from `sync` here, once:
    // a run uses the settings it was started with, and a settings edit on the
    // window thread never races the worker reading them.
    TRSyncProcess(TRSync* sync, std::string options, IProcessOutput* output, int autoCloseDelay);
    ~TRSyncProcess() override;

    const std::string& Options() const { return FOptions; }
    // Lines of error text about items the run leaves out, written as it starts;
    // they make its report an error report. Set before the run starts.
    void SetRefusals(std::vector<std::string> lines) { FRefusals = std::move(lines); }
    TRSync* Sync() const { return FSync; }

    // The full command line of item `index`: rsync location, blank, options, item.
    std::string CommandLineOf(int index) const;

    // The report of a finished run, as it is sent: subject and HTML body. It goes out
    // when recipient, sender and server are all set, after "Transfer Complete.";
    // a stopped run sends none. A report that cannot be delivered becomes one line
    // of error text naming the server and the reason, and the run ends as usual;
    // that line sets ErrorSeen only after the subject was decided.
    std::string ReportSubject() const;
    std::string ReportBody() const;

    // What the run is of (a profile's name), for the notice of a failed run.
    void SetLabel(std::string label) { FLabel = std::move(label); }
    const std::string& Label() const { return FLabel; }
    // A run that cannot reach its destination: it shows `reason` as its error,
    // runs no item and reports Error. Set before the run starts.
    void SetPreparationFailure(std::string reason) { FPreparationFailure = std::move(reason); }
    // Whether an Error report may go out; retries of one failing occurrence say no.
    void SetErrorReportAllowed(bool value) { FErrorReportAllowed = value; }
    bool ErrorReported() const { return FErrorReported.load(); }
    TRunOutcome Outcome() const;

    // Bound on the whole mail exchange of a report (connect and every reply), in
    // milliseconds. A silent or unreachable server delays the end of a run by at
    // most this long. Process-wide; tests shorten it.
    static std::atomic<int> ReportTimeoutMs;

protected:
    void Execute() override;
    void GetCommandLine(std::string& text) override;
    void DoStart() override;
    void DoProcessStart() override;
    void DoProcessEnd() override;
    void DoComplete() override;
    void DoFinish() override;

private:
    void SendReport();
    void WriteRefusals();

    TRSync* FSync;
    std::string FOptions;
    std::string FRSyncLocation;
    std::string FEmailRecipient;
    std::string FEmailFrom;
    std::string FEmailServer;
    std::string FEmailPassword;
    std::string FLabel;
    std::string FPreparationFailure;
    std::function<void(const std::string& label, const std::string& error)> FOnFailed;
    bool FErrorReportAllowed = true;
    std::atomic<bool> FCompleted{false};
    std::atomic<bool> FErrorReported{false};
    std::vector<std::string> FRefusals;
};

} // namespace kal
