#include "sim/ChipSimulator.h"

#include "flasher/BootloaderCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace rq75x {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<uint8_t> list)
{
    return Bytes(list);
}

Bytes request(const std::array<uint8_t, 2>& r)
{
    return Bytes(r.begin(), r.end());
}

Bytes control(ControlCommand command)
{
    const auto frame = buildControlFrame(command);
    return Bytes(frame.begin(), frame.end());
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
    std::vector<Bytes> frames = {request(BootModeRequest)};
    const size_t blocks = (image.size() + BlockSize - 1) / BlockSize;
    for (size_t n = 1; n <= blocks; ++n) {
        const size_t offset = (n - 1) * BlockSize;
        frames.push_back(block(static_cast<uint16_t>(n), image, offset,
                               std::min<size_t>(BlockSize, image.size() - offset)));
    }
    frames.push_back(control(ControlEndOfData));
    frames.push_back(control(ControlExitBootMode));
    return frames;
}

Bytes concatenate(const std::vector<Bytes>& frames)
{
    Bytes all;
    for (const auto& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
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

    void enterBootMode() { ASSERT_EQ(one(request(BootModeRequest)).event, ChipEvent::BootModeEntered); }

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
        EXPECT_EQ(outcome.reply, buildChipReply(RefusalCommand, static_cast<uint8_t>(reason)))
            << outcome.description;
        EXPECT_EQ(classifyReply(outcome.reply.data(), static_cast<int>(outcome.reply.size())), ReplyOther);
        EXPECT_EQ(chip.protocolErrors(), errorsBefore + 1);
        EXPECT_EQ(chip.expectedBlock(), expectedBefore);
        EXPECT_EQ(chip.mode(), modeBefore);
    }

    ChipSimulator chip{"RQ75x firmware V9\r\n"};
};

// --- Replies -------------------------------------------------------------------------------------

TEST_F(ChipSimulatorTest, RepliesAreEightBytesWithStatusZeroAndCrc)
{
    EXPECT_EQ(buildChipReply(0x32, 0x00), bytes({0x55, 0x66, 0x32, 0x00, 0x01, 0x00, 0x3E, 0x0B}));
    const Bytes reply = buildChipReply(0x35, 0x00);
    EXPECT_EQ(crc16Modbus(reply.data(), 6), (reply[6] << 8) | reply[7]);
}

TEST_F(ChipSimulatorTest, AnswersFirmwareInformationRequestWithItsText)
{
    const ChipOutcome outcome = one(request(FirmwareInfoRequest));
    EXPECT_EQ(outcome.event, ChipEvent::FirmwareInfoSent);
    EXPECT_EQ(outcome.replyKind, ReplyKind::FirmwareInfo);
    EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), "RQ75x firmware V9\r\n");
    EXPECT_EQ(chip.mode(), ChipMode::Firmware);
}

// --- Whole runs ----------------------------------------------------------------------------------

TEST_F(ChipSimulatorTest, FlashOf600BytesIsAcknowledgedStepByStepAndReceivedWhole)
{
    const Bytes image = randomImage(600);
    const auto frames = flashFrames(image);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[3].size(), 97u); // last block: 88 payload bytes

    const ReplyCode expected[] = {ReplyBootReady,    ReplyBlockWritten, ReplyBlockWritten,
                                  ReplyBlockWritten, ReplyEndOfData,    ReplyBootExited};
    for (size_t i = 0; i < frames.size(); ++i) {
        const ChipOutcome outcome = one(frames[i]);
        ASSERT_EQ(outcome.replyKind, ReplyKind::Acknowledgement) << outcome.description;
        ASSERT_EQ(outcome.reply.size(), 8u);
        EXPECT_EQ(outcome.reply[5], 0x00);
        EXPECT_EQ(classifyReply(outcome.reply.data(), 8), expected[i]) << outcome.description;
        if (i == 0) {
            EXPECT_EQ(chip.mode(), ChipMode::Boot);
        }
    }
    EXPECT_EQ(chip.receivedImage(), image);
    EXPECT_EQ(chip.mode(), ChipMode::Firmware);
    EXPECT_EQ(chip.protocolErrors(), 0u);
}

TEST_F(ChipSimulatorTest, EveryBlockDivisionIsAccepted)
{
    for (size_t size : {1u, 255u, 256u, 257u, 512u}) {
        SCOPED_TRACE(size);
        const Bytes image = randomImage(size, static_cast<unsigned>(size));
        for (const auto& outcome : feed(concatenate(flashFrames(image))))
            EXPECT_EQ(outcome.replyKind, ReplyKind::Acknowledgement) << outcome.description;
        EXPECT_EQ(chip.receivedImage(), image);
    }
    EXPECT_EQ(chip.protocolErrors(), 0u);
}

TEST_F(ChipSimulatorTest, FactoryResetIsAcknowledgedThenBootModeLeft)
{
    enterBootMode();
    const ChipOutcome reset = one(control(ControlFactoryReset));
    EXPECT_EQ(reset.event, ChipEvent::FactoryResetDone);
    EXPECT_EQ(classifyReply(reset.reply.data(), 8), ReplyFactoryReset);
    const ChipOutcome exit = one(control(ControlExitBootMode));
    EXPECT_EQ(classifyReply(exit.reply.data(), 8), ReplyBootExited);
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
    EXPECT_EQ(one(request(BootModeRequest)).event, ChipEvent::BootModeEntered);
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
    const ChipOutcome outcome = one(request(FirmwareInfoRequest));
    EXPECT_EQ(outcome.event, ChipEvent::RequestRefused);
    EXPECT_EQ(outcome.replyKind, ReplyKind::Refusal);
    EXPECT_EQ(chip.protocolErrors(), 0u);
    EXPECT_EQ(chip.mode(), ChipMode::Boot);
}

// --- Frames the chip refuses ---------------------------------------------------------------------

TEST_F(ChipSimulatorTest, RefusesBlockWithBadCrc)
{
    enterBootMode();
    Bytes frame = block(1, randomImage(256), 0, 256);
    frame.back() ^= 0x01;
    expectRefused(frame, RefusalReason::BadCrc);
    EXPECT_EQ(one(block(1, randomImage(256), 0, 256)).event, ChipEvent::BlockWritten);
}

TEST_F(ChipSimulatorTest, RefusesBlockWithCorruptedPayload)
{
    enterBootMode();
    Bytes frame = block(1, randomImage(256), 0, 256);
    frame[100] ^= 0x80;
    expectRefused(frame, RefusalReason::BadCrc);
}

TEST_F(ChipSimulatorTest, RefusesBlocksOutOfSequence)
{
    const Bytes image = randomImage(1024);
    enterBootMode();
    expectRefused(block(0, image, 0, 256), RefusalReason::WrongBlockNumber);
    expectRefused(block(2, image, 0, 256), RefusalReason::WrongBlockNumber);
    EXPECT_EQ(one(block(1, image, 0, 256)).event, ChipEvent::BlockWritten);
    expectRefused(block(1, image, 0, 256), RefusalReason::WrongBlockNumber);   // repeated
    expectRefused(block(3, image, 512, 256), RefusalReason::WrongBlockNumber); // skipped one
    EXPECT_EQ(one(block(2, image, 256, 256)).event, ChipEvent::BlockWritten);
    EXPECT_EQ(chip.receivedImage(), Bytes(image.begin(), image.begin() + 512));
}

TEST_F(ChipSimulatorTest, RefusesAnyBlockAfterAShortOne)
{
    const Bytes image = randomImage(600);
    enterBootMode();
    EXPECT_EQ(one(block(1, image, 0, 100)).event, ChipEvent::BlockWritten);
    expectRefused(block(2, image, 100, 256), RefusalReason::OutOfOrder);
    EXPECT_EQ(one(control(ControlEndOfData)).event, ChipEvent::EndOfData);
}

TEST_F(ChipSimulatorTest, RefusesBlockLengthsOutsideOneTo256AsUnrecognised)
{
    enterBootMode();
    // Headers that claim 0 and 257 payload bytes; nothing tells where such a frame would end.
    expectRefused(bytes({0x55, 0x66, 0x33, 0x00, 0x01, 0x00, 0x00}), RefusalReason::UnrecognisedBytes);
    expectRefused(bytes({0x55, 0x66, 0x33, 0x00, 0x01, 0x01, 0x01}), RefusalReason::UnrecognisedBytes);
    EXPECT_EQ(chip.expectedBlock(), 1u);
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

TEST_F(ChipSimulatorTest, RefusesBootloaderFramesInFirmwareMode)
{
    const Bytes image = randomImage(256);
    expectRefused(block(1, image, 0, 256), RefusalReason::OutOfOrder);
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder);
    expectRefused(control(ControlExitBootMode), RefusalReason::OutOfOrder);
    expectRefused(control(ControlFactoryReset), RefusalReason::OutOfOrder);
}

TEST_F(ChipSimulatorTest, RefusesControlFramesOutOfOrder)
{
    const Bytes image = randomImage(256);
    enterBootMode();
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder);    // before any block
    expectRefused(control(ControlExitBootMode), RefusalReason::OutOfOrder); // before end of data
    EXPECT_EQ(one(block(1, image, 0, 256)).event, ChipEvent::BlockWritten);
    expectRefused(control(ControlFactoryReset), RefusalReason::OutOfOrder); // after a block
    EXPECT_EQ(one(control(ControlEndOfData)).event, ChipEvent::EndOfData);
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder); // twice
    expectRefused(block(2, image, 0, 256), RefusalReason::OutOfOrder);   // after end of data
    EXPECT_EQ(one(control(ControlExitBootMode)).event, ChipEvent::BootModeLeft);
}

TEST_F(ChipSimulatorTest, RefusesBlocksAndEndOfDataAfterFactoryReset)
{
    enterBootMode();
    EXPECT_EQ(one(control(ControlFactoryReset)).event, ChipEvent::FactoryResetDone);
    expectRefused(block(1, randomImage(256), 0, 256), RefusalReason::OutOfOrder);
    expectRefused(control(ControlEndOfData), RefusalReason::OutOfOrder);
    expectRefused(control(ControlFactoryReset), RefusalReason::OutOfOrder);
}

// --- Chunking and resynchronisation --------------------------------------------------------------

TEST_F(ChipSimulatorTest, InputSplitAnywhereGivesTheSameOutcomes)
{
    const Bytes image = randomImage(600);
    const Bytes all = concatenate(flashFrames(image));
    for (size_t chunk : {1u, 2u, 7u, 100u, 264u}) {
        SCOPED_TRACE(chunk);
        const auto outcomes = feed(all, chunk);
        ASSERT_EQ(outcomes.size(), 6u);
        for (const auto& outcome : outcomes)
            EXPECT_EQ(outcome.replyKind, ReplyKind::Acknowledgement) << outcome.description;
        EXPECT_EQ(chip.receivedImage(), image);
        EXPECT_FALSE(chip.hasPartialFrame());
    }
}

TEST_F(ChipSimulatorTest, FrameStartWaitsForTheRest)
{
    const Bytes frame = block(1, randomImage(256), 0, 256);
    enterBootMode();
    EXPECT_TRUE(feed(Bytes(frame.begin(), frame.begin() + 6)).empty());
    EXPECT_TRUE(chip.hasPartialFrame());
    const auto outcomes = feed(Bytes(frame.begin() + 6, frame.end()));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].event, ChipEvent::BlockWritten);
}

TEST_F(ChipSimulatorTest, AbandonedFragmentIsRefusedAndForgotten)
{
    const Bytes frame = block(1, randomImage(256), 0, 256);
    enterBootMode();
    feed(Bytes(frame.begin(), frame.begin() + 100));
    ASSERT_TRUE(chip.hasPartialFrame());
    const ChipOutcome dropped = chip.abandonPartialFrame();
    EXPECT_TRUE(dropped.isProtocolError());
    EXPECT_EQ(dropped.reply,
              buildChipReply(RefusalCommand, static_cast<uint8_t>(RefusalReason::IncompleteFrame)));
    EXPECT_FALSE(chip.hasPartialFrame());
    EXPECT_EQ(one(frame).event, ChipEvent::BlockWritten);
}

TEST_F(ChipSimulatorTest, GarbageIsRefusedOnceAndTheNextRequestStillAnswered)
{
    Bytes input = {'h', 'e', 'l', 'l', 'o', 0x55, 0x00, 0x10, 0x07};
    const Bytes info = request(FirmwareInfoRequest);
    input.insert(input.end(), info.begin(), info.end());
    const auto outcomes = feed(input);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].reply,
              buildChipReply(RefusalCommand, static_cast<uint8_t>(RefusalReason::UnrecognisedBytes)));
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
    const auto outcomes = feed(input, 5);
    size_t acknowledgements = 0;
    for (const auto& outcome : outcomes)
        acknowledgements += outcome.replyKind == ReplyKind::Acknowledgement;
    EXPECT_EQ(acknowledgements, frames.size());
    EXPECT_EQ(chip.receivedImage(), image);
    EXPECT_GE(chip.protocolErrors(), frames.size());
}

TEST_F(ChipSimulatorTest, UnknownCommandAfterMarkerIsGarbage)
{
    enterBootMode();
    expectRefused(bytes({0x55, 0x66, 0x32, 0x00, 0x01, 0x00}), RefusalReason::UnrecognisedBytes);
}

} // namespace
} // namespace rq75x
