// The engine against any sequence of replies. A scripted chip answers each frame with a random
// choice among the right reply, every other protocol code, garbage, a reply split in parts,
// silence and duplicates; the bytes reach the engine in random batches, some while it pauses,
// and the guard fires when it is due (or, now and then, early). After every step and every run:
// - a notification moves the run on exactly when the bytes it brought after the last frame was
//   written begin with the reply that frame waits for, and then by the one next frame;
// - frames go out only in protocol order: the boot-mode request, blocks 1..N each once and
//   in order, end of data, exit (or the factory reset, then exit);
// - a run completes only when all of them went out, each answered in turn;
// - a run whose right reply never comes ends by its time-out, measured from the last frame;
// - nothing happens after a run has ended.
// Pauses are recorded and the clock is the test's, so thousands of runs take seconds. A failure
// names its seed; ENGINE_PROPERTY_SEED=S ENGINE_PROPERTY_RUNS=1 repeats that run alone.
#include "flasher/FlashEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

using namespace rq75x;

namespace {

using Bytes = std::vector<uint8_t>;
using TimePoint = std::chrono::steady_clock::time_point;

constexpr uint64_t DefaultSeed = 20261208;
constexpr int DefaultRuns = 20000;

uint64_t fromEnvironment(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// The chip's 8-byte reply with the code `code`: "ACK (33)" travels as 0x33.
Bytes chipReply(ReplyCode code, uint8_t status = 0x00)
{
    const auto command = static_cast<uint8_t>(0x32 + (code - ReplyBootReady));
    Bytes reply = {0x55, 0x66, command, 0x00, 0x01, status, 0, 0};
    const uint16_t crc = crc16Modbus(reply.data(), 6);
    reply[6] = static_cast<uint8_t>(crc >> 8);
    reply[7] = static_cast<uint8_t>(crc & 0xFF);
    return reply;
}

// A frame the engine is to send, with the reply it waits for and the time-out that guards it.
struct ExpectedFrame
{
    Bytes bytes;
    ReplyCode answer;
    unsigned int timeoutMs;
};

std::vector<ExpectedFrame> protocolOrder(const FirmwareImage* image)
{
    const auto control = [](ControlCommand command) {
        const auto frame = buildControlFrame(command);
        return Bytes(frame.begin(), frame.end());
    };
    std::vector<ExpectedFrame> frames = {
        {Bytes(BootModeRequest.begin(), BootModeRequest.end()), ReplyBootReady, timing::BootModeTimeout}};
    if (image == nullptr) {
        frames.push_back({control(ControlFactoryReset), ReplyFactoryReset, timing::FactoryResetTimeout});
        frames.push_back({control(ControlExitBootMode), ReplyBootExited, timing::ExitAfterResetTimeout});
        return frames;
    }
    for (uint32_t block = 1; block <= image->totalBlocks; ++block)
        frames.push_back({buildBlockFrame(static_cast<uint16_t>(block), image->blockData(block),
                                          image->blockLength(block)),
                          ReplyBlockWritten, timing::BlockTimeout});
    frames.push_back({control(ControlEndOfData), ReplyEndOfData, timing::EndOfDataTimeout});
    frames.push_back({control(ControlExitBootMode), ReplyBootExited, timing::ExitBootModeTimeout});
    return frames;
}

// Received bytes, each with the moment it arrived: a count of events shared with the writes.
struct ArrivedByte
{
    uint8_t value;
    uint64_t arrivedAt;
};

// The port as the engine sees it: writes are handed to the run, reads take what has arrived.
class ScriptedPort : public ChipPort
{
public:
    std::function<void(const Bytes&)> onWrite;
    std::deque<ArrivedByte> line;
    bool open = true;

    bool isOpen() override { return open; }
    int readData(void* data, int size) override
    {
        if (!open)
            return -1;
        const int count = std::min<int>(size, static_cast<int>(line.size()));
        auto* out = static_cast<uint8_t*>(data);
        for (int i = 0; i < count; ++i) {
            out[i] = line.front().value;
            line.pop_front();
        }
        return count;
    }
    int writeData(const void* data, int size) override
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        onWrite(Bytes(bytes, bytes + size));
        return size;
    }
    void close() override { open = false; }
    int lastError() override { return open ? 0 : 14; }
    unsigned int bytesWaiting() override { return static_cast<unsigned int>(line.size()); }
};

// One run of the engine against the scripted chip, checked as it goes.
class ScriptedRun : public FlashEvents
{
public:
    explicit ScriptedRun(uint64_t seed) : random(seed)
    {
        port.onWrite = [this](const Bytes& frame) { frameWritten(frame); };
    }

    // Plays the run to its end and past it; how it ended.
    RunOutcome play()
    {
        const bool reset = below(5) == 0;
        if (!reset) {
            Bytes bytes(1 + below(6 * BlockSize));
            for (uint8_t& byte : bytes)
                byte = static_cast<uint8_t>(random());
            const ImageRead read = firmwareImageOf(QStringLiteral("image.bin"),
                                                   QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                              static_cast<qsizetype>(bytes.size())));
            EXPECT_TRUE(read.image);
            if (!read.image)
                return outcome;
            image = read.image;
        }
        expected = protocolOrder(image.get());
        if (reset)
            engine.startFactoryReset();
        else
            engine.startFlash(ImageRead{ImageRead::Read, image->path, image, {}, 0});
        EXPECT_EQ(sent.size(), 1u) << "the boot-mode request goes out at once";

        for (int step = 0; !ended && step < 10000 && !::testing::Test::HasFatalFailure(); ++step)
            takeAStep();
        EXPECT_TRUE(ended) << "the run never ended";
        if (ended)
            afterTheEnd();
        return outcome;
    }

    // --- FlashEvents ---
    void runStarted(RunTask) override {}
    void stageReached(const RunPosition&) override {}
    void message(const Message& message) override
    {
        if (message.id == MessageId::UnexpectedReply)
            ++unexpectedReplies;
    }
    void replied(const ChipReply& reply) override
    {
        if (reply.code != ReplyOther && !reply.inTurn)
            ++repliesOutOfTurn;
    }
    void guardChanged(unsigned int ms) override
    {
        timerDue = ms == 0 ? TimePoint::max() : now() + std::chrono::milliseconds(ms);
    }
    void runEnded(const RunEnd& end) override
    {
        EXPECT_FALSE(ended) << "a second end";
        ended = true;
        outcome = end.outcome;
    }

private:
    uint64_t below(uint64_t n) { return random() % n; }
    TimePoint now() const { return TimePoint(std::chrono::milliseconds(clockMs)); }

    // The chip's answer to each frame written, queued to arrive later in the pieces it is sent in.
    void frameWritten(const Bytes& frame)
    {
        ++events;
        const size_t index = sent.size();
        sent.push_back({frame, events, clockMs});
        ASSERT_LT(index, expected.size()) << "a frame after the last one";
        ASSERT_EQ(frame, expected[index].bytes) << "frame " << index + 1 << " out of protocol order";
        chipAnswers(expected[index].answer);
    }

    void chipAnswers(ReplyCode right)
    {
        const Bytes reply = chipReply(right);
        switch (below(12)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5: // the right reply
            outbox.push_back(reply);
            break;
        case 6: // every other protocol code
            outbox.push_back(chipReply(otherCode(right)));
            break;
        case 7: { // garbage, some of it that looks like the start of a reply
            Bytes garbage(1 + below(12));
            for (uint8_t& byte : garbage)
                byte = static_cast<uint8_t>(random());
            if (below(2) == 0 && garbage.size() >= 3) {
                garbage[0] = 0x55;
                garbage[1] = 0x66;
            }
            outbox.push_back(garbage);
            break;
        }
        case 8: { // the right reply in two or three parts
            const size_t cut = 1 + below(reply.size() - 1);
            outbox.push_back(Bytes(reply.begin(), reply.begin() + static_cast<long>(cut)));
            if (below(2) == 0 && reply.size() - cut > 1) {
                const size_t second = cut + 1 + below(reply.size() - cut - 1);
                outbox.push_back(
                    Bytes(reply.begin() + static_cast<long>(cut), reply.begin() + static_cast<long>(second)));
                outbox.push_back(Bytes(reply.begin() + static_cast<long>(second), reply.end()));
            } else {
                outbox.push_back(Bytes(reply.begin() + static_cast<long>(cut), reply.end()));
            }
            break;
        }
        case 9: // silence
            break;
        case 10: // the right reply twice
            outbox.push_back(reply);
            outbox.push_back(reply);
            break;
        default: // another code first, then the right one; or a boot-ready reply with a bad byte 5
            if (right == ReplyBootReady && below(2) == 0) {
                outbox.push_back(chipReply(ReplyBootReady, 0x01));
            } else {
                outbox.push_back(chipReply(otherCode(right)));
                outbox.push_back(reply);
            }
            break;
        }
    }

    ReplyCode otherCode(ReplyCode right)
    {
        int code = ReplyBootReady + static_cast<int>(below(4));
        if (code >= right)
            ++code;
        return static_cast<ReplyCode>(code);
    }
    ReplyCode anyCode() { return static_cast<ReplyCode>(ReplyBootReady + static_cast<int>(below(5))); }

    // A piece the chip sent arrives on the line; the receive thread will tell of it.
    void arrive()
    {
        ++events;
        for (uint8_t byte : outbox.front())
            port.line.push_back({byte, events});
        notifications.push_back(static_cast<unsigned int>(outbox.front().size()));
        outbox.pop_front();
    }

    // Mostly pieces arrive while the engine pauses after a frame; but also during the pause after
    // the boot-ready reply, before block 1 goes out.
    void pause(unsigned int ms)
    {
        clockMs += ms;
        while (!outbox.empty() && below(3) == 0)
            arrive();
    }

    void takeAStep()
    {
        const bool canArrive = !outbox.empty();
        const bool canNotify = !notifications.empty();
        if (below(40) == 0) { // a reply to nothing
            outbox.push_front(chipReply(anyCode()));
            arrive();
            return;
        }
        if (canNotify && (!canArrive || below(2) == 0)) {
            passTime(below(300));
            notify();
            return;
        }
        if (canArrive) {
            passTime(below(300));
            arrive();
            return;
        }
        // Nothing more will come: the guard must be armed, and fire at its deadline.
        ASSERT_NE(timerDue, TimePoint::max()) << "the run waits with no time-out armed";
        if (below(4) == 0 && timerDue > now()) {
            const auto early =
                std::chrono::duration_cast<std::chrono::milliseconds>(timerDue - now()).count();
            passTime(static_cast<uint64_t>(below(static_cast<uint64_t>(early))));
            ASSERT_FALSE(engine.onTimerFired()) << "fired before its deadline";
            return;
        }
        clockMs = std::chrono::duration_cast<std::chrono::milliseconds>(timerDue.time_since_epoch()).count();
        const SentFrame& last = sent.back();
        ASSERT_TRUE(engine.onTimerFired()) << "the deadline passed and the guard did not fire";
        ASSERT_TRUE(ended);
        EXPECT_EQ(outcome, RunOutcome::TimedOut);
        // From the last frame: its time-out, plus the short pause after the last block.
        const uint64_t waited = clockMs - last.clockMs;
        const unsigned int timeout = expected[sent.size() - 1].timeoutMs;
        EXPECT_GE(waited, timeout) << "timed out early";
        EXPECT_LE(waited, timeout + timing::PauseAfterLastBlock) << "the deadline was put off";
    }

    // The clock moves on, never past the guard's deadline: the front end's timer fires then.
    void passTime(uint64_t ms)
    {
        if (timerDue != TimePoint::max()) {
            const uint64_t due = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(timerDue.time_since_epoch()).count());
            ms = std::min(ms, due > clockMs ? due - clockMs - 1 : 0);
        }
        clockMs += ms;
    }

    // One notification, now and then for the bytes of several arrivals at once, or for none.
    void notify()
    {
        unsigned int length = 0;
        if (below(30) != 0) {
            length = notifications.front();
            notifications.pop_front();
            while (!notifications.empty() && below(4) == 0) {
                length += notifications.front();
                notifications.pop_front();
            }
        }
        // What the engine must make of it: the bytes that arrived after the last frame decide.
        const uint64_t lastFrameAt = sent.back().event;
        Bytes after;
        for (unsigned int i = 0; i < length && i < port.line.size(); ++i) {
            if (port.line[i].arrivedAt > lastFrameAt)
                after.push_back(port.line[i].value);
        }
        const bool wasRunning = !ended;
        const bool inTurn =
            wasRunning && !after.empty() &&
            classifyReply(after.data(), static_cast<int>(after.size())) == expected[sent.size() - 1].answer;

        const size_t framesBefore = sent.size();
        engine.onReadEvent(length);
        const bool completed = wasRunning && ended && outcome == RunOutcome::Completed;
        const size_t framesSent = sent.size() - framesBefore;
        if (inTurn) {
            EXPECT_TRUE(framesSent == 1 || (completed && framesSent == 0))
                << "the reply " << expected[framesBefore - 1].answer << " to frame " << framesBefore
                << " came in turn: " << framesSent << " frames followed";
        } else {
            EXPECT_EQ(framesSent, 0u) << "frames sent on a reply out of turn to frame " << framesBefore;
            EXPECT_FALSE(wasRunning && ended) << "a reply out of turn ended the run";
        }
        if (completed) {
            EXPECT_EQ(sent.size(), expected.size()) << "completed with frames missing";
        }
        EXPECT_EQ(unexpectedReplies, repliesOutOfTurn) << "a reply out of turn went unsaid";
    }

    // Whatever still comes changes nothing.
    void afterTheEnd()
    {
        const size_t frames = sent.size();
        outbox.push_back(chipReply(ReplyBootExited));
        outbox.push_back(chipReply(expected[frames - 1].answer));
        while (!outbox.empty())
            arrive();
        while (!notifications.empty())
            notify();
        EXPECT_EQ(sent.size(), frames) << "a frame after the run ended";
        EXPECT_FALSE(engine.runActive());
    }

    struct SentFrame
    {
        Bytes bytes;
        uint64_t event;   // when it was written, among arrivals
        uint64_t clockMs; // on the test's clock
    };

    std::mt19937_64 random;
    uint64_t clockMs = 1000000;
    uint64_t events = 0;
    ScriptedPort port;
    FlashEngine engine{port, *this, [this](unsigned int ms) { pause(ms); }, [this] { return now(); }};
    std::shared_ptr<const FirmwareImage> image;
    std::vector<ExpectedFrame> expected;
    std::vector<SentFrame> sent;
    std::deque<Bytes> outbox;               // sent by the chip, not yet arrived
    std::deque<unsigned int> notifications; // arrived, not yet told of: their lengths
    TimePoint timerDue = TimePoint::max();
    bool ended = false;
    RunOutcome outcome = RunOutcome::Stopped;
    int unexpectedReplies = 0;
    int repliesOutOfTurn = 0;
};

} // namespace

TEST(FlashEngineProperty, AnyReplySequenceKeepsTheProtocolOrderAndEndsWithinItsGuard)
{
    const uint64_t firstSeed = fromEnvironment("ENGINE_PROPERTY_SEED", DefaultSeed);
    const uint64_t runs = fromEnvironment("ENGINE_PROPERTY_RUNS", DefaultRuns);
    uint64_t completed = 0;
    uint64_t timedOut = 0;
    for (uint64_t seed = firstSeed; seed < firstSeed + runs; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (ENGINE_PROPERTY_SEED=" + std::to_string(seed) +
                     " ENGINE_PROPERTY_RUNS=1 repeats it)");
        const RunOutcome outcome = ScriptedRun(seed).play();
        if (::testing::Test::HasFailure())
            return; // one failing run is enough to read
        completed += outcome == RunOutcome::Completed;
        timedOut += outcome == RunOutcome::TimedOut;
    }
    std::printf("%llu runs from seed %llu: %llu completed, %llu timed out\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(firstSeed),
                static_cast<unsigned long long>(completed), static_cast<unsigned long long>(timedOut));
    EXPECT_EQ(completed + timedOut, runs);
    if (runs >= 100) {
        EXPECT_GT(completed, runs / 20) << "the replies hardly ever let a run complete: nothing was tested";
    }
}
