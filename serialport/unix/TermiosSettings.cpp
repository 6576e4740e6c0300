#include "serialport/unix/TermiosSettings.h"

#include "serialport/SerialPortGlobal.h"

namespace vandrel::posix {

bool isFrameAllowed(int dataBits, int stopbits)
{
    if (dataBits < DataBits5 || dataBits > DataBits8)
        return false;
    switch (stopbits) {
    case StopBitsOne:
        return true;
    case StopBitsOneAndHalf:
        return dataBits == DataBits5;
    case StopBitsTwo:
        return dataBits != DataBits5;
    default:
        return false;
    }
}

namespace {

// The two pairs a UART cannot send: 1.5 stop bits go only with 5 data bits, 2 only with 6 to 8.
bool isRefusedPair(int dataBits, int stopbits)
{
    return (stopbits == StopBitsOneAndHalf && dataBits != DataBits5) ||
           (stopbits == StopBitsTwo && dataBits == DataBits5);
}

} // namespace

bool dataBitsMayChange(int dataBits, int storedStopbits, int appliedStopbits)
{
    return dataBits >= DataBits5 && dataBits <= DataBits8 && !isRefusedPair(dataBits, storedStopbits) &&
           !isRefusedPair(dataBits, appliedStopbits);
}

bool stopBitsMayChange(int stopbits, int storedDataBits, int appliedDataBits)
{
    return stopbits >= StopBitsOne && stopbits <= StopBitsTwo && !isRefusedPair(storedDataBits, stopbits) &&
           !isRefusedPair(appliedDataBits, stopbits);
}

bool applyParityFlags(int parity, struct termios& t)
{
    tcflag_t c = t.c_cflag & ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
    case ParityNone:
        break;
    case ParityOdd:
        c |= PARENB | PARODD;
        break;
    case ParityEven:
        c |= PARENB;
        break;
    case ParityMark: // sticky parity: the bit is always 1
        c |= PARENB | CMSPAR | PARODD;
        break;
    case ParitySpace: // sticky parity: the bit is always 0
        c |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    t.c_cflag = c;
    return true;
}

bool applyDataBitsFlags(int dataBits, struct termios& t)
{
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (dataBits < DataBits5 || dataBits > DataBits8)
        return false;
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[dataBits - DataBits5];
    return true;
}

bool applyStopBitsFlags(int stopbits, struct termios& t)
{
    if (stopbits < StopBitsOne || stopbits > StopBitsTwo)
        return false;
    // With 5 data bits the UART sends 1.5 stop bits where it would send 2 otherwise.
    if (stopbits == StopBitsOne)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;
    return true;
}

bool applyFrameFlags(int parity, int dataBits, int stopbits, struct termios& t)
{
    if (!isFrameAllowed(dataBits, stopbits) || parity < ParityNone || parity > ParitySpace)
        return false;
    applyParityFlags(parity, t);
    applyDataBitsFlags(dataBits, t);
    applyStopBitsFlags(stopbits, t);
    return true;
}

bool applyFlowControlFlags(int flowControl, struct termios& t)
{
    switch (flowControl) {
    case FlowControlNone:
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        return true;
    case FlowControlHardware:
        t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        return true;
    case FlowControlSoftware:
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag = (t.c_iflag & ~IXANY) | IXON | IXOFF;
        return true;
    default:
        return false;
    }
}

RtsLine rtsLineFor(int flowControl)
{
    switch (flowControl) {
    case FlowControlNone:
    case FlowControlSoftware:
        return RtsLine::Off;
    case FlowControlHardware:
        return RtsLine::On;
    default:
        return RtsLine::Unchanged;
    }
}

bool makeRawTermios(const LineSettings& settings, struct termios& t)
{
    struct termios raw = t;
    cfmakeraw(&raw);
    raw.c_iflag &= ~(INPCK | IGNPAR | IUCLC | IMAXBEL);
    raw.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    raw.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag |= CREAD | CLOCAL;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (!applyFrameFlags(settings.parity, settings.dataBits, settings.stopbits, raw))
        return false;
    if (!applyFlowControlFlags(settings.flowControl, raw))
        raw.c_iflag &= ~(IXON | IXOFF | IXANY); // as Windows opens: no XON/XOFF, CTS as it was
    t = raw;
    return true;
}

} // namespace vandrel::posix
