// Command lines are single strings as on Windows; the POSIX runner splits them the
// way a Microsoft C runtime program would see them.
#include "UProcess.h"

#include <gtest/gtest.h>

using kal::SplitCommandLine;
using Args = std::vector<std::string>;

TEST(SplitCommandLine, ArgumentRulesOfTheCRuntime) {
    // The rows of Microsoft's table, each behind a program name.
    EXPECT_EQ(SplitCommandLine(R"(p "a b c" d e)"), (Args{"p", "a b c", "d", "e"}));
    EXPECT_EQ(SplitCommandLine(R"(p "ab\"c" "\\" d)"), (Args{"p", R"(ab"c)", R"(\)", "d"}));
    EXPECT_EQ(SplitCommandLine(R"(p a\\\b d"e f"g h)"), (Args{"p", R"(a\\\b)", "de fg", "h"}));
    EXPECT_EQ(SplitCommandLine(R"(p a\\\"b c d)"), (Args{"p", R"(a\"b)", "c", "d"}));
    EXPECT_EQ(SplitCommandLine(R"(p a\\\\"b c" d e)"), (Args{"p", R"(a\\b c)", "d", "e"}));
    EXPECT_EQ(SplitCommandLine(R"(p a"b"" c d)"), (Args{"p", R"(ab")", "c", "d"}));
}

TEST(SplitCommandLine, ProgramNameKeepsBackslashesAndTakesQuotesAsGrouping) {
    EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\rsync\" -av)"),
              (Args{R"(C:\Program Files\rsync\)", "-av"}));
    EXPECT_EQ(SplitCommandLine(R"(Bin\RSync.exe "/cygdrive/c/My Documents/" x)"),
              (Args{R"(Bin\RSync.exe)", "/cygdrive/c/My Documents/", "x"}));
    EXPECT_EQ(SplitCommandLine(R"(C:\a"b c"d\e f)"), (Args{R"(C:\ab cd\e)", "f"}));
}

TEST(SplitCommandLine, BlanksEmptyArgumentsAndUnclosedQuotes) {
    EXPECT_TRUE(SplitCommandLine("").empty());
    EXPECT_TRUE(SplitCommandLine(" \t ").empty());
    EXPECT_EQ(SplitCommandLine("\tp\t a  \tb  "), (Args{"p", "a", "b"}));
    EXPECT_EQ(SplitCommandLine(R"(p "" x)"), (Args{"p", "", "x"}));
    EXPECT_EQ(SplitCommandLine(R"(p "open to the end)"), (Args{"p", "open to the end"}));
    EXPECT_EQ(SplitCommandLine(R"(p trailing\)"), (Args{"p", R"(trailing\)"}));
    EXPECT_EQ(SplitCommandLine(R"("" a)"), (Args{"", "a"}));
}
