#include "sim/ReplyScheduler.h"

#include <gtest/gtest.h>

namespace rq75x {
namespace {

using namespace std::chrono_literals;
using Clock = ReplyScheduler::Clock;
using Bytes = std::vector<uint8_t>;

ChipOutcome acknowledgement(uint8_t command)
{
    return {ChipEvent::BlockWritten, ReplyKind::Acknowledgement, buildChipReply(command, 0), "ack"};
}

ChipOutcome infoText()
{
    const std::string text = "RQ75x firmware\r\n";
    return {ChipEvent::FirmwareInfoSent, ReplyKind::FirmwareInfo, Bytes(text.begin(), text.end()), "info"};
}

class ReplySchedulerTest : public ::testing::Test
{
protected:
    struct Sent
    {
        Clock::time_point due;
        Bytes bytes;
    };

    // Takes every queued write, as the main loop would once they are all due.
    static std::vector<Sent> drain(ReplyScheduler& scheduler)
    {
        std::vector<Sent> sent;
        while (ReplyScheduler::Write* write = scheduler.nextWrite()) {
            sent.push_back({write->due, write->bytes});
            scheduler.markWritten(write->bytes.size());
        }
        return sent;
    }

    const Clock::time_point t0 = Clock::now();
};

TEST_F(ReplySchedulerTest, ByDefaultEveryReplyGoesOutWholeAtOnce)
{
    ReplyScheduler scheduler({});
    EXPECT_FALSE(scheduler.schedule(acknowledgement(0x32), t0));
    const auto sent = drain(scheduler);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].due, t0);
    EXPECT_EQ(sent[0].bytes, buildChipReply(0x32, 0));
}

TEST_F(ReplySchedulerTest, PartialWritesKeepTheRestQueued)
{
    ReplyScheduler scheduler({});
    scheduler.schedule(acknowledgement(0x33), t0);
    scheduler.markWritten(3);
    ASSERT_NE(scheduler.nextWrite(), nullptr);
    EXPECT_EQ(scheduler.nextWrite()->written, 3u);
    scheduler.markWritten(5);
    EXPECT_EQ(scheduler.nextWrite(), nullptr);
}

TEST_F(ReplySchedulerTest, DelayPostponesEachReplyFromItsOwnFrame)
{
    FaultModes modes;
    modes.delay = 200ms;
    ReplyScheduler scheduler(modes);
    scheduler.schedule(acknowledgement(0x32), t0);
    scheduler.schedule(acknowledgement(0x33), t0 + 500ms);
    const auto sent = drain(scheduler);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].due, t0 + 200ms);
    EXPECT_EQ(sent[1].due, t0 + 700ms);

    // Only frame 2 waits; frame 3 arrives meanwhile and is answered after it, never before.
    modes.delayFrame = 2;
    ReplyScheduler oneFrame(modes);
    oneFrame.schedule(acknowledgement(0x32), t0);
    oneFrame.schedule(acknowledgement(0x33), t0 + 10ms);
    oneFrame.schedule(acknowledgement(0x33), t0 + 20ms);
    const auto dues = drain(oneFrame);
    ASSERT_EQ(dues.size(), 3u);
    EXPECT_EQ(dues[0].due, t0);
    EXPECT_EQ(dues[1].due, t0 + 210ms);
    EXPECT_EQ(dues[2].due, t0 + 210ms);
}

TEST_F(ReplySchedulerTest, SilentAfterNAnswersTheFirstNFramesOnly)
{
    const ChipOutcome frames[] = {infoText(), acknowledgement(0x32), acknowledgement(0x33)};
    for (const uint64_t n : {0u, 2u}) {
        FaultModes modes;
        modes.silentAfter = n;
        ReplyScheduler scheduler(modes);
        for (uint64_t frame = 0; frame < 3; ++frame) {
            const bool logged = scheduler.schedule(frames[frame], t0).has_value();
            if (frame <= n) { // the first silenced frame is logged as a fault, the answered ones not
                EXPECT_EQ(logged, frame == n) << "frame " << frame + 1;
            }
        }
        EXPECT_EQ(drain(scheduler).size(), n);
        EXPECT_EQ(scheduler.framesSeen(), 3u);
    }
}

TEST_F(ReplySchedulerTest, GarbageReplacesTheReplyToOneFrameOnly)
{
    FaultModes modes;
    modes.garbageAfter = 1;
    ReplyScheduler scheduler(modes);
    scheduler.schedule(infoText(), t0);
    EXPECT_TRUE(scheduler.schedule(acknowledgement(0x32), t0));
    scheduler.schedule(acknowledgement(0x33), t0);
    const auto sent = drain(scheduler);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, infoText().reply);
    EXPECT_EQ(sent[1].bytes, GarbageReply);
    EXPECT_EQ(sent[2].bytes, buildChipReply(0x33, 0));
}

TEST_F(ReplySchedulerTest, SplitAcknowledgementGoesOutInTwoPartsWithAPause)
{
    FaultModes modes;
    modes.splitAcknowledgements = true;
    ReplyScheduler scheduler(modes);
    scheduler.schedule(acknowledgement(0x32), t0);
    scheduler.schedule(infoText(), t0); // not an acknowledgement: whole, and after both halves
    const auto sent = drain(scheduler);
    ASSERT_EQ(sent.size(), 3u);
    const Bytes reply = buildChipReply(0x32, 0);
    EXPECT_EQ(sent[0].bytes, Bytes(reply.begin(), reply.begin() + 4));
    EXPECT_EQ(sent[1].bytes, Bytes(reply.begin() + 4, reply.end()));
    EXPECT_EQ(sent[1].due - sent[0].due, SplitAcknowledgementPause);
    EXPECT_EQ(sent[2].bytes, infoText().reply);
    EXPECT_GE(sent[2].due, sent[1].due);
}

TEST_F(ReplySchedulerTest, ExtraBytesFollowAcknowledgementsInTheSameWrite)
{
    FaultModes modes;
    modes.extraBytes = true;
    ReplyScheduler scheduler(modes);
    scheduler.schedule(acknowledgement(0x34), t0);
    scheduler.schedule(infoText(), t0);
    const auto sent = drain(scheduler);
    ASSERT_EQ(sent.size(), 2u);
    Bytes padded = buildChipReply(0x34, 0);
    padded.insert(padded.end(), ExtraAcknowledgementBytes.begin(), ExtraAcknowledgementBytes.end());
    EXPECT_EQ(sent[0].bytes, padded);
    EXPECT_EQ(sent[1].bytes, infoText().reply);
}

TEST_F(ReplySchedulerTest, HangupComesOnlyAfterTheReplyToFrameNIsOut)
{
    FaultModes modes;
    modes.hangupAfter = 2;
    modes.splitAcknowledgements = true;
    ReplyScheduler scheduler(modes);
    scheduler.schedule(infoText(), t0);
    EXPECT_FALSE(scheduler.hangupDue());
    EXPECT_TRUE(scheduler.schedule(acknowledgement(0x32), t0));
    EXPECT_FALSE(scheduler.hangupDue());           // replies still queued
    scheduler.schedule(acknowledgement(0x33), t0); // after the hang-up frame: dropped
    EXPECT_EQ(drain(scheduler).size(), 3u);        // info and both halves of the 0x32
    EXPECT_TRUE(scheduler.hangupDue());
}

// The chip took the frame (its state moved on) but says something else; a frame it refused, or
// a step not named, keeps its own reply.
TEST_F(ReplySchedulerTest, AnswerOutOfTurnSwapsTheCodeOfTheNamedStepOnly)
{
    FaultModes modes;
    modes.outOfTurn = {{AnsweredStep::Block, 2, 0x35}, {AnsweredStep::FirmwareInfo, 0, 0x35}};
    ReplyScheduler scheduler(modes);
    ChipOutcome block1 = acknowledgement(0x33);
    block1.block = 1;
    ChipOutcome block2 = block1;
    block2.block = 2;
    const ChipOutcome refused{ChipEvent::ProtocolError, ReplyKind::Refusal, buildChipReply(RefusalCommand, 2),
                              "refused"};

    EXPECT_FALSE(scheduler.schedule(block1, t0));
    EXPECT_EQ(scheduler.schedule(block2, t0), "answered block 2 (frame 2) out of turn with 35");
    scheduler.schedule(refused, t0);
    EXPECT_EQ(scheduler.schedule(infoText(), t0),
              "answered the firmware-information request (frame 4) out of turn with 35");
    std::vector<Bytes> sent;
    for (const Sent& write : drain(scheduler))
        sent.push_back(write.bytes);
    EXPECT_EQ(sent, (std::vector<Bytes>{buildChipReply(0x33, 0), buildChipReply(0x35, 0),
                                        buildChipReply(RefusalCommand, 2), buildChipReply(0x35, 0)}));
}

} // namespace
} // namespace rq75x
