// The RTS and DTR lines the POSIX back end leaves, read from modem lines that this program
// emulates for pseudo-terminals (PtyModemLines.c), which have none of their own.
#include "PtyModemLines.h"
#include "PtyPortTest.h"

#include <sys/ioctl.h>

using namespace serialtest;

namespace {

constexpr int kDtr = TIOCM_DTR;
constexpr int kRts = TIOCM_RTS;

class ModemLines : public PtyPortTest
{
protected:
    int lines() const { return ptyModemLines(pty.slaveName()); }
    // Opening a real tty raises DTR and RTS; here the test decides what the lines are then.
    bool openWithLines(FlowControl flowControl, int linesAtOpen)
    {
        if (setPtyModemLines(pty.slaveName(), linesAtOpen) != 0)
            return false;
        return openPort(115200, ParityNone, DataBits8, StopBitsOne, flowControl);
    }
};

} // namespace

TEST_F(ModemLines, RtsFollowsTheFlowControlAndDtrStaysAsItWas)
{
    const struct
    {
        FlowControl flowControl;
        int linesAtOpen;
        int linesAfter;
    } openings[] = {
        {FlowControlNone, kDtr | kRts, kDtr},
        {FlowControlSoftware, kRts, 0},
        {FlowControlHardware, kDtr, kDtr | kRts},  // raised, then the driver's to drive
        {static_cast<FlowControl>(3), kDtr, kDtr}, // not a flow control: the lines are left alone
        {static_cast<FlowControl>(3), kDtr | kRts, kDtr | kRts},
    };
    for (const auto& o : openings) {
        ASSERT_TRUE(openWithLines(o.flowControl, o.linesAtOpen))
            << "flow control " << o.flowControl << ": " << port.getLastErrorMsg();
        EXPECT_EQ(lines(), o.linesAfter) << "flow control " << o.flowControl << ", lines " << o.linesAtOpen;
        port.close();
    }

    ASSERT_TRUE(openWithLines(FlowControlNone, kDtr | kRts));
    port.setFlowControl(FlowControlHardware);
    EXPECT_EQ(lines(), kDtr | kRts);
    port.setFlowControl(FlowControlSoftware);
    EXPECT_EQ(lines(), kDtr);
    port.setRts(true);
    port.setFlowControl(static_cast<FlowControl>(3)); // stored, nothing else
    EXPECT_EQ(port.getFlowControl(), 3);
    EXPECT_EQ(lines(), kDtr | kRts);
    EXPECT_EQ(pty.slaveTermios().c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
}
