// The device-control-block changes of the Win32 back end, checked on the DCB's own bit-fields.
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

TEST(DcbSettings, FlagWordIsTheDcbBitFields)
{
    DCB dcb = {};
    setDcbFlags(dcb, 0x0001 | 0x0002 | 0x2000);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fRtsControl, 2u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcbFlags(dcb), 0x2003u);
}

TEST(DcbSettings, OpenSetsBinaryModeAndClearsWhatTheLibraryDoesNotUse)
{
    DCB dcb = allFlagsOn();
    dcb.fBinary = 0;
    applyOpenSettings(dcb, 115200, ParityEven, DataBits7, StopBitsTwo);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, ParityEven);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, StopBitsTwo);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    // The device's own values stay: parity check, DSR and DTR handling, RTS control and the rest.
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, 3u);
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.fRtsControl, 3u);
    EXPECT_EQ(dcbFlags(dcb) >> 16, 0xFFFFu);
}

TEST(DcbSettings, FlowControlWritesOnlyItsOwnFlags)
{
    DCB dcb = allFlagsOn();
    ASSERT_TRUE(applyFlowControl(dcb, FlowControlNone));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, 3u);

    ASSERT_TRUE(applyFlowControl(dcb, FlowControlHardware));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);

    ASSERT_TRUE(applyFlowControl(dcb, FlowControlSoftware));
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));

    const DWORD before = dcbFlags(dcb);
    EXPECT_FALSE(applyFlowControl(dcb, 3));
    EXPECT_EQ(dcbFlags(dcb), before);
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
    EXPECT_TRUE(isFrameAllowed(DataBits8, StopBitsOne));
}

} // namespace
} // namespace vandrel::win
