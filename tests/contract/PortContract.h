// Fixture of the contract tests: what every back end promises, checked against a fresh port per
// test whose far end is a PortPeer.
#pragma once

#include "serialport/CSerialPort.h"

#include "PortPeer.h"
#include "RecordingListener.h"
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace serialtest {

class PortContract : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (peer->portName().empty())
            GTEST_SKIP() << peer->problem();
    }
    // Listeners of the tests are destroyed before the port: end its threads first.
    void TearDown() override { port.close(); }

    bool openPort(unsigned int readBufferSize = 4096)
    {
        port.init(portName(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, readBufferSize);
        return port.open();
    }
    const char* portName() const { return peer->portName().c_str(); }
    // Sends from the far end, once the port is open (open() drops what came before).
    void peerSends(const std::string& bytes) { ASSERT_TRUE(peer->send(bytes)); }

    // Opens with interval 0 and `listener`, and learns the receive thread's id from one byte.
    void openAndFindReceiveThread(RecordingListener& listener, unsigned int readBufferSize = 4096)
    {
        port.connectReadEvent(&listener);
        ASSERT_TRUE(openPort(readBufferSize)) << port.getLastErrorMsg();
        peerSends("!");
        ASSERT_TRUE(listener.waitForCalls(1, 5s));
        receiveThread = listener.recorded().at(0).thread;
        char discard;
        ASSERT_EQ(port.readData(&discard, 1), 1);
    }

    // Declared first, destroyed last: the port closes before its far end goes away.
    std::unique_ptr<PortPeer> peer = makePortPeer();
    CSerialPort port;
    std::thread::id receiveThread;
};

} // namespace serialtest
