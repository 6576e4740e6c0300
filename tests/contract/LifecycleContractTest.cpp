// What every back end promises about openings and closings around a running listener or parser:
// closing and opening from inside them, on another thread beside them, twice at once, init() on
// an open port, and the end of a consumer's calls once it is disconnected or replaced.
#include "PortContract.h"
#include "Watchdog.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>

using namespace serialtest;

namespace {

using LifecycleContract = PortContract;

class CallbackParser : public vandrel::ProtocolParser
{
public:
    using Parse = std::function<unsigned int(const char* data, unsigned int size)>;
    explicit CallbackParser(Parse onParse) : onParse(std::move(onParse)) {}
    unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults&) override
    {
        return onParse(data, size);
    }
    void onProtocolResults(vandrel::ProtocolResults&) override {}

private:
    Parse onParse;
};

} // namespace

TEST_F(LifecycleContract, CloseFromADelayedNotificationWhileBytesKeepArriving)
{
    Watchdog watchdog("close() inside a delayed notification", 30s);
    std::atomic<bool> closed{false};
    RecordingListener listener([&](const char*, unsigned int readBufferLen) {
        if (closed.exchange(true))
            return;
        // More bytes reach the receive thread while this call runs on the timer thread: the
        // receive thread now has to wait for this call before it can go on.
        EXPECT_TRUE(peer->send("more"));
        EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() > readBufferLen; }, 10000ms));
        port.close();
    });
    port.connectReadEvent(&listener);
    port.setReadIntervalTimeout(20);
    ASSERT_TRUE(openPort());
    peerSends("first");
    ASSERT_TRUE(listener.waitForCalls(1, 60s)); // the watchdog ends a deadlock first
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getReadBufferLen(), 0u);
    ASSERT_TRUE(port.open()) << port.getLastErrorMsg();
}

TEST_F(LifecycleContract, OpenOnAnotherThreadWhileTheListenerThatClosedGoesOn)
{
    Watchdog watchdog("open() while the listener that closed the port still works", 30s);
    std::promise<void> closedInside;
    std::mutex mutex;
    std::condition_variable changed;
    bool reopened = false;
    std::atomic<int> calls{0};
    RecordingListener listener([&](const char*, unsigned int) {
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
    ASSERT_TRUE(openPort());
    peerSends("x");
    ASSERT_EQ(closedInside.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(port.open()) << port.getLastErrorMsg();
    {
        std::lock_guard<std::mutex> lock(mutex);
        reopened = true;
    }
    changed.notify_all();
    ASSERT_TRUE(listener.waitForCalls(1, 10s));
}

// A close() that finds the port already closing on another thread waits as that one does: for
// the listener call still running, and for the device to be free again.
TEST_F(LifecycleContract, ASecondCloseWaitsForTheCloseAlreadyUnderWay)
{
    Watchdog watchdog("two close() calls around a running listener call", 30s);
    std::promise<void> entered;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    std::mutex mutex;
    std::condition_variable never;
    RecordingListener listener([&](const char*, unsigned int) {
        if (calls++ > 0)
            return;
        entered.set_value();
        std::unique_lock<std::mutex> lock(mutex);
        never.wait_for(lock, 300ms, [] { return false; }); // a listener busy for 300 ms
        returned = true;
    });
    ClosePortOnExit closeLast(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    peerSends("x");
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);

    std::thread firstCloser([&] { port.close(); });
    ASSERT_TRUE(becomesTrue([&] { return !port.isOpen(); }, 5000ms));
    port.close();
    EXPECT_TRUE(returned) << "close() returned while a listener call was still running";
    EXPECT_TRUE(port.open()) << "the device is still held by the first close: " << port.getLastError();
    firstCloser.join();
}

// With interval 0 the listener runs on the receive thread, with an interval on the timer thread:
// either may close its own port and open it again without a deadlock, and the new opening
// receives on a thread of its own.
class CloseFromInsideTheListener : public PortContract, public ::testing::WithParamInterface<unsigned int>
{
};

TEST_P(CloseFromInsideTheListener, AndOpenAgain)
{
    std::atomic<int> reopened{0};
    RecordingListener listener([&](const char*, unsigned int) {
        if (reopened == 0) {
            port.close();
            reopened = port.open() ? 1 : -1;
        }
    });
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    port.setReadIntervalTimeout(GetParam());
    peerSends("1");
    ASSERT_TRUE(listener.waitForCalls(1, 10s));
    ASSERT_EQ(reopened, 1) << port.getLastErrorMsg();
    EXPECT_TRUE(port.isOpen());
    peerSends("2");
    ASSERT_TRUE(listener.waitForCalls(2, 10s));
    const auto calls = listener.recorded();
    if (GetParam() == 0) { // an ended timer thread's id may come back for the next one
        EXPECT_NE(calls[0].thread, calls[1].thread);
    }
    EXPECT_EQ(calls[1].readBufferLen, 2u) << "the byte left unread at the close stays readable";
}

INSTANTIATE_TEST_SUITE_P(LifecycleContract, CloseFromInsideTheListener, ::testing::Values(0u, 10u),
                         [](const auto& info) { return info.param == 0 ? "AtOnce" : "Delayed"; });

TEST_F(LifecycleContract, ListenerMayCloseThePortAndItOpensAgainFromOutside)
{
    RecordingListener listener([&](const char*, unsigned int) { port.close(); });
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    peerSends("123");
    ASSERT_TRUE(listener.waitForCalls(1, 10s));
    EXPECT_FALSE(port.isOpen());
    RecordingListener reading(port);
    port.connectReadEvent(&reading);
    ASSERT_TRUE(port.open()) << port.getLastErrorMsg();
    peerSends("45");
    EXPECT_TRUE(reading.waitForBytes(2, 10s));
}

TEST_F(LifecycleContract, BytesReceivedBeforeCloseAreReturnedAfterTheNextOpen)
{
    ASSERT_TRUE(openPort());
    const std::string sent = patternBytes(5, 8);
    peerSends(sent);
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() >= 5; }, 10000ms));
    port.close();
    char buffer[16];
    EXPECT_EQ(port.readData(buffer, sizeof buffer), -1);
    EXPECT_EQ(port.getLastError(), ErrorNotOpen);
    ASSERT_TRUE(port.open());
    ASSERT_EQ(port.readData(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), sent);
}

// The receive thread never touches a ring buffer that init() has replaced, whether init() comes
// from another thread or from the parser the thread is calling.
TEST_F(LifecycleContract, InitOnAnOpenPortWhileBytesFlow)
{
    const unsigned int sizes[] = {1000, 4096, 65536};
    RecordingListener listener(port);
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    for (unsigned int round = 0; round < 200; ++round) {
        // Replaced while the rest of the batch may still be arriving.
        const std::size_t before = listener.byteCount();
        peerSends(patternBytes(500, round));
        ASSERT_TRUE(listener.waitForBytes(before + 1, 10s)) << "round " << round;
        port.init(portName(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, sizes[round % 3]);
        ASSERT_TRUE(port.isOpen());
    }
    EXPECT_EQ(port.getReadBufferSize(), 4096u);
    // Reception goes on into the last buffer.
    const std::size_t before = listener.byteCount();
    peerSends(patternBytes(10, 999));
    EXPECT_TRUE(listener.waitForBytes(before + 10, 10s));

    std::atomic<unsigned int> parses{0};
    CallbackParser parser([&](const char*, unsigned int size) {
        port.init(portName(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone,
                  sizes[parses++ % 3]);
        return size; // consumed from a buffer that is no longer there
    });
    port.setProtocolParser(&parser);
    for (unsigned int round = 0; round < 200; ++round) {
        peerSends(patternBytes(50, round));
        ASSERT_TRUE(becomesTrue([&] { return parses > round; }, 10000ms)) << "round " << round;
    }
    EXPECT_TRUE(port.isOpen());
    port.close(); // before the parser goes
}

// After disconnectReadEvent() or a parser's replacement returns, the old consumer may be
// destroyed: no call of it is running, and none starts later (not even a pending delayed one).
TEST_F(LifecycleContract, AfterDisconnectOrReplacementNoCallOfTheOldConsumerRunsOrStarts)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener);
    port.setReadIntervalTimeout(300);
    peerSends("abc");
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 3; }, 10000ms));
    EXPECT_EQ(port.disconnectReadEvent(), 0);
    EXPECT_FALSE(listener.waitForCalls(2, 600ms)) << "the pending notification still came";

    // A call in progress on the receive thread: disconnect and replacement wait for it.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    RecordingListener blocking([&](const char*, unsigned int) {
        entered.set_value();
        released.wait_for(10s);
    });
    port.setReadIntervalTimeout(0);
    port.connectReadEvent(&blocking);
    peerSends("d");
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    auto disconnected = std::async(std::launch::async, [&] { port.disconnectReadEvent(); });
    EXPECT_EQ(disconnected.wait_for(100ms), std::future_status::timeout) << "returned while the listener ran";
    release.set_value();
    EXPECT_EQ(disconnected.wait_for(10s), std::future_status::ready);

    std::promise<void> parserEntered;
    std::promise<void> parserRelease;
    CallbackParser first([&](const char*, unsigned int size) {
        parserEntered.set_value();
        parserRelease.get_future().wait_for(10s);
        return size;
    });
    CallbackParser second([](const char*, unsigned int) { return 0u; });
    port.setProtocolParser(&first);
    peerSends("e");
    ASSERT_EQ(parserEntered.get_future().wait_for(10s), std::future_status::ready);
    auto replaced = std::async(std::launch::async, [&] { port.setProtocolParser(&second); });
    EXPECT_EQ(replaced.wait_for(100ms), std::future_status::timeout) << "returned while the parser ran";
    parserRelease.set_value();
    EXPECT_EQ(replaced.wait_for(10s), std::future_status::ready);
}
