#include "sim/ReplyScheduler.h"

#include "flasher/BootloaderCodec.h"

#include <algorithm>
#include <utility>

namespace rq75x {

namespace {
std::vector<uint8_t> bytesOf(const char* text)
{
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

// The step a frame the chip accepted was (its code left 0); empty for a refused one.
std::optional<OutOfTurnAnswer> stepOf(const ChipOutcome& outcome)
{
    switch (outcome.event) {
    case ChipEvent::FirmwareInfoSent:
        return OutOfTurnAnswer{AnsweredStep::FirmwareInfo, 0, 0};
    case ChipEvent::BootModeEntered:
        return OutOfTurnAnswer{AnsweredStep::BootMode, 0, 0};
    case ChipEvent::BlockWritten:
        return OutOfTurnAnswer{AnsweredStep::Block, outcome.block, 0};
    case ChipEvent::EndOfData:
        return OutOfTurnAnswer{AnsweredStep::EndOfData, 0, 0};
    case ChipEvent::FactoryResetDone:
        return OutOfTurnAnswer{AnsweredStep::FactoryReset, 0, 0};
    case ChipEvent::BootModeLeft:
        return OutOfTurnAnswer{AnsweredStep::ExitBootMode, 0, 0};
    case ChipEvent::RequestRefused:
    case ChipEvent::ProtocolError:
        break;
    }
    return std::nullopt;
}

} // namespace

const std::vector<uint8_t> GarbageReply = bytesOf("#?! line noise !?#\r\n");
const std::vector<uint8_t> ExtraAcknowledgementBytes = bytesOf("\r\n>");

std::string describeStep(const OutOfTurnAnswer& step)
{
    switch (step.step) {
    case AnsweredStep::FirmwareInfo:
        return "the firmware-information request";
    case AnsweredStep::BootMode:
        return "the boot-mode request";
    case AnsweredStep::Block:
        return "block " + std::to_string(step.block);
    case AnsweredStep::EndOfData:
        return "the end-of-data frame";
    case AnsweredStep::FactoryReset:
        return "the factory-reset frame";
    case AnsweredStep::ExitBootMode:
        return "the exit-boot-mode frame";
    }
    return "?";
}

std::optional<std::string> ReplyScheduler::schedule(const ChipOutcome& outcome, Clock::time_point receivedAt)
{
    const uint64_t frame = ++frames_;
    const std::string name = "frame " + std::to_string(frame);

    if (hangupArmed_)
        return "no reply to " + name + ": hanging up";
    if (modes_.silentAfter && frame > *modes_.silentAfter)
        return "no reply to " + name + ": silent";

    std::optional<std::string> note;
    const bool delayed = !modes_.delayFrame || frame == *modes_.delayFrame;
    const Clock::time_point due = receivedAt + (delayed ? modes_.delay : std::chrono::milliseconds(0));
    // A test that holds the flasher back until the one delayed reply is on the line waits for this.
    const std::string sentNote = modes_.delayFrame && delayed ? "delayed reply to " + name + " sent" : "";
    const std::optional<OutOfTurnAnswer> outOfTurn = outOfTurnAnswer(outcome);
    if (modes_.garbageAfter && frame == *modes_.garbageAfter + 1) {
        queue(due, GarbageReply, sentNote);
        note = "garbage instead of the reply to " + name;
    } else if (outcome.replyKind == ReplyKind::Acknowledgement || outOfTurn) {
        std::vector<uint8_t> reply = outcome.reply;
        if (outOfTurn) {
            reply = buildChipReply(outOfTurn->code, 0x00);
            note = "answered " + describeStep(*outOfTurn) + " (" + name + ") out of turn with " +
                   toHexText(&outOfTurn->code, 1).substr(2, 2);
        }
        if (modes_.extraBytes)
            reply.insert(reply.end(), ExtraAcknowledgementBytes.begin(), ExtraAcknowledgementBytes.end());
        if (modes_.splitAcknowledgements) {
            const auto splitAt = reply.begin() + static_cast<long>(SplitAcknowledgementAt);
            queue(due, std::vector<uint8_t>(reply.begin(), splitAt));
            queue(due + SplitAcknowledgementPause, std::vector<uint8_t>(splitAt, reply.end()), sentNote);
        } else {
            queue(due, std::move(reply), sentNote);
        }
    } else {
        queue(due, outcome.reply, sentNote);
    }

    if (modes_.hangupAfter && frame == *modes_.hangupAfter) {
        hangupArmed_ = true;
        note = (note ? *note + "; " : std::string()) + "hanging up after " + name;
    }
    return note;
}

std::optional<OutOfTurnAnswer> ReplyScheduler::outOfTurnAnswer(const ChipOutcome& outcome) const
{
    const std::optional<OutOfTurnAnswer> step = stepOf(outcome);
    if (!step)
        return std::nullopt;
    for (const OutOfTurnAnswer& answer : modes_.outOfTurn) {
        if (answer.step == step->step && answer.block == step->block)
            return answer;
    }
    return std::nullopt;
}

void ReplyScheduler::queue(Clock::time_point due, std::vector<uint8_t> bytes, std::string sentNote)
{
    // Never let a later reply overtake an earlier one.
    if (!writes_.empty())
        due = std::max(due, writes_.back().due);
    writes_.push_back({due, std::move(bytes), 0, std::move(sentNote)});
}

void ReplyScheduler::markWritten(size_t count)
{
    Write& head = writes_.front();
    head.written += count;
    if (head.written >= head.bytes.size())
        writes_.pop_front();
}

} // namespace rq75x
