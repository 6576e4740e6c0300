// Line settings of the POSIX back end expressed as termios values. Kept apart from the device
// so that what a pseudo-terminal cannot keep (it forces 8 data bits and no parity) can still be
// checked.
#pragma once

#include "serialport/unix/DriverControls.h"

#include <termios.h>

namespace vandrel::posix {

struct LineSettings
{
    int baudRate = 9600;
    int parity = 0;      // Parity
    int dataBits = 8;    // DataBits
    int stopbits = 0;    // StopBits
    int flowControl = 0; // FlowControl
};

// True when the device accepts this data-bit and stop-bit pair: 1.5 stop bits only with 5 data
// bits, 2 stop bits only with 6 to 8.
bool isFrameAllowed(int dataBits, int stopbits);

// What a setter may write while the port is open, as on Windows: a new data-bit or stop-bit
// value reaches the device only when it pairs with the value stored for the other field and with
// the one the device has; otherwise only the stored field changes.
bool dataBitsMayChange(int dataBits, int storedStopbits, int appliedStopbits);
bool stopBitsMayChange(int stopbits, int storedDataBits, int appliedDataBits);

// Turns `t` into raw mode (no echo, no line discipline, no CR/LF translation, no signals,
// reads return what is there) with the character size, parity, stop bits and flow control of
// `settings`. A flow-control value other than none, hardware or software leaves hardware flow
// control as the device had it and turns software flow control off. The baud rate is not touched
// (see setExactBaudRate in DriverControls.h). Returns false, leaving `t` unchanged, for a frame
// the device cannot take.
bool makeRawTermios(const LineSettings& settings, struct termios& t);

// Character size, parity and stop-bit flags alone. False when the combination is refused.
bool applyFrameFlags(int parity, int dataBits, int stopbits, struct termios& t);
// One field of the frame alone, for a setter on an open device; every other flag stays as the
// device has it. False, leaving `t` unchanged, for a value outside the enumeration.
bool applyParityFlags(int parity, struct termios& t);
bool applyDataBitsFlags(int dataBits, struct termios& t);
bool applyStopBitsFlags(int stopbits, struct termios& t);
// False, leaving `t` unchanged, for a value other than none, hardware or software.
bool applyFlowControlFlags(int flowControl, struct termios& t);

// What a flow-control value asks of the RTS line, as the Windows driver drives it: off for none
// and software flow control (RTS_CONTROL_DISABLE), on for hardware flow control, where the driver
// takes it over as its receive queue fills and empties (RTS_CONTROL_HANDSHAKE); any other value
// leaves it alone. DTR is never touched.
enum class RtsLine
{
    Off,
    On,
    Unchanged
};
RtsLine rtsLineFor(int flowControl);

} // namespace vandrel::posix
