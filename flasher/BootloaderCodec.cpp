#include "flasher/BootloaderCodec.h"

#include <cstring>

namespace rq75x {

std::string toHexText(const void* bytes, int length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    if (length <= 0)
        return text;
    const auto* p = static_cast<const uint8_t*>(bytes);
    text.reserve(static_cast<size_t>(length) * 5);
    for (int i = 0; i < length; ++i) {
        text += "0x";
        text += digits[p[i] >> 4];
        text += digits[p[i] & 0x0F];
        text += ' ';
    }
    return text;
}

uint16_t crc16Modbus(const void* bytes, int length)
{
    uint16_t crc = 0xFFFF;
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (int i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

int buildBlockFrame(uint16_t blockNumber, const void* payload, int length, uint8_t* frame)
{
    frame[0] = 0x55;
    frame[1] = 0x66;
    frame[2] = BlockCommand;
    frame[3] = static_cast<uint8_t>(blockNumber >> 8);
    frame[4] = static_cast<uint8_t>(blockNumber & 0xFF);
    frame[5] = static_cast<uint8_t>((length >> 8) & 0xFF);
    frame[6] = static_cast<uint8_t>(length & 0xFF);
    std::memcpy(frame + 7, payload, static_cast<size_t>(length));
    const uint16_t crc = crc16Modbus(frame, 7 + length);
    frame[7 + length] = static_cast<uint8_t>(crc >> 8);
    frame[8 + length] = static_cast<uint8_t>(crc & 0xFF);
    return length + BlockFrameOverhead;
}

std::vector<uint8_t> buildBlockFrame(uint16_t blockNumber, const void* payload, int length)
{
    std::vector<uint8_t> frame(static_cast<size_t>(length + BlockFrameOverhead));
    buildBlockFrame(blockNumber, payload, length, frame.data());
    return frame;
}

std::array<uint8_t, ControlFrameSize> buildControlFrame(ControlCommand command)
{
    std::array<uint8_t, ControlFrameSize> frame = {
        0x55, 0x66, static_cast<uint8_t>(command), 0x00, 0x01, 0xAA, 0, 0};
    const uint16_t crc = crc16Modbus(frame.data(), 6);
    frame[6] = static_cast<uint8_t>(crc >> 8);
    frame[7] = static_cast<uint8_t>(crc & 0xFF);
    return frame;
}

ReplyCode classifyReply(const void* bytes, int length)
{
    // The chip's replies are recognised by their hex rendering: a fixed 14-character prefix,
    // and for the boot-ready reply the rendering of byte 5 at text position 25.
    static const struct
    {
        const char* prefix;
        ReplyCode code;
    } prefixes[] = {
        {"0x55 0x66 0x32", ReplyBootReady},    {"0x55 0x66 0x33", ReplyBlockWritten},
        {"0x55 0x66 0x34", ReplyEndOfData},    {"0x55 0x66 0x35", ReplyBootExited},
        {"0x55 0x66 0x36", ReplyFactoryReset},
    };
    // Only the first six bytes can matter.
    const std::string text = toHexText(bytes, length < 6 ? length : 6);
    if (text.size() < 14)
        return ReplyOther;
    for (const auto& entry : prefixes) {
        if (text.compare(0, 14, entry.prefix) != 0)
            continue;
        if (entry.code == ReplyBootReady)
            return (text.size() >= 29 && text.compare(25, 4, "0x00") == 0) ? ReplyBootReady : ReplyOther;
        return entry.code;
    }
    return ReplyOther;
}

} // namespace rq75x
