// The bootloader codec against the exact byte sequences the chip expects.
#include "flasher/BootloaderCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace rq75x;

namespace {

using Bytes = std::vector<uint8_t>;

ReplyCode classify(const Bytes& bytes)
{
    return classifyReply(bytes.data(), static_cast<int>(bytes.size()));
}

} // namespace

TEST(HexText, RendersEveryByteAsFiveUppercaseCharacters)
{
    const Bytes bytes = {0x00, 0xAB, 0xFF};
    const std::string text = toHexText(bytes.data(), 3);
    EXPECT_EQ(text, "0x00 0xAB 0xFF ");
    EXPECT_EQ(text.size(), 15u);
}

TEST(HexText, IsEmptyForNoBytes)
{
    const uint8_t byte = 0x12;
    EXPECT_EQ(toHexText(&byte, 0), "");
    EXPECT_EQ(toHexText(&byte, -1), "");
}

TEST(Crc16Modbus, MatchesTheCheckValue)
{
    EXPECT_EQ(crc16Modbus("123456789", 9), 0x4B37);
}

TEST(Crc16Modbus, IsTheInitialValueForNoBytes)
{
    EXPECT_EQ(crc16Modbus("x", 0), 0xFFFF);
    EXPECT_EQ(crc16Modbus("x", -5), 0xFFFF);
}

TEST(Requests, AreTheTwoFixedBytePairs)
{
    EXPECT_EQ(Bytes(FirmwareInfoRequest.begin(), FirmwareInfoRequest.end()), (Bytes{0x10, 0x05}));
    EXPECT_EQ(Bytes(BootModeRequest.begin(), BootModeRequest.end()), (Bytes{0x10, 0x66}));
}

TEST(ControlFrame, EndOfData)
{
    const auto frame = buildControlFrame(ControlEndOfData);
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), (Bytes{0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0xC9, 0x8B}));
}

TEST(ControlFrame, ExitBootMode)
{
    const auto frame = buildControlFrame(ControlExitBootMode);
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), (Bytes{0x55, 0x66, 0x35, 0x00, 0x01, 0xAA, 0x35, 0x8A}));
}

TEST(ControlFrame, FactoryReset)
{
    const auto frame = buildControlFrame(ControlFactoryReset);
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), (Bytes{0x55, 0x66, 0x36, 0x00, 0x01, 0xAA, 0x71, 0x8A}));
}

TEST(BlockFrame, ShortLastBlock)
{
    const uint8_t payload[] = {0xDE, 0xAD};
    EXPECT_EQ(buildBlockFrame(3, payload, 2),
              (Bytes{0x55, 0x66, 0x33, 0x00, 0x03, 0x00, 0x02, 0xDE, 0xAD, 0x7F, 0x31}));
}

TEST(BlockFrame, FullBlockOfZeros)
{
    const Bytes payload(256, 0x00);
    const Bytes frame = buildBlockFrame(1, payload.data(), 256);
    ASSERT_EQ(frame.size(), 265u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7), (Bytes{0x55, 0x66, 0x33, 0x00, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Bytes(frame.begin() + 7, frame.end() - 2), payload);
    EXPECT_EQ(frame[263], 0x99);
    EXPECT_EQ(frame[264], 0x72);
}

TEST(BlockFrame, NumbersAndLengthsAreBigEndianAndCrcCoversTheWholeFrame)
{
    Bytes payload(200);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 + 1);
    const Bytes frame = buildBlockFrame(0xFEDC, payload.data(), 200);
    ASSERT_EQ(frame.size(), 209u);
    EXPECT_EQ(frame[3], 0xFE);
    EXPECT_EQ(frame[4], 0xDC);
    EXPECT_EQ(frame[5], 0x00);
    EXPECT_EQ(frame[6], 200);
    const uint16_t crc = crc16Modbus(frame.data(), 207);
    EXPECT_EQ(frame[207], crc >> 8);
    EXPECT_EQ(frame[208], crc & 0xFF);
}

TEST(BlockFrame, BothFormsWriteTheSameBytes)
{
    const Bytes payload(77, 0x5A);
    const Bytes frame = buildBlockFrame(42, payload.data(), 77);
    Bytes inPlace(86, 0xEE);
    EXPECT_EQ(buildBlockFrame(42, payload.data(), 77, inPlace.data()), 86);
    EXPECT_EQ(inPlace, frame);
}

TEST(ClassifyReply, BootReadyNeedsZeroAtOffsetFive)
{
    EXPECT_EQ(classify({0x55, 0x66, 0x32, 0x00, 0x01, 0x00}), ReplyBootReady);
    EXPECT_EQ(classify({0x55, 0x66, 0x32, 0x7F, 0x7F, 0x00, 0x99, 0x98}), ReplyBootReady);
    EXPECT_EQ(classify({0x55, 0x66, 0x32, 0x00, 0x01, 0x01}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x66, 0x32, 0x00, 0x01}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x66, 0x32}), ReplyOther);
}

TEST(ClassifyReply, ThreeBytesAreEnoughForTheOtherAcknowledgements)
{
    EXPECT_EQ(classify({0x55, 0x66, 0x33}), ReplyBlockWritten);
    EXPECT_EQ(classify({0x55, 0x66, 0x34}), ReplyEndOfData);
    EXPECT_EQ(classify({0x55, 0x66, 0x35}), ReplyBootExited);
    EXPECT_EQ(classify({0x55, 0x66, 0x36}), ReplyFactoryReset);
}

TEST(ClassifyReply, AnythingElseIsOther)
{
    EXPECT_EQ(classify({}), ReplyOther);
    EXPECT_EQ(classify({0x55}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x66}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x66, 0x37, 0x00, 0x01, 0x00}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x66, 0x31}), ReplyOther);
    EXPECT_EQ(classify({0x00, 0x55, 0x66, 0x33}), ReplyOther);
    EXPECT_EQ(classify({0x56, 0x66, 0x33}), ReplyOther);
    EXPECT_EQ(classify({0x55, 0x67, 0x33}), ReplyOther);
}

TEST(ClassifyReply, OnlyTheStartOfWhatWasReadCounts)
{
    EXPECT_EQ(classify({0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0x55, 0x66, 0x35, 0x00}), ReplyEndOfData);
    EXPECT_EQ(classify({0x55, 0x66, 0x33, 0x55, 0x66, 0x32, 0x00, 0x01, 0x00}), ReplyBlockWritten);
}

TEST(ClassifyReply, NegativeLengthIsOther)
{
    const uint8_t reply[] = {0x55, 0x66, 0x33};
    EXPECT_EQ(classifyReply(reply, -3), ReplyOther);
}
