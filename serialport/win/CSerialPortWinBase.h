// The Win32 back end: a serial device opened exclusively by name (\\.\COM3) and configured
// through its device control block, with a receive thread that waits for received characters
// with WaitCommEvent and drains the driver's queue with overlapped reads.
#pragma once

#include "serialport/CSerialPortDeviceBase.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

class CSerialPortWinBase : public CSerialPortDeviceBase
{
public:
    explicit CSerialPortWinBase(const char* portName);
    // Closes an open port; every receive thread has ended when it returns.
    ~CSerialPortWinBase() override;

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
    enum class Waited
    {
        Characters, // received characters, or a completed wait whatever its mask
        Nudged,     // the minimum read count changed
        Failed,
        Stopped // the opening is being closed
    };

    std::shared_ptr<Session> currentSession();
    HANDLE openDevice(bool overlapped);
    bool configureDevice(HANDLE handle);
    // Writes commConfig to the open device, as the setters do; false when refused.
    bool writeConfig(HANDLE handle);
    void receiveLoop(const std::shared_ptr<Session>& session);
    // Waits for a received-character event, a new minimum read count or the close.
    Waited waitForReceivedCharacters(Session& session);
    int readDevice(Session& session, char* buffer, unsigned int count);

    COMMCONFIG commConfig = {}; // guarded by commLock

    std::mutex stateLock;             // guards the two members below, never held while waiting
    std::shared_ptr<Session> session; // null while closed
    std::thread receiveThread;
};
