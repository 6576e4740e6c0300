#include "serialport/CSerialPortBase.h"

#include "serialport/PortChangeContext.h"

#include <algorithm>

CSerialPortBase::CSerialPortBase() = default;

CSerialPortBase::~CSerialPortBase()
{
    // A connected monitor ends with its back end: its thread is joined before anything it calls
    // into goes away (or, when the port is destroyed inside its own notification, ends on its
    // own once that notification returns).
    disconnectPortChangeEvent();
    notifyTimer.stop();
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
    readListener.store(listener);
    return ErrorSuccess;
}

int CSerialPortBase::disconnectReadEvent()
{
    readListener.store(nullptr);
    return ErrorSuccess;
}

int CSerialPortBase::setProtocolParser(vandrel::ProtocolParser* parser)
{
    if (!parser)
        return ErrorInvalidParam;
    protocolParser.store(parser);
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

void CSerialPortBase::stopReadNotifyTimer()
{
    notifyTimer.stop();
}

void CSerialPortBase::dispatchDeviceGone(vandrel::RingBuffer<char>& buffer)
{
    vandrel::CSerialPortListener* listener = readListener.load();
    if (protocolParser.load() || !listener)
        return;
    notifyTimer.stop(); // a pending delayed notification would only repeat this one
    unsigned int used = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(readLock);
        used = buffer.getUsedLen();
    }
    listener->onReadEvent(getPortName(), used);
}

void CSerialPortBase::dispatchReceived(vandrel::RingBuffer<char>& buffer)
{
    if (vandrel::ProtocolParser* parser = protocolParser.load()) {
        char chunk[4096];
        unsigned int n;
        {
            std::lock_guard<std::recursive_mutex> lock(readLock);
            n = buffer.peek(chunk, std::min<unsigned int>(buffer.getUsedLen(), sizeof chunk));
        }
        vandrel::ProtocolResults results;
        const unsigned int consumed = parser->parse(chunk, n, results);
        {
            std::lock_guard<std::recursive_mutex> lock(readLock);
            buffer.skip(std::min(consumed, n));
        }
        if (!results.empty())
            parser->onProtocolResults(results);
        return;
    }

    vandrel::CSerialPortListener* listener = readListener.load();
    if (!listener)
        return; // the bytes wait in the ring buffer for readData()

    auto bufferedState = [&](unsigned int& used, bool& full) {
        std::lock_guard<std::recursive_mutex> lock(readLock);
        used = buffer.getUsedLen();
        full = buffer.isFull();
    };
    unsigned int used = 0;
    bool full = false;

    const unsigned int interval = getReadIntervalTimeout();
    if (interval == 0) {
        bufferedState(used, full);
        listener->onReadEvent(getPortName(), used);
        return;
    }

    // A new batch restarts the quiet interval.
    notifyTimer.stop();
    bufferedState(used, full);
    if (full || used > getReadNotifyLevel()) {
        listener->onReadEvent(getPortName(), used);
        return;
    }
    if (!notifyTimer.start(interval, listener, getPortName(), used))
        listener->onReadEvent(getPortName(), used); // no timer thread: tell at once rather than never
}
