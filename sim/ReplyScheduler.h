// Turns the chip's replies into timed writes and applies the fault modes that tests ask for
// (silence, garbage, split or padded acknowledgements, slow answers, hang-up).
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

struct FaultModes
{
    std::optional<uint64_t> silentAfter;  // answer frames 1..N, then nothing (0: never answer)
    std::optional<uint64_t> garbageAfter; // frame N+1 gets garbage text instead of its reply
    std::optional<uint64_t> hangupAfter;  // after the reply to frame N, hang up (N >= 1)
    bool splitAcknowledgements = false;   // each acknowledgement in two writes, a pause between
    bool extraBytes = false;              // bytes appended to each acknowledgement, same write
    std::chrono::milliseconds delay{0};   // each reply this long after its frame arrived
    std::optional<uint64_t> delayFrame;   // when set, `delay` holds for the reply to frame N only
};

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

    FaultModes modes_;
    std::deque<Write> writes_;
    uint64_t frames_ = 0;
    bool hangupArmed_ = false;
};

} // namespace rq75x
