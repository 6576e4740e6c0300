// Settings enumerations and error codes shared by every part of the serial-port library.
#pragma once

// Parity, stop-bit and flow-control values equal the Win32 values of the same meaning.
enum Parity
{
    ParityNone = 0,
    ParityOdd = 1,
    ParityEven = 2,
    ParityMark = 3,
    ParitySpace = 4
};

enum DataBits
{
    DataBits5 = 5,
    DataBits6 = 6,
    DataBits7 = 7,
    DataBits8 = 8
};

enum StopBits
{
    StopBitsOne = 0,
    StopBitsOneAndHalf = 1,
    StopBitsTwo = 2
};

enum FlowControl
{
    FlowControlNone = 0,
    FlowControlHardware = 1, // CTS/RTS handshake
    FlowControlSoftware = 2  // XON/XOFF
};

enum IoMode
{
    IoModeAsynchronous = 0, // receive thread, ring buffer, notifications (the default)
    IoModeSynchronous = 1   // blocking device calls, no thread; every non-zero value behaves as 1
};

// Stored in a port's last-error field by failing operations; read with getLastError().
enum ErrorCode
{
    ErrorUnknown = -1,
    ErrorSuccess = 0,
    ErrorGeneral = 1,
    ErrorNotImplemented = 2,
    ErrorInternal = 3,
    ErrorNullPointer = 4,
    ErrorInvalidParam = 5,
    ErrorAccessDenied = 6,
    ErrorOutOfMemory = 7,
    ErrorTimeout = 8,
    ErrorNotInit = 9,
    ErrorInitFailed = 10,
    ErrorAlreadyExist = 11,
    ErrorNotExist = 12,
    ErrorAlreadyOpen = 13,
    ErrorNotOpen = 14,
    ErrorOpenFailed = 15,
    ErrorCloseFailed = 16,
    ErrorWriteFailed = 17,
    ErrorReadFailed = 18
};

// The fixed text of an error code ("undefined error code" for values outside -1..18).
// The returned text is static.
const char* errorCodeMessage(int code);

// Length of the fixed text fields (port names) including the terminator.
constexpr unsigned int kPortNameSize = 256;
