// Tries to open the port named on the command line as a second program would; the exit status
// is the port's error code (0 when the open succeeded).
#include "serialport/CSerialPort.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 100;
    CSerialPort port;
    port.init(argv[1], 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    if (!port.open())
        return port.getLastError();
    port.close();
    return 0;
}
