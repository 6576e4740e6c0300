// How received bytes are reported, where the POSIX back end shows more than the contract tests
// see: a full buffer, bytes held back in the driver, waking up, reading beside the listener and
// reception beside a configuration call.
#include "ProcessProbes.h"
#include "PtyPortTest.h"
#include "RecordingListener.h"
#include "serialport/unix/CSerialPortUnixBase.h"

#include <functional>
#include <future>
#include <string>

using namespace serialtest;

namespace {

class Notifications : public PtyPortTest
{
protected:
    // Opens with interval 0 and learns the receive thread's id from one byte.
    void openAndFindReceiveThread(unsigned int readBufferSize = 4096)
    {
        port.connectReadEvent(&listener);
        ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, readBufferSize));
        ASSERT_TRUE(pty.writeAll("!"));
        ASSERT_TRUE(listener.waitForCalls(1, 5s));
        receiveThread = listener.recorded().at(0).thread;
        char discard;
        ASSERT_EQ(port.readData(&discard, 1), 1);
    }

    RecordingListener listener;
    std::thread::id receiveThread;
};

} // namespace

TEST_F(Notifications, AFullBufferIsReportedAtOnceAndKeepsTheNewestBytes)
{
    openAndFindReceiveThread(1000); // capacity 1024
    port.setReadIntervalTimeout(60000);
    port.setReadNotifyLevel(5000); // only a full buffer can trigger an early call
    const std::string data = patternBytes(1100, 3);
    ASSERT_TRUE(pty.writeAll(data));
    // Told of the full buffer before anything in it is overwritten; as the listener leaves the
    // bytes, the rest then overwrites the oldest and is reported as well.
    ASSERT_TRUE(listener.waitForCalls(3, 5s));
    for (std::size_t i : {1, 2}) {
        const auto call = listener.recorded().at(i);
        EXPECT_EQ(call.thread, receiveThread);
        EXPECT_EQ(call.readBufferLen, 1024u);
    }
    ASSERT_TRUE(becomesTrue([&] { return pty.slaveInputQueued() == 0; }, 5000ms));

    std::string buffered(2048, '\0');
    ASSERT_EQ(port.readData(buffered.data(), 2048), 1024);
    buffered.resize(1024);
    EXPECT_TRUE(buffered == data.substr(data.size() - 1024)) << "overflow must keep the newest bytes";
}

// On Linux the line discipline holds the bytes back (VMIN): they stay in the driver, and the
// receive thread sleeps until enough have come.
TEST_F(Notifications, MinReadBytesLeavesBytesInTheDriverWithoutSpinning)
{
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    port.setMinReadBytes(10); // on the open port
    ASSERT_TRUE(pty.writeAll("1234"));
    const auto cpuBefore = processCpuTime();
    EXPECT_FALSE(listener.waitForCalls(1, 300ms)) << "told before 10 bytes were queued";
    const auto cpuUsed = processCpuTime() - cpuBefore;
    EXPECT_LT(cpuUsed, 60ms) << "waiting for the minimum count spins";
    EXPECT_EQ(pty.slaveInputQueued(), 4) << "the bytes must stay in the driver";
}

TEST_F(Notifications, ReadDataOnAnotherThreadSeesTheStreamInOrder)
{
    // The receive thread appends while this thread reads: nothing may be lost or repeated.
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 1u << 20));
    const std::string data = patternBytes(256 * 1024, 9);
    std::thread sender([&] { pty.writeAll(data, 20s); });

    std::string received;
    char chunk[3000];
    while (received.size() < data.size()) {
        const std::size_t callsSeen = listener.callCount();
        const int n = port.readData(chunk, sizeof chunk);
        ASSERT_GE(n, 0) << port.getLastErrorMsg();
        if (n > 0)
            received.append(chunk, static_cast<std::size_t>(n));
        else if (!listener.waitForCalls(callsSeen + 1, 5s))
            break;
    }
    sender.join();
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "bytes lost, repeated or reordered";
}

TEST_F(Notifications, WaitingForMoreThan255BytesCostsNoWakeUps)
{
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    int receiveThreadId = 0;
    RecordingListener probe([&](const char*, unsigned int) { receiveThreadId = currentThreadId(); });
    port.connectReadEvent(&probe);
    ASSERT_TRUE(pty.writeAll("!"));
    ASSERT_TRUE(probe.waitForCalls(1, 5s));
    char discard;
    ASSERT_EQ(port.readData(&discard, 1), 1);

    port.connectReadEvent(&listener);
    port.setMinReadBytes(300);
    const long switchesBefore = threadContextSwitches(receiveThreadId);
    ASSERT_TRUE(pty.writeAll(patternBytes(299, 4)));
    EXPECT_FALSE(listener.waitForCalls(1, 300ms)) << "told before 300 bytes had come";
    EXPECT_LT(threadContextSwitches(receiveThreadId) - switchesBefore, 10)
        << "the receive thread keeps waking up";
    EXPECT_EQ(port.getReadBufferLen(), 0u);

    ASSERT_TRUE(pty.writeAll("x"));
    ASSERT_TRUE(listener.waitForCalls(1, 5s));
    EXPECT_EQ(listener.recorded().at(0).readBufferLen, 300u);
    std::string all(300, '\0');
    ASSERT_EQ(port.readData(all.data(), 300), 300);
    EXPECT_TRUE(all == patternBytes(299, 4) + "x");
}

// A configuration call that waits (a flush held up by flow control) does not hold up reception.
TEST_F(Notifications, ReceptionGoesOnWhileAConfigurationCallWaits)
{
    class StuckConfiguration : public CSerialPortUnixBase
    {
    public:
        using CSerialPortUnixBase::CSerialPortUnixBase;
        void whileConfiguring(const std::function<void()>& work)
        {
            std::lock_guard<std::recursive_mutex> lock(commLock);
            work();
        }
    } backEnd(pty.slaveName());
    backEnd.setReadIntervalTimeout(0);
    RecordingListener counting;
    backEnd.connectReadEvent(&counting);
    ASSERT_TRUE(backEnd.open()) << backEnd.getLastErrorMsg();
    backEnd.whileConfiguring([&] {
        for (std::size_t batch = 1; batch <= 3; ++batch) {
            ASSERT_TRUE(pty.writeAll("b"));
            ASSERT_TRUE(counting.waitForCalls(batch, 5s))
                << "batch " << batch << " waited for the configuration";
        }
    });
    backEnd.close();
}
