#include "serialport/CSerialPortDeviceBase.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// Reads from the driver go through a buffer of this size on the receive thread's stack.
constexpr unsigned int kChunk = 4096;
// The most a parser is shown at once.
constexpr unsigned int kParserView = 4096;

// Copies at most kPortNameSize - 1 characters; false when the name had more.
bool copyName(char* target, const char* name)
{
    const char* source = name ? name : "";
    std::strncpy(target, source, kPortNameSize - 1);
    target[kPortNameSize - 1] = '\0';
    return source[std::strlen(target)] == '\0';
}

unsigned int notifyLevelFor(unsigned int readBufferSize)
{
    return static_cast<unsigned int>(static_cast<double>(readBufferSize) * 0.8);
}

} // namespace

CSerialPortDeviceBase::CSerialPortDeviceBase(const char* name)
    : readBuffer(std::make_unique<vandrel::RingBuffer<char>>(readBufferSize))
{
    portNameCut = !copyName(portName, name);
    setReadNotifyLevel(notifyLevelFor(readBufferSize));
}

CSerialPortDeviceBase::~CSerialPortDeviceBase()
{
    joinRetiredThreads();
    // Only a port destroyed from inside its own listener, which the header forbids, gets here
    // with a thread left: better to let it end on its own than to abort the program.
    for (RetiredThread& entry : retiredThreads)
        entry.thread.detach();
}

void CSerialPortDeviceBase::init(const char* name, int rate, Parity newParity, DataBits newDataBits,
                                 StopBits newStopbits, FlowControl newFlowControl,
                                 unsigned int newReadBufferSize)
{
    auto fresh = std::make_unique<vandrel::RingBuffer<char>>(newReadBufferSize);
    std::unique_ptr<vandrel::RingBuffer<char>> replaced; // released after the locks
    std::lock_guard<std::recursive_mutex> configuring(commLock);
    portNameCut = !copyName(portName, name);
    parity = newParity;
    dataBits = newDataBits;
    stopbits = newStopbits;
    flowControl = newFlowControl;
    readBufferSize = newReadBufferSize;
    baudRate = rate;
    setReadNotifyLevel(notifyLevelFor(newReadBufferSize));
    std::lock_guard<std::recursive_mutex> reading(readLock);
    replaced = std::move(readBuffer);
    readBuffer = std::move(fresh);
    ++bufferGeneration;
    bytesBuffered = 0;
}

void CSerialPortDeviceBase::retireReceiveThread(std::thread thread,
                                                std::shared_ptr<const std::atomic<bool>> ended)
{
    if (!thread.joinable())
        return;
    std::lock_guard<std::mutex> lock(retiredLock);
    retiredThreads.push_back({std::move(thread), std::move(ended)});
}

void CSerialPortDeviceBase::joinRetiredThreads(bool onlyEnded)
{
    std::vector<RetiredThread> retired;
    {
        std::lock_guard<std::mutex> lock(retiredLock);
        retired.swap(retiredThreads);
    }
    for (RetiredThread& entry : retired) {
        const bool self = entry.thread.get_id() == std::this_thread::get_id(); // never wait for yourself
        if (self || (onlyEnded && !entry.ended->load()))
            retireReceiveThread(std::move(entry.thread), std::move(entry.ended));
        else
            entry.thread.join();
    }
}

bool CSerialPortDeviceBase::refuseCutPortName()
{
    if (!portNameCut)
        return false;
    setLastError(ErrorInvalidParam);
    return true;
}

void CSerialPortDeviceBase::finishReceiving(std::uint64_t opening, std::thread thread,
                                            std::shared_ptr<const std::atomic<bool>> ended)
{
    retireReceiveThread(std::move(thread), std::move(ended));
    if (consumers.isInsideCall()) {
        // The receive thread and a delayed notification end as soon as the calls return.
        cancelDelayedNotification(opening);
        joinRetiredThreads(true);
    } else {
        joinRetiredThreads(false);
        stopDelayedNotification(opening);
        consumers.waitForRunningCalls();
    }
}

void CSerialPortDeviceBase::stopDelayedNotification(std::uint64_t opening)
{
    // The timer may meanwhile serve a later opening, whose notification must not be lost.
    std::lock_guard<std::mutex> lock(delayLock);
    if (opening == 0 || delayed.opening.load() == opening)
        notifyTimer.stop();
}

void CSerialPortDeviceBase::cancelDelayedNotification(std::uint64_t opening)
{
    // No delayLock: a receive thread may hold it while it waits for the very call this comes from.
    if (delayed.opening.load() == opening)
        notifyTimer.cancel();
}

unsigned int CSerialPortDeviceBase::bytesStillWanted(const Reception& reception)
{
    const std::size_t minimum = std::max(getMinReadBytes(), 1u);
    return minimum > reception.heldBack.size()
               ? static_cast<unsigned int>(minimum - reception.heldBack.size())
               : 1;
}

CSerialPortDeviceBase::Received CSerialPortDeviceBase::receive(Reception& reception, ReceiveSource& source,
                                                               bool finalBatch)
{
    const unsigned int purges = readPurges.load();
    if (purges != reception.purgesSeen) {
        reception.purgesSeen = purges;
        reception.heldBack.clear();
    }

    char chunk[kChunk];
    bool gone = false;
    const unsigned int minimum = std::max(getMinReadBytes(), 1u);
    if (!finalBatch && minimum > 1 && reception.heldBack.size() < minimum) {
        const unsigned int queued = source.queuedBytes();
        if (reception.heldBack.size() + queued < minimum) {
            if (reception.heldBack.empty() && source.holdsBack(minimum))
                return Received::Done; // the driver wakes the thread once enough have come
            // Kept here rather than in the driver, so that waiting for the rest costs nothing.
            for (;;) {
                int got;
                {
                    std::lock_guard<std::recursive_mutex> lock(readLock);
                    if (!reception.running->load())
                        return Received::Done;
                    got = source.readQueued(chunk, sizeof chunk);
                }
                if (got < 0) {
                    gone = true;
                    break;
                }
                reception.heldBack.insert(reception.heldBack.end(), chunk, chunk + got);
                if (static_cast<unsigned int>(got) < sizeof chunk)
                    break;
            }
            if (!gone && reception.heldBack.size() < minimum)
                return Received::Done;
        }
    }

    bool untold = false;
    if (!reception.heldBack.empty()) {
        store(reception, reception.heldBack.data(), reception.heldBack.size(), untold);
        reception.heldBack.clear();
    }
    while (!gone) {
        const bool consumer = consumers.hasConsumer();
        unsigned int room;
        int got = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(readLock);
            if (!reception.running->load())
                return Received::Done;
            room = roomForNextRead(kChunk, consumer, untold);
            if (room > 0) {
                got = source.readQueued(chunk, room);
                if (got > 0) {
                    writeToBuffer(chunk, static_cast<unsigned int>(got));
                    untold = true;
                }
            }
        }
        if (room == 0) {
            handOver(reception);
            untold = false;
        } else if (got < 0) {
            gone = true;
        } else if (static_cast<unsigned int>(got) < room) {
            break; // the driver's queue is empty
        }
    }
    if (untold)
        handOver(reception);
    return gone ? Received::DeviceGone : Received::Done;
}

unsigned int CSerialPortDeviceBase::roomForNextRead(unsigned int chunk, bool consumer, bool untold)
{
    if (!consumer)
        return chunk; // nobody to tell: the newest bytes win
    if (const unsigned int room = readBuffer->getUnusedLen())
        return std::min(room, chunk);
    // Full. Of bytes the consumer has not been told of: tell it first. Of bytes it was told of
    // and left: the newest win.
    return untold ? 0 : chunk;
}

void CSerialPortDeviceBase::store(const Reception& reception, const char* data, std::size_t size,
                                  bool& untold)
{
    const bool consumer = consumers.hasConsumer();
    while (size > 0) {
        const unsigned int want =
            static_cast<unsigned int>(std::min<std::size_t>(size, std::numeric_limits<unsigned int>::max()));
        unsigned int room;
        {
            std::lock_guard<std::recursive_mutex> lock(readLock);
            // Once closed, what the opening held back goes the way of what the driver held: a
            // later opening may already be storing newer bytes.
            if (!reception.running->load())
                return;
            room = std::min(want, roomForNextRead(want, consumer, untold));
            if (room > 0) {
                writeToBuffer(data, room);
                untold = true;
            }
        }
        if (room == 0) {
            handOver(reception);
            untold = false;
            continue;
        }
        data += room;
        size -= room;
    }
}

void CSerialPortDeviceBase::handOver(const Reception& reception)
{
    {
        vandrel::ConsumerRegistry::ParserCall call(consumers, reception.opening);
        if (vandrel::ProtocolParser* parser = call.parser()) {
            parseBuffered(*parser);
            return;
        }
    }
    if (!consumers.hasListener())
        return; // the bytes wait in the ring buffer for readData()

    const unsigned int interval = getReadIntervalTimeout();
    if (interval == 0) {
        consumers.notifyListener(reception.opening, reception.portName, bufferedLen());
        return;
    }

    unsigned int used = 0;
    bool tellNow = false;
    {
        // Only one receive thread at a time restarts the interval: a retired one must not cancel
        // what the next opening's thread has armed.
        std::lock_guard<std::mutex> lock(delayLock);
        if (!consumers.isLive(reception.opening))
            return;
        notifyTimer.stop(); // a new batch restarts the quiet interval
        if (!consumers.isLive(reception.opening))
            return;
        bool full;
        {
            std::lock_guard<std::recursive_mutex> reading(readLock);
            used = readBuffer->getUsedLen();
            full = readBuffer->isFull();
        }
        if (full || used > getReadNotifyLevel()) {
            tellNow = true;
        } else {
            delayed.opening.store(reception.opening);
            // Without a timer thread, tell at once rather than never.
            tellNow = !notifyTimer.start(interval, &delayed, reception.portName, used);
        }
    }
    if (tellNow)
        consumers.notifyListener(reception.opening, reception.portName, used);
}

void CSerialPortDeviceBase::notifyDeviceGone(const Reception& reception)
{
    if (!consumers.hasListener())
        return;
    stopDelayedNotification(reception.opening); // a pending notification would only repeat this one
    consumers.notifyListener(reception.opening, reception.portName, bufferedLen());
}

void CSerialPortDeviceBase::DelayedNotification::onReadEvent(const char* name, unsigned int readBufferLen)
{
    port.consumers.notifyListener(opening.load(), name, readBufferLen);
}

void CSerialPortDeviceBase::writeToBuffer(const char* data, unsigned int size)
{
    readBuffer->write(data, size);
    bytesBuffered += size;
}

void CSerialPortDeviceBase::parseBuffered(vandrel::ProtocolParser& parser)
{
    std::lock_guard<std::mutex> oneAtATime(parseLock);
    char view[kParserView];
    unsigned int shown;
    std::uint64_t generation;
    std::uint64_t viewStart; // counted in bytesBuffered
    {
        std::lock_guard<std::recursive_mutex> lock(readLock);
        generation = bufferGeneration;
        viewStart = bytesBuffered - readBuffer->getUsedLen();
        shown = readBuffer->peek(view, std::min(readBuffer->getUsedLen(), kParserView));
    }
    vandrel::ProtocolResults results;
    const unsigned int consumed = parser.parse(view, shown, results);
    {
        // An init() during parse() replaced the buffer: what was consumed is gone already. Newer
        // bytes may have pushed some of it out meanwhile: only what is left of it goes.
        std::lock_guard<std::recursive_mutex> lock(readLock);
        const std::uint64_t consumedEnd = viewStart + std::min(consumed, shown);
        const std::uint64_t frontNow = bytesBuffered - readBuffer->getUsedLen();
        if (generation == bufferGeneration && consumedEnd > frontNow)
            readBuffer->skip(static_cast<unsigned int>(consumedEnd - frontNow));
    }
    if (!results.empty())
        parser.onProtocolResults(results);
}

int CSerialPortDeviceBase::readBuffered(void* data, int size, const std::function<bool()>& deviceGone)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    const unsigned int got = readBuffer->read(static_cast<char*>(data), static_cast<unsigned int>(size));
    if (got == 0 && deviceGone()) {
        setLastError(ErrorReadFailed);
        return -1;
    }
    return static_cast<int>(got);
}

unsigned int CSerialPortDeviceBase::bufferedLen()
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    return readBuffer->getUsedLen();
}

int CSerialPortDeviceBase::readAllData(void* data)
{
    return readData(data, static_cast<int>(getReadBufferLen()));
}

int CSerialPortDeviceBase::readDataReserved(void*, int, int)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    setLastError(isOpen() ? ErrorNotImplemented : ErrorNotOpen);
    return -1;
}

void CSerialPortDeviceBase::setReservedFlag(bool) {}

void CSerialPortDeviceBase::setReadIntervalTimeout(unsigned int msecs)
{
    storeReadIntervalTimeout(msecs);
}

void CSerialPortDeviceBase::setMinReadBytes(unsigned int count)
{
    storeMinReadBytes(count);
}

void CSerialPortDeviceBase::setPortName(const char* name)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    portNameCut = !copyName(portName, name);
}

const char* CSerialPortDeviceBase::getPortName() const
{
    return portName;
}

int CSerialPortDeviceBase::getBaudRate() const
{
    return baudRate;
}

int CSerialPortDeviceBase::getParity() const
{
    return parity;
}

int CSerialPortDeviceBase::getDataBits() const
{
    return dataBits;
}

int CSerialPortDeviceBase::getStopBits() const
{
    return stopbits;
}

int CSerialPortDeviceBase::getFlowControl() const
{
    return flowControl;
}

void CSerialPortDeviceBase::setReadBufferSize(unsigned int size)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (isOpen())
        readBufferSize = size;
}

unsigned int CSerialPortDeviceBase::getReadBufferSize() const
{
    return readBufferSize;
}
