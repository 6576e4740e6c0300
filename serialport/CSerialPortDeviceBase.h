// What every device back end keeps alike, whatever the platform: the port name and line
// settings stored for the next open(), the receive ring buffer, the receive path from the driver
// to the consumers, the delayed notification, and the receive threads that still have to be
// joined.
#pragma once

#include "serialport/Buffer.h"
#include "serialport/CSerialPortBase.h"
#include "serialport/ReadNotifyTimer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSerialPortDeviceBase : public CSerialPortBase
{
public:
    explicit CSerialPortDeviceBase(const char* portName);
    ~CSerialPortDeviceBase() override;

    // Safe on an open port: the device keeps its configuration, the ring buffer is replaced
    // (bytes not yet read are dropped) and the receive thread goes on into the new one.
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
    // What one opening's receive thread keeps for itself.
    struct Reception
    {
        std::uint64_t opening = 0;          // its number with the consumer registry
        char portName[kPortNameSize] = {};  // the name it was opened with, told to the listener
        std::vector<char> heldBack;         // received bytes, fewer than the minimum read count
        unsigned int purgesSeen = 0;        // read purges it has applied to heldBack
        const std::atomic<bool>* running{}; // false once the opening is being closed
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

    // Called by purgeReadQueue(): bytes held back below the minimum are dropped with the driver's.
    void notePurgedReadQueue() { readPurges.fetch_add(1); }

    // Keeps a receive thread that has been told to stop, to be joined later; `ended` turns true
    // when its work is done.
    void retireReceiveThread(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended);
    // For close(), once `opening` has ended and its receive thread has been told to stop: waits
    // for that thread, the delayed notification and every running consumer call, except from
    // inside a consumer call, which cannot wait for the threads that may be waiting for it (the
    // next open() or the destructor joins them then).
    void finishReceiving(std::uint64_t opening, std::thread thread,
                         std::shared_ptr<const std::atomic<bool>> ended);
    // Joins the retired receive threads, except the calling one; with `onlyEnded`, only those
    // whose work is done. Without it, must not be called while holding a lock or from inside a
    // listener call: a retired thread may be waiting for either.
    void joinRetiredThreads(bool onlyEnded = false);
    // Ends the delayed notification armed for `opening` (any, without an argument) and waits for
    // it if it is running; cancelDelayedNotification() does not wait.
    void stopDelayedNotification(std::uint64_t opening = 0);
    void cancelDelayedNotification(std::uint64_t opening);

    // readData() in asynchronous mode: bytes from the ring buffer; once the device has gone and
    // nothing is left, -1 with error 18. `deviceGone` is asked only when nothing is left.
    int readBuffered(void* data, int size, const std::function<bool()>& deviceGone);
    // getReadBufferLen() in asynchronous mode.
    unsigned int bufferedLen();

    // For open(): true, with error 5 stored, when the name given was longer than the 255
    // characters kept, so that a shorter name (another device) is never opened instead.
    bool refuseCutPortName();
    // Tells the listener once, at once, that the device has gone (hung up, unplugged), with what
    // is still buffered, so that a caller waiting for an answer learns it now; a parser is not
    // told. Called by the receive thread when it notices.
    void notifyDeviceGone(const Reception& reception);

    // Written under commLock; read by the getters from any thread.
    char portName[kPortNameSize] = {};
    bool portNameCut = false; // the name given did not fit into portName
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
        explicit DelayedNotification(CSerialPortDeviceBase& port) : port(port) {}
        void onReadEvent(const char* portName, unsigned int readBufferLen) override;
        std::atomic<std::uint64_t> opening{0}; // the opening it was armed for

    private:
        CSerialPortDeviceBase& port;
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
    void parseBuffered(vandrel::ProtocolParser& parser);

    // Appends to the ring buffer; under readLock.
    void writeToBuffer(const char* data, unsigned int size);

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

    struct RetiredThread
    {
        std::thread thread;
        std::shared_ptr<const std::atomic<bool>> ended;
    };
    std::mutex retiredLock;
    std::vector<RetiredThread> retiredThreads; // told to stop, not yet joined
};
