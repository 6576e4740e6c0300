#include "serialport/CSerialPortBase.h"

#include "serialport/PortChangeContext.h"

#include <algorithm>

CSerialPortBase::CSerialPortBase() = default;

CSerialPortBase::~CSerialPortBase()
{
    // A connected port-change context is released with its back end: its monitor thread ends
    // before anything it calls into goes away.
    portChangeContext.reset();
    retiredPortChangeContext.reset();
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
    std::lock_guard<std::mutex> lock(portChangeLock);
    if (!portChangeContext) {
        retiredPortChangeContext.reset();
        portChangeContext = std::make_unique<vandrel::PortChangeContext>();
    }
    portChangeContext->setListener(listener);
    return ErrorSuccess;
}

int CSerialPortBase::disconnectPortChangeEvent()
{
    std::lock_guard<std::mutex> lock(portChangeLock);
    if (!portChangeContext)
        return ErrorInvalidParam;
    portChangeContext->setListener(nullptr); // waits for a notification in progress
    if (portChangeContext->isDelivering()) {
        // Called from inside onPortChange: the monitor thread cannot be joined from itself, so
        // the silenced context is released by the next connect or by the destructor.
        retiredPortChangeContext = std::move(portChangeContext);
    } else {
        retiredPortChangeContext.reset();
        portChangeContext.reset();
    }
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
