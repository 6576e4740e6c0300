// The abstract back end of a serial port. It keeps what every platform shares: the port name and
// line settings stored for the next open(), the last-error field, the three locks, the consumers
// (listener and parser), the receive ring buffer, the receive path from the driver to the
// consumers with its delayed notification, and the openings of the device with their receive
// threads. A platform back end (unix/CSerialPortUnixBase, win/CSerialPortWinBase) derives from it
// and supplies the device: opening and configuring it, its receive loop, writing, the setters
// that reach the open device, and releasing it.
#pragma once

#include "serialport/Buffer.h"
#include "serialport/CSerialPortListener.h"
#include "serialport/ConsumerRegistry.h"
#include "serialport/ReadNotifyTimer.h"
#include "serialport/SerialPortGlobal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vandrel {
class PortChangeContext;
}

class CSerialPortBase
{
public:
    explicit CSerialPortBase(const char* portName = "");
    virtual ~CSerialPortBase();
    CSerialPortBase(const CSerialPortBase&) = delete;
    CSerialPortBase& operator=(const CSerialPortBase&) = delete;

    // --- virtual operations, in slot order ---

    // Stores name and settings and replaces the ring buffer (bytes not yet read are dropped); an
    // open device keeps its configuration and the receive thread goes on into the new buffer.
    virtual void init(const char* portName, int baudRate, Parity parity, DataBits dataBits, StopBits stopbits,
                      FlowControl flowControl, unsigned int readBufferSize);
    virtual void setIoMode(int mode); // takes effect at the next open()
    // false with the error stored: ErrorOpenFailed already open (and now closed),
    // ErrorInvalidParam name longer than 255 characters or settings refused, ErrorNotExist no such
    // device, ErrorAccessDenied in use or refused, ErrorInternal no receive thread,
    // ErrorOpenFailed anything else.
    virtual bool open();
    // See CSerialPort::close() for what it waits for.
    virtual void close();
    virtual bool isOpen();
    virtual unsigned int getReadBufferLen();
    // Bytes read, 0 when nothing waits (or size < 1), -1 with ErrorNotOpen closed or
    // ErrorReadFailed failed or hung up.
    virtual int readData(void* data, int size);
    virtual int readAllData(void* data);
    virtual int readDataReserved(void* data = nullptr, int size = 0, int timeout = 0);
    // All bytes written, or -1 with ErrorNotOpen closed or ErrorWriteFailed failed.
    virtual int writeData(const void* data, int size) = 0;
    virtual void setReservedFlag(bool flag);
    virtual void setReadIntervalTimeout(unsigned int msecs);
    virtual unsigned int getReadIntervalTimeout();
    virtual void setMinReadBytes(unsigned int count);
    virtual unsigned int getMinReadBytes();
    virtual void setReadNotifyLevel(unsigned int count);
    virtual unsigned int getReadNotifyLevel();
    virtual bool flushBuffers() = 0;
    virtual bool purgeReadQueue() = 0;
    virtual bool purgeWriteQueue() = 0;
    virtual int getLastError() const;
    virtual const char* getLastErrorMsg() const;
    virtual void clearError();
    virtual void setPortName(const char* portName);
    virtual const char* getPortName() const;
    virtual void setBaudRate(int baudRate) = 0;
    virtual int getBaudRate() const;
    virtual void setParity(Parity parity) = 0;
    virtual int getParity() const;
    virtual void setDataBits(DataBits dataBits) = 0;
    virtual int getDataBits() const;
    virtual void setStopBits(StopBits stopbits) = 0;
    virtual int getStopBits() const;
    virtual void setFlowControl(FlowControl flowControl) = 0;
    virtual int getFlowControl() const;
    // Taken over only while the port is open, for the next init() and open().
    virtual void setReadBufferSize(unsigned int size);
    virtual unsigned int getReadBufferSize() const;
    virtual void setDtr(bool set = true) = 0;
    virtual void setRts(bool set = true) = 0;

    // --- non-virtual operations ---

    int connectReadEvent(vandrel::CSerialPortListener* listener); // ErrorInvalidParam for null
    // Returns once no call of the old listener runs (at once from inside a call of this port).
    int disconnectReadEvent();
    // ErrorInvalidParam for null; replacing a parser returns once no call of the old one runs.
    int setProtocolParser(vandrel::ProtocolParser* parser);
    int connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener); // ErrorInvalidParam for null
    int disconnectPortChangeEvent(); // ErrorInvalidParam when not connected

protected:
    // One opening of the device. The receive thread keeps its own reference, so an open() that
    // follows a close() at once never shares a descriptor, an event or a flag with an old thread.
    class Session
    {
    public:
        virtual ~Session() = default;

        // Marks the opening as being closed and ends every wait on its device: the receive
        // thread's, and a write's waiting for room or for the line.
        virtual void stop() = 0;
        // Wakes the receive thread to look at the minimum read count again.
        virtual void nudge() = 0;
        // Synchronous mode: the bytes the driver holds, and a read of at most `size` of them that
        // never waits (-1 when the device failed or hung up).
        virtual unsigned int driverQueued() = 0;
        virtual int readDriver(void* data, int size) = 0;
        // True once the device has hung up, also before the receive thread has noticed.
        virtual bool hasHungUp() { return false; }

        bool synchronous = false;
        std::uint64_t opening = 0;         // its number with the consumer registry
        char portName[kPortNameSize] = {}; // the name it was opened with, told to the listener
        std::atomic<bool> running{true};   // false once close() has begun
        std::atomic<bool> deviceGone{false};
        std::atomic<bool> receiveEnded{false}; // the receive thread's work is done
    };

    // --- what a platform back end supplies ---

    // Opens and configures the device named portName with the stored settings, under commLock;
    // on failure stores the error and returns null with nothing left open.
    virtual std::shared_ptr<Session> openDevice() = 0;
    // The receive thread of an asynchronous opening: waits for the device and hands what it
    // receives to receive() until the opening is stopped.
    virtual void receiveLoop(const std::shared_ptr<Session>& session) = 0;
    // Gives the device back, once no receive thread of the opening uses it any more (or one that
    // could not be joined has been told to stop); called with the three locks held.
    virtual void releaseDevice(Session& session) = 0;

    // For the back ends' destructors, while their device operations still exist: closes the
    // port and waits until every thread of the port has ended.
    void closeAndJoin();

    // The open session, null while closed.
    std::shared_ptr<Session> currentSession();
    template <class PlatformSession> std::shared_ptr<PlatformSession> current()
    {
        return std::static_pointer_cast<PlatformSession>(currentSession());
    }

    // What one opening's receive thread keeps for itself.
    struct Reception
    {
        explicit Reception(const Session& session) : session(session) {}
        const Session& session;
        std::vector<char> heldBack;  // received bytes, fewer than the minimum read count
        unsigned int purgesSeen = 0; // read purges it has applied to heldBack
    };

    // The driver side of one opening, as the receive path uses it.
    class ReceiveSource
    {
    public:
        // Bytes the driver holds now.
        virtual unsigned int queuedBytes() = 0;
        // Reads at most `size` of them without waiting; called with readLock held and only while
        // the opening runs. The count, 0 when none is queued, -1 when the device failed or hung up.
        virtual int readQueued(char* buffer, unsigned int size) = 0;
        // True when fewer than `minimum` bytes can stay in the driver without waking the receive
        // thread until enough have come.
        virtual bool holdsBack(unsigned int minimum) const = 0;

    protected:
        ~ReceiveSource() = default;
    };

    enum class Received
    {
        Done,      // everything there was has been handed on, or held back below the minimum
        DeviceGone // the device failed or hung up
    };
    // Called by the receive thread when the driver has bytes: moves them into the ring buffer and
    // hands them on. Before a read would overwrite bytes a consumer has not been told of, it tells
    // the consumer and lets it read; bytes nobody reads still give way to newer ones. Bytes below
    // the minimum read count wait (in the driver or in `heldBack`) until enough have come;
    // `finalBatch` hands on whatever there is (the device has hung up).
    Received receive(Reception& reception, ReceiveSource& source, bool finalBatch = false);
    // The minimum read count the driver should wait for now, given what is held back.
    unsigned int bytesStillWanted(const Reception& reception);
    // Tells the listener once, at once, that the device has gone (hung up, unplugged), with what
    // is still buffered, so that a caller waiting for an answer learns it now; a parser is not
    // told. Called by the receive thread when it notices.
    void notifyDeviceGone(const Reception& reception);

    // Called by purgeReadQueue(): bytes held back below the minimum are dropped with the driver's.
    void notePurgedReadQueue() { readPurges.fetch_add(1); }

    void setLastError(int code) { lastError.store(code); }
    int getIoMode() const { return ioMode.load(); }

    // Lock order: commLock, writeLock, readLock. None is held while a listener runs or while a
    // thread is waited for.
    std::recursive_mutex commLock;  // open, init and the configuration operations
    std::recursive_mutex readLock;  // device reads, the ring buffer and readData
    std::recursive_mutex writeLock; // writeData

    // Written under commLock; read by the getters from any thread.
    char portName[kPortNameSize] = {};
    std::atomic<int> baudRate{9600};
    std::atomic<int> parity{ParityNone};
    std::atomic<int> dataBits{DataBits8};
    std::atomic<int> stopbits{StopBitsOne};
    std::atomic<int> flowControl{FlowControlNone};
    std::atomic<unsigned int> readBufferSize{4096};

private:
    // Relays a delayed notification to the listener, if its opening is still live.
    class DelayedNotification : public vandrel::CSerialPortListener
    {
    public:
        explicit DelayedNotification(CSerialPortBase& port) : port(port) {}
        void onReadEvent(const char* portName, unsigned int readBufferLen) override;
        std::atomic<std::uint64_t> opening{0}; // the opening it was armed for

    private:
        CSerialPortBase& port;
    };

    // Appends to the ring buffer, telling the consumer first whenever the buffer would overwrite
    // bytes it has not been told of. `untold` says whether the buffer holds such bytes.
    void store(const Reception& reception, const char* data, std::size_t size, bool& untold);
    // How many bytes (at most `chunk`) the next read may bring into the buffer, under readLock;
    // 0 when the consumer must be told first.
    unsigned int roomForNextRead(unsigned int chunk, bool consumer, bool untold);
    // Hands what the ring buffer holds on: to the parser, else to the listener (at once, or after
    // the read interval).
    void handOver(const Reception& reception);
    // Shows the parser one view of the buffered bytes and removes what it consumed; true when it
    // consumed something and bytes remain, so that the next view is to be offered.
    bool parseView(vandrel::ProtocolParser& parser);
    // Appends to the ring buffer; under readLock.
    void writeToBuffer(const char* data, unsigned int size);
    unsigned int bufferedLen();

    // close() of a port that another thread is closing, or that a close from inside a listener
    // left with threads to join: waits as that close does, except from inside a consumer call.
    void waitForCloseElsewhere();
    // Keeps a receive thread that has been told to stop, to be joined later.
    void retireReceiveThread(std::thread thread, std::shared_ptr<const Session> session);
    // Joins the retired receive threads, except the calling one; with `onlyEnded`, only those
    // whose work is done. Without it, must not be called while holding a lock or from inside a
    // listener call: a retired thread may be waiting for either.
    void joinRetiredThreads(bool onlyEnded = false);
    // For close(), once `closing` has been stopped: waits for its receive thread, the delayed
    // notification and every running consumer call, except from inside a consumer call, which
    // cannot wait for the threads that may be waiting for it (the next open() or the destructor
    // joins them then).
    void finishReceiving(const std::shared_ptr<Session>& closing, std::thread thread);
    // Ends the delayed notification armed for `opening` (any, without an argument) and waits for
    // it if it is running; cancelDelayedNotification() does not wait.
    void stopDelayedNotification(std::uint64_t opening = 0);
    void cancelDelayedNotification(std::uint64_t opening);

    std::atomic<int> lastError{ErrorSuccess};
    std::atomic<int> ioMode{IoModeAsynchronous};
    std::atomic<unsigned int> readIntervalTimeout{50};
    std::atomic<unsigned int> minReadBytes{1};
    std::atomic<unsigned int> readNotifyLevel{3276};
    bool portNameCut = false; // the name given did not fit into portName; under commLock

    // The listener and parser, and every call made to them.
    vandrel::ConsumerRegistry consumers;

    std::unique_ptr<vandrel::RingBuffer<char>> readBuffer; // guarded by readLock
    std::uint64_t bufferGeneration = 0;                    // raised by init(); guarded by readLock
    std::uint64_t bytesBuffered = 0; // ever written into readBuffer; guarded by readLock
    // One parser call at a time: a receive thread retired by a close from inside a call may still
    // be parsing when the next opening's thread has bytes to hand over from the same buffer.
    std::mutex parseLock;
    std::atomic<unsigned int> readPurges{0};

    DelayedNotification delayed{*this};
    std::mutex delayLock; // held by a receive thread while it stops and re-arms the timer
    vandrel::ReadNotifyTimer notifyTimer;

    // The open session and its receive thread, and the closes that have taken a session and not
    // yet released its device. Never held while waiting for anything but closesUnderWay.
    std::mutex stateLock;
    std::condition_variable closeFinished;
    std::shared_ptr<Session> session; // null while closed
    std::thread receiveThread;
    int closesUnderWay = 0;

    struct RetiredThread
    {
        std::thread thread;
        std::shared_ptr<const Session> session; // says when its work is done
    };
    std::mutex retiredLock;
    std::vector<RetiredThread> retiredThreads; // told to stop, not yet joined

    // Guards the two members below. Never held while waiting for a notification or a monitor's
    // thread: a listener may connect or disconnect from inside its notification.
    std::mutex portChangeLock;
    std::shared_ptr<vandrel::PortChangeContext> portChangeContext; // null when not connected
    // The last context disconnected, while its monitor's thread still holds it: a connect from
    // inside the notification that disconnected it takes it back, and a disconnect that finds
    // nothing connected still waits for that notification.
    std::weak_ptr<vandrel::PortChangeContext> closedPortChangeContext;
};
