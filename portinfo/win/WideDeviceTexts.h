// The Windows step of port enumeration that needs no device: from the three UTF-16 texts SetupAPI
// and the registry report for a device to its PortInfo record.
#pragma once

#include "portinfo/PortInfo.h"

namespace vandrel {

// `hardwareIds` may be a list of strings (each terminated, the list ended by an empty one); only
// its first string counts. A text whose ANSI form would not fit 256 bytes counts as missing.
PortInfo portInfoFromWideTexts(const wchar_t* portName, const wchar_t* hardwareIds,
                               const wchar_t* friendlyName);

} // namespace vandrel
