// Turns the three texts a platform reports for a serial device into its PortInfo record. Every
// platform back end obtains the texts its own way and leaves the rules to this code.
#pragma once

#include "portinfo/PortInfo.h"

namespace vandrel {

// `portName`, `hardwareId` (the first of the device's hardware identifiers) and `friendlyName`
// are NUL-terminated 8-bit texts, or null when the platform could not provide them.
// - A text that needs more than 256 bytes with its terminator leaves its field empty.
// - A hardware identifier "USB\VID_vvvv&PID_pppp..." becomes "vvvv:pppp" (lowercase); anything
//   else, a lowercase "usb\" prefix included, is kept as given.
// - The description is the adapter table's text for the identifier when it has one, otherwise
//   the friendly name ended before its first " (COM".
PortInfo makePortInfo(const char* portName, const char* hardwareId, const char* friendlyName);

} // namespace vandrel
