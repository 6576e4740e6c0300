#include "serialport/win/DcbSettings.h"

#include "serialport/SerialPortGlobal.h"

#include <cstddef>
#include <cstring>

namespace vandrel::win {

namespace {

// The flag bit-fields fill the 32-bit word that follows BaudRate.
constexpr std::size_t kFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kFlagsOffset + sizeof(DWORD), "DCB flag word layout");

// Low 16 bits of the flag word.
constexpr DWORD kFlagBinary = 0x0001;
constexpr DWORD kFlagParity = 0x0002;
constexpr DWORD kKeptAtOpen = 0xB4FE;        // all but fBinary, fOutX, fInX, fNull, fAbortOnError
constexpr DWORD kKeptByFlowControl = 0xCCFB; // all but fOutxCtsFlow, fOutX, fInX, fRtsControl
constexpr DWORD kHardwareFlow = 0x2004;      // fOutxCtsFlow, fRtsControl = RTS_CONTROL_HANDSHAKE
constexpr DWORD kSoftwareFlow = 0x0300;      // fOutX, fInX
constexpr DWORD kHighBits = 0xFFFF0000;      // fDummy2: never changed

DWORD keepLowBits(DWORD flags, DWORD mask)
{
    return (flags & kHighBits) | (flags & mask);
}

} // namespace

DWORD dcbFlags(const DCB& dcb)
{
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + kFlagsOffset, sizeof flags);
    return flags;
}

void setDcbFlags(DCB& dcb, DWORD flags)
{
    std::memcpy(reinterpret_cast<char*>(&dcb) + kFlagsOffset, &flags, sizeof flags);
}

void applyOpenSettings(DCB& dcb, int baudRate, int parity, int dataBits, int stopbits)
{
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.StopBits = static_cast<BYTE>(stopbits);
    setDcbFlags(dcb, keepLowBits(dcbFlags(dcb), kKeptAtOpen) | kFlagBinary);
}

bool applyFlowControl(DCB& dcb, int flowControl)
{
    DWORD flags = keepLowBits(dcbFlags(dcb), kKeptByFlowControl);
    switch (flowControl) {
    case FlowControlNone:
        break;
    case FlowControlHardware:
        flags |= kHardwareFlow;
        break;
    case FlowControlSoftware:
        flags |= kSoftwareFlow;
        break;
    default:
        return false;
    }
    setDcbFlags(dcb, flags);
    return true;
}

void applyParity(DCB& dcb, int parity)
{
    dcb.Parity = static_cast<BYTE>(parity);
    if (parity == ParityNone)
        setDcbFlags(dcb, dcbFlags(dcb) & ~kFlagParity);
    else if (parity >= ParityOdd && parity <= ParitySpace)
        setDcbFlags(dcb, dcbFlags(dcb) | kFlagParity);
}

bool isFrameAllowed(int dataBits, int stopbits)
{
    if (stopbits == StopBitsOneAndHalf)
        return dataBits == DataBits5;
    if (stopbits == StopBitsTwo)
        return dataBits != DataBits5;
    return true;
}

} // namespace vandrel::win
