// Port enumeration on Windows. wine's SetupAPI lists no COM ports, so the step from the three
// UTF-16 texts of a device to its record is checked directly; the rules that shape the record
// itself are the portable ones, tested with the other platforms.
#include "portinfo/PortInfo.h"
#include "portinfo/win/AnsiText.h"
#include "portinfo/win/WideDeviceTexts.h"

#include <gtest/gtest.h>

#include <string>

namespace vandrel {
namespace {

TEST(PortListWin, EnumerationRunsToItsEnd)
{
    std::vector<PortInfo> list;
    EXPECT_TRUE(collectPorts(list));
    EXPECT_EQ(listAvailablePorts().size(), list.size());
}

TEST(PortListWin, DeviceTextsBecomeTheRecord)
{
    // Of a list of hardware IDs only the first counts.
    const PortInfo usb = portInfoFromWideTexts(
        L"COM3", L"USB\\VID_1A86&PID_7523&REV_0264\0USB\\VID_1A86&PID_7523\0", L"USB-SERIAL CH340 (COM3)");
    EXPECT_STREQ(usb.portName, "COM3");
    EXPECT_STREQ(usb.hardwareId, "1a86:7523");
    EXPECT_STREQ(usb.description, "QinHeng CH340 serial converter");

    // A text that does not fit its field is left out; the others stay.
    const std::wstring tooLong(300, L'x');
    const PortInfo serial = portInfoFromWideTexts(L"COM8", L"ACPI\\PNP0501\0", tooLong.c_str());
    EXPECT_STREQ(serial.portName, "COM8");
    EXPECT_STREQ(serial.hardwareId, "ACPI\\PNP0501");
    EXPECT_STREQ(serial.description, "");
}

TEST(AnsiText, ConvertsWhatFitsTheFieldSize)
{
    EXPECT_EQ(win::ansiText(L"COM7").value(), "COM7");
    EXPECT_EQ(win::ansiText(std::wstring(255, L'a').c_str()).value().size(), 255u);
    EXPECT_FALSE(win::ansiText(std::wstring(256, L'a').c_str()).has_value());
}

} // namespace
} // namespace vandrel
