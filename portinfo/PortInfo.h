// The serial ports present on the machine, with a description and a hardware identifier for each.
//
// Texts are NUL-terminated 8-bit texts in the local code page, at most 255 bytes each. A text
// that the platform reports longer than that is left empty rather than cut.
#pragma once

#include <vector>

namespace vandrel {

struct PortInfo
{
    // The name to open the port with: COM3 on Windows, the device node (/dev/ttyUSB0) on Linux.
    char portName[256];
    // The known-adapter text for USB devices listed in the adapter table; otherwise the device's
    // own name without a trailing " (COMn)"; empty when there is none.
    char description[256];
    // USB devices: vendor and product as "vvvv:pppp" (lowercase hexadecimal, 9 characters).
    // Other devices: the platform's identifier for the hardware behind the port.
    char hardwareId[256];
};

// The ports present now. An empty list stands both for a machine without serial ports and for an
// enumeration that could not start; see collectPorts() to tell them apart.
std::vector<PortInfo> listAvailablePorts();

// Appends one record per port found to `list`. Returns true when the enumeration ran to its end,
// false when it could not start or stopped early; records appended before a stop stay in `list`.
bool collectPorts(std::vector<PortInfo>& list);

} // namespace vandrel
