// How received bytes are reported: at once, after a quiet interval, above the notify level, on
// a full buffer, only from a minimum count on, or to a protocol parser.
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

// Checks that it is shown the stream in order and consumes all but the last byte of each view,
// or nothing at all.
class StreamParser : public vandrel::ProtocolParser
{
public:
    StreamParser(std::string stream, bool consumes) : stream(std::move(stream)), consumes(consumes) {}

    unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults& results) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        largestView = std::max(largestView, size);
        if (stream.compare(consumed, size, data, size) != 0)
            outOfOrder = true;
        const unsigned int take = consumes && size > 0 ? size - 1 : 0;
        consumed += take;
        if (take > 0)
            results.push_back(std::to_string(take));
        changed.notify_all();
        return take;
    }

    void onProtocolResults(vandrel::ProtocolResults& results) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (results.empty())
            emptyResultsReported = true;
        resultCalls += results.size();
    }

    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, condition);
    }

    const std::string stream;
    const bool consumes;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t consumed = 0;
    unsigned int largestView = 0;
    std::size_t resultCalls = 0;
    bool outOfOrder = false;
    bool emptyResultsReported = false;
};

} // namespace

TEST_F(Notifications, IntervalZeroReportsEachBatchOnTheReceiveThreadWithTheTotalBuffered)
{
    openAndFindReceiveThread();
    ASSERT_TRUE(pty.writeAll("abc"));
    ASSERT_TRUE(listener.waitForCalls(2, 5s));
    ASSERT_TRUE(pty.writeAll("defgh"));
    ASSERT_TRUE(listener.waitForCalls(3, 5s));
    EXPECT_FALSE(listener.waitForCalls(4, 50ms)) << "one batch, one call";

    const auto calls = listener.recorded();
    EXPECT_EQ(calls[1].readBufferLen, 3u);
    EXPECT_EQ(calls[2].readBufferLen, 8u); // nothing was read in between
    EXPECT_EQ(calls[1].portName, pty.slaveName());
    EXPECT_EQ(calls[1].thread, receiveThread);
    EXPECT_EQ(calls[2].thread, receiveThread);
    EXPECT_NE(receiveThread, std::this_thread::get_id());

    char buffer[16];
    ASSERT_EQ(port.readData(buffer, 16), 8);
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
}

TEST_F(Notifications, IntervalDelaysTheCallToATimerThreadAndEachBatchRestartsIt)
{
    openAndFindReceiveThread();
    port.setReadIntervalTimeout(200);
    ASSERT_TRUE(pty.writeAll("0123456789"));
    // The first batch is buffered and its timer armed; nothing is reported yet.
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 10; }, 5000ms));
    ASSERT_EQ(listener.callCount(), 1u);

    const auto secondSent = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty.writeAll("abcdefghij"));
    ASSERT_TRUE(listener.waitForCalls(2, 5s));
    const auto call = listener.recorded().at(1);
    EXPECT_EQ(call.readBufferLen, 20u);
    EXPECT_NE(call.thread, receiveThread);
    EXPECT_GE(call.when - secondSent, 200ms);
    EXPECT_FALSE(listener.waitForCalls(3, 50ms)) << "the first arming fired as well";
}

TEST_F(Notifications, PassingTheNotifyLevelReportsAtOnceAndCancelsTheTimer)
{
    openAndFindReceiveThread(1000); // notify level 800
    port.setReadIntervalTimeout(300);
    ASSERT_TRUE(pty.writeAll(patternBytes(100)));
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 100; }, 5000ms));
    ASSERT_EQ(listener.callCount(), 1u);

    ASSERT_TRUE(pty.writeAll(patternBytes(701, 1)));
    ASSERT_TRUE(listener.waitForCalls(2, 5s));
    const auto call = listener.recorded().at(1);
    EXPECT_EQ(call.readBufferLen, 801u);
    EXPECT_EQ(call.thread, receiveThread) << "above the level the receive thread tells at once";
    EXPECT_FALSE(listener.waitForCalls(3, 400ms)) << "the armed timer was not stopped";
}

TEST_F(Notifications, AtTheNotifyLevelTheTimerStillWaits)
{
    openAndFindReceiveThread(1000); // notify level 800
    port.setReadIntervalTimeout(30);
    ASSERT_TRUE(pty.writeAll(patternBytes(800)));
    ASSERT_TRUE(listener.waitUntil(
        [](const auto& calls) { return calls.size() >= 2 && calls.back().readBufferLen == 800; }, 5s));
    EXPECT_NE(listener.recorded().back().thread, receiveThread);
}

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

TEST_F(Notifications, MinReadBytesLeavesBytesInTheDriverWithoutSpinning)
{
    port.connectReadEvent(&listener);
    port.setMinReadBytes(2); // before open: applies from the start
    ASSERT_TRUE(openPort());
    ASSERT_TRUE(pty.writeAll("!"));
    EXPECT_FALSE(listener.waitForCalls(1, 100ms));
    ASSERT_TRUE(pty.writeAll("!"));
    ASSERT_TRUE(listener.waitForCalls(1, 5s));
    char buffer[16];
    ASSERT_EQ(port.readData(buffer, 16), 2);

    port.setMinReadBytes(10); // on the open port
    ASSERT_TRUE(pty.writeAll("1234"));
    const auto cpuBefore = processCpuTime();
    EXPECT_FALSE(listener.waitForCalls(2, 300ms)) << "told before 10 bytes were queued";
    const auto cpuUsed = processCpuTime() - cpuBefore;
    EXPECT_LT(cpuUsed, 60ms) << "waiting for the minimum count spins";
    EXPECT_EQ(pty.slaveInputQueued(), 4) << "the bytes must stay in the driver";
    EXPECT_EQ(port.getReadBufferLen(), 0u);

    ASSERT_TRUE(pty.writeAll("567890"));
    ASSERT_TRUE(listener.waitForCalls(2, 5s));
    EXPECT_EQ(listener.recorded().at(1).readBufferLen, 10u);
    ASSERT_EQ(port.readData(buffer, 16), 10);
    EXPECT_EQ(std::string(buffer, 10), "1234567890");

    port.setMinReadBytes(2); // lowered on the open port while the thread waits for 10
    ASSERT_TRUE(pty.writeAll("ab"));
    ASSERT_TRUE(listener.waitForCalls(3, 5s)) << "a lower minimum did not reach the waiting thread";
    EXPECT_EQ(listener.recorded().at(2).readBufferLen, 2u);
}

TEST_F(Notifications, ParserConsumesExactlyWhatItSaysAndReplacesTheListener)
{
    std::string stream;
    for (unsigned int chunk = 0; chunk < 5; ++chunk)
        stream += patternBytes(1000, chunk);
    StreamParser parser(stream, true);
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_EQ(port.setProtocolParser(&parser), 0);
    ASSERT_TRUE(openPort());

    for (std::size_t sent = 0; sent < stream.size(); sent += 1000) {
        ASSERT_TRUE(pty.writeAll(stream.substr(sent, 1000)));
        ASSERT_TRUE(parser.waitUntil([&] { return parser.consumed >= sent + 999; }, 5s))
            << "after " << sent + 1000 << " bytes";
    }
    // The parser has said what it consumes; the port removes it right after.
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 1; }, 5000ms));
    char last = 0;
    ASSERT_EQ(port.readData(&last, 1), 1);
    EXPECT_EQ(last, stream.back());

    std::lock_guard<std::mutex> lock(parser.mutex);
    EXPECT_EQ(parser.consumed, stream.size() - 1);
    EXPECT_FALSE(parser.outOfOrder);
    EXPECT_GT(parser.resultCalls, 0u);
    EXPECT_FALSE(parser.emptyResultsReported);
    EXPECT_EQ(listener.callCount(), 0u);
}

TEST_F(Notifications, ParserSeesAtMost4096BytesPerCall)
{
    const std::string stream = patternBytes(9000) + "x";
    StreamParser parser(stream, false);
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    port.setProtocolParser(&parser);
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 65536));
    ASSERT_TRUE(pty.writeAll(stream.substr(0, 9000)));
    ASSERT_TRUE(parser.waitUntil([&] { return parser.largestView >= 4096; }, 5s));
    ASSERT_TRUE(pty.writeAll("x")); // one more batch with everything buffered
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 9001; }, 5000ms));
    std::lock_guard<std::mutex> lock(parser.mutex);
    EXPECT_EQ(parser.largestView, 4096u);
    EXPECT_FALSE(parser.outOfOrder);
    EXPECT_EQ(parser.resultCalls, 0u);
    EXPECT_EQ(listener.callCount(), 0u);
}

// A batch larger than one view is shown view after view while the parser takes something, also
// when no more bytes come to prompt it.
TEST_F(Notifications, ParserIsShownAWholeLargeBatchOnAQuietLine)
{
    const std::string stream = patternBytes(8000, 5);
    StreamParser parser(stream, true);
    ClosePortOnExit closeFirst(port);
    port.setProtocolParser(&parser);
    port.setMinReadBytes(8000); // the whole stream comes as one batch
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 16384));
    ASSERT_TRUE(pty.writeAll(stream));
    EXPECT_TRUE(parser.waitUntil([&] { return parser.consumed == stream.size() - 1; }, 5s))
        << "consumed " << parser.consumed << " of " << stream.size() - 1;
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 1; }, 5000ms));
    std::lock_guard<std::mutex> lock(parser.mutex);
    EXPECT_EQ(parser.largestView, 4096u);
    EXPECT_FALSE(parser.outOfOrder);
}

TEST_F(Notifications, ANullListenerKeepsTheRegistrationAndDisconnectEndsIt)
{
    openAndFindReceiveThread();
    EXPECT_EQ(port.connectReadEvent(nullptr), ErrorInvalidParam);
    ASSERT_TRUE(pty.writeAll("a"));
    ASSERT_TRUE(listener.waitForCalls(2, 5s)) << "the null listener replaced the registered one";

    port.disconnectReadEvent();
    ASSERT_TRUE(pty.writeAll("quiet"));
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 6; }, 5000ms));
    EXPECT_EQ(listener.callCount(), 2u);
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

// After disconnectReadEvent() or a parser's replacement returns, the old consumer may be
// destroyed: no call of it is running, and none starts later (not even a pending delayed one).
TEST_F(Notifications, AfterDisconnectOrReplacementNoCallOfTheOldConsumerRunsOrStarts)
{
    openAndFindReceiveThread();
    port.setReadIntervalTimeout(300);
    ASSERT_TRUE(pty.writeAll("abc"));
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 3; }, 5000ms));
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
    ASSERT_TRUE(pty.writeAll("d"));
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    auto disconnected = std::async(std::launch::async, [&] { port.disconnectReadEvent(); });
    EXPECT_EQ(disconnected.wait_for(100ms), std::future_status::timeout) << "returned while the listener ran";
    release.set_value();
    EXPECT_EQ(disconnected.wait_for(10s), std::future_status::ready);

    class BlockingParser : public vandrel::ProtocolParser
    {
    public:
        unsigned int parse(const char*, unsigned int size, vandrel::ProtocolResults&) override
        {
            entered.set_value();
            release.get_future().wait_for(10s);
            return size;
        }
        void onProtocolResults(vandrel::ProtocolResults&) override {}
        std::promise<void> entered;
        std::promise<void> release;
    } first;
    StreamParser second("", false);
    port.setProtocolParser(&first);
    ASSERT_TRUE(pty.writeAll("e"));
    ASSERT_EQ(first.entered.get_future().wait_for(5s), std::future_status::ready);
    auto replaced = std::async(std::launch::async, [&] { port.setProtocolParser(&second); });
    EXPECT_EQ(replaced.wait_for(100ms), std::future_status::timeout) << "returned while the parser ran";
    first.release.set_value();
    EXPECT_EQ(replaced.wait_for(10s), std::future_status::ready);
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
