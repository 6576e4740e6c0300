// ChipPort over a CSerialPort owned by the caller.
#pragma once

#include "flasher/ChipPort.h"
#include "serialport/CSerialPort.h"

namespace rq75x {

class SerialChipPort : public ChipPort
{
public:
    explicit SerialChipPort(CSerialPort& port) : port(port) {}
    bool isOpen() override { return port.isOpen(); }
    int readData(void* data, int size) override { return port.readData(data, size); }
    int writeData(const void* data, int size) override { return port.writeData(data, size); }
    void close() override { port.close(); }
    int lastError() override { return port.getLastError(); }
    unsigned int bytesWaiting() override { return port.getReadBufferLen(); }

private:
    CSerialPort& port;
};

} // namespace rq75x
