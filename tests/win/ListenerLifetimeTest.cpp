// Lifetimes around the listener of the Win32 back end under wine: close and open from inside a
// listener while bytes keep arriving, a disconnect with a notification pending, init() on an open
// port.
#include "../serialport/Watchdog.h"
#include "PortTestSupport.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>

namespace vandrel::wintest {
namespace {

using namespace std::chrono_literals;

// Runs an action inside every call (with the count it was told) and lets the test wait for calls.
class ActingListener : public CSerialPortListener
{
public:
    explicit ActingListener(std::function<void(unsigned int readBufferLen)> action)
        : action(std::move(action))
    {
    }

    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        action(readBufferLen);
        std::lock_guard<std::mutex> lock(mutex);
        ++calls;
        changed.notify_all();
    }
    bool waitForCalls(int count, std::chrono::milliseconds deadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&] { return calls >= count; });
    }

private:
    const std::function<void(unsigned int)> action;
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
};

using ListenerLifetimeTest = PortTest;

TEST_F(ListenerLifetimeTest, CloseFromADelayedNotificationWhileBytesKeepArriving)
{
    serialtest::Watchdog watchdog("close() inside a delayed notification", std::chrono::seconds(30));
    std::atomic<bool> closed{false};
    ActingListener listener([&](unsigned int readBufferLen) {
        if (closed.exchange(true))
            return;
        // More bytes reach the receive thread while this call runs on the timer thread: the
        // receive thread now has to wait for this call before it can go on.
        EXPECT_TRUE(peer.send(portName, patternBytes(5, 1)));
        EXPECT_TRUE(pollUntil([&] { return port.getReadBufferLen() > readBufferLen; }));
        port.close();
    });
    port.connectReadEvent(&listener);
    port.setReadIntervalTimeout(20);
    ASSERT_TRUE(openWith());
    peerSends(patternBytes(5, 0));
    ASSERT_TRUE(listener.waitForCalls(1, std::chrono::seconds(60))); // the watchdog ends a deadlock first
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(port.open()) << port.getLastErrorMsg();
}

TEST_F(ListenerLifetimeTest, OpenOnAnotherThreadWhileTheListenerThatClosedGoesOn)
{
    serialtest::Watchdog watchdog("open() while the listener that closed the port still works",
                                  std::chrono::seconds(30));
    std::promise<void> closedInside;
    std::mutex mutex;
    std::condition_variable changed;
    bool reopened = false;
    std::atomic<int> calls{0};
    ActingListener listener([&](unsigned int) {
        if (calls++ > 0)
            return;
        port.close();
        closedInside.set_value();
        // Goes on with its work for a while, then configures the port again.
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, 200ms, [&] { return reopened; });
        }
        port.setBaudRate(115200);
        port.purgeReadQueue();
    });
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openWith());
    peerSends({1});
    ASSERT_EQ(closedInside.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(port.open()) << port.getLastErrorMsg();
    {
        std::lock_guard<std::mutex> lock(mutex);
        reopened = true;
    }
    changed.notify_all();
    EXPECT_TRUE(listener.waitForCalls(1, std::chrono::seconds(10)));
}

TEST_F(ListenerLifetimeTest, InitOnAnOpenPortWhileBytesFlow)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openWith());
    const unsigned int sizes[] = {1000, 4096, 65536};
    size_t sent = 0;
    for (unsigned int round = 0; round < 60; ++round) {
        peerSends(patternBytes(3000, round));
        sent += 3000;
        port.init(portName.c_str(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone,
                  sizes[round % 3]);
        ASSERT_TRUE(port.isOpen());
    }
    // Reception goes on into the last buffer.
    const size_t before = listener.received().size();
    peerSends(patternBytes(10, 99));
    EXPECT_TRUE(listener.waitForBytes(before + 10));
}

TEST_F(ListenerLifetimeTest, AfterDisconnectAPendingNotificationIsNotDelivered)
{
    ReceivingListener listener(port, false);
    port.connectReadEvent(&listener);
    port.setReadIntervalTimeout(300);
    ASSERT_TRUE(openWith());
    peerSends(patternBytes(3, 2));
    ASSERT_TRUE(pollUntil([&] { return port.getReadBufferLen() == 3; }));
    EXPECT_EQ(port.disconnectReadEvent(), 0);
    EXPECT_FALSE(listener.waitForCalls(1, 600ms)) << "the pending notification still came";
}

} // namespace
} // namespace vandrel::wintest
