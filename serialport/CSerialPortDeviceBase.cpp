#include "serialport/CSerialPortDeviceBase.h"

#include <cstring>

namespace {

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
}

void CSerialPortDeviceBase::init(const char* name, int rate, Parity newParity, DataBits newDataBits,
                                 StopBits newStopbits, FlowControl newFlowControl,
                                 unsigned int newReadBufferSize)
{
    portNameCut = !copyName(portName, name);
    parity = newParity;
    dataBits = newDataBits;
    stopbits = newStopbits;
    flowControl = newFlowControl;
    readBufferSize = newReadBufferSize;
    baudRate = rate;
    setReadNotifyLevel(notifyLevelFor(newReadBufferSize));
    std::lock_guard<std::recursive_mutex> lock(readLock);
    readBuffer = std::make_unique<vandrel::RingBuffer<char>>(newReadBufferSize);
}

void CSerialPortDeviceBase::finishReceiveThread(std::thread& thread)
{
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // The thread ends as soon as the listener it is in returns.
        std::lock_guard<std::mutex> lock(retiredLock);
        retiredThreads.push_back(std::move(thread));
    } else {
        thread.join();
    }
}

void CSerialPortDeviceBase::joinRetiredThreads()
{
    std::vector<std::thread> retired;
    {
        std::lock_guard<std::mutex> lock(retiredLock);
        retired.swap(retiredThreads);
    }
    for (std::thread& thread : retired)
        finishReceiveThread(thread); // one still inside its own listener is kept for later
}

bool CSerialPortDeviceBase::refuseCutPortName()
{
    if (!portNameCut)
        return false;
    setLastError(ErrorInvalidParam);
    return true;
}

int CSerialPortDeviceBase::readBuffered(void* data, int size, bool deviceGone)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    const unsigned int got =
        readBuffer ? readBuffer->read(static_cast<char*>(data), static_cast<unsigned int>(size)) : 0;
    if (got == 0 && deviceGone) {
        setLastError(ErrorReadFailed);
        return -1;
    }
    return static_cast<int>(got);
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
