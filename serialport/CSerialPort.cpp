#include "serialport/CSerialPort.h"

#include "serialport/CSerialPortBase.h"
#include "serialport/PlatformBackEnd.h"

CSerialPort::CSerialPort() : CSerialPort("") {}

CSerialPort::CSerialPort(const char* portName) : p_serialPortBase(createPlatformSerialPortBase(portName))
{
    if (p_serialPortBase) {
        p_serialPortBase->setReadIntervalTimeout(0);
        p_serialPortBase->setMinReadBytes(1);
    }
}

CSerialPort::~CSerialPort()
{
    if (p_serialPortBase) {
        p_serialPortBase->close();
        delete p_serialPortBase;
        p_serialPortBase = nullptr;
    }
}

int CSerialPort::connectReadEvent(vandrel::CSerialPortListener* listener)
{
    return p_serialPortBase ? p_serialPortBase->connectReadEvent(listener) : ErrorNullPointer;
}

int CSerialPort::disconnectReadEvent()
{
    return p_serialPortBase ? p_serialPortBase->disconnectReadEvent() : ErrorNullPointer;
}

int CSerialPort::setProtocolParser(vandrel::ProtocolParser* parser)
{
    return p_serialPortBase ? p_serialPortBase->setProtocolParser(parser) : ErrorNullPointer;
}

int CSerialPort::connectPortChangeEvent(vandrel::CSerialPortChangeListener* listener)
{
    return p_serialPortBase ? p_serialPortBase->connectPortChangeEvent(listener) : ErrorNullPointer;
}

int CSerialPort::disconnectPortChangeEvent()
{
    return p_serialPortBase ? p_serialPortBase->disconnectPortChangeEvent() : ErrorNullPointer;
}

void CSerialPort::init(const char* portName, int baudRate, Parity parity, DataBits dataBits,
                       StopBits stopbits, FlowControl flowControl, unsigned int readBufferSize)
{
    if (p_serialPortBase)
        p_serialPortBase->init(portName, baudRate, parity, dataBits, stopbits, flowControl, readBufferSize);
}

void CSerialPort::setIoMode(int ioMode)
{
    if (p_serialPortBase)
        p_serialPortBase->setIoMode(ioMode);
}

void CSerialPort::setReadIntervalTimeout(unsigned int msecs)
{
    if (p_serialPortBase)
        p_serialPortBase->setReadIntervalTimeout(msecs);
}

unsigned int CSerialPort::getReadIntervalTimeout()
{
    return p_serialPortBase ? p_serialPortBase->getReadIntervalTimeout() : 0;
}

void CSerialPort::setMinReadBytes(unsigned int minReadBytes)
{
    if (p_serialPortBase)
        p_serialPortBase->setMinReadBytes(minReadBytes);
}

void CSerialPort::setReadNotifyLevel(unsigned int level)
{
    if (p_serialPortBase)
        p_serialPortBase->setReadNotifyLevel(level);
}

bool CSerialPort::open()
{
    return p_serialPortBase ? p_serialPortBase->open() : false;
}

bool CSerialPort::isOpen()
{
    return p_serialPortBase ? p_serialPortBase->isOpen() : false;
}

void CSerialPort::close()
{
    if (p_serialPortBase)
        p_serialPortBase->close();
}

int CSerialPort::getLastError()
{
    return p_serialPortBase ? p_serialPortBase->getLastError() : ErrorNullPointer;
}

const char* CSerialPort::getLastErrorMsg()
{
    return p_serialPortBase ? p_serialPortBase->getLastErrorMsg() : "";
}

void CSerialPort::clearError()
{
    if (p_serialPortBase)
        p_serialPortBase->clearError();
}

unsigned int CSerialPort::getReadBufferLen()
{
    return p_serialPortBase ? p_serialPortBase->getReadBufferLen()
                            : static_cast<unsigned int>(ErrorNullPointer);
}

int CSerialPort::readData(void* data, int size)
{
    return p_serialPortBase ? p_serialPortBase->readData(data, size) : ErrorNullPointer;
}

int CSerialPort::readAllData(void* data)
{
    return p_serialPortBase ? p_serialPortBase->readAllData(data) : ErrorNullPointer;
}

int CSerialPort::readDataReserved(void* data, int size, int timeout)
{
    return p_serialPortBase ? p_serialPortBase->readDataReserved(data, size, timeout) : ErrorNullPointer;
}

int CSerialPort::writeData(const void* data, int size)
{
    return p_serialPortBase ? p_serialPortBase->writeData(data, size) : ErrorNullPointer;
}

void CSerialPort::setReservedFlag(bool flag)
{
    if (p_serialPortBase)
        p_serialPortBase->setReservedFlag(flag);
}

bool CSerialPort::flushBuffers()
{
    return p_serialPortBase ? p_serialPortBase->flushBuffers() : false;
}

bool CSerialPort::purgeReadQueue()
{
    return p_serialPortBase ? p_serialPortBase->purgeReadQueue() : false;
}

bool CSerialPort::purgeWriteQueue()
{
    return p_serialPortBase ? p_serialPortBase->purgeWriteQueue() : false;
}

void CSerialPort::setPortName(const char* portName)
{
    if (p_serialPortBase)
        p_serialPortBase->setPortName(portName);
}

const char* CSerialPort::getPortName()
{
    return p_serialPortBase ? p_serialPortBase->getPortName() : "";
}

void CSerialPort::setBaudRate(int baudRate)
{
    if (p_serialPortBase)
        p_serialPortBase->setBaudRate(baudRate);
}

int CSerialPort::getBaudRate()
{
    return p_serialPortBase ? p_serialPortBase->getBaudRate() : ErrorNullPointer;
}

void CSerialPort::setParity(Parity parity)
{
    if (p_serialPortBase)
        p_serialPortBase->setParity(parity);
}

int CSerialPort::getParity()
{
    return p_serialPortBase ? p_serialPortBase->getParity() : ParityNone;
}

void CSerialPort::setDataBits(DataBits dataBits)
{
    if (p_serialPortBase)
        p_serialPortBase->setDataBits(dataBits);
}

int CSerialPort::getDataBits()
{
    return p_serialPortBase ? p_serialPortBase->getDataBits() : DataBits8;
}

void CSerialPort::setStopBits(StopBits stopbits)
{
    if (p_serialPortBase)
        p_serialPortBase->setStopBits(stopbits);
}

int CSerialPort::getStopBits()
{
    return p_serialPortBase ? p_serialPortBase->getStopBits() : StopBitsOne;
}

void CSerialPort::setFlowControl(FlowControl flowControl)
{
    if (p_serialPortBase)
        p_serialPortBase->setFlowControl(flowControl);
}

int CSerialPort::getFlowControl()
{
    return p_serialPortBase ? p_serialPortBase->getFlowControl() : FlowControlNone;
}

void CSerialPort::setReadBufferSize(unsigned int size)
{
    if (p_serialPortBase)
        p_serialPortBase->setReadBufferSize(size);
}

unsigned int CSerialPort::getReadBufferSize()
{
    return p_serialPortBase ? p_serialPortBase->getReadBufferSize()
                            : static_cast<unsigned int>(ErrorNullPointer);
}

void CSerialPort::setDtr(bool set)
{
    if (p_serialPortBase)
        p_serialPortBase->setDtr(set);
}

void CSerialPort::setRts(bool set)
{
    if (p_serialPortBase)
        p_serialPortBase->setRts(set);
}
