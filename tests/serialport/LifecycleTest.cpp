// Opening and closing under load, from inside the listener, by destruction, many times over,
// and when the far side hangs up.
#include "ProcessProbes.h"
#include "PtyPortTest.h"
#include "RecordingListener.h"
#include "Watchdog.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace serialtest;

namespace {

class Lifecycle : public PtyPortTest
{
protected:
    // Starts a write far larger than the pty holds and, once it waits for room, runs `interrupt`;
    // returns what the write returned.
    int interruptedWrite(const std::function<void()>& interrupt)
    {
        const std::string data = patternBytes(1 << 20);
        std::atomic<int> result{0};
        std::thread writer([&] { result = port.writeData(data.data(), static_cast<int>(data.size())); });
        // Nobody reads the master: once the pty is full the write waits for room.
        EXPECT_FALSE(pty.readExactly(100, 5s).empty());
        interrupt();
        writer.join();
        return result;
    }
};

void expectThreadCountBackTo(int threadsBefore)
{
    EXPECT_TRUE(becomesTrue([&] { return threadCount() == threadsBefore; }, 2000ms))
        << threadCount() << " threads, " << threadsBefore << " before";
}

// Keeps the master side sending until stopped, as a chip streaming data would.
class Feeder
{
public:
    explicit Feeder(PtyPair& pty) : pty(pty), thread([this] { run(); }) {}
    ~Feeder()
    {
        stopRequested = true;
        thread.join();
    }

private:
    void run()
    {
        const std::string chunk = patternBytes(512);
        while (!stopRequested) {
            ssize_t n = ::write(pty.master(), chunk.data(), chunk.size());
            if (n < 0) {
                // Full: wait for room, but look at the stop flag at least every 20 ms.
                pollfd p{pty.master(), POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        }
    }

    PtyPair& pty;
    std::atomic<bool> stopRequested{false};
    std::thread thread;
};

} // namespace

TEST_F(Lifecycle, CloseDuringABurstOfIncomingData)
{
    RecordingListener listener(port);
    port.connectReadEvent(&listener);
    Feeder feeder(pty);
    for (int round = 0; round < 20; ++round) {
        const std::size_t callsBefore = listener.callCount();
        ASSERT_TRUE(openPort()) << "round " << round << ": " << port.getLastErrorMsg();
        ASSERT_TRUE(listener.waitForBytes(listener.byteCount() + 1, 5s));
        port.close();
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(port.getReadBufferLen(), 0u) << "a closed port reports nothing waiting";
        const std::size_t callsAfterClose = listener.callCount();
        EXPECT_GT(callsAfterClose, callsBefore);
        EXPECT_FALSE(listener.waitForBytes(listener.byteCount() + 1, 20ms)) << "told after close";
        EXPECT_EQ(listener.callCount(), callsAfterClose);
    }
}

TEST_F(Lifecycle, DestroyingAnOpenPortUnderLoadEndsItsThread)
{
    const int threadsBefore = threadCount();
    RecordingListener listener;
    {
        Feeder feeder(pty);
        auto doomed = std::make_unique<CSerialPort>(pty.slaveName());
        doomed->connectReadEvent(&listener);
        ASSERT_TRUE(doomed->open());
        ASSERT_TRUE(listener.waitForCalls(1, 5s));
        doomed.reset();
        const std::size_t callsAtDestruction = listener.callCount();
        EXPECT_FALSE(listener.waitForCalls(callsAtDestruction + 1, 50ms)) << "told after destruction";
    }
    expectThreadCountBackTo(threadsBefore);
}

TEST_F(Lifecycle, DestroyingAnOpenPortCancelsAPendingNotification)
{
    const int threadsBefore = threadCount();
    RecordingListener listener;
    auto doomed = std::make_unique<CSerialPort>(pty.slaveName());
    doomed->connectReadEvent(&listener);
    doomed->setReadIntervalTimeout(60000);
    ASSERT_TRUE(doomed->open());
    ASSERT_TRUE(pty.writeAll("pending"));
    ASSERT_TRUE(becomesTrue([&] { return doomed->getReadBufferLen() == 7; }, 5000ms));
    doomed.reset(); // must not wait for the minute to pass
    EXPECT_EQ(listener.callCount(), 0u);
    expectThreadCountBackTo(threadsBefore);
}

TEST_F(Lifecycle, AThousandOpenCloseCyclesLeakNoThreadsOrDescriptors)
{
    RecordingListener listener;
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    port.close();
    const int threadsBefore = threadCount();
    const int descriptorsBefore = openDescriptorCount();

    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(port.open()) << "cycle " << cycle << ": " << port.getLastErrorMsg();
        if (cycle % 100 == 0) {
            // Each opening receives with its own thread.
            const std::size_t calls = listener.callCount();
            ASSERT_TRUE(pty.writeAll("."));
            ASSERT_TRUE(listener.waitForCalls(calls + 1, 5s)) << "cycle " << cycle;
            char dot;
            ASSERT_EQ(port.readData(&dot, 1), 1);
        }
        port.close();
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    expectThreadCountBackTo(threadsBefore);
}

TEST_F(Lifecycle, HangUpOfTheFarSideStopsReadingWithoutSpinning)
{
    RecordingListener listener;
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openPort());
    ASSERT_TRUE(pty.writeAll("last"));
    ASSERT_TRUE(listener.waitForCalls(1, 5s));

    pty.closeMaster();
    // The hang-up is told once, with what is still buffered; then nothing more.
    ASSERT_TRUE(listener.waitForCalls(2, 5s)) << "the hang-up is not told";
    EXPECT_EQ(listener.recorded()[1].readBufferLen, 4u);
    const auto cpuBefore = processCpuTime();
    EXPECT_FALSE(listener.waitForCalls(3, 300ms));
    const auto cpuUsed = processCpuTime() - cpuBefore;
    EXPECT_LT(cpuUsed, 60ms) << "the receive thread spins after the hang-up";

    EXPECT_EQ(port.writeData("x", 1), -1);
    EXPECT_EQ(port.getLastError(), ErrorWriteFailed);

    char buffer[8];
    ASSERT_EQ(port.readData(buffer, 8), 4) << "bytes received before the hang-up stay readable";
    EXPECT_EQ(std::string(buffer, 4), "last");
    EXPECT_EQ(port.readData(buffer, 8), -1);
    EXPECT_EQ(port.getLastError(), ErrorReadFailed);

    EXPECT_TRUE(port.isOpen()) << "only close() closes";
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST_F(Lifecycle, HangUpWhileAWriteWaitsForRoomFailsTheWrite)
{
    ASSERT_TRUE(openPort());
    EXPECT_EQ(interruptedWrite([&] { pty.closeMaster(); }), -1);
    // The receive thread may store its own read failure at the same moment.
    EXPECT_TRUE(port.getLastError() == ErrorWriteFailed || port.getLastError() == ErrorReadFailed)
        << port.getLastError();
}

TEST_F(Lifecycle, CloseWhileAWriteWaitsForRoomEndsTheWrite)
{
    ASSERT_TRUE(openPort());
    EXPECT_EQ(interruptedWrite([&] { port.close(); }), -1);
    EXPECT_EQ(port.getLastError(), ErrorWriteFailed);
    EXPECT_FALSE(port.isOpen());
}

// A close and open from inside a parser call leave that call running beside the next opening's
// receive thread, on the same buffer: what the call was shown is not shown again, and nothing
// after it is lost, also when the new bytes push the shown ones out of a full buffer.
class ReopenFromInsideTheParser : public Lifecycle, public ::testing::WithParamInterface<unsigned int>
{
};

TEST_P(ReopenFromInsideTheParser, WhileItStillParses)
{
    const unsigned int bufferSize = GetParam();
    Watchdog watchdog("a parser call that reopened the port", 20s);
    const std::string before = patternBytes(64, 21);
    const std::string after = patternBytes(64, 22);
    std::mutex mutex;
    std::condition_variable changed;
    std::string shown; // everything the parser was shown, in order
    int calls = 0;
    std::promise<std::size_t> reopened; // how much the first call was shown

    class ReopeningParser : public vandrel::ProtocolParser
    {
    public:
        explicit ReopeningParser(const std::function<void(const char*, unsigned int)>& onParse)
            : onParse(onParse)
        {
        }
        unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults&) override
        {
            onParse(data, size);
            return size;
        }
        void onProtocolResults(vandrel::ProtocolResults&) override {}

    private:
        std::function<void(const char*, unsigned int)> onParse;
    } parser([&](const char* data, unsigned int size) {
        bool first;
        {
            std::lock_guard<std::mutex> lock(mutex);
            shown.append(data, size);
            first = ++calls == 1;
        }
        changed.notify_all();
        if (!first)
            return;
        port.close();
        EXPECT_TRUE(port.open()) << port.getLastErrorMsg();
        reopened.set_value(size);
        // Goes on parsing until the new opening's thread has the next bytes to hand over, and a
        // while longer, time enough for that thread to hand them over beside this call.
        EXPECT_TRUE(becomesTrue(
            [&] { return port.getReadBufferLen() >= std::min<std::size_t>(size + after.size(), bufferSize); },
            5000ms));
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, 200ms, [&] { return calls > 1; });
    });
    port.setProtocolParser(&parser);
    ClosePortOnExit closeFirst(port);
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, bufferSize));
    ASSERT_TRUE(pty.writeAll(before));
    auto firstShown = reopened.get_future();
    ASSERT_EQ(firstShown.wait_for(10s), std::future_status::ready);
    const std::string expected = before.substr(0, firstShown.get()) + after;
    ASSERT_TRUE(pty.writeAll(after));
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return shown.size() >= expected.size(); }));
    EXPECT_TRUE(shown == expected) << "shown " << shown.size() << " bytes, " << expected.size()
                                   << " expected: bytes shown twice or lost";
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, ReopenFromInsideTheParser, ::testing::Values(4096u, 64u));

TEST_F(Lifecycle, BytesReportedAsWrittenSurviveAnImmediateClose)
{
    // More than the far side's queue takes at once: the rest waits in the pty's transfer buffer.
    ASSERT_TRUE(openPort());
    const std::string data = patternBytes(10000, 12);
    ASSERT_EQ(port.writeData(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    port.close();
    const std::string received = pty.readExactly(data.size());
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "bytes reported as written were discarded by close()";
}

TEST_F(Lifecycle, TheListenerFindsThePortOpenFromItsFirstCall)
{
    std::atomic<bool> firstCallAwaited{false};
    std::atomic<int> toldWhileClosed{0};
    RecordingListener listener([&](const char*, unsigned int) {
        // Later calls may overlap the close() below; the first one of an opening may not.
        const bool open = port.isOpen();
        if (firstCallAwaited.exchange(false) && !open)
            ++toldWhileClosed;
    });
    port.connectReadEvent(&listener);
    Feeder feeder(pty);
    for (int round = 0; round < 300; ++round) {
        const std::size_t callsBefore = listener.callCount();
        firstCallAwaited = true;
        ASSERT_TRUE(openPort()) << "round " << round << ": " << port.getLastErrorMsg();
        ASSERT_TRUE(listener.waitForCalls(callsBefore + 1, 5s)) << "round " << round;
        port.close();
    }
    EXPECT_EQ(toldWhileClosed, 0) << "the listener was told before open() had published the opening";
}
