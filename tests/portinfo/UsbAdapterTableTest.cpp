#include "portinfo/UsbAdapterTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using vandrel::describeUsbDevice;
using vandrel::usbAdapterTable;

TEST(UsbAdapterTable, HoldsEightVendorsAndThirtyFiveProductsOfListedVendors)
{
    std::size_t vendors = 0;
    for (const auto& [key, text] : usbAdapterTable()) {
        const std::size_t length = std::strlen(key);
        ASSERT_TRUE(length == 4 || length == 9) << key;
        ASSERT_NE(text, nullptr) << key;
        vendors += length == 4;
        if (length == 9) {
            EXPECT_NE(usbAdapterTable().find(std::string(key, 4).c_str()), nullptr) << key;
        }
    }
    EXPECT_EQ(usbAdapterTable().size(), 43u);
    EXPECT_EQ(vendors, 8u);
}

TEST(UsbAdapterTable, FindsRowsByContentNotByAddress)
{
    const std::string key = "0403:8372"; // a different buffer from the table's literal
    EXPECT_STREQ(usbAdapterTable().find(key.c_str()), "FTDI FT8U100AX Serial Port");
    EXPECT_STREQ(usbAdapterTable().find("0557"), "ATEN");
    EXPECT_EQ(usbAdapterTable().find("0557:"), nullptr);
}

TEST(DescribeUsbDevice, ProductRowThenVendorSerialThenNothing)
{
    const std::pair<const char*, std::string> cases[] = {
        {"1a86:7523", "QinHeng CH340 serial converter"},
        {"067b:aaa2", "Prolific PL2303 Serial Adapter (IODATA USB-RSAQ3)"},
        // An unlisted product of a listed vendor; uppercase digits miss the product row.
        {"1a86:7524", "QinHeng serial"},
        {"0483:ffff", "STMicroelectronics serial"},
        {"1A86:7523", "QinHeng serial"},
        // Only the vendor number counts in the fallback: any separator, fewer digits zero-padded.
        {"1a86x7524", "QinHeng serial"},
        {"67b:12345", "Prolific serial"},
        // Unknown vendor, or no plain hexadecimal number: signs, blanks and "0x" would turn into
        // a different vendor.
        {"1234:5678", ""},
        {"xyzw:7523", ""},
        {" 67b:1234", ""},
        {"-1a8:7523", ""},
        // Only nine-character identifiers are looked up.
        {"1a86", ""},
        {"1a86:752", ""},
        {"1a86:75230", ""},
        {"USB\\VID_1A86&PID_7523&REV_0264", ""},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& [id, expected] : cases) {
        char text[256] = {};
        EXPECT_EQ(describeUsbDevice(id, text), !expected.empty()) << (id ? id : "null");
        EXPECT_EQ(text, expected) << (id ? id : "null");
    }
}

TEST(DescribeUsbDevice, LeavesTheBufferUntouchedWhenThereIsNoDescription)
{
    char text[256] = {};
    text[1] = 'x'; // beyond the first byte: must survive
    EXPECT_FALSE(describeUsbDevice("1234:5678", text));
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');
}
