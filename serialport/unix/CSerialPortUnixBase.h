// The POSIX back end: a serial device opened exclusively and configured through termios, with a
// receive thread that waits with poll() on the device and on wake-up descriptors.
#pragma once

#include "serialport/CSerialPortBase.h"

#include <memory>
#include <mutex>
#include <thread>

class CSerialPortUnixBase : public CSerialPortBase
{
public:
    explicit CSerialPortUnixBase(const char* portName);
    // Closes an open port; every receive thread has ended when it returns.
    ~CSerialPortUnixBase() override;

    int writeData(const void* data, int size) override;
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

protected:
    std::shared_ptr<Session> openDevice() override;
    void receiveLoop(const std::shared_ptr<Session>& session) override;
    void releaseDevice(Session& session) override;

private:
    struct UnixSession; // one opening of the device
    class DeviceSource;

    // Opens portName for this process alone; -1 with the error stored.
    int openExclusively();
    bool configureDevice(int fd);
    // Makes the line discipline wake the receive thread once `vmin` bytes are queued.
    bool applyVmin(const UnixSession& session, unsigned int vmin);
};
