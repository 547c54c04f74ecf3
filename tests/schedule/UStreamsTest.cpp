#include "UStreams.h"

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
