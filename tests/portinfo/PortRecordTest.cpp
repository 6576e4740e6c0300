#include "portinfo/PortRecord.h"

#include <gtest/gtest.h>

#include <string>

using vandrel::makePortInfo;
using vandrel::PortInfo;

TEST(PortRecord, KnownUsbAdapterGetsNineCharacterIdAndTableText)
{
    const PortInfo info = makePortInfo("COM3", "USB\\VID_1A86&PID_7523&REV_0264", "USB-SERIAL CH340 (COM3)");
    EXPECT_STREQ(info.portName, "COM3");
    EXPECT_STREQ(info.hardwareId, "1a86:7523");
    EXPECT_STREQ(info.description, "QinHeng CH340 serial converter");
}

TEST(PortRecord, ListedVendorWithUnlistedProductIsDescribedByVendor)
{
    const PortInfo info = makePortInfo("COM4", "USB\\VID_0403&PID_6015", "USB Serial Port (COM4)");
    EXPECT_STREQ(info.hardwareId, "0403:6015");
    EXPECT_STREQ(info.description, "FTDI serial");
}

TEST(PortRecord, UnlistedUsbVendorKeepsFriendlyNameWithoutComSuffix)
{
    const PortInfo info =
        makePortInfo("COM5", "USB\\VID_10C4&PID_EA60&REV_0100", "CP210x UART Bridge (COM5)");
    EXPECT_STREQ(info.hardwareId, "10c4:ea60");
    EXPECT_STREQ(info.description, "CP210x UART Bridge");
}

TEST(PortRecord, ShortNumbersAreZeroPadded)
{
    const PortInfo info = makePortInfo("COM6", "USB\\VID_3eb&PID_4b", "");
    EXPECT_STREQ(info.hardwareId, "03eb:004b");
}

TEST(PortRecord, NonUsbBusKeepsItsIdAndGetsShortenedFriendlyName)
{
    const PortInfo info =
        makePortInfo("COM7", "FTDIBUS\\COMPORT&VID_0403&PID_6001", "USB Serial Port (COM7)");
    EXPECT_STREQ(info.hardwareId, "FTDIBUS\\COMPORT&VID_0403&PID_6001");
    EXPECT_STREQ(info.description, "USB Serial Port");
}

TEST(PortRecord, UsbIdWithoutVendorAndProductIsKept)
{
    EXPECT_STREQ(makePortInfo("COM8", "USB\\Class_02", "").hardwareId, "USB\\Class_02");
    // A vendor without a product, and a product tag that does not follow the four digits.
    EXPECT_STREQ(makePortInfo("COM8", "USB\\VID_1A86", "").hardwareId, "USB\\VID_1A86");
    EXPECT_STREQ(makePortInfo("COM8", "USB\\VID_1A86F&PID_7523", "").hardwareId, "USB\\VID_1A86F&PID_7523");
    EXPECT_STREQ(makePortInfo("COM8", "USB\\VID_1A86&PID_", "").hardwareId, "USB\\VID_1A86&PID_");
}

TEST(PortRecord, UsbPrefixIsCaseSensitive)
{
    const PortInfo info = makePortInfo("COM9", "usb\\VID_1A86&PID_7523", "USB-SERIAL CH340 (COM9)");
    EXPECT_STREQ(info.hardwareId, "usb\\VID_1A86&PID_7523");
    EXPECT_STREQ(info.description, "USB-SERIAL CH340");
}

TEST(PortRecord, SignsAndHexPrefixesAreNotVendorNumbers)
{
    // Read by scanf's %x these would become ffffffff or 0 and yield a wrong identifier.
    EXPECT_STREQ(makePortInfo("COM1", "USB\\VID_-001&PID_0001", "").hardwareId, "USB\\VID_-001&PID_0001");
    EXPECT_STREQ(makePortInfo("COM1", "USB\\VID_0x1A&PID_0001", "").hardwareId, "USB\\VID_0x1A&PID_0001");
}

TEST(PortRecord, FriendlyNameIsCutAtTheFirstComSuffix)
{
    const PortInfo info = makePortInfo("COM10", "ACPI\\PNP0501", "Port (COM1) bridge (COM10)");
    EXPECT_STREQ(info.description, "Port");
}

TEST(PortRecord, FriendlyNameWithoutComSuffixStaysWhole)
{
    EXPECT_STREQ(makePortInfo("/dev/ttyS0", "acpi:PNP0501:", "Serial port").description, "Serial port");
    EXPECT_STREQ(makePortInfo("COM1", "ACPI\\PNP0501", "Port (com1)").description, "Port (com1)");
}

TEST(PortRecord, MissingTextsLeaveTheirFieldsEmpty)
{
    const PortInfo info = makePortInfo(nullptr, nullptr, nullptr);
    EXPECT_STREQ(info.portName, "");
    EXPECT_STREQ(info.hardwareId, "");
    EXPECT_STREQ(info.description, "");
    // A device without a port name is still a record.
    EXPECT_STREQ(makePortInfo("", "USB\\VID_1A86&PID_7523", "").description,
                 "QinHeng CH340 serial converter");
}

TEST(PortRecord, TextsAreKeptWholeUpTo255BytesAndDroppedBeyond)
{
    const std::string fits(255, 'a');
    const std::string tooLong(256, 'b');
    const PortInfo kept = makePortInfo(fits.c_str(), fits.c_str(), fits.c_str());
    EXPECT_EQ(std::string(kept.portName), fits);
    EXPECT_EQ(std::string(kept.hardwareId), fits);
    EXPECT_EQ(std::string(kept.description), fits);

    const PortInfo dropped = makePortInfo(tooLong.c_str(), tooLong.c_str(), tooLong.c_str());
    EXPECT_STREQ(dropped.portName, "");
    EXPECT_STREQ(dropped.hardwareId, "");
    EXPECT_STREQ(dropped.description, "");
}

TEST(PortRecord, OverlongUsbIdIsDroppedNotRewritten)
{
    // Nothing of a text that did not fit is used, so no identifier is made up from its start.
    const std::string id = "USB\\VID_1A86&PID_7523&" + std::string(240, 'x');
    const PortInfo info = makePortInfo("COM3", id.c_str(), "USB-SERIAL CH340 (COM3)");
    EXPECT_STREQ(info.hardwareId, "");
    EXPECT_STREQ(info.description, "USB-SERIAL CH340");
}
