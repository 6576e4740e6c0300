// What every back end promises about error results: open on an open port, every operation on a
// closed one, and a last-error field that only a successful open() and clearError() reset.
#include "PortContract.h"

using namespace serialtest;

namespace {

using ErrorsContract = PortContract;

} // namespace

TEST_F(ErrorsContract, OpenOnAnOpenPortFailsAndClosesIt)
{
    ASSERT_TRUE(openPort());
    EXPECT_FALSE(port.open());
    EXPECT_EQ(port.getLastError(), ErrorOpenFailed);
    EXPECT_STREQ(port.getLastErrorMsg(), "open failed error");
    EXPECT_FALSE(port.isOpen());
    // Closed for real: the device can be taken again.
    EXPECT_TRUE(port.open());
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

TEST_F(ErrorsContract, OperationsOnAClosedPortAreNotOpenButReadingZeroBytesIsNoError)
{
    char buffer[8];
    EXPECT_EQ(port.readData(buffer, 0), 0);
    EXPECT_EQ(port.readData(buffer, -3), 0);
    EXPECT_EQ(port.getLastError(), ErrorSuccess);

    EXPECT_EQ(port.readData(buffer, 1), -1);
    EXPECT_EQ(port.getLastError(), ErrorNotOpen);
    EXPECT_STREQ(port.getLastErrorMsg(), "not open error");
    port.clearError();
    EXPECT_EQ(port.writeData("x", 1), -1);
    EXPECT_EQ(port.getLastError(), ErrorNotOpen);
    port.clearError();
    EXPECT_EQ(port.readDataReserved(), -1);
    EXPECT_EQ(port.getLastError(), ErrorNotOpen);
    EXPECT_FALSE(port.flushBuffers());
    EXPECT_FALSE(port.purgeReadQueue());
    EXPECT_FALSE(port.purgeWriteQueue());
    EXPECT_EQ(port.getReadBufferLen(), 0u);
    port.setDtr(true); // nothing to do, nothing harmed
    port.setRts(false);

    port.clearError();
    ASSERT_TRUE(openPort());
    EXPECT_EQ(port.readData(buffer, 0), 0);
    EXPECT_EQ(port.readData(buffer, 4), 0); // open, nothing waiting
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

TEST_F(ErrorsContract, SuccessesOnAnOpenPortKeepTheLastError)
{
    RecordingListener listener;
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    EXPECT_EQ(port.readDataReserved(), -1);
    ASSERT_EQ(port.getLastError(), ErrorNotImplemented);

    char buffer[8];
    EXPECT_EQ(port.readData(buffer, 0), 0);
    EXPECT_EQ(port.readData(buffer, sizeof buffer), 0); // nothing waiting
    ASSERT_EQ(port.writeData("ping", 4), 4);
    EXPECT_EQ(peer->receive(4), "ping");
    peerSends("pong");
    ASSERT_TRUE(listener.waitForCalls(1, 10s));
    EXPECT_EQ(port.readData(buffer, 8), 4);
    EXPECT_TRUE(port.purgeReadQueue());
    EXPECT_TRUE(port.purgeWriteQueue());
    port.setDtr(false);
    port.setRts(true);
    port.setReadBufferSize(8192);
    EXPECT_EQ(port.getReadBufferSize(), 8192u);
    EXPECT_EQ(port.getLastError(), ErrorNotImplemented);
    EXPECT_STREQ(port.getLastErrorMsg(), "not implemented error");

    port.clearError();
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
    EXPECT_STREQ(port.getLastErrorMsg(), "success");
}
