// Interfaces a caller implements to hear from a serial port.
#pragma once

#include <string>
#include <vector>

namespace vandrel {

// Told of received bytes. Called without any library lock held, on the port's receive thread
// (read interval 0, full buffer, notify level passed) or on its delayed-notification thread, so
// every operation of the port but its destruction may be called from inside (see CSerialPort.h).
// A listener that reads what it is told about inside the call loses no byte. Also called once,
// on the receive thread, when the device hangs up or goes away, with the bytes still buffered
// (possibly 0): readData() then returns those and after them -1 with ErrorReadFailed.
class CSerialPortListener
{
public:
    virtual ~CSerialPortListener() = default;
    virtual void onReadEvent(const char* portName, unsigned int readBufferLen) = 0;
};

// Told when a serial port appears (isAdded 1) or disappears (isAdded 0). Called on the
// port-change thread; portName is valid only during the call and may be null when the name
// cannot be represented.
class CSerialPortChangeListener
{
public:
    virtual ~CSerialPortChangeListener() = default;
    virtual void onPortChange(const char* portName, unsigned int isAdded) = 0;
};

using ProtocolResults = std::vector<std::string>;

// Optional consumer of received bytes, called on the receive thread. When registered, it
// replaces the listener. Do not read with readData() on other threads meanwhile: the parser and
// the reader would take the same bytes.
class ProtocolParser
{
public:
    virtual ~ProtocolParser() = default;
    // Returns how many bytes it consumed from the front of data; appends what it recognised.
    virtual unsigned int parse(const char* data, unsigned int size, ProtocolResults& results) = 0;
    // Called with the results of one parse() when there are any.
    virtual void onProtocolResults(ProtocolResults& results) = 0;
};

} // namespace vandrel
