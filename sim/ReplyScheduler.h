// Turns the chip's replies into timed writes and applies the fault modes that tests ask for
// (silence, garbage, answers out of turn, split or padded acknowledgements, slow answers, hang-up).
//
// Frames are counted from 1 in the order they arrive: every request or frame, good or bad, and every
// run of unrecognised bytes is one frame, because each of them would get exactly one reply.
#pragma once

#include "sim/ChipSimulator.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace rq75x {

// A step of the protocol whose answer can be swapped for another acknowledgement code.
enum class AnsweredStep
{
    FirmwareInfo, // the firmware-information request
    BootMode,     // the boot-mode request
    Block,        // one block frame, by number
    EndOfData,
    FactoryReset,
    ExitBootMode
};

// The chip takes the frame of `step` as usual and answers it with the acknowledgement `code`
// (55 66 code 00 01 00 CRC) instead of its own reply, each time.
struct OutOfTurnAnswer
{
    AnsweredStep step = AnsweredStep::BootMode;
    uint32_t block = 0; // for Block: its number, 1 to 65535
    uint8_t code = 0;
};

struct FaultModes
{
    std::optional<uint64_t> silentAfter;    // answer frames 1..N, then nothing (0: never answer)
    std::optional<uint64_t> garbageAfter;   // frame N+1 gets garbage text instead of its reply
    std::optional<uint64_t> hangupAfter;    // after the reply to frame N, hang up (N >= 1)
    bool splitAcknowledgements = false;     // each acknowledgement in two writes, a pause between
    bool extraBytes = false;                // bytes appended to each acknowledgement, same write
    std::chrono::milliseconds delay{0};     // each reply this long after its frame arrived
    std::optional<uint64_t> delayFrame;     // when set, `delay` holds for the reply to frame N only
    std::vector<OutOfTurnAnswer> outOfTurn; // one per step; a frame the chip refuses keeps its reply
};

// "block 2", "the exit-boot-mode frame", ... for the log.
std::string describeStep(const OutOfTurnAnswer& step);

// What --garbage-after sends instead of a reply, and what --extra-bytes appends to acknowledgements.
extern const std::vector<uint8_t> GarbageReply;
extern const std::vector<uint8_t> ExtraAcknowledgementBytes;
// The pause between the two halves of a split acknowledgement.
constexpr std::chrono::milliseconds SplitAcknowledgementPause{50};
// Where an acknowledgement is split: "55 66 3x 00" and "01 00 CRC".
constexpr size_t SplitAcknowledgementAt = 4;

class ReplyScheduler
{
public:
    using Clock = std::chrono::steady_clock;

    struct Write
    {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t written = 0;   // how much of it has gone out already
        std::string sentNote; // logged once it has gone out completely, when not empty
    };

    explicit ReplyScheduler(FaultModes modes) : modes_(modes) {}

    // Queues the reply to the next frame, which arrived at `receivedAt`. Returns a line for the log
    // when a fault mode changed what goes out.
    std::optional<std::string> schedule(const ChipOutcome& outcome, Clock::time_point receivedAt);

    // The first write still to go, or null. Writes leave strictly in the order they were queued.
    Write* nextWrite() { return writes_.empty() ? nullptr : &writes_.front(); }
    // Records that `count` more bytes of nextWrite() are out; drops it once all are.
    void markWritten(size_t count);

    // The hang-up frame has been answered in full: time to close the line.
    bool hangupDue() const { return hangupArmed_ && writes_.empty(); }
    uint64_t framesSeen() const { return frames_; }

private:
    void queue(Clock::time_point due, std::vector<uint8_t> bytes, std::string sentNote = {});
    // The answer --answer-out-of-turn asks for in place of the outcome's, if any.
    std::optional<OutOfTurnAnswer> outOfTurnAnswer(const ChipOutcome& outcome) const;

    FaultModes modes_;
    std::deque<Write> writes_;
    uint64_t frames_ = 0;
    bool hangupArmed_ = false;
};

} // namespace rq75x
