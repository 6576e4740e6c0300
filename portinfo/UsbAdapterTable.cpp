#include "portinfo/UsbAdapterTable.h"

#include "portinfo/HexNumber.h"

#include <cstdio>

namespace vandrel {

UsbAdapterTable::UsbAdapterTable()
{
    insert("1a86", "QinHeng");
    insert("1a86:5512", "QinHeng CH341 EPP/I2C adapter");
    insert("1a86:5523", "QinHeng CH341 serial converter");
    insert("1a86:7522", "QinHeng CH340 serial converter");
    insert("1a86:7523", "QinHeng CH340 serial converter");
    insert("067b", "Prolific");
    insert("067b:0000", "Prolific PL2301 USB-USB Bridge");
    insert("067b:0001", "Prolific PL2302 USB-USB Bridge");
    insert("067b:0307", "Prolific Motorola Serial Adapter");
    insert("067b:04bb", "Prolific PL2303 Serial (IODATA USB-RSAQ2)");
    insert("067b:2303", "Prolific PL2303 Serial Port");
    insert("067b:23a3", "Prolific ATEN Serial Bridge");
    insert("067b:aaa2", "Prolific PL2303 Serial Adapter (IODATA USB-RSAQ3)");
    insert("067b:aaa3", "Prolific PL2303x Serial Adapter");
    insert("03eb", "Atmel");
    insert("03eb:204b", "Atmel LUFA USB to Serial Adapter Project");
    insert("03eb:2068", "Atmel LUFA Virtual Serial/Mass Storage Demo");
    insert("0403", "FTDI");
    insert("0403:0232", "FTDI Serial Converter");
    insert("0403:6001", "FTDI FT232 Serial (UART) IC");
    insert("0403:6007", "FTDI Serial Converter");
    insert("0403:6008", "FTDI Serial Converter");
    insert("0403:6009", "FTDI Serial Converter");
    insert("0403:8372", "FTDI FT8U100AX Serial Port");
    insert("0403:ed71", "FTDI HAMEG HO870 Serial Port");
    insert("0403:ed72", "FTDI HAMEG HO720 Serial Port");
    insert("0403:ed73", "FTDI HAMEG HO730 Serial Port");
    insert("0403:ed74", "FTDI HAMEG HO820 Serial Port");
    insert("0403:f070", "FTDI Serial Converter 422/485 [Vardaan VEUSB422R3]");
    insert("0403:f3c0", "FTDI 4N-GALAXY Serial Converter");
    insert("0483", "STMicroelectronics");
    insert("0483:0adb", "STMicroelectronics Android Debug Bridge (ADB) device");
    insert("0483:0afb", "STMicroelectronics Android Fastboot device");
    insert("0483:5740", "STMicroelectronics Virtual COM Port");
    insert("0483:7270", "STMicroelectronics ST Micro Serial Bridge");
    insert("04b3", "IBM");
    insert("04b3:4482", "IBM Serial Converter");
    insert("0557", "ATEN");
    insert("0557:2008", "ATEN UC-232A Serial Port [pl2303]");
    insert("0557:2011", "ATEN UC-2324 4xSerial Ports [mos7840]");
    insert("0557:7820", "ATEN UC-2322 2xSerial Ports [mos7820]");
    insert("058f", "Alcor");
    insert("058f:9720", "Alcor USB-Serial Adapter");
}

void UsbAdapterTable::insert(const char* key, const char* text)
{
    rows.emplace(key, text);
}

const char* UsbAdapterTable::find(const char* key) const
{
    const auto row = rows.find(key);
    return row == rows.end() ? nullptr : row->second;
}

const UsbAdapterTable& usbAdapterTable()
{
    static const UsbAdapterTable table;
    return table;
}

namespace {
// Builds the table during static initialisation, before main() and before any thread runs,
// while the function-local static above keeps callers from earlier initialisers safe too.
[[maybe_unused]] const UsbAdapterTable& tableBuiltAtStart = usbAdapterTable();
} // namespace

bool describeUsbDevice(const char* hardwareId, char* text)
{
    const std::size_t identifierLength = 9; // "vvvv:pppp"
    if (hardwareId == nullptr || std::strlen(hardwareId) != identifierLength)
        return false;

    const UsbAdapterTable& table = usbAdapterTable();
    if (const char* product = table.find(hardwareId)) {
        std::snprintf(text, 256, "%s", product);
        return true;
    }

    // Only the vendor number counts here; whatever follows its digits does not matter.
    unsigned int vendor = 0;
    if (readHexNumber(hardwareId, 4, vendor) == 0)
        return false;
    char vendorKey[5];
    std::snprintf(vendorKey, sizeof vendorKey, "%04x", vendor);
    const char* vendorText = table.find(vendorKey);
    if (vendorText == nullptr)
        return false;
    std::snprintf(text, 256, "%s serial", vendorText);
    return true;
}

} // namespace vandrel
