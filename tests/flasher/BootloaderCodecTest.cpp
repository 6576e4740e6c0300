// The bootloader codec against the exact byte sequences the chip expects.
#include "flasher/BootloaderCodec.h"

#include <gtest/gtest.h>

#include <vector>

using namespace rq75x;

namespace {

using Bytes = std::vector<uint8_t>;

} // namespace

TEST(HexText, RendersEveryByteAsFiveUppercaseCharactersAndNothingForNoBytes)
{
    const Bytes bytes = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(toHexText(bytes.data(), 3), "0x00 0xAB 0xFF ");
    EXPECT_EQ(toHexText(bytes.data(), 0), "");
    EXPECT_EQ(toHexText(bytes.data(), -1), "");
}

TEST(Crc16Modbus, MatchesTheCheckValueAndIsTheInitialValueForNoBytes)
{
    EXPECT_EQ(crc16Modbus("123456789", 9), 0x4B37);
    EXPECT_EQ(crc16Modbus("x", 0), 0xFFFF);
    EXPECT_EQ(crc16Modbus("x", -5), 0xFFFF);
}

TEST(ControlFrame, IsTheExactFrameOfEachCommand)
{
    const std::pair<ControlCommand, Bytes> frames[] = {
        {ControlEndOfData, {0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0xC9, 0x8B}},
        {ControlExitBootMode, {0x55, 0x66, 0x35, 0x00, 0x01, 0xAA, 0x35, 0x8A}},
        {ControlFactoryReset, {0x55, 0x66, 0x36, 0x00, 0x01, 0xAA, 0x71, 0x8A}},
    };
    for (const auto& [command, expected] : frames) {
        const auto frame = buildControlFrame(command);
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), expected) << int(command);
    }
}

TEST(BlockFrame, ShortLastBlock)
{
    const uint8_t payload[] = {0xDE, 0xAD};
    EXPECT_EQ(buildBlockFrame(3, payload, 2),
              (Bytes{0x55, 0x66, 0x33, 0x00, 0x03, 0x00, 0x02, 0xDE, 0xAD, 0x7F, 0x31}));
}

TEST(BlockFrame, FullBlockOfZeros)
{
    Bytes expected = {0x55, 0x66, 0x33, 0x00, 0x01, 0x01, 0x00};
    expected.resize(7 + 256, 0x00);
    expected.insert(expected.end(), {0x99, 0x72});
    const Bytes payload(256, 0x00);
    EXPECT_EQ(buildBlockFrame(1, payload.data(), 256), expected);
}

TEST(BlockFrame, NumberAndLengthAreBigEndian)
{
    const Bytes payload(200, 0x5A);
    const Bytes frame = buildBlockFrame(0xFEDC, payload.data(), 200);
    ASSERT_EQ(frame.size(), 209u);
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 7), (Bytes{0xFE, 0xDC, 0x00, 200}));
}

TEST(BlockFrame, BothFormsWriteTheSameBytes)
{
    const Bytes payload(77, 0x5A);
    Bytes inPlace(86, 0xEE);
    EXPECT_EQ(buildBlockFrame(42, payload.data(), 77, inPlace.data()), 86);
    EXPECT_EQ(inPlace, buildBlockFrame(42, payload.data(), 77));
}

TEST(ClassifyReply, LooksAtTheFirstThreeBytesAndByteFiveOfBootReadyOnly)
{
    const std::pair<Bytes, ReplyCode> cases[] = {
        // Boot ready needs a zero at offset 5; the bytes between do not matter.
        {{0x55, 0x66, 0x32, 0x00, 0x01, 0x00}, ReplyBootReady},
        {{0x55, 0x66, 0x32, 0x7F, 0x7F, 0x00, 0x99, 0x98}, ReplyBootReady},
        {{0x55, 0x66, 0x32, 0x00, 0x01, 0x01}, ReplyOther},
        {{0x55, 0x66, 0x32, 0x00, 0x01}, ReplyOther},
        // Three bytes are enough for the other acknowledgements.
        {{0x55, 0x66, 0x33}, ReplyBlockWritten},
        {{0x55, 0x66, 0x34}, ReplyEndOfData},
        {{0x55, 0x66, 0x35}, ReplyBootExited},
        {{0x55, 0x66, 0x36}, ReplyFactoryReset},
        // Only the start of what was read counts.
        {{0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0x55, 0x66, 0x35, 0x00}, ReplyEndOfData},
        {{0x55, 0x66, 0x33, 0x55, 0x66, 0x32, 0x00, 0x01, 0x00}, ReplyBlockWritten},
        {{0x00, 0x55, 0x66, 0x33}, ReplyOther},
        // Anything else.
        {{}, ReplyOther},
        {{0x55, 0x66}, ReplyOther},
        {{0x55, 0x66, 0x37, 0x00, 0x01, 0x00}, ReplyOther},
        {{0x55, 0x66, 0x31}, ReplyOther},
        {{0x56, 0x66, 0x33}, ReplyOther},
        {{0x55, 0x67, 0x33}, ReplyOther},
    };
    for (const auto& [reply, expected] : cases)
        EXPECT_EQ(classifyReply(reply.data(), static_cast<int>(reply.size())), expected)
            << ::testing::PrintToString(reply);
    const uint8_t blockAck[] = {0x55, 0x66, 0x33};
    EXPECT_EQ(classifyReply(blockAck, -3), ReplyOther);
}
