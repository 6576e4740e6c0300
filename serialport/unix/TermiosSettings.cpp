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

bool applyFrameFlags(int parity, int dataBits, int stopbits, struct termios& t)
{
    if (!isFrameAllowed(dataBits, stopbits) || parity < ParityNone || parity > ParitySpace)
        return false;

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t c = t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    c |= sizes[dataBits - DataBits5];
    switch (parity) {
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
        break;
    }
    // With 5 data bits the UART sends 1.5 stop bits where it would send 2 otherwise.
    if (stopbits != StopBitsOne)
        c |= CSTOPB;
    t.c_cflag = c;
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
        return false;
    t = raw;
    return true;
}

} // namespace vandrel::posix
