// Fixture for tests of a CSerialPort opened on the slave side of a pseudo-terminal pair.
#pragma once

#include "serialport/CSerialPort.h"

#include "PtyPair.h"
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

namespace serialtest {

class PtyPortTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(pty.isValid()) << "no pseudo-terminal available"; }
    // Listeners of derived fixtures are destroyed before the port: end its threads first.
    void TearDown() override { port.close(); }

    bool openPort(int baudRate = 115200, Parity parity = ParityNone, DataBits dataBits = DataBits8,
                  StopBits stopbits = StopBitsOne, FlowControl flowControl = FlowControlNone,
                  unsigned int readBufferSize = 4096)
    {
        port.init(pty.slaveName(), baudRate, parity, dataBits, stopbits, flowControl, readBufferSize);
        return port.open();
    }

    // Declared first, destroyed last: the port closes before its device goes away.
    PtyPair pty;
    CSerialPort port;
};

} // namespace serialtest
