// What the port list and the port-change monitor need to know about one udev tty device.
#pragma once

#include "portinfo/PortInfo.h"

struct udev_device;

namespace vandrel {

// True for a tty that is a serial port with hardware behind it: it has a device node, it is not
// a virtual terminal, console or pseudo-terminal, and, for UARTs driven by the serial core, the
// UART exists (the kernel keeps placeholder ttyS ports of type "unknown" that cannot be used).
// Reads sysfs; only for old kernels that do not show the UART type there does it ask the port
// itself, opening it without waiting and closing it at once.
bool isRealSerialPort(udev_device* tty);

// The record of a port that isRealSerialPort() accepted: the device node as the port name, the
// USB vendor and product (or the platform's identifier of the hardware) and a description.
PortInfo describeSerialDevice(udev_device* tty);

} // namespace vandrel
