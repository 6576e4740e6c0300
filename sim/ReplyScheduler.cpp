#include "sim/ReplyScheduler.h"

#include <algorithm>
#include <utility>

namespace rq75x {

namespace {
std::vector<uint8_t> bytesOf(const char* text)
{
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}
} // namespace

const std::vector<uint8_t> GarbageReply = bytesOf("#?! line noise !?#\r\n");
const std::vector<uint8_t> ExtraAcknowledgementBytes = bytesOf("\r\n>");

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
    if (modes_.garbageAfter && frame == *modes_.garbageAfter + 1) {
        queue(due, GarbageReply, sentNote);
        note = "garbage instead of the reply to " + name;
    } else if (outcome.replyKind == ReplyKind::Acknowledgement) {
        std::vector<uint8_t> reply = outcome.reply;
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
