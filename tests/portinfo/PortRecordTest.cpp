#include "portinfo/PortRecord.h"

#include <gtest/gtest.h>

#include <string>

using vandrel::makePortInfo;
using vandrel::PortInfo;

TEST(PortRecord, IdentifierAndDescriptionFollowTheRules)
{
    struct Case
    {
        const char* hardwareId;
        const char* friendlyName;
        const char* expectedId;
        const char* expectedDescription;
    };
    const Case cases[] = {
        // USB adapters: the nine-character identifier, lowercase and zero-padded, and the table's
        // text when it has one, else the friendly name without its " (COMn)".
        {"USB\\VID_1A86&PID_7523&REV_0264", "USB-SERIAL CH340 (COM3)", "1a86:7523",
         "QinHeng CH340 serial converter"},
        {"USB\\VID_0403&PID_6015", "USB Serial Port (COM4)", "0403:6015", "FTDI serial"},
        {"USB\\VID_10C4&PID_EA60&REV_0100", "CP210x UART Bridge (COM5)", "10c4:ea60", "CP210x UART Bridge"},
        {"USB\\VID_3eb&PID_4b", "", "03eb:004b", "Atmel serial"},
        // Everything else keeps its identifier: other buses, a lowercase prefix, no vendor and
        // product, a product tag not right after four digits, signs and "0x" prefixes.
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "USB Serial Port (COM7)", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
         "USB Serial Port"},
        {"usb\\VID_1A86&PID_7523", "USB-SERIAL CH340 (COM9)", "usb\\VID_1A86&PID_7523", "USB-SERIAL CH340"},
        {"USB\\Class_02", "", "USB\\Class_02", ""},
        {"USB\\VID_1A86", "", "USB\\VID_1A86", ""},
        {"USB\\VID_1A86F&PID_7523", "", "USB\\VID_1A86F&PID_7523", ""},
        {"USB\\VID_1A86&PID_", "", "USB\\VID_1A86&PID_", ""},
        {"USB\\VID_-001&PID_0001", "", "USB\\VID_-001&PID_0001", ""},
        {"USB\\VID_0x1A&PID_0001", "", "USB\\VID_0x1A&PID_0001", ""},
        // The friendly name ends before its first " (COM", if it has one.
        {"ACPI\\PNP0501", "Port (COM1) bridge (COM10)", "ACPI\\PNP0501", "Port"},
        {"ACPI\\PNP0501", "Port (com1)", "ACPI\\PNP0501", "Port (com1)"},
        {"acpi:PNP0501:", "Serial port", "acpi:PNP0501:", "Serial port"},
    };
    for (const Case& c : cases) {
        const PortInfo info = makePortInfo("COM3", c.hardwareId, c.friendlyName);
        EXPECT_STREQ(info.portName, "COM3");
        EXPECT_STREQ(info.hardwareId, c.expectedId) << c.hardwareId;
        EXPECT_STREQ(info.description, c.expectedDescription) << c.hardwareId;
    }
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
    const PortInfo kept = makePortInfo(fits.c_str(), fits.c_str(), fits.c_str());
    EXPECT_EQ(kept.portName, fits);
    EXPECT_EQ(kept.hardwareId, fits);
    EXPECT_EQ(kept.description, fits);

    const std::string tooLong(256, 'b');
    const PortInfo dropped = makePortInfo(tooLong.c_str(), tooLong.c_str(), tooLong.c_str());
    EXPECT_STREQ(dropped.portName, "");
    EXPECT_STREQ(dropped.hardwareId, "");
    EXPECT_STREQ(dropped.description, "");

    // Nothing of a text that did not fit is used, so no identifier is made up from its start.
    const std::string usbId = "USB\\VID_1A86&PID_7523&" + std::string(240, 'x');
    const PortInfo overlongUsb = makePortInfo("COM3", usbId.c_str(), "USB-SERIAL CH340 (COM3)");
    EXPECT_STREQ(overlongUsb.hardwareId, "");
    EXPECT_STREQ(overlongUsb.description, "USB-SERIAL CH340");
}
