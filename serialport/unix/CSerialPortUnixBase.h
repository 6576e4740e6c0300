// The POSIX back end: a serial device opened exclusively and configured through termios, with a
// receive thread that waits with poll() on the device and on wake-up descriptors.
#pragma once

#include "serialport/CSerialPortDeviceBase.h"

#include <memory>
#include <mutex>
#include <thread>

class CSerialPortUnixBase : public CSerialPortDeviceBase
{
public:
    explicit CSerialPortUnixBase(const char* portName);
    // Closes an open port; every receive thread has ended when it returns.
    ~CSerialPortUnixBase() override;

    bool open() override;
    void close() override;
    bool isOpen() override;
    unsigned int getReadBufferLen() override;
    int readData(void* data, int size) override;
    int writeData(const void* data, int size) override;
    void setMinReadBytes(unsigned int count) override;
    bool flushBuffers() override;
    bool purgeReadQueue() override;
    bool purgeWriteQueue() override;
    void setBaudRate(int baudRate) override;
    void setParity(Parity parity) override;
    void setDataBits(DataBits dataBits) override;
    void setStopBits(StopBits stopbits) override;
    void setFlowControl(FlowControl flowControl) override;
    void setDtr(bool set = true) override;
    void setRts(bool set = true) override;

private:
    struct Session; // one opening of the device
    class DeviceSource;

    std::shared_ptr<Session> currentSession();
    int openDevice();
    bool configureDevice(int fd);
    void receiveLoop(const std::shared_ptr<Session>& session);
    // Makes the line discipline wake the receive thread once `vmin` bytes are queued.
    bool applyVmin(const Session& session, unsigned int vmin);

    std::mutex stateLock;             // guards the two members below, never held while waiting
    std::shared_ptr<Session> session; // null while closed
    std::thread receiveThread;
};
