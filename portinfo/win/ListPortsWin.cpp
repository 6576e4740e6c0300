// Port enumeration on Windows: the present devices of the serial-port interface class, through
// SetupAPI and each device's hardware registry key.
#include "portinfo/PortInfo.h"
#include "portinfo/PortRecord.h"
#include "portinfo/win/AnsiText.h"
#include "portinfo/win/WideDeviceTexts.h"

#include <windows.h>
// after windows.h, which it needs
#include <setupapi.h>

namespace vandrel {

namespace {

// GUID_DEVINTERFACE_COMPORT
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

void readPortName(HDEVINFO devices, SP_DEVINFO_DATA& device, wchar_t (&name)[256])
{
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return;
    // 255 bytes: the last unit of the zeroed buffer always stays a terminator.
    DWORD size = 255;
    RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
}

void readProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property, wchar_t (&text)[256])
{
    // A property longer than the buffer is not read at all and leaves it zeroed.
    SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                      sizeof text - sizeof text[0], nullptr);
}

} // namespace

PortInfo portInfoFromWideTexts(const wchar_t* portName, const wchar_t* hardwareIds,
                               const wchar_t* friendlyName)
{
    // The hardware-ID property is a list of strings; its first string is the one used.
    const auto name = win::ansiText(portName);
    const auto hardwareId = win::ansiText(hardwareIds);
    const auto friendly = win::ansiText(friendlyName);
    return makePortInfo(name ? name->c_str() : nullptr, hardwareId ? hardwareId->c_str() : nullptr,
                        friendly ? friendly->c_str() : nullptr);
}

bool collectPorts(std::vector<PortInfo>& list)
{
    const HDEVINFO devices =
        SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        return false;

    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        wchar_t portName[256] = {};
        wchar_t hardwareIds[256] = {}; // 512 bytes
        wchar_t friendlyName[256] = {};
        readPortName(devices, device, portName);
        readProperty(devices, device, SPDRP_HARDWAREID, hardwareIds);
        readProperty(devices, device, SPDRP_FRIENDLYNAME, friendlyName);
        list.push_back(portInfoFromWideTexts(portName, hardwareIds, friendlyName));
    }
    const bool complete = GetLastError() == ERROR_NO_MORE_ITEMS;
    SetupDiDestroyDeviceInfoList(devices);
    return complete;
}

} // namespace vandrel
