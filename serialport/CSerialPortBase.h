// The abstract back end of a serial port: settings every platform shares, the last-error field,
// the three locks and the registration of listeners. Each platform derives its back end from it
// (unix/CSerialPortUnixBase, win/CSerialPortWinBase) through CSerialPortDeviceBase.
#pragma once

#include "serialport/CSerialPortListener.h"
#include "serialport/ConsumerRegistry.h"
#include "serialport/SerialPortGlobal.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace vandrel {
class PortChangeContext;
}

class CSerialPortBase
{
public:
    CSerialPortBase();
    virtual ~CSerialPortBase();
    CSerialPortBase(const CSerialPortBase&) = delete;
    CSerialPortBase& operator=(const CSerialPortBase&) = delete;

    // --- virtual operations, in slot order ---

    // Stores name and settings and replaces the ring buffer; the open device is not touched.
    virtual void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
                      FlowControl flowControl, unsigned int readBufferSize) = 0;
    virtual void setIoMode(int mode); // takes effect at the next open()
    // false with the error stored: 15 already open (and now closed), 5 name longer than 255
    // characters, 12 no such device, 6 in use or refused, 5 settings refused, 3 no receive
    // thread, 15 anything else.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() = 0;
    virtual unsigned int getReadBufferLen() = 0;
    // Bytes read, 0 when nothing waits (or size < 1), -1 with error 14 closed / 18 failed.
    virtual int readData(void* data, int size) = 0;
    virtual int readAllData(void* data) = 0;
    virtual int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0) = 0;
    // All bytes written, or -1 with error 14 closed / 17 failed.
    virtual int writeData(const void* data, int size) = 0;
    virtual void setReservedFlag(bool flag) = 0;
    virtual void setReadIntervalTimeout(unsigned int msecs) = 0;
    virtual unsigned int getReadIntervalTimeout();
    virtual void setMinReadBytes(unsigned int count) = 0;
    virtual unsigned int getMinReadBytes();
    virtual void setReadNotifyLevel(unsigned int count);
    virtual unsigned int getReadNotifyLevel();
    virtual bool flushBuffers() = 0;
    virtual bool purgeReadQueue() = 0;
    virtual bool purgeWriteQueue() = 0;
    virtual int getLastError() const;
    virtual const char* getLastErrorMsg() const;
    virtual void clearError();
    virtual void setPortName(const char* portName) = 0;
    virtual const char* getPortName() const = 0;
    virtual void setBaudRate(int baudRate) = 0;
    virtual int getBaudRate() const = 0;
    virtual void setParity(Parity parity) = 0;
    virtual int getParity() const = 0;
    virtual void setDataBits(DataBits dataBits) = 0;
    virtual int getDataBits() const = 0;
    virtual void setStopBits(StopBits stopbits) = 0;
    virtual int getStopBits() const = 0;
    virtual void setFlowControl(FlowControl flowControl) = 0;
    virtual int getFlowControl() const = 0;
    virtual void setReadBufferSize(unsigned int size) = 0;
    virtual unsigned int getReadBufferSize() const = 0;
    virtual void setDtr(bool set = true) = 0;
    virtual void setRts(bool set = true) = 0;

    // --- non-virtual operations ---

    int connectReadEvent(vandrel::CSerialPortListener* listener); // 5 for null, else 0
    // 0, once no call of the old listener runs (at once from inside a call of this port).
    int disconnectReadEvent();
    // 5 for null, else 0; replacing a parser returns once no call of the old one runs.
    int setProtocolParser(vandrel::ProtocolParser* parser);
    int connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener); // 5 for null, else 0
    int disconnectPortChangeEvent();                                          // 5 when not connected, else 0

protected:
    void setLastError(int code) { lastError.store(code); }
    int getIoMode() const { return ioMode.load(); }

    // Lock order: commLock, writeLock, readLock. None is held while a listener runs or while a
    // thread is waited for.
    std::recursive_mutex commLock;  // open, init and the configuration operations
    std::recursive_mutex readLock;  // device reads, the ring buffer and readData
    std::recursive_mutex writeLock; // writeData

    // The listener and parser, and every call made to them.
    vandrel::ConsumerRegistry consumers;

private:
    std::atomic<int> lastError{ErrorSuccess};
    std::atomic<int> ioMode{IoModeAsynchronous};
    std::atomic<unsigned int> readIntervalTimeout{50};
    std::atomic<unsigned int> minReadBytes{1};
    std::atomic<unsigned int> readNotifyLevel{3276};

protected:
    // Setters for the two fields above, used by the back ends' implementations.
    void storeReadIntervalTimeout(unsigned int msecs) { readIntervalTimeout.store(msecs); }
    void storeMinReadBytes(unsigned int count) { minReadBytes.store(count); }

private:
    // Guards the two members below. Never held while waiting for a notification or a monitor's
    // thread: a listener may connect or disconnect from inside its notification.
    std::mutex portChangeLock;
    std::shared_ptr<vandrel::PortChangeContext> portChangeContext; // null when not connected
    // The last context disconnected, while its monitor's thread still holds it: a connect from
    // inside the notification that disconnected it takes it back, and a disconnect that finds
    // nothing connected still waits for that notification.
    std::weak_ptr<vandrel::PortChangeContext> closedPortChangeContext;
};
