#include "portinfo/PortRecord.h"

#include "portinfo/HexNumber.h"
#include "portinfo/UsbAdapterTable.h"

#include <cstdio>
#include <cstring>

namespace vandrel {
namespace {

// Copies `text` whole into a 256-byte field, or leaves the field empty when it does not fit:
// a cut name or identifier would look valid and be wrong.
void copyWhenItFits(char (&field)[256], const char* text)
{
    field[0] = '\0';
    if (text != nullptr && std::strlen(text) < sizeof field)
        std::memcpy(field, text, std::strlen(text) + 1);
}

bool startsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "USB\VID_1A86&PID_7523&REV_0264" -> "1a86:7523". Other texts are left alone.
void rewriteUsbHardwareId(char (&hardwareId)[256])
{
    const char* const usbPrefix = "USB\\VID_";
    const char* const productTag = "&PID_";
    if (!startsWith(hardwareId, usbPrefix)) // case-sensitive: "usb\" is not rewritten
        return;

    const char* cursor = hardwareId + std::strlen(usbPrefix);
    unsigned int vendor = 0;
    const std::size_t vendorDigits = readHexNumber(cursor, 4, vendor);
    if (vendorDigits == 0)
        return;
    cursor += vendorDigits;
    if (!startsWith(cursor, productTag))
        return;
    cursor += std::strlen(productTag);
    unsigned int product = 0;
    if (readHexNumber(cursor, 4, product) == 0)
        return;

    std::snprintf(hardwareId, 10, "%04x:%04x", vendor, product);
}

void cutBeforeComSuffix(char (&description)[256])
{
    if (char* suffix = std::strstr(description, " (COM"))
        *suffix = '\0';
}

} // namespace

PortInfo makePortInfo(const char* portName, const char* hardwareId, const char* friendlyName)
{
    PortInfo info{};
    copyWhenItFits(info.portName, portName);
    copyWhenItFits(info.description, friendlyName);
    copyWhenItFits(info.hardwareId, hardwareId);

    rewriteUsbHardwareId(info.hardwareId);

    char tableText[256] = {};
    describeUsbDevice(info.hardwareId, tableText);
    if (tableText[0] != '\0')
        std::snprintf(info.description, sizeof info.description, "%s", tableText);
    else
        cutBeforeComSuffix(info.description);
    return info;
}

} // namespace vandrel
