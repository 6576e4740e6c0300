// The Win32 back end: a serial device opened exclusively by name (\\.\COM3) and configured
// through its device control block, with a receive thread that waits for received characters
// with WaitCommEvent and drains the driver's queue with overlapped reads.
#pragma once

#include "serialport/CSerialPortBase.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

class CSerialPortWinBase : public CSerialPortBase
{
public:
    explicit CSerialPortWinBase(const char* portName);
    // Closes an open port; every receive thread has ended when it returns.
    ~CSerialPortWinBase() override;

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
    struct WinSession; // one opening of the device
    class DeviceSource;
    enum class Waited
    {
        Characters, // received characters, or a completed wait whatever its mask
        Nudged,     // the minimum read count changed
        Failed,
        Stopped // the opening is being closed
    };

    HANDLE openByName(bool overlapped);
    bool configureDevice(HANDLE handle);
    // Writes commConfig to the open device, as the setters do; false when refused.
    bool writeConfig(HANDLE handle);
    // Waits for a received-character event, a new minimum read count or the close.
    Waited waitForReceivedCharacters(WinSession& session);
    int readDevice(WinSession& session, char* buffer, unsigned int count);

    COMMCONFIG commConfig = {}; // guarded by commLock
};
