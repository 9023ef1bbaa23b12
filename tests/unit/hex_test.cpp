// Hex text of certificates and signatures, and the accepted hash sizes.
#include "hex.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Hex, ToHexWritesUpperCasePairs)
{
    EXPECT_EQ(toHex({0x00, 0xAB, 0x0F}), "00AB0F");
    EXPECT_EQ(toHex({}), "");
    ByteVec all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    const std::string text = toHex(all);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(504), "FCFDFEFF");
    EXPECT_EQ(fromHex(text), all);
}

TEST(Hex, FromHexReadsEitherCase)
{
    EXPECT_EQ(fromHex("00ab0F"), (ByteVec{0x00, 0xAB, 0x0F}));
    EXPECT_EQ(fromHex(""), ByteVec{});
}

TEST(Hex, OddLengthIsRefused)
{
    try {
        fromHex("abc");
        FAIL() << "odd length decoded";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Hex is incorrect");
    }
}

TEST(Hex, PairsThatDoNotScanRepeatThePreviousByte)
{
    struct Case {
        const char *text;
        ByteVec bytes;
    } cases[] = {
        {"zz12", {0x00, 0x12}},
        {"12zz", {0x12, 0x12}},
        {"zzzz", {0x00, 0x00}},
        {"1z", {0x01}},        // one digit scans
        {"AB1zzz", {0xAB, 0x01, 0x01}},
        {" 1", {0x01}},        // leading blank skipped as the scan does
    };
    for (const Case &c : cases) EXPECT_EQ(fromHex(c.text), c.bytes) << c.text;
}

TEST(Hex, DecodingStopsAtTheFirstNul)
{
    const std::string text("12\0\0" "34", 6);
    EXPECT_EQ(fromHex(text), (ByteVec{0x12, 0x12, 0x12}));
}

TEST(Hex, HashSizeRule)
{
    for (std::size_t bytes = 0; bytes <= 80; ++bytes) {
        const bool accepted = bytes == 20 || bytes == 28 || bytes == 32 || bytes == 36
                              || bytes == 48 || bytes == 64;
        EXPECT_EQ(isSupportedHashSize(bytes), accepted) << bytes;
        EXPECT_EQ(isSupportedHashHexLength(bytes * 2), accepted) << bytes;
        // A final odd digit is ignored by the size rule.
        EXPECT_EQ(isSupportedHashHexLength(bytes * 2 + 1), accepted) << bytes;
    }
}
