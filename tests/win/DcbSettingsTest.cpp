// The device-control-block changes of the Win32 back end, checked on the DCB's own bit-fields:
// the expected flag words are built field by field, so a wrong mask or a wrong place of the flag
// word both show.
#include "serialport/win/DcbSettings.h"
#include "serialport/SerialPortGlobal.h"

#include <gtest/gtest.h>

namespace vandrel::win {
namespace {

// Every flag set, as a device that had them all on would report.
DCB allFlagsOn()
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    setDcbFlags(dcb, 0xFFFFFFFFu);
    return dcb;
}

TEST(DcbSettings, OpenSetsBinaryModeAndClearsOnlyWhatTheLibraryDoesNotUse)
{
    DCB dcb = allFlagsOn();
    dcb.fBinary = 0;
    applyOpenSettings(dcb, 115200, ParityEven, DataBits7, StopBitsTwo);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, ParityEven);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, StopBitsTwo);
    // The device's own values stay: parity check, DSR and DTR handling, RTS control and the rest.
    DCB expected = allFlagsOn();
    expected.fOutX = expected.fInX = expected.fNull = expected.fAbortOnError = 0;
    EXPECT_EQ(dcbFlags(dcb), dcbFlags(expected));
}

TEST(DcbSettings, FlowControlWritesOnlyItsOwnFlags)
{
    const struct
    {
        int flow;
        DWORD ctsFlow, xonXoff, rtsControl;
    } cases[] = {{FlowControlNone, 0, 0, RTS_CONTROL_DISABLE},
                 {FlowControlHardware, 1, 0, RTS_CONTROL_HANDSHAKE},
                 {FlowControlSoftware, 0, 1, RTS_CONTROL_DISABLE}};
    for (const auto& c : cases) {
        DCB dcb = allFlagsOn();
        ASSERT_TRUE(applyFlowControl(dcb, c.flow));
        DCB expected = allFlagsOn();
        expected.fOutxCtsFlow = c.ctsFlow;
        expected.fOutX = expected.fInX = c.xonXoff;
        expected.fRtsControl = c.rtsControl;
        EXPECT_EQ(dcbFlags(dcb), dcbFlags(expected)) << "flow control " << c.flow;
    }

    DCB dcb = allFlagsOn();
    EXPECT_FALSE(applyFlowControl(dcb, 3));
    EXPECT_EQ(dcbFlags(dcb), 0xFFFFFFFFu);
}

TEST(DcbSettings, ParityCheckFollowsTheParity)
{
    DCB dcb = {};
    applyParity(dcb, ParityMark);
    EXPECT_EQ(dcb.Parity, ParityMark);
    EXPECT_EQ(dcb.fParity, 1u);
    applyParity(dcb, ParityNone);
    EXPECT_EQ(dcb.fParity, 0u);
    dcb.fParity = 1;
    applyParity(dcb, 9); // unknown: written, the check left alone
    EXPECT_EQ(dcb.Parity, 9);
    EXPECT_EQ(dcb.fParity, 1u);
}

TEST(DcbSettings, FramePairsThatCanBeWritten)
{
    EXPECT_TRUE(isFrameAllowed(DataBits5, StopBitsOneAndHalf));
    EXPECT_FALSE(isFrameAllowed(DataBits8, StopBitsOneAndHalf));
    EXPECT_FALSE(isFrameAllowed(DataBits5, StopBitsTwo));
    EXPECT_TRUE(isFrameAllowed(DataBits6, StopBitsTwo));
    EXPECT_TRUE(isFrameAllowed(DataBits5, StopBitsOne));
}

} // namespace
} // namespace vandrel::win
