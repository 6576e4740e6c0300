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

TEST_F(PortSettings, EveryOfferedRateAndOthersWithoutAConstantAreAppliedExactly)
{
    for (int rate : {300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 31250,
                     250000, 1000000}) {
        ASSERT_TRUE(openPort(rate)) << rate << ": " << port.getLastErrorMsg();
        const ExactSpeeds speeds = readExactSpeeds(pty.master());
        EXPECT_EQ(speeds.output, rate);
        EXPECT_EQ(speeds.input, rate);
        port.close();
    }
}

TEST_F(PortSettings, OpenMakesACookedLineRawSoEveryBytePassesUnchanged)
{
    struct termios cooked = pty.slaveTermios();
    cooked.c_lflag |= ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | INLCR | ISTRIP | IXON | BRKINT;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &cooked), 0);
    RecordingListener listener(port);
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());

    const struct termios t = pty.slaveTermios();
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | BRKINT | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);

    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    all += "\r\n\n\r\x03\x04\x11\x13\x1a\x7f"; // line ends and control characters once more

    ASSERT_TRUE(pty.writeAll(all));
    ASSERT_TRUE(listener.waitForBytes(all.size(), 5s));
    EXPECT_EQ(listener.bytes(), all);
    ASSERT_EQ(port.writeData(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
    EXPECT_EQ(pty.readExactly(all.size()), all);
}

TEST_F(PortSettings, ParityAndStopBitsReachTheDevice)
{
    // A pty clears the parity-enable flag but keeps odd and sticky parity and the stop bits.
    struct Expected
    {
        Parity parity;
        DataBits dataBits;
        StopBits stopbits;
        tcflag_t bits;
    };
    for (const Expected& e : {Expected{ParityNone, DataBits8, StopBitsOne, 0},
                              Expected{ParityOdd, DataBits8, StopBitsOne, PARODD},
                              Expected{ParityEven, DataBits8, StopBitsOne, 0},
                              Expected{ParityMark, DataBits8, StopBitsOne, PARODD | CMSPAR},
                              Expected{ParitySpace, DataBits8, StopBitsOne, CMSPAR},
                              Expected{ParityNone, DataBits8, StopBitsTwo, CSTOPB},
                              Expected{ParityNone, DataBits5, StopBitsOneAndHalf, CSTOPB}}) {
        ASSERT_TRUE(openPort(115200, e.parity, e.dataBits, e.stopbits)) << port.getLastErrorMsg();
        EXPECT_EQ(cflag() & (PARODD | CMSPAR | CSTOPB), e.bits)
            << "parity " << e.parity << ", stop bits " << e.stopbits;
        port.close();
    }
}

TEST_F(PortSettings, SettersOnAnOpenPortChangeTheDevice)
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

    port.setBaudRate(56000);
    EXPECT_EQ(readExactSpeeds(pty.master()).output, 56000);
    port.setStopBits(StopBitsTwo);
    EXPECT_NE(cflag() & CSTOPB, 0u);
    port.setParity(ParityMark);
    EXPECT_EQ(cflag() & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_NE(cflag() & CSTOPB, 0u) << "changing the parity lost the stop bits";
    port.setStopBits(StopBitsOne);
    EXPECT_EQ(cflag() & CSTOPB, 0u);
    EXPECT_EQ(cflag() & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
}

TEST_F(PortSettings, RefusedFramesAreStoredButLeaveTheDeviceAlone)
{
    // 1.5 stop bits go only with 5 data bits, 5 data bits not with 2 stop bits.
    for (const bool changeStopBits : {true, false}) {
        const StopBits stopbits = changeStopBits ? StopBitsOne : StopBitsTwo;
        ASSERT_TRUE(openPort(115200, ParityOdd, DataBits8, stopbits));
        if (changeStopBits) {
            port.setStopBits(StopBitsOneAndHalf);
            EXPECT_EQ(port.getStopBits(), StopBitsOneAndHalf);
        } else {
            port.setDataBits(DataBits5);
            EXPECT_EQ(port.getDataBits(), DataBits5);
        }
        EXPECT_EQ(cflag() & (CSTOPB | PARODD), stopbits == StopBitsTwo ? CSTOPB | PARODD : PARODD);
        EXPECT_TRUE(port.isOpen());

        // The stored pair is what the next open tries.
        port.close();
        EXPECT_FALSE(port.open());
        EXPECT_EQ(port.getLastError(), ErrorInvalidParam);
    }
}

TEST_F(PortSettings, ARefusedSetterLeavesLaterSettersToChangeOnlyTheirOwnField)
{
    // 1.5 stop bits, refused with 8 data bits, do not keep a parity change from the device.
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne));
    port.setStopBits(StopBitsOneAndHalf);
    port.setParity(ParityOdd);
    EXPECT_EQ(cflag() & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD));
    port.close();

    // 2 stop bits, refused with 5 data bits, do not come in with a change to 8 data bits.
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits5, StopBitsOne));
    port.setStopBits(StopBitsTwo);
    port.setDataBits(DataBits8);
    EXPECT_EQ(cflag() & CSTOPB, 0u);
    EXPECT_EQ(port.getStopBits(), StopBitsTwo);
    EXPECT_EQ(port.getDataBits(), DataBits8);
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
