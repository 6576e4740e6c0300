// CSerialPort: one serial port, configured, opened, read, written and closed through the
// platform back end it owns. Including this header gives a program the whole library interface:
// settings enumerations, error codes, the listener interfaces and the facade.
//
// Threads, in plain words. You may call every operation from any thread. The port calls you on
// its own threads only: onReadEvent() and the parser on the receive thread (one per opening, in
// asynchronous mode) or, with a read interval above 0, on the delayed-notification thread;
// onPortChange() on the port-change monitor's thread. You may call the port back from inside
// those calls, except for destroying it. No operation waits for received data. Three kinds of
// operation wait, and for nothing else: the configuration calls (init, open and the setters) for
// a configuration call in progress; writeData() and flushBuffers() for the line; and close(),
// disconnectReadEvent(), setProtocolParser(), disconnectPortChangeEvent() and the destructor for
// the port's threads and for the calls of yours those threads are running. Called from inside
// such a call of this port, these last do not wait: they hand the waiting to the next open() or
// to the destructor, as said at each. The library holds none of its locks while it calls you and
// never waits for a thread while holding a lock that thread may take; do not call the waiting
// operations while holding a lock of your own that your listener or parser takes.
//
// Failures are reported by result (false, 0 or -1) and by the last-error code (an ErrorCode),
// read with getLastError() and getLastErrorMsg(); nothing throws. A facade without a back end
// (never the case for one made by the constructors) returns the fixed results documented below.
//
// Reception. While a listener or parser is registered, no received byte is dropped before it has
// been told of it: the receive thread hands each batch over (and lets a listener read inside
// onReadEvent) before it reads more into a buffer that is full. Bytes it leaves in a full
// buffer give way to newer ones; so do bytes while nobody is registered.
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
    // here, to init() or to setPortName(), makes open() fail with ErrorInvalidParam.
    explicit CSerialPort(const char* portName);
    // Closes an open port and waits until the receive threads and any delayed notification have
    // ended, also those a close() from inside a listener left running. Must not run inside the
    // port's own listener or parser (close() there, destroy elsewhere).
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Registers the listener told of received bytes; ErrorInvalidParam for null (the
    // registration is kept). Does not wait; a call of the listener it replaces may still run.
    int connectReadEvent(vandrel::CSerialPortListener* listener);
    // Returns 0 once no call of the listener runs on another thread, and none starts afterwards,
    // not even a delayed notification armed before: the listener may be destroyed right after.
    // From inside a listener or parser call of this port it returns at once: no new call starts,
    // but a call already running on the other notifying thread may go on.
    int disconnectReadEvent();
    // Registers a parser, which then takes the received bytes instead of the listener;
    // ErrorInvalidParam for null. It is shown at most 4096 bytes at a time, and the next view as
    // long as it consumes something and bytes remain. Replacing a parser gives the old one the
    // guarantee disconnectReadEvent() gives a listener.
    int setProtocolParser(vandrel::ProtocolParser* parser);
    // ErrorInvalidParam for a null listener, and for a disconnect when not connected.
    int connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener);
    int disconnectPortChangeEvent();
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
    //   also when it returns ErrorInvalidParam because another thread, or the listener itself,
    //   disconnected first. Called inside onPortChange it returns at once; nothing is delivered
    //   after that notification, and the monitor ends as soon as it returns (unless a connect
    //   takes it back).
    // - Destroying the port disconnects.

    // Stores the name and line settings for the next open() and sets the notify level to 80 % of
    // readBufferSize. The ring buffer is replaced by an empty one of the new size: bytes not yet
    // read are dropped. On an open port the device keeps its configuration (use the setters to
    // change it) and the receive thread goes on into the new buffer; this is safe on any thread,
    // also inside a listener or a parser's parse(). Waits for a configuration call in progress.
    void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
              FlowControl flowControl, unsigned int readBufferSize);
    // Takes effect at the next open(): change it only while the port is closed.
    void setIoMode(int ioMode);
    // Take effect with the next batch received.
    void setReadIntervalTimeout(unsigned int msecs);
    unsigned int getReadIntervalTimeout();
    // Received bytes are held back (not readable, nobody told) until at least this many have
    // come; waiting for them costs no CPU, whatever the count. A change reaches a waiting
    // receive thread at once.
    void setMinReadBytes(unsigned int minReadBytes);
    void setReadNotifyLevel(unsigned int level);

    // Opens exclusively and applies every stored setting. false with: ErrorOpenFailed when
    // already open (the port is then closed), ErrorInvalidParam a port name longer than the 255
    // characters kept (nothing is opened), ErrorNotExist no such device, ErrorAccessDenied in use
    // or access refused, ErrorInvalidParam settings refused by the device, ErrorInternal receive
    // thread not started, ErrorOpenFailed any other failure. First joins the receive threads an
    // earlier close() from inside a listener left (from inside a listener call itself, only
    // those that have already ended). The listener's first call finds the port open.
    bool open();
    bool isOpen();
    // Closes the device; received bytes stay in the ring buffer, bytes the driver had not yet
    // handed over are dropped. Bytes writeData() reported as written are not discarded; only what
    // a write that failed or was cut off by this close left behind is purged. No listener or
    // parser call for this opening starts after close() has begun to take effect.
    // From any thread but the port's own notifying threads, close() returns once the receive
    // thread and any delayed notification have ended and no listener or parser call of this port
    // runs. That holds for every close(), also one that finds the port already being closed on
    // another thread: it returns once that close is complete and the device is free again.
    // From inside a listener or parser call it does not wait: the device is released before it
    // returns, the running calls (the caller's included) finish, and the threads are joined by
    // the next open() or the destructor.
    void close();

    int getLastError();
    const char* getLastErrorMsg();
    void clearError();

    // Bytes waiting: in the ring buffer (asynchronous), in the driver (synchronous); 0 closed.
    unsigned int getReadBufferLen();
    // Never waits for data. Bytes read; 0 nothing waiting; -1 with ErrorNotOpen (closed) or
    // ErrorReadFailed (failed or hung up).
    // Concurrent readers, the listener included, each get whole pieces of the stream in order.
    int readData(void* data, int size);
    int readAllData(void* data);
    // Always -1, with ErrorNotImplemented (open) or ErrorNotOpen (closed).
    int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0);
    // Returns once the driver has sent every byte, as a completed write does: size, or -1 with
    // ErrorNotOpen (closed) or ErrorWriteFailed (failed, or ended by close()). Waits for room in
    // the driver's queue as long as needed in asynchronous mode, and for the bytes to go out no
    // longer than 500 ms + 100 ms per byte (then what went out is returned and the rest dropped;
    // the synchronous mode bounds the whole write so). On a pseudo-terminal the bytes count as
    // sent once the far end can read them.
    int writeData(const void* data, int size);
    void setReservedFlag(bool flag);

    // Waits until the driver has sent everything queued; close() ends the wait.
    bool flushBuffers();
    // Drops what the driver holds and the bytes held back for the minimum read count; the ring
    // buffer is not touched.
    bool purgeReadQueue();
    bool purgeWriteQueue();

    // The name is copied; getPortName() returns the port's own text, which a concurrent init()
    // or setPortName() rewrites. The setters below apply to an open device at once and wait for
    // a configuration call in progress; the getters never wait.
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
