#include "UStreams.h"
#include "UText.h"

#include <gtest/gtest.h>

namespace kal {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Streams, IntegersAndDoublesAreLittleEndianAtFixedWidths) {
    TMemoryStream s;
    WriteUInt8(s, 0xAB);
    WriteUInt16(s, 0x1234);
    WriteUInt32(s, 0x89ABCDEF);
    WriteInt32(s, -2);
    WriteDouble(s, 1.0);
    EXPECT_EQ(s.Bytes(), (Bytes{0xAB, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xFE, 0xFF, 0xFF, 0xFF,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}));
    s.SetPosition(0);
    EXPECT_EQ(ReadUInt8(s), 0xAB);
    EXPECT_EQ(ReadUInt16(s), 0x1234);
    EXPECT_EQ(ReadUInt32(s), 0x89ABCDEFu);
    EXPECT_EQ(ReadInt32(s), -2);
    EXPECT_EQ(ReadDouble(s), 1.0);
    EXPECT_THROW(ReadUInt8(s), EReadError);
}

TEST(Streams, StringsCarryA32BitLengthAndNoTerminator) {
    TMemoryStream s;
    WriteString(s, "");
    WriteString(s, std::string("a\0b", 3));
    EXPECT_EQ(s.Bytes(), (Bytes{0, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b'}));
    s.SetPosition(0);
    EXPECT_EQ(ReadString(s), "");
    EXPECT_EQ(ReadString(s), std::string("a\0b", 3));

    TMemoryStream big;
    const std::string long_(200000, 'x'); // spans several read chunks
    WriteString(big, long_);
    big.SetPosition(0);
    EXPECT_EQ(ReadString(big), long_);
}

TEST(Streams, StringsReadBackAsUtf8WhateverCodePageWroteThem) {
    const std::string utf8 = "\xD0\xA4\xD0\xBE\xD1\x82\xD0\xBE \xE5\x86\x99 \xF0\x9F\x93\xB7";
    TMemoryStream s;
    WriteString(s, utf8);
    // Windows-1252 bytes of older files: "Vid\xE9os", "\xC4rger", the euro sign, and
    // one that looks like a UTF-8 lead but is followed by no continuation.
    WriteString(s, "Vid\xE9os");
    WriteString(s, "\xC4rger \x80");
    WriteString(s, "caf\xC3");
    s.SetPosition(0);
    EXPECT_EQ(ReadString(s), utf8);
    EXPECT_EQ(ReadString(s), "Vid\xC3\xA9os");
    EXPECT_EQ(ReadString(s), "\xC3\x84rger \xE2\x82\xAC");
    EXPECT_EQ(ReadString(s), "caf\xC3\x83");
}

TEST(Text, CharactersAreNeverCutInTwo) {
    // Overlong, surrogate, beyond U+10FFFF, a stray continuation: not UTF-8.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80", "\xE5\x86"})
        EXPECT_FALSE(IsUtf8(bad)) << bad;
    EXPECT_TRUE(IsUtf8("\xF4\x8F\xBF\xBF"));
    // Behind runs of ASCII of every length, across the eight-byte steps.
    for (std::size_t run = 0; run <= 17; ++run) {
        const std::string ascii(run, 'a');
        EXPECT_TRUE(IsUtf8(ascii + "\xC3\xA9" + ascii)) << run;
        EXPECT_FALSE(IsUtf8(ascii + "\xE9" + ascii)) << run;
        EXPECT_FALSE(IsUtf8(ascii + "\xC3")) << run;
    }

    const std::string name = "ab\xE5\x86\x99\xF0\x9F\x93\xB7"; // 2 + 3 + 4 bytes
    EXPECT_EQ(Utf8Fit(name, 100), name.size());
    EXPECT_EQ(Utf8Fit(name, 4), 2u);
    EXPECT_EQ(Utf8Fit(name, 5), 5u);
    EXPECT_EQ(Utf8Fit(name, 8), 5u);

    // A chunk that ends inside a character keeps those bytes for the next one.
    EXPECT_EQ(Utf8Complete(name), name.size());
    EXPECT_EQ(Utf8Complete(name.substr(0, 8)), 5u);
    EXPECT_EQ(Utf8Complete(name.substr(0, 3)), 2u);
    EXPECT_EQ(Utf8Complete("x\x80"), 2u); // damaged, not unfinished: passed on

    EXPECT_EQ(Utf8ToLatin1("Vid\xC3\xA9os \xC3\xBF"), std::optional<std::string>("Vid\xE9os \xFF"));
    EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC"), std::nullopt); // the euro sign is not in Latin-1
    EXPECT_EQ(Utf8ToLatin1("\xE9"), std::nullopt);
}

TEST(Streams, DamagedStringLengthsFailWithoutHugeAllocations) {
    TMemoryStream negative(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    EXPECT_THROW(ReadString(negative), EReadError);
    TMemoryStream absurd(Bytes{0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'});
    EXPECT_THROW(ReadString(absurd), EReadError);
    TMemoryStream shortBy1(Bytes{3, 0, 0, 0, 'a', 'b'});
    EXPECT_THROW(ReadString(shortBy1), EReadError);
    TMemoryStream cutLength(Bytes{3, 0});
    EXPECT_THROW(ReadString(cutLength), EReadError);
}

TEST(Streams, CountsMustNotBeNegative) {
    TMemoryStream s(Bytes{5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(ReadCount(s, "profile"), 5);
    try {
        ReadCount(s, "profile");
        FAIL() << "negative count accepted";
    } catch (const EReadError& e) {
        EXPECT_NE(std::string(e.what()).find("profile"), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace kal
