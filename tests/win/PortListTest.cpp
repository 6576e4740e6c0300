// Port enumeration on Windows. wine's SetupAPI lists no COM ports, so the step from the three
// UTF-16 texts of a device to its record is checked directly.
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

TEST(PortListWin, UsbAdapterGetsItsTableNameAndShortIdentifier)
{
    const PortInfo port = portInfoFromWideTexts(
        L"COM3", L"USB\\VID_1A86&PID_7523&REV_0264\0USB\\VID_1A86&PID_7523\0", L"USB-SERIAL CH340 (COM3)");
    EXPECT_STREQ(port.portName, "COM3");
    EXPECT_STREQ(port.hardwareId, "1a86:7523");
    EXPECT_STREQ(port.description, "QinHeng CH340 serial converter");
}

TEST(PortListWin, OtherDevicesKeepTheirIdentifierAndShortenedFriendlyName)
{
    const PortInfo port = portInfoFromWideTexts(L"COM5", L"FTDIBUS\\COMPORT&VID_0403&PID_6001\0",
                                                L"USB Serial Port (COM5) (COM5)");
    EXPECT_STREQ(port.hardwareId, "FTDIBUS\\COMPORT&VID_0403&PID_6001");
    EXPECT_STREQ(port.description, "USB Serial Port");
}

TEST(PortListWin, MissingTextsLeaveEmptyFields)
{
    const PortInfo port = portInfoFromWideTexts(L"", L"", L"");
    EXPECT_STREQ(port.portName, "");
    EXPECT_STREQ(port.hardwareId, "");
    EXPECT_STREQ(port.description, "");
}

TEST(PortListWin, TextThatDoesNotFitTheFieldIsLeftOut)
{
    const std::wstring longName(300, L'x');
    const PortInfo port = portInfoFromWideTexts(L"COM8", L"ACPI\\PNP0501\0", longName.c_str());
    EXPECT_STREQ(port.portName, "COM8");
    EXPECT_STREQ(port.hardwareId, "ACPI\\PNP0501");
    EXPECT_STREQ(port.description, "");
}

TEST(AnsiText, ConvertsWhatFitsTheFieldSize)
{
    EXPECT_EQ(win::ansiText(L"COM7").value(), "COM7");
    EXPECT_EQ(win::ansiText(std::wstring(255, L'a').c_str()).value().size(), 255u);
    EXPECT_FALSE(win::ansiText(std::wstring(256, L'a').c_str()).has_value());
}

} // namespace
} // namespace vandrel
