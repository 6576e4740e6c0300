// Codec of the RQ75x serial bootloader: the frames the host sends, their CRC-16 and the
// classification of the chip's replies. No I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace rq75x {

constexpr int BlockSize = 256;
constexpr int BlockFrameOverhead = 9;                              // marker, command, number, length, CRC
constexpr int FullBlockFrameSize = BlockSize + BlockFrameOverhead; // 265
constexpr int ControlFrameSize = 8;
constexpr uint32_t MaxBlocks = 65535;                    // block numbers are 16 bits
constexpr uint32_t MaxImageSize = MaxBlocks * BlockSize; // 16,776,960 bytes

constexpr std::array<uint8_t, 2> FirmwareInfoRequest = {0x10, 0x05};
constexpr std::array<uint8_t, 2> BootModeRequest = {0x10, 0x66};

enum ControlCommand : uint8_t
{
    ControlEndOfData = 0x34,
    ControlExitBootMode = 0x35,
    ControlFactoryReset = 0x36
};

constexpr uint8_t BlockCommand = 0x33;

enum ReplyCode
{
    ReplyOther = 1,
    ReplyBootReady = 32,
    ReplyBlockWritten = 33,
    ReplyEndOfData = 34,
    ReplyBootExited = 35,
    ReplyFactoryReset = 36
};

// "0xHH " per byte, uppercase digits; empty for a length of zero or less.
std::string toHexText(const void* bytes, int length);

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final XOR); 0xFFFF for length <= 0.
uint16_t crc16Modbus(const void* bytes, int length);

// 0x55 0x66 0x33, block number, payload length (both big-endian), payload, CRC high then low.
// length must be 1 to 256; the frame is 9 + length bytes.
std::vector<uint8_t> buildBlockFrame(uint16_t blockNumber, const void* payload, int length);
// The same written into `frame`, which must hold 9 + length bytes; returns the frame length.
int buildBlockFrame(uint16_t blockNumber, const void* payload, int length, uint8_t* frame);

// 0x55 0x66 command 0x00 0x01 0xAA, CRC high then low.
std::array<uint8_t, ControlFrameSize> buildControlFrame(ControlCommand command);

// Sorts what was read in one notification into one of the reply codes; only the first three
// bytes (and byte 5 for the boot-ready reply) are examined.
ReplyCode classifyReply(const void* bytes, int length);

} // namespace rq75x
