#include "portinfo/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using vandrel::naturalLess;

namespace {

std::vector<std::string> sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return naturalLess(a.c_str(), b.c_str()); });
    return names;
}

} // namespace

TEST(NaturalOrder, NumbersCountUpWithinAPrefix)
{
    EXPECT_EQ(sorted({"/dev/ttyUSB10", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB0"}),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
    EXPECT_EQ(sorted({"COM10", "COM9", "COM1"}), (std::vector<std::string>{"COM1", "COM9", "COM10"}));
}

TEST(NaturalOrder, NamesGroupByPrefix)
{
    EXPECT_EQ(
        sorted({"/dev/ttyUSB1", "/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyAMA0"}),
        (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0",
                                  "/dev/ttyUSB1"}));
}

TEST(NaturalOrder, ShorterPrefixComesFirst)
{
    EXPECT_TRUE(naturalLess("/dev/ttyS", "/dev/ttyS0"));
    EXPECT_FALSE(naturalLess("/dev/ttyS0", "/dev/ttyS"));
}

TEST(NaturalOrder, IsAStrictOrder)
{
    EXPECT_FALSE(naturalLess("COM3", "COM3"));
    // Leading zeros give the same value; byte order still tells the names apart, one way only.
    EXPECT_NE(naturalLess("ttyS01", "ttyS1"), naturalLess("ttyS1", "ttyS01"));
    EXPECT_TRUE(naturalLess("ttyS01", "ttyS2"));
}

TEST(NaturalOrder, NumbersLongerThanAnyIntegerCompareByValue)
{
    EXPECT_TRUE(naturalLess("port99999999999999999999999", "port100000000000000000000000"));
    EXPECT_FALSE(naturalLess("a5b10", "a5b9x"));
}
