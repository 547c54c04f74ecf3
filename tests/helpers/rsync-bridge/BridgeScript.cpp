#include "BridgeScript.h"

#include <charconv>
#include <sstream>

namespace kal::rsynctools {

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string BridgeScript(const std::string& folder, const std::string& rsync,
                         const std::vector<std::string>& args) {
    std::ostringstream s;
    s << "# Written by RSync.exe; removed when it ends.\n"
      // Wine hands a Unix child a Windows-style PATH.
      << "PATH=/usr/local/bin:/usr/bin:/bin; export PATH\n"
      // rsync prints non-ASCII names as escapes unless the locale says UTF-8.
      << "LC_CTYPE=C.UTF-8; export LC_CTYPE\n"
      << "dir=" << ShellQuote(folder)
      << "\n"
      // rsync's output names the user's files; Wine created the folder world-readable.
      << "umask 077; chmod 700 \"$dir\" 2>/dev/null\n"
      << "exec </dev/null >>\"$dir/" << BridgeOutFile << "\" 2>>\"$dir/" << BridgeErrFile << "\"\n"
      << "echo $$ >\"$dir/" << BridgePidFile << ".tmp\" && mv \"$dir/" << BridgePidFile
      << ".tmp\" \"$dir/" << BridgePidFile << "\"\n"
      << ShellQuote(rsync);
    for (const std::string& arg : args)
        s << ' ' << ShellQuote(arg);
    s << " &\n"
      << "rsync_pid=$!\n"
      << "(\n"
      << "    misses=0\n"
      << "    while kill -0 \"$rsync_pid\" 2>/dev/null; do\n"
      << "        if [ -e \"$dir/" << BridgeHeartbeatFile << "\" ]; then\n"
      << "            rm -f \"$dir/" << BridgeHeartbeatFile << "\"; misses=0\n"
      << "        else\n"
      << "            misses=$((misses + 1))\n"
      << "            if [ \"$misses\" -ge " << BridgeWatchdogMisses << " ]; then\n"
      << "                : >\"$dir/orphaned\"\n"
      << "                kill -TERM \"$rsync_pid\" 2>/dev/null\n"
      << "                exit 0\n"
      << "            fi\n"
      << "        fi\n"
      << "        sleep " << BridgeWatchdogSeconds << "\n"
      << "    done\n"
      << ") &\n"
      << "wait \"$rsync_pid\"\n"
      << "code=$?\n"
      // Nobody is left to read the result or to clean up.
      << "if [ -e \"$dir/orphaned\" ]; then rm -rf \"$dir\"; exit 0; fi\n"
      << "echo \"$code\" >\"$dir/" << BridgeCodeFile << ".tmp\" && mv \"$dir/" << BridgeCodeFile
      << ".tmp\" \"$dir/" << BridgeCodeFile << "\"\n";
    return s.str();
}

int ParseExitCode(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r'))
        --end;
    int code = -1;
    const char* first = text.data();
    const auto [ptr, ec] = std::from_chars(first, first + end, code);
    if (ec != std::errc() || ptr != first + end || end == 0 || code < 0 || code > 255)
        return -1;
    return code;
}

} // namespace kal::rsynctools
