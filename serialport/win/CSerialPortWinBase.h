// The Win32 back end: a serial device opened exclusively by name (\\.\COM3) and configured
// through its device control block, with a receive thread that waits for received characters
// with WaitCommEvent and drains the driver's queue with overlapped reads.
#pragma once

#include "serialport/CSerialPortBase.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSerialPortWinBase : public CSerialPortBase
{
public:
    explicit CSerialPortWinBase(const char* portName);
    // Closes an open port; every receive thread has ended when it returns.
    ~CSerialPortWinBase() override;

    void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
              FlowControl flowControl, unsigned int readBufferSize) override;
    bool open() override;
    void close() override;
    bool isOpen() override;
    unsigned int getReadBufferLen() override;
    int readData(void* data, int size) override;
    int readAllData(void* data) override;
    int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0) override;
    int writeData(const void* data, int size) override;
    void setReservedFlag(bool flag) override;
    void setReadIntervalTimeout(unsigned int msecs) override;
    void setMinReadBytes(unsigned int count) override;
    bool flushBuffers() override;
    bool purgeReadQueue() override;
    bool purgeWriteQueue() override;
    void setPortName(const char* portName) override;
    const char* getPortName() const override;
    void setBaudRate(int baudRate) override;
    int getBaudRate() const override;
    void setParity(Parity parity) override;
    int getParity() const override;
    void setDataBits(DataBits dataBits) override;
    int getDataBits() const override;
    void setStopBits(StopBits stopbits) override;
    int getStopBits() const override;
    void setFlowControl(FlowControl flowControl) override;
    int getFlowControl() const override;
    void setReadBufferSize(unsigned int size) override;
    unsigned int getReadBufferSize() const override;
    void setDtr(bool set = true) override;
    void setRts(bool set = true) override;

private:
    struct Session; // one opening of the device

    std::shared_ptr<Session> currentSession();
    HANDLE openDevice(bool overlapped);
    bool configureDevice(HANDLE handle);
    // Writes commConfig to the open device, as the setters do; false when refused.
    bool writeConfig(HANDLE handle);
    void receiveLoop(const std::shared_ptr<Session>& session);
    // Waits for a received-character event; false when the wait failed or the port is closing.
    bool waitForReceivedCharacters(Session& session);
    // Reads `count` bytes the driver holds into the ring buffer; false when the read failed.
    bool receiveIntoBuffer(Session& session, unsigned int count);
    int readDevice(Session& session, char* buffer, unsigned int count);
    void joinRetiredThreads();

    char portName[kPortNameSize] = {};
    int baudRate = 9600;
    int parity = ParityNone;
    int dataBits = DataBits8;
    int stopbits = StopBitsOne;
    int flowControl = FlowControlNone;
    unsigned int readBufferSize = 4096;
    COMMCONFIG commConfig = {}; // guarded by commLock

    std::unique_ptr<vandrel::RingBuffer<char>> readBuffer; // guarded by readLock

    std::mutex stateLock;             // guards the three members below, never held while waiting
    std::shared_ptr<Session> session; // null while closed
    std::thread receiveThread;
    std::vector<std::thread> retiredThreads; // receive threads that closed their own port
};
