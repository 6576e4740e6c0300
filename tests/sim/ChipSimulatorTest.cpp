#include "sim/ChipSimulator.h"

#include "flasher/BootloaderCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace rq75x {
namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N> Bytes frameOf(const std::array<uint8_t, N>& frame)
{
    return Bytes(frame.begin(), frame.end());
}

Bytes control(ControlCommand command)
{
    return frameOf(buildControlFrame(command));
}

Bytes block(uint16_t number, const Bytes& image, size_t offset, size_t length)
{
    return buildBlockFrame(number, image.data() + offset, static_cast<int>(length));
}

Bytes randomImage(size_t size, unsigned seed = 7)
{
    std::mt19937 generator(seed);
    Bytes image(size);
    for (auto& b : image)
        b = static_cast<uint8_t>(generator());
    return image;
}

// Everything the host sends for one flash, frame by frame, the way the flashing sequence divides it.
std::vector<Bytes> flashFrames(const Bytes& image)
{
    std::vector<Bytes> frames = {frameOf(BootModeRequest)};
    for (size_t offset = 0; offset < image.size(); offset += BlockSize)
        frames.push_back(block(static_cast<uint16_t>(offset / BlockSize + 1), image, offset,
                               std::min<size_t>(BlockSize, image.size() - offset)));
    frames.push_back(control(ControlEndOfData));
    frames.push_back(control(ControlExitBootMode));
    return frames;
}

// What the chip answers to each of those frames.
std::vector<Bytes> acknowledgementsOf(const std::vector<Bytes>& frames)
{
    std::vector<Bytes> replies = {buildChipReply(0x32, 0)};
    replies.insert(replies.end(), frames.size() - 3, buildChipReply(0x33, 0));
    replies.push_back(buildChipReply(0x34, 0));
    replies.push_back(buildChipReply(0x35, 0));
    return replies;
}

Bytes refusal(RefusalReason reason)
{
    return buildChipReply(RefusalCommand, static_cast<uint8_t>(reason));
}

class ChipSimulatorTest : public ::testing::Test
{
protected:
    std::vector<ChipOutcome> feed(const Bytes& input, size_t chunk = 0)
    {
        std::vector<ChipOutcome> outcomes;
        if (chunk == 0)
            chunk = std::max<size_t>(input.size(), 1);
        for (size_t at = 0; at < input.size(); at += chunk) {
            chip.receive(input.data() + at, std::min(chunk, input.size() - at));
            while (auto outcome = chip.nextFrame())
                outcomes.push_back(*outcome);
        }
        return outcomes;
    }

    // Feeds one frame that must produce exactly one outcome.
    ChipOutcome one(const Bytes& frame)
    {
        auto outcomes = feed(frame);
        EXPECT_EQ(outcomes.size(), 1u);
        return outcomes.empty() ? ChipOutcome{ChipEvent::ProtocolError, ReplyKind::Refusal, {}, "none"}
                                : outcomes[0];
    }

    void expectAccepted(const Bytes& frame, ChipEvent event) { EXPECT_EQ(one(frame).event, event); }
    void enterBootMode() { expectAccepted(frameOf(BootModeRequest), ChipEvent::BootModeEntered); }

    // A refused frame leaves the chip as it was, answers with something the host cannot take for an
    // acknowledgement and counts as a protocol error.
    void expectRefused(const Bytes& frame, RefusalReason reason)
    {
        const unsigned errorsBefore = chip.protocolErrors();
        const uint32_t expectedBefore = chip.expectedBlock();
        const ChipMode modeBefore = chip.mode();
        const ChipOutcome outcome = one(frame);
        EXPECT_TRUE(outcome.isProtocolError()) << outcome.description;
        EXPECT_EQ(outcome.replyKind, ReplyKind::Refusal);
        EXPECT_EQ(outcome.reply, refusal(reason)) << outcome.description;
        EXPECT_EQ(classifyReply(outcome.reply.data(), static_cast<int>(outcome.reply.size())), ReplyOther);
        EXPECT_EQ(chip.protocolErrors(), errorsBefore + 1);
        EXPECT_EQ(chip.expectedBlock(), expectedBefore);
        EXPECT_EQ(chip.mode(), modeBefore);
    }

    ChipSimulator chip{"RQ75x firmware V9\r\n"};
};

// --- Replies and whole runs ----------------------------------------------------------------------

TEST_F(ChipSimulatorTest, RepliesAreEightBytesWithStatusZeroAndCrc)
{
    EXPECT_EQ(buildChipReply(0x32, 0x00), (Bytes{0x55, 0x66, 0x32, 0x00, 0x01, 0x00, 0x3E, 0x0B}));
}

TEST_F(ChipSimulatorTest, AnswersFirmwareInformationRequestWithItsText)
{
    const ChipOutcome outcome = one(frameOf(FirmwareInfoRequest));
    EXPECT_EQ(outcome.event, ChipEvent::FirmwareInfoSent);
    EXPECT_EQ(outcome.replyKind, ReplyKind::FirmwareInfo);
    EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), "RQ75x firmware V9\r\n");
    EXPECT_EQ(chip.mode(), ChipMode::Firmware);
}

// Every division into blocks, fed whole and in chunks that cut frames anywhere, is acknowledged
// step by step and arrives whole.
TEST_F(ChipSimulatorTest, EveryBlockDivisionIsAcknowledgedHoweverTheInputIsSplit)
{
    for (size_t size : {1u, 255u, 256u, 257u, 512u, 600u}) {
        const Bytes image = randomImage(size, static_cast<unsigned>(size));
        const auto frames = flashFrames(image);
        Bytes all;
        for (const auto& frame : frames)
            all.insert(all.end(), frame.begin(), frame.end());
        for (size_t chunk : {0u, 1u, 7u, 264u}) {
            SCOPED_TRACE("size " + std::to_string(size) + ", chunk " + std::to_string(chunk));
            std::vector<Bytes> replies;
            for (const auto& outcome : feed(all, chunk))
                replies.push_back(outcome.reply);
            EXPECT_EQ(replies, acknowledgementsOf(frames));
            EXPECT_EQ(chip.receivedImage(), image);
            EXPECT_EQ(chip.mode(), ChipMode::Firmware);
            EXPECT_FALSE(chip.hasPartialFrame());
        }
    }
    EXPECT_EQ(chip.protocolErrors(), 0u);
}

TEST_F(ChipSimulatorTest, FactoryResetIsAcknowledgedThenBootModeLeft)
{
    enterBootMode();
    EXPECT_EQ(one(control(ControlFactoryReset)).reply, buildChipReply(0x36, 0));
    EXPECT_EQ(one(control(ControlExitBootMode)).reply, buildChipReply(0x35, 0));
    EXPECT_EQ(chip.mode(), ChipMode::Firmware);
    EXPECT_EQ(chip.factoryResets(), 1u);
    EXPECT_EQ(chip.protocolErrors(), 0u);
}

TEST_F(ChipSimulatorTest, BootModeRequestDuringARunStartsOverAtBlockOne)
{
    const Bytes image = randomImage(600);
    const auto frames = flashFrames(image);
    feed(frames[0]);
    feed(frames[1]);
    ASSERT_EQ(chip.expectedBlock(), 2u);
    enterBootMode();
    EXPECT_EQ(chip.expectedBlock(), 1u);
    EXPECT_TRUE(chip.receivedImage().empty());
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_EQ(one(frames[i]).replyKind, ReplyKind::Acknowledgement);
    EXPECT_EQ(chip.receivedImage(), image);
    EXPECT_EQ(chip.protocolErrors(), 0u);
}

TEST_F(ChipSimulatorTest, FirmwareInformationRequestInBootModeIsRefusedWithoutBlame)
{
    enterBootMode();
    const ChipOutcome outcome = one(frameOf(FirmwareInfoRequest));
    EXPECT_EQ(outcome.event, ChipEvent::RequestRefused);
    EXPECT_EQ(outcome.replyKind, ReplyKind::Refusal);
    EXPECT_EQ(chip.protocolErrors(), 0u);
    EXPECT_EQ(chip.mode(), ChipMode::Boot);
}

// --- Frames the chip refuses ---------------------------------------------------------------------

TEST_F(ChipSimulatorTest, RefusesBlockWhoseCrcDoesNotMatch)
{
    const Bytes good = block(1, randomImage(256), 0, 256);
    enterBootMode();
    for (size_t corrupted : {good.size() - 1, size_t{100}}) {
        Bytes frame = good;
        frame[corrupted] ^= 0x80;
        expectRefused(frame, RefusalReason::BadCrc);
    }
    expectAccepted(good, ChipEvent::BlockWritten);
}

TEST_F(ChipSimulatorTest, RefusesBlocksOutOfSequence)
{
    const Bytes image = randomImage(1024);
    enterBootMode();
    expectRefused(block(0, image, 0, 256), RefusalReason::WrongBlockNumber);
    expectRefused(block(2, image, 0, 256), RefusalReason::WrongBlockNumber);
    expectAccepted(block(1, image, 0, 256), ChipEvent::BlockWritten);
    expectRefused(block(1, image, 0, 256), RefusalReason::WrongBlockNumber);   // repeated
    expectRefused(block(3, image, 512, 256), RefusalReason::WrongBlockNumber); // skipped one
    expectAccepted(block(2, image, 256, 256), ChipEvent::BlockWritten);
    EXPECT_EQ(chip.receivedImage(), Bytes(image.begin(), image.begin() + 512));
}

TEST_F(ChipSimulatorTest, RefusesAnyBlockAfterAShortOne)
{
    const Bytes image = randomImage(600);
    enterBootMode();
    expectAccepted(block(1, image, 0, 100), ChipEvent::BlockWritten);
    expectRefused(block(2, image, 100, 256), RefusalReason::OutOfOrder);
    expectAccepted(control(ControlEndOfData), ChipEvent::EndOfData);
}

TEST_F(ChipSimulatorTest, RefusesUnknownCommandsAndBlockLengthsOutsideOneTo256AsUnrecognised)
{
    enterBootMode();
    // Headers that claim 0 and 257 payload bytes; nothing tells where such a frame would end.
    expectRefused({0x55, 0x66, 0x33, 0x00, 0x01, 0x00, 0x00}, RefusalReason::UnrecognisedBytes);
    expectRefused({0x55, 0x66, 0x33, 0x00, 0x01, 0x01, 0x01}, RefusalReason::UnrecognisedBytes);
    expectRefused({0x55, 0x66, 0x32, 0x00, 0x01, 0x00}, RefusalReason::UnrecognisedBytes);
}

TEST_F(ChipSimulatorTest, RefusesControlFramesThatAreNotExact)
{
    enterBootMode();
    Bytes badCrc = control(ControlFactoryReset);
    badCrc[7] ^= 0xFF;
    expectRefused(badCrc, RefusalReason::BadCrc);

    Bytes wrongConstant = {0x55, 0x66, 0x36, 0x00, 0x01, 0xAB, 0, 0};
    const uint16_t crc = crc16Modbus(wrongConstant.data(), 6);
    wrongConstant[6] = static_cast<uint8_t>(crc >> 8);
    wrongConstant[7] = static_cast<uint8_t>(crc & 0xFF);
    expectRefused(wrongConstant, RefusalReason::MalformedControlFrame);
}

TEST_F(ChipSimulatorTest, RefusesBootloaderFramesInFirmwareModeAndAfterFactoryReset)
{
    const Bytes first = block(1, randomImage(256), 0, 256);
    for (const Bytes& frame :
         {first, control(ControlEndOfData), control(ControlExitBootMode), control(ControlFactoryReset)})
        expectRefused(frame, RefusalReason::OutOfOrder);
    enterBootMode();
    expectAccepted(control(ControlFactoryReset), ChipEvent::FactoryResetDone);
    for (const Bytes& frame : {first, control(ControlEndOfData), control(ControlFactoryReset)})
        expectRefused(frame, RefusalReason::OutOfOrder);
}

TEST_F(ChipSimulatorTest, RefusesControlFramesOutOfOrder)
{
    const Bytes image = randomImage(256);
    enterBootMode();
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder);    // before any block
    expectRefused(control(ControlExitBootMode), RefusalReason::OutOfOrder); // before end of data
    expectAccepted(block(1, image, 0, 256), ChipEvent::BlockWritten);
    expectRefused(control(ControlFactoryReset), RefusalReason::OutOfOrder); // after a block
    expectAccepted(control(ControlEndOfData), ChipEvent::EndOfData);
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder); // twice
    expectRefused(block(2, image, 0, 256), RefusalReason::OutOfOrder);   // after end of data
    expectAccepted(control(ControlExitBootMode), ChipEvent::BootModeLeft);
}

// --- Fragments and resynchronisation -------------------------------------------------------------

TEST_F(ChipSimulatorTest, AbandonedFragmentIsRefusedAndForgotten)
{
    const Bytes frame = block(1, randomImage(256), 0, 256);
    enterBootMode();
    EXPECT_TRUE(feed(Bytes(frame.begin(), frame.begin() + 100)).empty());
    ASSERT_TRUE(chip.hasPartialFrame());
    const ChipOutcome dropped = chip.abandonPartialFrame();
    EXPECT_TRUE(dropped.isProtocolError());
    EXPECT_EQ(dropped.reply, refusal(RefusalReason::IncompleteFrame));
    EXPECT_FALSE(chip.hasPartialFrame());
    expectAccepted(frame, ChipEvent::BlockWritten);
}

TEST_F(ChipSimulatorTest, GarbageIsRefusedOnceAndTheNextRequestStillAnswered)
{
    Bytes input = {'h', 'e', 'l', 'l', 'o', 0x55, 0x00, 0x10, 0x07, 0x10, 0x05};
    const auto outcomes = feed(input);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].reply, refusal(RefusalReason::UnrecognisedBytes));
    EXPECT_EQ(outcomes[1].event, ChipEvent::FirmwareInfoSent);
    EXPECT_EQ(chip.protocolErrors(), 1u);
}

TEST_F(ChipSimulatorTest, GarbageBetweenBlocksDoesNotDisturbTheRun)
{
    const Bytes image = randomImage(600);
    const auto frames = flashFrames(image);
    Bytes input;
    for (const auto& frame : frames) {
        input.insert(input.end(), {0xFF, 0x55, 0x67, 0x00});
        input.insert(input.end(), frame.begin(), frame.end());
    }
    size_t acknowledgements = 0;
    for (const auto& outcome : feed(input, 5))
        acknowledgements += outcome.replyKind == ReplyKind::Acknowledgement;
    EXPECT_EQ(acknowledgements, frames.size());
    EXPECT_EQ(chip.receivedImage(), image);
    EXPECT_GE(chip.protocolErrors(), frames.size());
}

} // namespace
} // namespace rq75x
