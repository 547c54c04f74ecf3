// The shell side of the Wine rsync bridge (RSync.exe).
//
// Under Wine a Linux child gets no usable pipes, so the bridge starts /bin/sh on a
// script written by BridgeScript(). The script runs rsync with its output and
// error appended to two files in the bridge's private folder, which the bridge
// relays as they grow, and finally writes rsync's exit code. A watchdog in the
// script stops rsync (and removes the folder) once the bridge stops touching its
// heartbeat file, so a bridge that was killed leaves no transfer running.
#pragma once

#include <string>
#include <vector>

namespace kal::rsynctools {

// File names inside the bridge's folder.
inline constexpr const char* BridgeOutFile = "out";
inline constexpr const char* BridgeErrFile = "err";
inline constexpr const char* BridgeCodeFile = "code";
inline constexpr const char* BridgePidFile = "pid";
inline constexpr const char* BridgeHeartbeatFile = "heartbeat";
inline constexpr const char* BridgeScriptFile = "run.sh";

// The watchdog removes the heartbeat file every check; the bridge recreates it.
// rsync is stopped after this many checks in a row found it missing.
inline constexpr double BridgeWatchdogSeconds = 0.5;
inline constexpr int BridgeWatchdogMisses = 4;

// One shell word that stands for exactly `text`.
std::string ShellQuote(const std::string& text);

// `folder` and `rsync` are host (Unix) paths; `args` go to rsync unchanged.
std::string BridgeScript(const std::string& folder, const std::string& rsync,
                         const std::vector<std::string>& args);

// The exit code the script recorded, or -1 when the text is not one.
int ParseExitCode(const std::string& text);

} // namespace kal::rsynctools
