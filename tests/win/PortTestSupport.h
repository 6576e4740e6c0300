// What the tests of the Win32 serial-port back end share: a fixture with a fresh pty-backed COM
// port per test, and a listener that reads what arrives as the application does.
#pragma once

#include "PtyPeer.h"
#include "serialport/CSerialPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vandrel::wintest {

Bytes patternBytes(size_t count, unsigned int seed);

// Checks `condition` every few milliseconds until it holds or the deadline passes: for states
// no event announces, such as the driver's queue in synchronous mode.
bool pollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Reads exactly readBufferLen bytes inside onReadEvent (unless told not to read) and records
// every call with the thread it came on.
class ReceivingListener : public CSerialPortListener
{
public:
    struct Call
    {
        unsigned long threadId;
        unsigned int readBufferLen;
    };

    explicit ReceivingListener(CSerialPort& port, bool readsData = true) : port(port), readsData(readsData) {}
    void onReadEvent(const char* portName, unsigned int readBufferLen) override;

    // Waits until `count` bytes have been received in all, or the deadline passes.
    bool waitForBytes(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    bool waitForCalls(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    Bytes received();
    std::vector<Call> calls();

    // Runs inside the next onReadEvent, before any reading.
    void setAction(std::function<void()> action);

private:
    CSerialPort& port;
    const bool readsData;
    std::mutex mutex;
    std::condition_variable changed;
    Bytes bytes;
    std::vector<Call> recordedCalls;
    std::function<void()> nextAction;
};

// A fresh pty-backed port per test, closed and removed afterwards.
class PortTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // init() with the given settings and open().
    bool openWith(int baudRate = 115200, StopBits stopbits = StopBitsOne, FlowControl flow = FlowControlNone);
    // init() at 9600 baud with another device name, and open().
    bool openNamed(const std::string& name);
    // Sends from the peer, once the port is configured (earlier bytes would be purged by open).
    void peerSends(const Bytes& bytes) { ASSERT_TRUE(peer.send(portName, bytes)); }

    PtyPeer peer;
    std::string portName;
    CSerialPort port;
};

} // namespace vandrel::wintest
