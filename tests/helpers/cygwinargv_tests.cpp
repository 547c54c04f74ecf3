// The bridge's reading of its command line by the Cygwin runtime's rules, against
// a described file system; natively also against the C library's glob(3).
#include "CygwinArgv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#ifndef _WIN32
#include "test_support.h"

#include <glob.h>
#endif

using namespace kal::rsynctools;

namespace {

using Args = std::vector<std::string>;

// Folders end in "/"; every parent of a listed path exists as a folder.
class TDescribedFiles : public ICygwinFiles {
public:
    TDescribedFiles(std::set<std::string> paths, std::map<std::string, std::string> files)
        : FFiles(std::move(files)) {
        for (std::string path : paths) {
            if (path.back() == '/')
                path.pop_back();
            for (auto slash = path.find('/', 1); slash != std::string::npos;
                 slash = path.find('/', slash + 1))
                FFolders.insert(path.substr(0, slash));
            FPaths.insert(path);
        }
        for (const auto& file : FFiles)
            FPaths.insert(file.first);
    }
    std::optional<std::vector<std::string>> List(const std::string& folder) override {
        std::string base = folder;
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        if (!FFolders.contains(base) && !base.empty())
            return std::nullopt;
        std::vector<std::string> names;
        const std::string prefix = base.empty() ? "" : base + "/";
        for (const auto* set : {&FPaths, &FFolders})
            for (const auto& path : *set)
                if (path.starts_with(prefix) && path.size() > prefix.size() &&
                    path.find('/', prefix.size()) == std::string::npos)
                    names.push_back(path.substr(prefix.size()));
        return names;
    }
    bool Exists(const std::string& path) override {
        std::string p = path;
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        return FPaths.contains(p) || FFolders.contains(p);
    }
    std::optional<std::string> Read(const std::string& path) override {
        const auto found = FFiles.find(path);
        if (found == FFiles.end())
            return std::nullopt;
        return found->second;
    }
    std::string Home() override { return "/home/jo"; }

private:
    std::set<std::string> FPaths, FFolders;
    std::map<std::string, std::string> FFiles;
};

TDescribedFiles Disk() {
    return TDescribedFiles(
        {"/cygdrive/d/Photos2/", "/cygdrive/d/Photos[2008]/", "/cygdrive/d/Data1/",
         "/cygdrive/d/Data2/", "/cygdrive/d/Mum's/", "/cygdrive/d/.hidden", "/cygdrive/d/Café/",
         "/home/jo/"},
        {{"args.txt", "-v \"/cygdrive/d/a b\"\r\n@nested"}, {"nested", "--delete"}});
}

struct TRow {
    const char* CommandLine;
    Args Expected;
};

} // namespace

TEST(CygwinArgv, SplitsQuotesAndBackslashesByTheCygwinRules) {
    const TRow rows[] = {
        {R"(rsync -a /cygdrive/d/Work "store::M/")",
         {"rsync", "-a", "/cygdrive/d/Work", "store::M/"}},
        {"p \t a\r\nb  ", {"p", "a", "b"}},
        {R"(p "" x)", {"p", "", "x"}},
        // Single quotes quote too; the other quote is literal inside; doubled is one.
        {R"(p 'a b' "Jo's Files" 'say "hi"' 'Jo''s' "a""b")",
         {"p", "a b", "Jo's Files", "say \"hi\"", "Jo's", "a\"b"}},
        // An apostrophe in a bare path swallows the rest of the line.
        {R"(p /cygdrive/d/Mum's "store::M/")", {"p", R"(/cygdrive/d/Mums "store::M/")"}},
        {R"(p "/cygdrive/d/Mum's" "store::M/")", {"p", "/cygdrive/d/Mum's", "store::M/"}},
        // Backslashes count only before a quote.
        {R"(p "D:\Logs\" next)", {"p", R"(D:\Logs" next)"}},
        {R"(p "D:\Logs\\" next)", {"p", R"(D:\Logs\)", "next"}},
        {R"(p a\\b a\\\"b a\\"b c" d)", {"p", R"(a\\b)", R"(a\"b)", R"(a\b c)", "d"}},
        {R"(p "say \"hi\"")", {"p", R"(say "hi")"}},
    };
    auto disk = Disk();
    for (const auto& row : rows)
        EXPECT_EQ(SplitCygwinCommandLine(row.CommandLine, disk), row.Expected) << row.CommandLine;
}

TEST(CygwinArgv, UnquotedPatternsAreMatchedAgainstTheDisk) {
    const TRow rows[] = {
        {"p /cygdrive/d/Photos[2008]", {"p", "/cygdrive/d/Photos2"}},
        {R"(p "/cygdrive/d/Photos[2008]")", {"p", "/cygdrive/d/Photos[2008]"}},
        {R"(p /cygdrive/d/Photos\[2008\])", {"p", "/cygdrive/d/Photos[2008]"}},
        {"p /cygdrive/d/Data{1,2} x", {"p", "/cygdrive/d/Data1", "/cygdrive/d/Data2", "x"}},
        {"p /cygdrive/d/Data{1,3}/", {"p", "/cygdrive/d/Data1/"}},
        {R"(p "/cygdrive/d/Data{1,2}")", {"p", "/cygdrive/d/Data{1,2}"}},
        {"p /cygdrive/d/Photos{2,0}", {"p", "/cygdrive/d/Photos2"}},
        {"p /cygdrive/d/*",
         {"p", "/cygdrive/d/Café", "/cygdrive/d/Data1", "/cygdrive/d/Data2", "/cygdrive/d/Mum's",
          "/cygdrive/d/Photos2", "/cygdrive/d/Photos[2008]"}},
        {"p /cygdrive/d/.h* /cygdrive/d/Caf? /cygdrive/d/[!CDM]*",
         {"p", "/cygdrive/d/.hidden", "/cygdrive/d/Café", "/cygdrive/d/Photos2",
          "/cygdrive/d/Photos[2008]"}},
        {"p /cygdrive/?/D[a-b]ta[0-9]", {"p", "/cygdrive/d/Data1", "/cygdrive/d/Data2"}},
        // Without a match the word stays as written, quotes removed.
        {R"(p /cygdrive/d/None* "/cygdrive/d/x"[ {a,b} {})",
         {"p", "/cygdrive/d/None*", "/cygdrive/d/x[", "{a,b}", "{}"}},
        // A leading ~ is the home folder when unquoted.
        {R"(p ~ ~/ "~" ~/gone ~jo)", {"p", "/home/jo", "/home/jo/", "~", "~/gone", "~jo"}},
        // The program's own name is never expanded.
        {"/cygdrive/d/Data* x", {"/cygdrive/d/Data*", "x"}},
    };
    auto disk = Disk();
    for (const auto& row : rows)
        EXPECT_EQ(SplitCygwinCommandLine(row.CommandLine, disk), row.Expected) << row.CommandLine;
    EXPECT_EQ(SplitCygwinCommandLine("p /cygdrive/d/Data{1,2} ~", disk, false),
              (Args{"p", "/cygdrive/d/Data{1,2}", "~"}))
        << "CYGWIN=noglob";
}

TEST(CygwinArgv, AnUnquotedLeadingAtReadsAFileOfArguments) {
    const TRow rows[] = {
        {"p @args.txt tail", {"p", "-v", "/cygdrive/d/a b", "--delete", "tail"}},
        {R"(p "@args.txt" '@'args.txt /cygdrive/d/@args.txt)",
         {"p", "@args.txt", "@args.txt", "/cygdrive/d/@args.txt"}},
        {"p @missing", {"p", "@missing"}},
        {"@args.txt x", {"@args.txt", "x"}},
    };
    auto disk = Disk();
    for (const auto& row : rows)
        EXPECT_EQ(SplitCygwinCommandLine(row.CommandLine, disk), row.Expected) << row.CommandLine;

    // A file that names itself stops after a bounded number of readings.
    TDescribedFiles loop({}, {{"loop", "a @loop"}});
    const Args args = SplitCygwinCommandLine("p @loop", loop);
    EXPECT_EQ(args.size(), static_cast<std::size_t>(CygwinResponseFileDepth) + 2);
    EXPECT_EQ(args.back(), "@loop");
}

#ifndef _WIN32
namespace {

// The host's files through the interface, for the comparison with glob(3).
class THostFiles : public ICygwinFiles {
public:
    std::optional<std::vector<std::string>> List(const std::string& folder) override {
        std::error_code error;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            names.push_back(entry.path().filename().string());
        if (error)
            return std::nullopt;
        return names;
    }
    bool Exists(const std::string& path) override {
        std::error_code error;
        return std::filesystem::exists(path, error);
    }
    std::optional<std::string> Read(const std::string&) override { return std::nullopt; }
    std::string Home() override { return "/nonexistent-home"; }
};

} // namespace

TEST(CygwinArgv, MatchesAgreeWithTheCLibrarysGlob) {
    kal::test::TempDir temp("kal-glob");
    for (const char* name : {"Photos2", "Photos0", "Photos[2008]", "Data1", "Data2", "Data10",
                             ".hidden", "Café", "a b", "x-y", "sub/inner1", "sub/inner2"})
        kal::test::WriteTextFile(temp / name, name);
    const std::string root = temp.Path().string();
    THostFiles host;
    for (const char* tail : {"Photos[2008]", "Photos[!0]", "Data?", "Data*", "D*1", "*", ".h*",
                             "[a-c]*", "Data{1,2,3}", "{Data1,Photos*,sub/inner?}", "*/inner*",
                             "[]x]*", "x[-]y", "Data{1,{2,10}}", "sub/*2"}) {
        const std::string pattern = root + "/" + tail;
        Args ours = SplitCygwinCommandLine("p " + pattern, host);
        ours.erase(ours.begin());
        glob_t found{};
        Args theirs;
        if (glob(pattern.c_str(), GLOB_BRACE | GLOB_TILDE, nullptr, &found) == 0)
            theirs.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
        globfree(&found);
        if (theirs.empty())
            theirs = {pattern};
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        EXPECT_EQ(ours, theirs) << tail;
    }
}
#endif
