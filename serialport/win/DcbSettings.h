// The device control block changes of the Win32 back end, apart from the device so that the flag
// masks can be checked without one.
#pragma once

#include <windows.h>

namespace vandrel::win {

// The DCB's flag word (fBinary ... fAbortOnError and the reserved bits above them) as one value.
DWORD dcbFlags(const DCB& dcb);
void setDcbFlags(DCB& dcb, DWORD flags);

// What open() writes over the device's current DCB: rate, frame, binary mode on, no XON/XOFF,
// no NUL stripping, no abort on error; every other flag as the device had it.
void applyOpenSettings(DCB& dcb, int baudRate, int parity, int dataBits, int stopbits);

// Flow-control flags for FlowControlNone, -Hardware (CTS/RTS handshake) or -Software (XON/XOFF).
// False, leaving `dcb` unchanged, for any other value.
bool applyFlowControl(DCB& dcb, int flowControl);

// Parity value and the parity-check flag (off for ParityNone, on for the others; an unknown
// value is written without touching the flag).
void applyParity(DCB& dcb, int parity);

// Whether a data-bit and stop-bit pair may be written: 1.5 stop bits only with 5 data bits,
// 2 stop bits only with 6 to 8.
bool isFrameAllowed(int dataBits, int stopbits);

} // namespace vandrel::win
