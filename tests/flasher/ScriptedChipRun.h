// One flashing run against a scripted chip whose every move is a choice: how it answers each
// frame (the right reply, another protocol code, garbage, a reply split in parts, silence,
// duplicates), when those bytes arrive (some while the engine pauses) and how the receive thread
// hands them over (in batches, several at once, or none), and when the guard fires (at its
// deadline, or early). The property test draws the choices from a seeded generator, the fuzzer
// from its input; choice 0 is always the ordinary one, so a run whose choices run out ends well.
//
// It checks as it goes, and reports the first violation and stops:
// - a notification moves the run on exactly when the bytes it brought after the last frame was
//   written begin with the reply that frame waits for, and then by the one next frame;
// - frames go out only in protocol order: the boot-mode request, blocks 1..N each once and
//   in order, end of data, exit (or the factory reset, then exit);
// - a run completes only when all of them went out, each answered in turn;
// - a run whose right reply never comes ends by its time-out, measured from the last frame;
// - every protocol reply out of turn is told as such, and said to be ignored;
// - nothing happens after a run has ended.
// Pauses are recorded and the clock is the run's own, so a run takes microseconds.
#pragma once

#include "flasher/FlashEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace enginecheck {

using Bytes = std::vector<uint8_t>;

// The chip's 8-byte reply with the code `code`: "ACK (33)" travels as 0x33.
inline Bytes chipReply(rq75x::ReplyCode code, uint8_t status = 0x00)
{
    const auto command = static_cast<uint8_t>(0x32 + (code - rq75x::ReplyBootReady));
    Bytes reply = {0x55, 0x66, command, 0x00, 0x01, status, 0, 0};
    const uint16_t crc = rq75x::crc16Modbus(reply.data(), 6);
    reply[6] = static_cast<uint8_t>(crc >> 8);
    reply[7] = static_cast<uint8_t>(crc & 0xFF);
    return reply;
}

// A frame the engine is to send, with the reply it waits for and the time-out that guards it.
struct ExpectedFrame
{
    Bytes bytes;
    rq75x::ReplyCode answer;
    unsigned int timeoutMs;
};

// Every frame of a flash of `image`, or of a factory reset for none, in protocol order.
inline std::vector<ExpectedFrame> protocolOrder(const rq75x::FirmwareImage* image)
{
    using namespace rq75x;
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

// A received byte with the moment it arrived: a count of events shared with the writes.
struct ArrivedByte
{
    uint8_t value;
    uint64_t arrivedAt;
};

// The port as the engine sees it: writes are handed to the run, reads take what has arrived.
class ScriptedPort : public rq75x::ChipPort
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

class ScriptedChipRun : public rq75x::FlashEvents
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // A number below n (n >= 1); 0 is the ordinary choice.
    using Choose = std::function<uint64_t(uint64_t n)>;
    // Told of the first violation; the run stops there.
    using Violation = std::function<void(const std::string& what)>;

    ScriptedChipRun(Choose choose, Violation violation)
        : below(std::move(choose)), violated(std::move(violation))
    {
        port.onWrite = [this](const Bytes& frame) { frameWritten(frame); };
    }

    // Plays a flash of up to 6 blocks, or a factory reset, to its end and past it. How it ended;
    // Stopped (which it never ends with) after a violation.
    rq75x::RunOutcome play()
    {
        using namespace rq75x;
        const bool reset = below(5) == 4;
        if (!reset) {
            QByteArray bytes(static_cast<qsizetype>(1 + below(6 * BlockSize)), Qt::Uninitialized);
            const auto seed = static_cast<uint8_t>(below(256));
            for (qsizetype i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>(i * 7 + i / BlockSize * 31 + seed);
            const ImageRead read = firmwareImageOf(QStringLiteral("image.bin"), bytes);
            if (!check(read.image != nullptr, "the image was not taken"))
                return RunOutcome::Stopped;
            image = read.image;
        }
        expected = protocolOrder(image.get());
        if (reset)
            engine.startFactoryReset();
        else
            engine.startFlash(ImageRead{ImageRead::Read, image->path, image, {}, 0});
        check(sent.size() == 1, "the boot-mode request did not go out at once");

        for (int step = 0; !ended && !failed && step < 100000; ++step)
            takeAStep();
        if (!failed && check(ended, "the run never ended"))
            afterTheEnd();
        return failed ? RunOutcome::Stopped : outcome;
    }

    // --- FlashEvents ---
    void runStarted(rq75x::RunTask) override {}
    void stageReached(const rq75x::RunPosition&) override {}
    void message(const rq75x::Message& message) override
    {
        if (message.id == rq75x::MessageId::UnexpectedReply)
            ++unexpectedReplies;
    }
    void replied(const rq75x::ChipReply& reply) override
    {
        if (reply.code != rq75x::ReplyOther && !reply.inTurn)
            ++repliesOutOfTurn;
    }
    void guardChanged(unsigned int ms) override
    {
        timerDue = ms == 0 ? TimePoint::max() : now() + std::chrono::milliseconds(ms);
    }
    void runEnded(const rq75x::RunEnd& end) override
    {
        check(!ended, "a run ended twice");
        ended = true;
        outcome = end.outcome;
    }

private:
    bool check(bool holds, const std::string& what)
    {
        if (!holds && !failed) {
            failed = true;
            violated(what);
        }
        return holds;
    }

    TimePoint now() const { return TimePoint(std::chrono::milliseconds(clockMs)); }
    uint64_t dueMs() const
    {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(timerDue.time_since_epoch()).count());
    }

    void frameWritten(const Bytes& frame)
    {
        ++events;
        const size_t index = sent.size();
        sent.push_back({events, clockMs});
        if (!check(index < expected.size(), "a frame after the last one") ||
            !check(frame == expected[index].bytes,
                   "frame " + std::to_string(index + 1) + " out of protocol order"))
            return;
        chipAnswers(expected[index].answer);
    }

    // The chip's answer to a frame, queued to arrive later in the pieces it is sent in.
    void chipAnswers(rq75x::ReplyCode right)
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
                byte = static_cast<uint8_t>(below(256));
            if (below(2) == 1 && garbage.size() >= 3) {
                garbage[0] = 0x55;
                garbage[1] = 0x66;
            }
            outbox.push_back(garbage);
            break;
        }
        case 8: { // the right reply in two or three parts
            const auto at = [&](size_t offset) { return reply.begin() + static_cast<long>(offset); };
            const size_t cut = 1 + below(reply.size() - 1);
            outbox.push_back(Bytes(reply.begin(), at(cut)));
            if (below(2) == 1 && reply.size() - cut > 1) {
                const size_t second = cut + 1 + below(reply.size() - cut - 1);
                outbox.push_back(Bytes(at(cut), at(second)));
                outbox.push_back(Bytes(at(second), reply.end()));
            } else {
                outbox.push_back(Bytes(at(cut), reply.end()));
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
            if (right == rq75x::ReplyBootReady && below(2) == 1) {
                outbox.push_back(chipReply(rq75x::ReplyBootReady, 0x01));
            } else {
                outbox.push_back(chipReply(otherCode(right)));
                outbox.push_back(reply);
            }
            break;
        }
    }

    rq75x::ReplyCode otherCode(rq75x::ReplyCode right)
    {
        int code = rq75x::ReplyBootReady + static_cast<int>(below(4));
        if (code >= right)
            ++code;
        return static_cast<rq75x::ReplyCode>(code);
    }

    // A piece the chip sent arrives on the line; the receive thread will tell of it.
    void arrive()
    {
        ++events;
        for (uint8_t byte : outbox.front())
            port.line.push_back({byte, events});
        notifications.push_back(static_cast<unsigned int>(outbox.front().size()));
        outbox.pop_front();
    }

    // Pieces may arrive while the engine pauses: after a frame, but also after the boot-ready
    // reply, before block 1 goes out.
    void pause(unsigned int ms)
    {
        clockMs += ms;
        while (!outbox.empty() && below(3) == 2)
            arrive();
    }

    void takeAStep()
    {
        const bool canArrive = !outbox.empty();
        const bool canNotify = !notifications.empty();
        if (below(40) == 39) { // a reply to nothing
            outbox.push_front(chipReply(static_cast<rq75x::ReplyCode>(rq75x::ReplyBootReady + below(5))));
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
        // Nothing more will come: the guard must be armed, and fire at its deadline, not before.
        if (!check(timerDue != TimePoint::max(), "the run waits with no time-out armed"))
            return;
        if (below(4) == 3 && dueMs() > clockMs) {
            passTime(below(dueMs() - clockMs));
            check(!engine.onTimerFired(), "the guard fired before its deadline");
            return;
        }
        clockMs = dueMs();
        const SentFrame last = sent.back();
        if (!check(engine.onTimerFired(), "the deadline passed and the guard did not fire") ||
            !check(ended && outcome == rq75x::RunOutcome::TimedOut, "the time-out did not end the run"))
            return;
        // From the last frame: its time-out, plus the short pause after the last block.
        const uint64_t waited = clockMs - last.clockMs;
        const unsigned int timeout = expected[sent.size() - 1].timeoutMs;
        check(waited >= timeout, "timed out early");
        check(waited <= timeout + rq75x::timing::PauseAfterLastBlock, "the deadline was put off");
    }

    // The clock moves on, never up to the guard's deadline: the front end's timer fires then.
    void passTime(uint64_t ms)
    {
        if (timerDue != TimePoint::max())
            ms = std::min(ms, dueMs() > clockMs ? dueMs() - clockMs - 1 : 0);
        clockMs += ms;
    }

    // One notification, now and then for the bytes of several arrivals at once, or for none.
    void notify()
    {
        unsigned int length = 0;
        if (below(30) != 29) {
            length = notifications.front();
            notifications.pop_front();
            while (!notifications.empty() && below(4) == 3) {
                length += notifications.front();
                notifications.pop_front();
            }
        }
        // What the engine must make of it: the bytes that arrived after the last frame decide.
        const uint64_t lastFrameAt = sent.back().event;
        Bytes after;
        for (size_t i = 0; i < length && i < port.line.size(); ++i) {
            if (port.line[i].arrivedAt > lastFrameAt)
                after.push_back(port.line[i].value);
        }
        const bool wasRunning = !ended;
        const size_t frame = sent.size(); // the one waiting for its reply
        const bool inTurn =
            wasRunning && !after.empty() &&
            rq75x::classifyReply(after.data(), static_cast<int>(after.size())) == expected[frame - 1].answer;

        engine.onReadEvent(length);
        if (failed)
            return;
        const bool completed = wasRunning && ended && outcome == rq75x::RunOutcome::Completed;
        const size_t framesSent = sent.size() - frame;
        const std::string which = " to frame " + std::to_string(frame);
        if (inTurn) {
            check(framesSent == 1 || (completed && framesSent == 0),
                  "the reply in turn" + which + " was followed by " + std::to_string(framesSent) + " frames");
            check(!completed || frame == expected.size(), "completed with frames missing");
        } else {
            check(framesSent == 0, "a frame went out on a reply out of turn" + which);
            check(!(wasRunning && ended), "a reply out of turn" + which + " ended the run");
        }
        check(unexpectedReplies == repliesOutOfTurn, "a reply out of turn was not said to be ignored");
    }

    // Whatever still comes changes nothing.
    void afterTheEnd()
    {
        const size_t frames = sent.size();
        outbox.push_back(chipReply(rq75x::ReplyBootExited));
        outbox.push_back(chipReply(expected[frames - 1].answer));
        while (!outbox.empty())
            arrive();
        while (!notifications.empty() && !failed)
            notify();
        check(sent.size() == frames, "a frame after the run ended");
        check(!engine.runActive(), "the run went on after its end");
    }

    struct SentFrame
    {
        uint64_t event;   // when it was written, among arrivals
        uint64_t clockMs; // on the run's clock
    };

    Choose below;
    Violation violated;
    bool failed = false;
    uint64_t clockMs = 1000000;
    uint64_t events = 0;
    ScriptedPort port;
    rq75x::FlashEngine engine{port, *this, [this](unsigned int ms) { pause(ms); }, [this] { return now(); }};
    std::shared_ptr<const rq75x::FirmwareImage> image;
    std::vector<ExpectedFrame> expected;
    std::vector<SentFrame> sent;
    std::deque<Bytes> outbox;               // sent by the chip, not yet arrived
    std::deque<unsigned int> notifications; // arrived, not yet told of: their lengths
    TimePoint timerDue = TimePoint::max();
    bool ended = false;
    rq75x::RunOutcome outcome = rq75x::RunOutcome::Stopped;
    int unexpectedReplies = 0;
    int repliesOutOfTurn = 0;
};

} // namespace enginecheck
