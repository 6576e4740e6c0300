// CSerialPort: one serial port, configured, opened, read, written and closed through the
// platform back end it owns. Including this header gives a program the whole library interface:
// settings enumerations, error codes, the listener interfaces and the facade.
//
// Failures are reported by result (false, 0 or -1) and by the last-error code, read with
// getLastError() and getLastErrorMsg(); nothing throws. A facade without a back end (never the
// case for one made by the constructors) returns the fixed results documented below.
#pragma once

#include "serialport/CSerialPortListener.h"
#include "serialport/SerialPortGlobal.h"

class CSerialPortBase;

class CSerialPort
{
public:
    // Creates the platform back end with an empty name and the defaults 9600 8N1, no flow
    // control, a 4096-byte read buffer, asynchronous I/O, read interval 0 and minimum read 1:
    // the listener is told at once, on the receive thread, of every batch of received bytes.
    CSerialPort();
    // The same with the port name stored: at most its first 255 characters. A longer name, given
    // here, to init() or to setPortName(), makes open() fail with 5.
    explicit CSerialPort(const char* portName);
    // Closes an open port: the receive thread and any delayed notification have ended when
    // the destructor returns. A port must not be destroyed from inside its own listener, which
    // runs on one of those threads; close() it there and destroy it elsewhere.
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    int connectReadEvent(vandrel::CSerialPortListener* listener); // 5 for null (registration kept)
    int disconnectReadEvent();
    int setProtocolParser(vandrel::ProtocolParser* parser);                   // 5 for null
    int connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener); // 5 for null
    int disconnectPortChangeEvent();                                          // 5 when not connected
    // Port arrival and removal, once enablePortChangeEvents() has installed the platform's
    // monitor: onPortChange runs on the monitor's thread, one call at a time. Both operations may
    // be called from any thread, also from inside onPortChange, and never wait for a
    // notification while holding a lock that a listener may need.
    // - connectPortChangeEvent starts the monitor or, while connected, replaces the listener;
    //   when it returns, no call of the replaced listener is running on another thread. Called
    //   inside a notification after the listener disconnected itself there, it keeps the same
    //   monitor running for the new listener, so nothing observed meanwhile is lost.
    // - disconnectPortChangeEvent: when it returns on any thread but the monitor's, no call of
    //   the listener is running or will start, and the listener may be destroyed; that holds
    //   also when it returns 5 because another thread, or the listener itself, disconnected
    //   first. Called inside onPortChange it returns at once; nothing is delivered after that
    //   notification, and the monitor ends as soon as it returns (unless a connect takes it back).
    // - Destroying the port disconnects.

    // Stores the name and line settings for the next open(); the ring buffer is replaced, the
    // notify level set to 80 % of readBufferSize. Meant for a closed port.
    void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
              FlowControl flowControl, unsigned int readBufferSize);
    void setIoMode(int ioMode);
    void setReadIntervalTimeout(unsigned int msecs);
    unsigned int getReadIntervalTimeout();
    void setMinReadBytes(unsigned int minReadBytes);
    void setReadNotifyLevel(unsigned int level);

    // Opens exclusively and applies every stored setting. false with: 15 when already open
    // (the port is then closed), 5 a port name longer than the 255 characters kept (nothing is
    // opened), 12 no such device, 6 in use or access refused, 5 settings refused by the device,
    // 3 receive thread not started, 15 any other failure.
    bool open();
    bool isOpen();
    // Ends the receive thread and any delayed notification (also safe from inside onReadEvent),
    // then closes the device. Received bytes stay in the ring buffer.
    void close();

    int getLastError();
    const char* getLastErrorMsg();
    void clearError();

    unsigned int getReadBufferLen();
    int readData(void* data, int size); // bytes read; 0 nothing waiting; -1 (14 closed, 18 failed)
    int readAllData(void* data);
    int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0); // always -1
    // Returns once every byte has been handed to the driver: size, or -1 (14 closed, 17 failed).
    int writeData(const void* data, int size);
    void setReservedFlag(bool flag);

    bool flushBuffers();
    bool purgeReadQueue();
    bool purgeWriteQueue();

    void setPortName(const char* portName);
    const char* getPortName();
    void setBaudRate(int baudRate);
    int getBaudRate();
    void setParity(Parity parity);
    int getParity();
    void setDataBits(DataBits dataBits);
    int getDataBits();
    void setStopBits(StopBits stopbits);
    int getStopBits();
    void setFlowControl(FlowControl flowControl);
    int getFlowControl();
    void setReadBufferSize(unsigned int size);
    unsigned int getReadBufferSize();
    void setDtr(bool set = true);
    void setRts(bool set = true);

private:
    CSerialPortBase* p_serialPortBase;
};
