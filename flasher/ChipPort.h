// The part of a serial port the flashing engine uses; CSerialPort in the programs, a fake in tests.
#pragma once

namespace rq75x {

class ChipPort
{
public:
    virtual ~ChipPort() = default;
    virtual bool isOpen() = 0;
    virtual int readData(void* data, int size) = 0;        // bytes read, 0 none, -1 failure
    virtual int writeData(const void* data, int size) = 0; // bytes written or -1
    virtual void close() = 0;
    // The serial library's code of the last failure (18 "read failed error" when readData() gave
    // -1 because the device hung up or went away); 0 for a port that cannot tell.
    virtual int lastError() { return 0; }
    // Received bytes that have not been read yet; 0 for a port that cannot tell.
    virtual unsigned int bytesWaiting() { return 0; }
};

} // namespace rq75x
