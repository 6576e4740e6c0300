#include "portinfo/UsbAdapterTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using vandrel::describeUsbDevice;
using vandrel::usbAdapterTable;

namespace {

std::string describe(const char* hardwareId)
{
    char text[256] = {};
    describeUsbDevice(hardwareId, text);
    return text;
}

} // namespace

TEST(UsbAdapterTable, HoldsEightVendorsAndThirtyFiveProducts)
{
    std::size_t vendors = 0;
    std::size_t products = 0;
    for (const auto& [key, text] : usbAdapterTable()) {
        const std::size_t length = std::strlen(key);
        ASSERT_TRUE(length == 4 || length == 9) << key;
        if (length == 4) {
            ++vendors;
        } else {
            ++products;
            // Every product row's vendor has a row of its own.
            EXPECT_NE(usbAdapterTable().find(std::string(key, 4).c_str()), nullptr) << key;
        }
        EXPECT_NE(text, nullptr);
    }
    EXPECT_EQ(usbAdapterTable().size(), 43u);
    EXPECT_EQ(vendors, 8u);
    EXPECT_EQ(products, 35u);
}

TEST(UsbAdapterTable, FindsRowsByContentNotByAddress)
{
    const std::string key = "0403:8372"; // a different buffer from the table's literal
    ASSERT_NE(usbAdapterTable().find(key.c_str()), nullptr);
    EXPECT_STREQ(usbAdapterTable().find(key.c_str()), "FTDI FT8U100AX Serial Port");
    EXPECT_STREQ(usbAdapterTable().find("058f:9720"), "Alcor USB-Serial Adapter");
    EXPECT_STREQ(usbAdapterTable().find("0557"), "ATEN");
    EXPECT_EQ(usbAdapterTable().find("0557:"), nullptr);
}

TEST(DescribeUsbDevice, ProductRowWins)
{
    EXPECT_EQ(describe("1a86:7523"), "QinHeng CH340 serial converter");
    EXPECT_EQ(describe("0403:8372"), "FTDI FT8U100AX Serial Port");
    EXPECT_EQ(describe("067b:aaa2"), "Prolific PL2303 Serial Adapter (IODATA USB-RSAQ3)");
    EXPECT_EQ(describe("0403:f070"), "FTDI Serial Converter 422/485 [Vardaan VEUSB422R3]");
}

TEST(DescribeUsbDevice, UnlistedProductOfListedVendorFallsBackToVendorSerial)
{
    EXPECT_EQ(describe("1a86:7524"), "QinHeng serial");
    EXPECT_EQ(describe("0403:6015"), "FTDI serial");
    EXPECT_EQ(describe("0483:ffff"), "STMicroelectronics serial");
}

TEST(DescribeUsbDevice, UppercaseDigitsMissTheProductRowButFindTheVendor)
{
    EXPECT_EQ(describe("1A86:7523"), "QinHeng serial");
}

TEST(DescribeUsbDevice, OnlyTheVendorNumberCountsInTheFallback)
{
    // A character other than a colon after the vendor digits does not matter.
    EXPECT_EQ(describe("1a86x7524"), "QinHeng serial");
    // Fewer than four digits are read as a number and zero-padded.
    EXPECT_EQ(describe("67b:12345"), "Prolific serial");
}

TEST(DescribeUsbDevice, UnknownVendorOrUnreadableNumberYieldsNothing)
{
    EXPECT_EQ(describe("1234:5678"), "");
    EXPECT_EQ(describe("xyzw:7523"), "");
    // No signs, blanks or "0x" prefixes: they would turn into a different vendor number.
    EXPECT_EQ(describe(" 67b:1234"), "");
    EXPECT_EQ(describe("-1a8:7523"), "");
}

TEST(DescribeUsbDevice, OnlyNineCharacterIdentifiersAreLookedUp)
{
    EXPECT_EQ(describe("1a86"), "");
    EXPECT_EQ(describe("1a86:752"), "");
    EXPECT_EQ(describe("1a86:75230"), "");
    EXPECT_EQ(describe("USB\\VID_1A86&PID_7523&REV_0264"), "");
    EXPECT_EQ(describe(""), "");
    EXPECT_EQ(describe(nullptr), "");
}

TEST(DescribeUsbDevice, LeavesTheBufferUntouchedWhenThereIsNoDescription)
{
    char text[256];
    std::memset(text, 0, sizeof text);
    text[1] = 'x'; // beyond the first byte: must survive
    EXPECT_FALSE(describeUsbDevice("1234:5678", text));
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');
    EXPECT_TRUE(describeUsbDevice("1a86:7523", text));
}
