// The termios values the POSIX back end computes, including what a pseudo-terminal cannot keep
// (it forces 8 data bits and clears the parity-enable flag).
#include "serialport/unix/TermiosSettings.h"
#include "serialport/SerialPortGlobal.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vandrel::posix;

namespace {

// Every flag set: whatever the functions leave set, they did not clear.
struct termios everythingSet()
{
    struct termios t;
    std::memset(&t, 0xFF, sizeof t);
    return t;
}

bool sameTermios(const struct termios& a, const struct termios& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

LineSettings settings(int parity, int dataBits, int stopbits, int flowControl = FlowControlNone)
{
    LineSettings s;
    s.parity = parity;
    s.dataBits = dataBits;
    s.stopbits = stopbits;
    s.flowControl = flowControl;
    return s;
}

} // namespace

TEST(TermiosSettings, FrameRuleAllowsOneAndAHalfOnlyWithFiveAndTwoOnlyWithSixToEight)
{
    for (int dataBits = DataBits5; dataBits <= DataBits8; ++dataBits) {
        EXPECT_TRUE(isFrameAllowed(dataBits, StopBitsOne)) << dataBits;
        EXPECT_EQ(isFrameAllowed(dataBits, StopBitsOneAndHalf), dataBits == DataBits5) << dataBits;
        EXPECT_EQ(isFrameAllowed(dataBits, StopBitsTwo), dataBits != DataBits5) << dataBits;
    }
    EXPECT_FALSE(isFrameAllowed(4, StopBitsOne));
    EXPECT_FALSE(isFrameAllowed(9, StopBitsOne));
    EXPECT_FALSE(isFrameAllowed(DataBits8, 3));
}

TEST(TermiosSettings, RawModeHasNoLineDisciplineEchoTranslationOrSignalsAndKeepsTheSpeed)
{
    struct termios t = everythingSet();
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    ASSERT_TRUE(makeRawTermios(settings(ParityNone, DataBits8, StopBitsOne), t));
    EXPECT_EQ(t.c_lflag & (ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
}

TEST(TermiosSettings, DataBitsSelectTheCharacterSize)
{
    const std::pair<int, tcflag_t> sizes[] = {
        {DataBits5, CS5}, {DataBits6, CS6}, {DataBits7, CS7}, {DataBits8, CS8}};
    for (const auto& [dataBits, flag] : sizes) {
        struct termios t = everythingSet();
        ASSERT_TRUE(makeRawTermios(settings(ParityNone, dataBits, StopBitsOne), t)) << dataBits;
        EXPECT_EQ(t.c_cflag & CSIZE, flag) << dataBits;
        struct termios f = everythingSet();
        ASSERT_TRUE(applyFrameFlags(ParityNone, dataBits, StopBitsOne, f));
        EXPECT_EQ(f.c_cflag & CSIZE, flag) << dataBits;
    }
}

TEST(TermiosSettings, ParitySelectsEnableOddAndStickyBits)
{
    struct Expected
    {
        int parity;
        tcflag_t set;
        tcflag_t clear;
    };
    const Expected cases[] = {
        {ParityNone, 0, PARENB | PARODD | CMSPAR}, {ParityOdd, PARENB | PARODD, CMSPAR},
        {ParityEven, PARENB, PARODD | CMSPAR},     {ParityMark, PARENB | PARODD | CMSPAR, 0},
        {ParitySpace, PARENB | CMSPAR, PARODD},
    };
    for (const Expected& c : cases) {
        struct termios t = everythingSet();
        ASSERT_TRUE(makeRawTermios(settings(c.parity, DataBits7, StopBitsOne), t)) << c.parity;
        EXPECT_EQ(t.c_cflag & c.set, c.set) << "parity " << c.parity;
        EXPECT_EQ(t.c_cflag & c.clear, 0u) << "parity " << c.parity;
        EXPECT_EQ(t.c_iflag & (PARMRK | ISTRIP), 0u) << "parity errors must not alter the data";
    }
}

TEST(TermiosSettings, RefusedValuesLeaveTheTermiosUnchanged)
{
    struct termios before
    {
    };
    cfsetospeed(&before, B9600);
    before.c_cflag |= CS7 | PARENB | CREAD;
    before.c_lflag |= ECHO | ICANON;

    const LineSettings refusedFrames[] = {settings(ParityNone, DataBits5, StopBitsTwo),
                                          settings(ParityNone, DataBits6, StopBitsOneAndHalf),
                                          settings(ParityNone, DataBits8, StopBitsOneAndHalf),
                                          settings(5, DataBits8, StopBitsOne),
                                          settings(-1, DataBits8, StopBitsOne),
                                          settings(ParityNone, 9, StopBitsOne),
                                          settings(ParityNone, 4, StopBitsOne),
                                          settings(ParityNone, DataBits8, 3)};
    for (const LineSettings& s : refusedFrames) {
        struct termios t = before;
        EXPECT_FALSE(makeRawTermios(s, t)) << s.parity << " " << s.dataBits << " " << s.stopbits;
        EXPECT_TRUE(sameTermios(t, before));
        EXPECT_FALSE(applyFrameFlags(s.parity, s.dataBits, s.stopbits, t));
        EXPECT_TRUE(sameTermios(t, before));
    }

    struct termios t = before;
    EXPECT_FALSE(applyFlowControlFlags(7, t));
    EXPECT_TRUE(sameTermios(t, before));
}

TEST(TermiosSettings, UnknownFlowControlAtOpenKeepsTheHardwareFlowAndDropsXonXoff)
{
    for (const tcflag_t hardwareFlow : {tcflag_t{0}, tcflag_t{CRTSCTS}}) {
        struct termios t = everythingSet();
        t.c_cflag = (t.c_cflag & ~CRTSCTS) | hardwareFlow;
        ASSERT_TRUE(makeRawTermios(settings(ParityNone, DataBits8, StopBitsOne, 3), t));
        EXPECT_EQ(t.c_cflag & CRTSCTS, hardwareFlow);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    }
}

TEST(TermiosSettings, FrameFlagsTouchOnlyTheFrame)
{
    struct termios t
    {
    };
    t.c_cflag = CREAD | CLOCAL | CRTSCTS | CS8 | PARENB | CSTOPB;
    t.c_iflag = IXON;
    cfsetospeed(&t, B115200);
    ASSERT_TRUE(applyFrameFlags(ParitySpace, DataBits6, StopBitsOne, t));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS6));
    EXPECT_EQ(t.c_cflag & (PARENB | CMSPAR | PARODD | CSTOPB), static_cast<tcflag_t>(PARENB | CMSPAR));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS), static_cast<tcflag_t>(CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IXON));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}
