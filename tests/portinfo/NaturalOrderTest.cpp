#include "portinfo/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using vandrel::naturalLess;

TEST(NaturalOrder, GroupsByPrefixShortestFirstAndCountsNumbersUp)
{
    std::vector<std::string> names = {"/dev/ttyUSB10", "/dev/ttyS1",   "/dev/ttyUSB1",
                                      "/dev/ttyACM0",  "/dev/ttyS",    "/dev/ttyUSB0",
                                      "/dev/ttyS0",    "/dev/ttyAMA0", "/dev/ttyUSB2"};
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return naturalLess(a.c_str(), b.c_str()); });
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS", "/dev/ttyS0",
                                               "/dev/ttyS1", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2",
                                               "/dev/ttyUSB10"}));
    EXPECT_TRUE(naturalLess("COM9", "COM10"));
}

TEST(NaturalOrder, IsAStrictOrder)
{
    EXPECT_FALSE(naturalLess("COM3", "COM3"));
    EXPECT_FALSE(naturalLess("/dev/ttyS0", "/dev/ttyS"));
    // Leading zeros give the same value; byte order still tells the names apart, one way only.
    EXPECT_NE(naturalLess("ttyS01", "ttyS1"), naturalLess("ttyS1", "ttyS01"));
    EXPECT_TRUE(naturalLess("ttyS01", "ttyS2"));
}

TEST(NaturalOrder, NumbersLongerThanAnyIntegerCompareByValue)
{
    EXPECT_TRUE(naturalLess("port99999999999999999999999", "port100000000000000000000000"));
    EXPECT_FALSE(naturalLess("a5b10", "a5b9x"));
}
