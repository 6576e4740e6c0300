#include "portinfo/linux/SerialDevice.h"

#include "portinfo/PortRecord.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vandrel {
namespace {

bool startsWith(const char* text, const char* prefix)
{
    return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Asks a serial-core port for its UART type. O_NONBLOCK keeps open() from waiting for carrier,
// O_NOCTTY keeps the port from becoming our controlling terminal. A port we may not open is
// given the benefit of the doubt: it exists, we just cannot look inside.
bool uartExists(const char* deviceNode)
{
    const int fd = ::open(deviceNode, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM || errno == EBUSY;
    serial_struct serial{};
    const bool answered = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    ::close(fd);
    return !answered || serial.type != PORT_UNKNOWN;
}

bool isSerialCorePort(udev_device* tty)
{
    // Attributes that only the serial core gives its ttys.
    return udev_device_get_sysattr_value(tty, "uartclk") != nullptr;
}

std::string usbHardwareId(udev_device* tty)
{
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb == nullptr)
        return {};
    const char* vendor = udev_device_get_sysattr_value(usb, "idVendor");
    const char* product = udev_device_get_sysattr_value(usb, "idProduct");
    if (vendor == nullptr || product == nullptr)
        return {};
    // The same form Windows reports, so that the shared rules make "vvvv:pppp" of it.
    return std::string("USB\\VID_") + vendor + "&PID_" + product;
}

// The nearest ancestor's module alias ("acpi:PNP0501:", "platform:serial8250", "pci:v...") is
// the closest thing Linux has to a hardware identifier of a device outside USB.
std::string platformHardwareId(udev_device* tty)
{
    for (udev_device* device = udev_device_get_parent(tty); device != nullptr;
         device = udev_device_get_parent(device)) {
        if (const char* alias = udev_device_get_sysattr_value(device, "modalias"))
            return alias;
        if (const char* alias = udev_device_get_sysattr_value(device, "firmware_node/modalias"))
            return alias;
    }
    if (const char* path = udev_device_get_property_value(tty, "ID_PATH"))
        return path;
    return {};
}

std::string friendlyName(udev_device* tty)
{
    // Filled in by udevd from the hardware database, when udevd runs.
    if (const char* model = udev_device_get_property_value(tty, "ID_MODEL_FROM_DATABASE"))
        return model;
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
        if (const char* product = udev_device_get_sysattr_value(usb, "product"))
            return product;
    }
    if (isSerialCorePort(tty))
        return "Serial port";
    return {};
}

} // namespace

bool isRealSerialPort(udev_device* tty)
{
    const char* deviceNode = udev_device_get_devnode(tty);
    if (deviceNode == nullptr)
        return false;
    // Virtual terminals, the console, ptmx and legacy ptys have no hardware device behind them.
    if (startsWith(udev_device_get_devpath(tty), "/devices/virtual/"))
        return false;
    // Decided on the tty's own attributes, not on its parent's bus: recent kernels put 8250
    // ports under a "serial-base" device, whatever bus the UART sits on.
    const char* type = udev_device_get_sysattr_value(tty, "type");
    if (isSerialCorePort(tty) && type != nullptr)
        return std::strtol(type, nullptr, 10) != PORT_UNKNOWN;
    if (startsWith(udev_device_get_sysname(tty), "ttyS"))
        return uartExists(deviceNode);
    return true;
}

PortInfo describeSerialDevice(udev_device* tty)
{
    std::string hardwareId = usbHardwareId(tty);
    if (hardwareId.empty())
        hardwareId = platformHardwareId(tty);
    const std::string name = friendlyName(tty);
    return makePortInfo(udev_device_get_devnode(tty), hardwareId.c_str(), name.c_str());
}

} // namespace vandrel
