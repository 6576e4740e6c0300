// What every device back end keeps alike, whatever the platform: the port name and line
// settings stored for the next open(), the receive ring buffer, and the receive threads that
// closed their own port and still have to be joined.
#pragma once

#include "serialport/CSerialPortBase.h"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSerialPortDeviceBase : public CSerialPortBase
{
public:
    explicit CSerialPortDeviceBase(const char* portName);
    ~CSerialPortDeviceBase() override;

    void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
              FlowControl flowControl, unsigned int readBufferSize) override;
    int readAllData(void* data) override;
    int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0) override;
    void setReservedFlag(bool flag) override;
    void setReadIntervalTimeout(unsigned int msecs) override;
    void setMinReadBytes(unsigned int count) override;
    void setPortName(const char* portName) override;
    const char* getPortName() const override;
    int getBaudRate() const override;
    int getParity() const override;
    int getDataBits() const override;
    int getStopBits() const override;
    int getFlowControl() const override;
    // Taken over only while the port is open, for the next init() and open().
    void setReadBufferSize(unsigned int size) override;
    unsigned int getReadBufferSize() const override;

protected:
    // Joins a receive thread that has been told to stop, or, when close() runs on that very
    // thread (inside onReadEvent), keeps it to be joined by the next open() or the destructor.
    void finishReceiveThread(std::thread& thread);
    void joinRetiredThreads();

    // readData() in asynchronous mode: bytes from the ring buffer; once the device has gone and
    // nothing is left, -1 with error 18.
    int readBuffered(void* data, int size, bool deviceGone);

    // For open(): true, with error 5 stored, when the name given was longer than the 255
    // characters kept, so that a shorter name (another device) is never opened instead.
    bool refuseCutPortName();

    char portName[kPortNameSize] = {};
    bool portNameCut = false; // the name given did not fit into portName
    int baudRate = 9600;
    int parity = ParityNone;
    int dataBits = DataBits8;
    int stopbits = StopBitsOne;
    int flowControl = FlowControlNone;
    unsigned int readBufferSize = 4096;

    std::unique_ptr<vandrel::RingBuffer<char>> readBuffer; // guarded by readLock

private:
    std::mutex retiredLock;
    std::vector<std::thread> retiredThreads; // receive threads that closed their own port
};
