// What every back end promises about received bytes: the listener told at once on the receive
// thread, after a quiet interval on a timer thread, at once above the notify level, only from a
// minimum count on, or a protocol parser instead.
#include "PortContract.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace serialtest;

namespace {

using ReceptionContract = PortContract;

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

// Consumes whole lines only and collects them.
class LineParser : public vandrel::ProtocolParser
{
public:
    unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults& results) override
    {
        unsigned int consumed = 0;
        for (unsigned int i = 0; i < size; ++i) {
            if (data[i] == '\n') {
                results.emplace_back(data + consumed, data + i);
                consumed = i + 1;
            }
        }
        return consumed;
    }
    void onProtocolResults(vandrel::ProtocolResults& results) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.insert(lines.end(), results.begin(), results.end());
        changed.notify_all();
    }
    bool waitForLines(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return lines.size() >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
};

} // namespace

TEST_F(ReceptionContract, IntervalZeroReportsEachBatchOnTheReceiveThreadWithTheTotalBuffered)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener);
    peerSends("abc");
    ASSERT_TRUE(listener.waitForCalls(2, 10s));
    peerSends("defgh");
    ASSERT_TRUE(listener.waitForCalls(3, 10s));
    EXPECT_FALSE(listener.waitForCalls(4, 50ms)) << "one batch, one call";

    const auto calls = listener.recorded();
    EXPECT_EQ(calls[1].readBufferLen, 3u);
    EXPECT_EQ(calls[2].readBufferLen, 8u); // nothing was read in between
    EXPECT_EQ(calls[1].portName, portName());
    EXPECT_EQ(calls[1].thread, receiveThread);
    EXPECT_EQ(calls[2].thread, receiveThread);
    EXPECT_NE(receiveThread, std::this_thread::get_id());

    // The bytes the listener did not read wait in the ring buffer.
    EXPECT_EQ(port.getReadBufferLen(), 8u);
    char buffer[16];
    ASSERT_EQ(port.readAllData(buffer), 8);
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
}

TEST_F(ReceptionContract, IntervalDelaysTheCallToATimerThreadAndEachBatchRestartsIt)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener);
    port.setReadIntervalTimeout(200);
    peerSends("0123456789");
    // The first batch is buffered and its timer armed; nothing is reported yet.
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 10; }, 10000ms));
    ASSERT_EQ(listener.callCount(), 1u);

    const auto secondSent = std::chrono::steady_clock::now();
    peerSends("abcdefghij");
    ASSERT_TRUE(listener.waitForCalls(2, 10s));
    const auto call = listener.recorded().at(1);
    EXPECT_EQ(call.readBufferLen, 20u);
    EXPECT_NE(call.thread, receiveThread);
    EXPECT_GE(call.when - secondSent, 200ms);
    EXPECT_FALSE(listener.waitForCalls(3, 50ms)) << "the first arming fired as well";
    EXPECT_EQ(port.getReadBufferLen(), 20u) << "the whole batch is reported once and stays";
}

TEST_F(ReceptionContract, PassingTheNotifyLevelReportsAtOnceAndCancelsTheTimer)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener, 1000); // notify level 800
    port.setReadIntervalTimeout(300);
    peerSends(patternBytes(100));
    ASSERT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 100; }, 10000ms));
    ASSERT_EQ(listener.callCount(), 1u);

    peerSends(patternBytes(701, 1));
    ASSERT_TRUE(listener.waitForCalls(2, 10s));
    const auto call = listener.recorded().at(1);
    EXPECT_EQ(call.readBufferLen, 801u);
    EXPECT_EQ(call.thread, receiveThread) << "above the level the receive thread tells at once";
    EXPECT_FALSE(listener.waitForCalls(3, 400ms)) << "the armed timer was not stopped";
}

TEST_F(ReceptionContract, AtTheNotifyLevelTheTimerStillWaits)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener, 1000); // notify level 800
    port.setReadIntervalTimeout(30);
    peerSends(patternBytes(800));
    ASSERT_TRUE(listener.waitUntil(
        [](const auto& calls) { return calls.size() >= 2 && calls.back().readBufferLen == 800; }, 10s));
    EXPECT_NE(listener.recorded().back().thread, receiveThread);
}

TEST_F(ReceptionContract, MinReadBytesHoldsBytesBackUntilEnoughHaveCome)
{
    RecordingListener listener;
    port.connectReadEvent(&listener);
    port.setMinReadBytes(2); // before open: applies from the start
    ASSERT_TRUE(openPort());
    peerSends("!");
    EXPECT_FALSE(listener.waitForCalls(1, 100ms));
    peerSends("!");
    ASSERT_TRUE(listener.waitForCalls(1, 10s));
    char buffer[16];
    ASSERT_EQ(port.readData(buffer, 16), 2);

    port.setMinReadBytes(10); // on the open port
    peerSends("1234");
    EXPECT_FALSE(listener.waitForCalls(2, 300ms)) << "told before 10 bytes were queued";
    EXPECT_EQ(port.getReadBufferLen(), 0u);

    peerSends("567890");
    ASSERT_TRUE(listener.waitForCalls(2, 10s));
    EXPECT_EQ(listener.recorded().at(1).readBufferLen, 10u);
    ASSERT_EQ(port.readData(buffer, 16), 10);
    EXPECT_EQ(std::string(buffer, 10), "1234567890");

    port.setMinReadBytes(2); // lowered on the open port while the thread waits for 10
    peerSends("ab");
    ASSERT_TRUE(listener.waitForCalls(3, 10s)) << "a lower minimum did not reach the waiting thread";
    EXPECT_EQ(listener.recorded().at(2).readBufferLen, 2u);
}

TEST_F(ReceptionContract, ANullListenerKeepsTheRegistrationAndDisconnectEndsIt)
{
    RecordingListener listener;
    openAndFindReceiveThread(listener);
    EXPECT_EQ(port.connectReadEvent(nullptr), ErrorInvalidParam);
    peerSends("a");
    ASSERT_TRUE(listener.waitForCalls(2, 10s)) << "the null listener replaced the registered one";

    port.disconnectReadEvent();
    peerSends("quiet");
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 6; }, 10000ms));
    EXPECT_EQ(listener.callCount(), 2u);
}

TEST_F(ReceptionContract, ParserConsumesExactlyWhatItSaysAndReplacesTheListener)
{
    std::string stream;
    for (unsigned int chunk = 0; chunk < 5; ++chunk)
        stream += patternBytes(1000, chunk);
    StreamParser parser(stream, true);
    RecordingListener listener;
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    ASSERT_EQ(port.setProtocolParser(&parser), 0);
    ASSERT_TRUE(openPort());

    for (std::size_t sent = 0; sent < stream.size(); sent += 1000) {
        peerSends(stream.substr(sent, 1000));
        ASSERT_TRUE(parser.waitUntil([&] { return parser.consumed >= sent + 999; }, 10s))
            << "after " << sent + 1000 << " bytes";
    }
    // The parser has said what it consumes; the port removes it right after.
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 1; }, 10000ms));
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

TEST_F(ReceptionContract, ParserTakesWholeLinesAndLeavesTheRestBuffered)
{
    RecordingListener listener(port);
    LineParser parser;
    port.connectReadEvent(&listener);
    port.setProtocolParser(&parser);
    ASSERT_TRUE(openPort());
    peerSends("one\ntwo\nthr");
    ASSERT_TRUE(parser.waitForLines(2));
    EXPECT_EQ(parser.lines, (std::vector<std::string>{"one", "two"}));
    // The unfinished line stays in the ring buffer; the listener never hears of anything.
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 3; }, 10000ms));
    EXPECT_EQ(listener.callCount(), 0u);
    port.close(); // before the parser goes
}

TEST_F(ReceptionContract, ParserSeesAtMost4096BytesPerCall)
{
    const std::string stream = patternBytes(9000) + "x";
    StreamParser parser(stream, false);
    RecordingListener listener;
    ClosePortOnExit closeFirst(port);
    port.connectReadEvent(&listener);
    port.setProtocolParser(&parser);
    ASSERT_TRUE(openPort(65536));
    peerSends(stream.substr(0, 9000));
    ASSERT_TRUE(parser.waitUntil([&] { return parser.largestView >= 4096; }, 10s));
    peerSends("x"); // one more batch with everything buffered
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 9001; }, 10000ms));
    std::lock_guard<std::mutex> lock(parser.mutex);
    EXPECT_EQ(parser.largestView, 4096u);
    EXPECT_FALSE(parser.outOfOrder);
    EXPECT_EQ(parser.resultCalls, 0u);
    EXPECT_EQ(listener.callCount(), 0u);
}

// A batch larger than one view is shown view after view while the parser takes something, also
// when no more bytes come to prompt it.
TEST_F(ReceptionContract, ParserIsShownAWholeLargeBatchOnAQuietLine)
{
    const std::string stream = patternBytes(8000, 5);
    StreamParser parser(stream, true);
    ClosePortOnExit closeFirst(port);
    port.setProtocolParser(&parser);
    port.setMinReadBytes(8000); // the whole stream comes as one batch
    ASSERT_TRUE(openPort(16384));
    peerSends(stream);
    EXPECT_TRUE(parser.waitUntil([&] { return parser.consumed == stream.size() - 1; }, 10s))
        << "consumed " << parser.consumed << " of " << stream.size() - 1;
    EXPECT_TRUE(becomesTrue([&] { return port.getReadBufferLen() == 1; }, 10000ms));
    std::lock_guard<std::mutex> lock(parser.mutex);
    EXPECT_EQ(parser.largestView, 4096u);
    EXPECT_FALSE(parser.outOfOrder);
}
