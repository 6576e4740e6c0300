// Driver requests that plain termios cannot express. Kept free of <termios.h>, because the
// kernel's termios2 interface declares its own termios structures.
#pragma once

namespace vandrel::posix {

// Sets input and output speed to exactly `baudRate` bits per second, also rates without a B
// constant such as 14400 or 56000. False when the rate is not positive or the driver refuses it.
bool setExactBaudRate(int fd, int baudRate);
// The output speed the driver holds, in bits per second; -1 on failure.
int readExactBaudRate(int fd);
// Asks the driver to hand received bytes on at once instead of batching them (USB adapters
// otherwise hold them for up to 16 ms). Drivers without the setting are left alone.
void requestLowLatency(int fd);

} // namespace vandrel::posix
