#include "serialport/CSerialPortBase.h"

#include "serialport/PortChangeContext.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>

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

CSerialPortBase::CSerialPortBase(const char* name)
    : readBuffer(std::make_unique<vandrel::RingBuffer<char>>(readBufferSize))
{
    portNameCut = !copyName(portName, name);
    setReadNotifyLevel(notifyLevelFor(readBufferSize));
}

CSerialPortBase::~CSerialPortBase()
{
    joinRetiredThreads();
    // Only a port destroyed from inside its own listener, which the header forbids, gets here
    // with a thread left: better to let it end on its own than to abort the program.
    for (RetiredThread& entry : retiredThreads)
        entry.thread.detach();
    // A connected monitor ends with its back end: its thread is joined before anything it calls
    // into goes away (or, when the port is destroyed inside its own notification, ends on its
    // own once that notification returns).
    disconnectPortChangeEvent();
}

void CSerialPortBase::closeAndJoin()
{
    close();
    joinRetiredThreads();
    stopDelayedNotification();
}

void CSerialPortBase::init(const char* name, int rate, Parity newParity, DataBits newDataBits,
                           StopBits newStopbits, FlowControl newFlowControl, unsigned int newReadBufferSize)
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

std::shared_ptr<CSerialPortBase::Session> CSerialPortBase::currentSession()
{
    std::lock_guard<std::mutex> lock(stateLock);
    return session;
}

bool CSerialPortBase::isOpen()
{
    return currentSession() != nullptr;
}

bool CSerialPortBase::open()
{
    // Receive threads retired by a close from inside a listener may still need commLock before
    // they end: they are joined before it is taken. From inside a listener call only those that
    // have ended are (the others may be waiting for this very call).
    joinRetiredThreads(consumers.isInsideCall());
    std::unique_lock<std::recursive_mutex> lock(commLock);
    if (isOpen()) {
        setLastError(ErrorOpenFailed);
        lock.unlock(); // close() may wait for the receive thread, which may need commLock
        close();
        return false;
    }
    // A shorter name would be another device.
    if (portNameCut) {
        setLastError(ErrorInvalidParam);
        return false;
    }
    const std::shared_ptr<Session> opened = openDevice();
    if (!opened)
        return false;
    std::memcpy(opened->portName, portName, sizeof opened->portName);

    // Published in the same step as the receive thread starts: a listener it calls finds the
    // port open.
    std::unique_lock<std::mutex> state(stateLock);
    if (!opened->synchronous) {
        opened->opening = consumers.beginOpening();
        try {
            receiveThread = std::thread([this, opened] {
                receiveLoop(opened);
                opened->receiveEnded.store(true);
            });
        } catch (const std::system_error&) {
            consumers.endOpening(opened->opening);
            state.unlock(); // readers take stateLock under readLock
            std::lock_guard<std::recursive_mutex> writing(writeLock);
            std::lock_guard<std::recursive_mutex> reading(readLock);
            releaseDevice(*opened);
            setLastError(ErrorInternal);
            return false;
        }
    }
    session = opened;
    setLastError(ErrorSuccess);
    return true;
}

void CSerialPortBase::close()
{
    std::shared_ptr<Session> closing;
    std::thread thread;
    {
        std::lock_guard<std::mutex> state(stateLock);
        closing = std::move(session);
        session.reset();
        thread = std::move(receiveThread);
        if (closing)
            ++closesUnderWay;
    }
    if (!closing) {
        waitForCloseElsewhere();
        return;
    }

    consumers.endOpening(closing->opening); // nobody is told of its bytes any more
    closing->stop(); // ends the receive thread's wait and any write waiting for room or for the line
    finishReceiving(closing, std::move(thread));
    {
        // Setters, writers, readers and the receive thread leave (or see the opening stopped)
        // before the device goes, so none of them can reach a descriptor or handle the system
        // has meanwhile given to something else.
        std::lock_guard<std::recursive_mutex> configuring(commLock);
        std::lock_guard<std::recursive_mutex> writing(writeLock);
        std::lock_guard<std::recursive_mutex> reading(readLock);
        releaseDevice(*closing);
    }
    {
        std::lock_guard<std::mutex> state(stateLock);
        --closesUnderWay;
    }
    closeFinished.notify_all();
}

void CSerialPortBase::waitForCloseElsewhere()
{
    // The close under way may be waiting for the very call this comes from.
    if (consumers.isInsideCall())
        return;
    {
        std::unique_lock<std::mutex> state(stateLock);
        closeFinished.wait(state, [this] { return closesUnderWay == 0; });
    }
    // A close from inside a listener returned without waiting: its threads and calls are ours.
    joinRetiredThreads();
    consumers.waitForRunningCalls();
}

void CSerialPortBase::retireReceiveThread(std::thread thread, std::shared_ptr<const Session> closed)
{
    if (!thread.joinable())
        return;
    std::lock_guard<std::mutex> lock(retiredLock);
    retiredThreads.push_back({std::move(thread), std::move(closed)});
}

void CSerialPortBase::joinRetiredThreads(bool onlyEnded)
{
    std::vector<RetiredThread> retired;
    {
        std::lock_guard<std::mutex> lock(retiredLock);
        retired.swap(retiredThreads);
    }
    for (RetiredThread& entry : retired) {
        const bool self = entry.thread.get_id() == std::this_thread::get_id(); // never wait for yourself
        if (self || (onlyEnded && !entry.session->receiveEnded.load()))
            retireReceiveThread(std::move(entry.thread), std::move(entry.session));
        else
            entry.thread.join();
    }
}

void CSerialPortBase::finishReceiving(const std::shared_ptr<Session>& closing, std::thread thread)
{
    retireReceiveThread(std::move(thread), closing);
    if (consumers.isInsideCall()) {
        // The receive thread and a delayed notification end as soon as the calls return.
        cancelDelayedNotification(closing->opening);
        joinRetiredThreads(true);
    } else {
        joinRetiredThreads(false);
        stopDelayedNotification(closing->opening);
        consumers.waitForRunningCalls();
    }
}

void CSerialPortBase::stopDelayedNotification(std::uint64_t opening)
{
    // The timer may meanwhile serve a later opening, whose notification must not be lost.
    std::lock_guard<std::mutex> lock(delayLock);
    if (opening == 0 || delayed.opening.load() == opening)
        notifyTimer.stop();
}

void CSerialPortBase::cancelDelayedNotification(std::uint64_t opening)
{
    // No delayLock: a receive thread may hold it while it waits for the very call this comes from.
    if (delayed.opening.load() == opening)
        notifyTimer.cancel();
}

unsigned int CSerialPortBase::bytesStillWanted(const Reception& reception)
{
    const std::size_t minimum = std::max(getMinReadBytes(), 1u);
    return minimum > reception.heldBack.size()
               ? static_cast<unsigned int>(minimum - reception.heldBack.size())
               : 1;
}

CSerialPortBase::Received CSerialPortBase::receive(Reception& reception, ReceiveSource& source,
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
                    if (!reception.session.running.load())
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
            if (!reception.session.running.load())
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

unsigned int CSerialPortBase::roomForNextRead(unsigned int chunk, bool consumer, bool untold)
{
    if (!consumer)
        return chunk; // nobody to tell: the newest bytes win
    if (const unsigned int room = readBuffer->getUnusedLen())
        return std::min(room, chunk);
    // Full. Of bytes the consumer has not been told of: tell it first. Of bytes it was told of
    // and left: the newest win.
    return untold ? 0 : chunk;
}

void CSerialPortBase::store(const Reception& reception, const char* data, std::size_t size, bool& untold)
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
            if (!reception.session.running.load())
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

void CSerialPortBase::handOver(const Reception& reception)
{
    // A parser is shown one view at a time; a batch larger than a view is offered view after
    // view while the parser takes something, as no later batch may come to prompt it.
    for (bool parsed = false;; parsed = true) {
        vandrel::ConsumerRegistry::ParserCall call(consumers, reception.session.opening);
        vandrel::ProtocolParser* parser = call.parser();
        if (!parser) {
            if (parsed)
                return;
            break;
        }
        if (!parseView(*parser))
            return;
    }
    if (!consumers.hasListener())
        return; // the bytes wait in the ring buffer for readData()

    const unsigned int interval = getReadIntervalTimeout();
    if (interval == 0) {
        consumers.notifyListener(reception.session.opening, reception.session.portName, bufferedLen());
        return;
    }

    unsigned int used = 0;
    bool tellNow = false;
    {
        // Only one receive thread at a time restarts the interval: a retired one must not cancel
        // what the next opening's thread has armed.
        std::lock_guard<std::mutex> lock(delayLock);
        if (!consumers.isLive(reception.session.opening))
            return;
        notifyTimer.stop(); // a new batch restarts the quiet interval
        if (!consumers.isLive(reception.session.opening))
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
            delayed.opening.store(reception.session.opening);
            // Without a timer thread, tell at once rather than never.
            tellNow = !notifyTimer.start(interval, &delayed, reception.session.portName, used);
        }
    }
    if (tellNow)
        consumers.notifyListener(reception.session.opening, reception.session.portName, used);
}

void CSerialPortBase::notifyDeviceGone(const Reception& reception)
{
    if (!consumers.hasListener())
        return;
    stopDelayedNotification(reception.session.opening); // a pending notification would only repeat this one
    consumers.notifyListener(reception.session.opening, reception.session.portName, bufferedLen());
}

void CSerialPortBase::DelayedNotification::onReadEvent(const char* name, unsigned int readBufferLen)
{
    port.consumers.notifyListener(opening.load(), name, readBufferLen);
}

void CSerialPortBase::writeToBuffer(const char* data, unsigned int size)
{
    readBuffer->write(data, size);
    bytesBuffered += size;
}

bool CSerialPortBase::parseView(vandrel::ProtocolParser& parser)
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
    bool more = false;
    {
        // An init() during parse() replaced the buffer: what was consumed is gone already. Newer
        // bytes may have pushed some of it out meanwhile: only what is left of it goes.
        std::lock_guard<std::recursive_mutex> lock(readLock);
        const std::uint64_t consumedEnd = viewStart + std::min(consumed, shown);
        const std::uint64_t frontNow = bytesBuffered - readBuffer->getUsedLen();
        if (generation == bufferGeneration) {
            if (consumedEnd > frontNow)
                readBuffer->skip(static_cast<unsigned int>(consumedEnd - frontNow));
            more = consumed > 0 && !readBuffer->isEmpty();
        }
    }
    if (!results.empty())
        parser.onProtocolResults(results);
    return more;
}

unsigned int CSerialPortBase::bufferedLen()
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    return readBuffer->getUsedLen();
}

unsigned int CSerialPortBase::getReadBufferLen()
{
    // Under readLock the device cannot be released underneath.
    std::lock_guard<std::recursive_mutex> lock(readLock);
    const auto opened = currentSession();
    if (!opened)
        return 0;
    return opened->synchronous ? opened->driverQueued() : bufferedLen();
}

int CSerialPortBase::readData(void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    if (size < 1)
        return 0;
    const auto opened = currentSession();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (opened->synchronous) {
        const int got = opened->readDriver(data, size);
        if (got < 0)
            setLastError(ErrorReadFailed);
        return got;
    }
    const unsigned int got = readBuffer->read(static_cast<char*>(data), static_cast<unsigned int>(size));
    // Once the device has gone and nothing is left, the reader learns it.
    if (got == 0 && (opened->deviceGone.load() || opened->hasHungUp())) {
        setLastError(ErrorReadFailed);
        return -1;
    }
    return static_cast<int>(got);
}

int CSerialPortBase::readAllData(void* data)
{
    return readData(data, static_cast<int>(getReadBufferLen()));
}

int CSerialPortBase::readDataReserved(void*, int, int)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    setLastError(isOpen() ? ErrorNotImplemented : ErrorNotOpen);
    return -1;
}

void CSerialPortBase::setReservedFlag(bool) {}

void CSerialPortBase::setReadIntervalTimeout(unsigned int msecs)
{
    readIntervalTimeout.store(msecs);
}

void CSerialPortBase::setMinReadBytes(unsigned int count)
{
    minReadBytes.store(count);
    // The receive thread sleeps until the old count has come: it applies the new one now.
    if (const auto opened = currentSession(); opened && !opened->synchronous)
        opened->nudge();
}

void CSerialPortBase::setPortName(const char* name)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    portNameCut = !copyName(portName, name);
}

const char* CSerialPortBase::getPortName() const
{
    return portName;
}

int CSerialPortBase::getBaudRate() const
{
    return baudRate;
}

int CSerialPortBase::getParity() const
{
    return parity;
}

int CSerialPortBase::getDataBits() const
{
    return dataBits;
}

int CSerialPortBase::getStopBits() const
{
    return stopbits;
}

int CSerialPortBase::getFlowControl() const
{
    return flowControl;
}

void CSerialPortBase::setReadBufferSize(unsigned int size)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (isOpen())
        readBufferSize = size;
}

unsigned int CSerialPortBase::getReadBufferSize() const
{
    return readBufferSize;
}

void CSerialPortBase::setIoMode(int mode)
{
    ioMode.store(mode == IoModeAsynchronous ? IoModeAsynchronous : IoModeSynchronous);
}

unsigned int CSerialPortBase::getReadIntervalTimeout()
{
    return readIntervalTimeout.load();
}

unsigned int CSerialPortBase::getMinReadBytes()
{
    return minReadBytes.load();
}

void CSerialPortBase::setReadNotifyLevel(unsigned int count)
{
    readNotifyLevel.store(count);
}

unsigned int CSerialPortBase::getReadNotifyLevel()
{
    return readNotifyLevel.load();
}

int CSerialPortBase::getLastError() const
{
    return lastError.load();
}

const char* CSerialPortBase::getLastErrorMsg() const
{
    return errorCodeMessage(lastError.load());
}

void CSerialPortBase::clearError()
{
    lastError.store(ErrorSuccess);
}

int CSerialPortBase::connectReadEvent(vandrel::CSerialPortListener* listener)
{
    if (!listener)
        return ErrorInvalidParam;
    consumers.connectListener(listener);
    return ErrorSuccess;
}

int CSerialPortBase::disconnectReadEvent()
{
    consumers.disconnectListener();
    return ErrorSuccess;
}

int CSerialPortBase::setProtocolParser(vandrel::ProtocolParser* parser)
{
    if (!parser)
        return ErrorInvalidParam;
    consumers.setParser(parser);
    return ErrorSuccess;
}

int CSerialPortBase::connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener)
{
    if (!listener)
        return ErrorInvalidParam;
    std::shared_ptr<vandrel::PortChangeContext> context;
    {
        std::lock_guard<std::mutex> lock(portChangeLock);
        if (portChangeContext) {
            portChangeContext->setListener(listener);
            context = portChangeContext;
        } else if (const auto closed = closedPortChangeContext.lock(); closed && closed->reopen(listener)) {
            // Disconnected inside a notification that is still running: the same monitor goes
            // on, so nothing observed meanwhile is lost and no second monitor competes with it.
            portChangeContext = closed;
            context = closed;
        } else {
            portChangeContext = vandrel::PortChangeContext::start(listener);
            return ErrorSuccess;
        }
    }
    context->waitForNotificationElsewhere(); // a call of the replaced listener has returned
    return ErrorSuccess;
}

int CSerialPortBase::disconnectPortChangeEvent()
{
    std::shared_ptr<vandrel::PortChangeContext> ending;
    std::shared_ptr<vandrel::PortChangeContext> closed;
    {
        std::lock_guard<std::mutex> lock(portChangeLock);
        ending = std::move(portChangeContext);
        portChangeContext.reset();
        if (ending)
            closedPortChangeContext = ending;
        else
            closed = closedPortChangeContext.lock();
    }
    if (!ending) {
        // Another disconnect came first (perhaps the listener's own): its notification may still
        // be running, and our caller may destroy the listener once we return.
        if (closed)
            closed->waitForNotificationElsewhere();
        return ErrorInvalidParam;
    }
    if (!ending->silence())
        ending->stop();
    return ErrorSuccess;
}
