#include "Utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

using testing::ElementsAre;

namespace {

TEST(Utils, TrimRemovesOnlyBlanksAtBothEnds)
{
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"  a b  ", "a b"}, {"\ta b\t", "\ta b\t"}, {"", ""}, {"     ", ""},
        {"x", "x"}, {" \tx\n ", "\tx\n"}, {std::string(20, ' '), ""},
    };
    for (Case& c : cases) {
        std::string text = c.in;
        Utils::trim(text);
        EXPECT_EQ(text, c.out) << "[" << c.in << "]";
    }
}

TEST(Utils, SwapAltBytesSwapsInPlaceAndCopiesOut)
{
    unsigned char bytes[] = {0x42, 0x41, 0x44, 0x43, 0x7A};
    std::string out = "old";
    Utils::swapAltBytesInCharArray(out, bytes, 4);
    EXPECT_EQ(out, "ABCD");
    EXPECT_THAT(bytes, ElementsAre(0x41, 0x42, 0x43, 0x44, 0x7A));

    Utils::swapAltBytesInCharArray(out, bytes, -2);
    EXPECT_EQ(out, "ABCD") << "a negative length does nothing";
    Utils::swapAltBytesInCharArray(out, bytes, 0);
    EXPECT_EQ(out, "");

    unsigned char odd[] = {'b', 'a', 'c', 'Z'};
    Utils::swapAltBytesInCharArray(out, odd, 3);
    EXPECT_EQ(out, "abc") << "the unpaired last byte stays";
    EXPECT_EQ(odd[3], 'Z') << "nothing at or past the length is touched";
}

TEST(Utils, ChecksumsMakeTheByteSumZero)
{
    unsigned char abc[] = {'a', 'b', 'c', 0xDA};
    EXPECT_EQ(Utils::calculateChecksum(abc, 3), 0xDA);
    EXPECT_TRUE(Utils::checksum(abc, 4));
    EXPECT_FALSE(Utils::checksum(abc, 3));
    EXPECT_TRUE(Utils::checksum(abc, 0));
    EXPECT_EQ(Utils::calculateChecksum(abc, 0), 0);
    unsigned char wraps[] = {0x80, 0x80};
    EXPECT_EQ(Utils::calculateChecksum(wraps, 2), 0);
}

TEST(Utils, ToBcdByteClampsAbove99)
{
    struct Case {
        unsigned char in;
        unsigned char out;
    } cases[] = {{0, 0x00}, {9, 0x09}, {10, 0x10}, {42, 0x42}, {99, 0x99}, {100, 0x63}, {255, 0x63}};
    for (const Case& c : cases)
        EXPECT_EQ(Utils::toBcdByte(c.in), c.out) << int(c.in);
}

} // namespace
