#include "serialport/CSerialPortBase.h"

#include "serialport/PortChangeContext.h"

CSerialPortBase::CSerialPortBase() = default;

CSerialPortBase::~CSerialPortBase()
{
    // A connected port-change context is released with its back end: its monitor thread ends
    // before anything it calls into goes away.
    portChangeContext.reset();
    retiredPortChangeContext.reset();
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
