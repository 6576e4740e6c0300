// Synchronous mode: no receive thread, reads and writes go straight to the device.
#include "ProcessProbes.h"
#include "PtyPortTest.h"
#include "RecordingListener.h"

#include <atomic>
#include <thread>

using namespace serialtest;

namespace {

class SynchronousMode : public PtyPortTest
{
protected:
    void SetUp() override
    {
        PtyPortTest::SetUp();
        port.connectReadEvent(&listener);
        port.setIoMode(IoModeSynchronous);
    }

    RecordingListener listener;
};

} // namespace

TEST_F(SynchronousMode, ReadsAndWritesGoStraightToTheDeviceWithoutAThread)
{
    const int threadsBefore = threadCount();
    ASSERT_TRUE(openPort());
    EXPECT_EQ(threadCount(), threadsBefore);
    char buffer[16];
    EXPECT_EQ(port.readData(buffer, 16), 0) << "nothing has arrived: returns at once";

    ASSERT_TRUE(pty.writeAll("sync"));
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 4; }, 5000ms)) << "the driver's count";
    ASSERT_EQ(port.readData(buffer, 16), 4);
    EXPECT_EQ(std::string(buffer, 4), "sync");
    EXPECT_EQ(listener.callCount(), 0u);

    ASSERT_EQ(port.writeData("out", 3), 3);
    EXPECT_EQ(pty.readExactly(3), "out");
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

TEST_F(SynchronousMode, ReadAfterHangUpFails)
{
    ASSERT_TRUE(openPort());
    pty.closeMaster();
    char buffer[4];
    EXPECT_EQ(port.readData(buffer, 4), -1);
    EXPECT_EQ(port.getLastError(), ErrorReadFailed);
    EXPECT_EQ(port.writeData("x", 1), -1);
    EXPECT_EQ(port.getLastError(), ErrorWriteFailed);
}

// The driver's count is asked for under the lock close() takes before it releases the descriptor:
// never of a descriptor that is gone, or has meanwhile been given to something else.
TEST_F(SynchronousMode, ByteCountWhileAnotherThreadClosesAndOpens)
{
    ASSERT_TRUE(openPort());
    std::atomic<bool> stop{false};
    std::thread counter([&] {
        while (!stop)
            EXPECT_LE(port.getReadBufferLen(), 4u);
    });
    ASSERT_TRUE(pty.writeAll("sync"));
    for (int cycle = 0; cycle < 200; ++cycle) {
        port.close();
        ASSERT_TRUE(port.open()) << port.getLastErrorMsg();
    }
    stop = true;
    counter.join();
}
