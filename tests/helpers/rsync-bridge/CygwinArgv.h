// How a Cygwin-built program started by a Windows program turns its command line
// into arguments, so that the bridge hands rsync what a Windows rsync would get:
//
//   - blanks, tabs, CR and LF separate words outside quotes;
//   - both " and ' quote, up to the next unescaped copy of the same character, and
//     the other one is literal inside; a doubled quote inside is one literal quote;
//   - backslashes are literal except before a quote: 2n and a quote give n and the
//     quote delimits, 2n+1 give n and a literal quote;
//   - every word but the first: an unquoted leading @ names a file whose words take
//     its place (when it can be read); an unquoted * ? [ ] { } or leading ~ makes
//     the word a pattern (tilde and brace expansion, then matching against the
//     files), whose matches replace it; without a match it stays as written.
//
// Paths are Cygwin paths (/cygdrive/d/...), resolved by the ICygwinFiles given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kal::rsynctools {

class ICygwinFiles {
public:
    virtual ~ICygwinFiles() = default;
    // The names in a folder ("" is the current one), without "." and "..";
    // nothing when it cannot be listed.
    virtual std::optional<std::vector<std::string>> List(const std::string& folder) = 0;
    virtual bool Exists(const std::string& path) = 0;
    // A response file's contents; nothing when it cannot be read.
    virtual std::optional<std::string> Read(const std::string& path) = 0;
    // What a lone ~ stands for.
    virtual std::string Home() = 0;
};

// Response files may name response files, this many levels deep.
inline constexpr int CygwinResponseFileDepth = 10;

// `glob` false stands for CYGWIN=noglob.
std::vector<std::string> SplitCygwinCommandLine(std::string_view commandLine, ICygwinFiles& files,
                                                bool glob = true);

} // namespace kal::rsynctools
