// Settings applied by open() and by the setters, read back from the far side of a pty.
#include "PtyPortTest.h"
#include "RecordingListener.h"
#include "SpeedReadback.h"

#include <string>

using namespace serialtest;

namespace {

class PortSettings : public PtyPortTest
{
protected:
    tcflag_t cflag() const { return pty.slaveTermios().c_cflag; }
};

} // namespace

TEST_F(PortSettings, EveryOfferedRateIsAppliedExactly)
{
    for (int rate : {300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200}) {
        ASSERT_TRUE(openPort(rate)) << rate << ": " << port.getLastErrorMsg();
        const ExactSpeeds speeds = readExactSpeeds(pty.master());
        EXPECT_EQ(speeds.output, rate);
        EXPECT_EQ(speeds.input, rate);
        port.close();
    }
}

TEST_F(PortSettings, RatesWithoutAConstantAreAppliedExactly)
{
    for (int rate : {14400, 56000, 31250, 250000, 1000000}) {
        ASSERT_TRUE(openPort(rate)) << rate;
        EXPECT_EQ(readExactSpeeds(pty.master()).output, rate);
        port.close();
    }
}

TEST_F(PortSettings, SetBaudRateOnAnOpenPortChangesTheDevice)
{
    ASSERT_TRUE(openPort(9600));
    port.setBaudRate(56000);
    EXPECT_EQ(port.getBaudRate(), 56000);
    EXPECT_EQ(readExactSpeeds(pty.master()).output, 56000);
    port.setBaudRate(115200);
    EXPECT_EQ(readExactSpeeds(pty.master()).output, 115200);
}

TEST_F(PortSettings, OpenAppliesRawMode)
{
    ASSERT_TRUE(openPort());
    const struct termios t = pty.slaveTermios();
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | BRKINT | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
}

TEST_F(PortSettings, EveryByteValuePassesUnchangedBothWays)
{
    DrainingListener listener(port);
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());

    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    const std::string lineEnds = "\r\n\n\r\x03\x04\x11\x13\x1a\x7f";

    ASSERT_TRUE(pty.writeAll(all + lineEnds));
    ASSERT_TRUE(listener.waitForBytes(all.size() + lineEnds.size(), 5s));
    EXPECT_EQ(listener.bytes(), all + lineEnds);

    ASSERT_EQ(port.writeData(all.data(), 256), 256);
    ASSERT_EQ(port.writeData(lineEnds.data(), static_cast<int>(lineEnds.size())),
              static_cast<int>(lineEnds.size()));
    EXPECT_EQ(pty.readExactly(all.size() + lineEnds.size()), all + lineEnds);
}

TEST_F(PortSettings, StopBitsReachTheDevice)
{
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsTwo));
    EXPECT_NE(cflag() & CSTOPB, 0u);
    port.close();
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne));
    EXPECT_EQ(cflag() & CSTOPB, 0u);
    port.close();
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits5, StopBitsOneAndHalf)) << port.getLastErrorMsg();
    EXPECT_NE(cflag() & CSTOPB, 0u);
}

TEST_F(PortSettings, ParityBitsReachTheDevice)
{
    // A pty clears the parity-enable flag but keeps odd and sticky parity.
    struct Expected
    {
        Parity parity;
        tcflag_t bits;
    };
    for (const Expected& e : {Expected{ParityNone, 0}, Expected{ParityOdd, PARODD}, Expected{ParityEven, 0},
                              Expected{ParityMark, PARODD | CMSPAR}, Expected{ParitySpace, CMSPAR}}) {
        ASSERT_TRUE(openPort(115200, e.parity)) << e.parity;
        EXPECT_EQ(cflag() & (PARODD | CMSPAR), e.bits) << "parity " << e.parity;
        port.close();
    }
}

TEST_F(PortSettings, FlowControlReachesTheDevice)
{
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlHardware));
    EXPECT_NE(cflag() & CRTSCTS, 0u);
    EXPECT_EQ(pty.slaveTermios().c_iflag & (IXON | IXOFF), 0u);
    port.setFlowControl(FlowControlSoftware);
    EXPECT_EQ(cflag() & CRTSCTS, 0u);
    EXPECT_EQ(pty.slaveTermios().c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    port.setFlowControl(FlowControlNone);
    EXPECT_EQ(cflag() & CRTSCTS, 0u);
    EXPECT_EQ(pty.slaveTermios().c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(PortSettings, SettersOnAnOpenPortChangeTheDevice)
{
    ASSERT_TRUE(openPort());
    port.setStopBits(StopBitsTwo);
    EXPECT_NE(cflag() & CSTOPB, 0u);
    port.setParity(ParityMark);
    EXPECT_EQ(cflag() & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_NE(cflag() & CSTOPB, 0u) << "changing the parity lost the stop bits";
    port.setStopBits(StopBitsOne);
    EXPECT_EQ(cflag() & CSTOPB, 0u);
    EXPECT_EQ(port.getStopBits(), StopBitsOne);
    EXPECT_EQ(port.getParity(), ParityMark);
}

TEST_F(PortSettings, RefusedStopBitsAreStoredButLeaveTheDeviceAlone)
{
    ASSERT_TRUE(openPort(115200, ParityOdd, DataBits8, StopBitsOne));
    port.setStopBits(StopBitsOneAndHalf); // not allowed with 8 data bits
    EXPECT_EQ(port.getStopBits(), StopBitsOneAndHalf);
    EXPECT_EQ(cflag() & CSTOPB, 0u);
    EXPECT_NE(cflag() & PARODD, 0u);
    EXPECT_TRUE(port.isOpen());

    // The stored pair is what the next open tries.
    port.close();
    EXPECT_FALSE(port.open());
    EXPECT_EQ(port.getLastError(), ErrorInvalidParam);
}

TEST_F(PortSettings, RefusedDataBitsAreStoredButLeaveTheDeviceAlone)
{
    ASSERT_TRUE(openPort(115200, ParityOdd, DataBits8, StopBitsTwo));
    port.setDataBits(DataBits5); // not allowed with 2 stop bits
    EXPECT_EQ(port.getDataBits(), DataBits5);
    EXPECT_NE(cflag() & CSTOPB, 0u);
    EXPECT_NE(cflag() & PARODD, 0u);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(PortSettings, OpenRefusesFramesTheDeviceCannotSend)
{
    struct Frame
    {
        DataBits dataBits;
        StopBits stopbits;
    };
    for (const Frame& f : {Frame{DataBits5, StopBitsTwo}, Frame{DataBits6, StopBitsOneAndHalf},
                           Frame{DataBits8, StopBitsOneAndHalf}}) {
        EXPECT_FALSE(openPort(115200, ParityNone, f.dataBits, f.stopbits)) << f.dataBits << "/" << f.stopbits;
        EXPECT_EQ(port.getLastError(), ErrorInvalidParam);
        EXPECT_STREQ(port.getLastErrorMsg(), "invalid param error");
        EXPECT_FALSE(port.isOpen());
    }
    // The refused attempts released the device.
    EXPECT_TRUE(openPort()) << port.getLastErrorMsg();
}

TEST_F(PortSettings, ReadBufferSizeTakesEffectAtTheNextInit)
{
    ASSERT_TRUE(openPort());
    port.setReadBufferSize(8192);
    EXPECT_EQ(port.getReadBufferSize(), 8192u);
}

TEST_F(PortSettings, ModemLinesAndQueuesWorkOnAnOpenPort)
{
    ASSERT_TRUE(openPort());
    port.setDtr(true);
    port.setRts(false);
    EXPECT_TRUE(port.purgeReadQueue());
    EXPECT_TRUE(port.purgeWriteQueue());
    ASSERT_EQ(port.writeData("x", 1), 1);
    EXPECT_TRUE(port.flushBuffers());
    EXPECT_EQ(pty.readExactly(1), "x");
}
