#include "serialport/CSerialPortBase.h"

#include "serialport/PortChangeContext.h"

CSerialPortBase::CSerialPortBase() = default;

CSerialPortBase::~CSerialPortBase()
{
    // A connected monitor ends with its back end: its thread is joined before anything it calls
    // into goes away (or, when the port is destroyed inside its own notification, ends on its
    // own once that notification returns).
    disconnectPortChangeEvent();
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
