#include "sim/ChipSimulator.h"

#include "flasher/BootloaderCodec.h"

#include <algorithm>
#include <utility>

namespace rq75x {

namespace {

constexpr uint8_t RequestPrefix = 0x10;
constexpr uint8_t FrameMarker0 = 0x55;
constexpr uint8_t FrameMarker1 = 0x66;
constexpr size_t BlockHeaderSize = 7;
constexpr size_t LoggedBytes = 16;

uint16_t storedCrc(const uint8_t* trailer)
{
    return static_cast<uint16_t>((trailer[0] << 8) | trailer[1]);
}

std::string hex16(uint16_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += digits[(value >> shift) & 0xF];
    return text;
}

// The first bytes of a fragment, as "0x55 0x66 ..." for the log.
std::string excerpt(const uint8_t* bytes, size_t length)
{
    const size_t shown = std::min(length, LoggedBytes);
    std::string text = toHexText(bytes, static_cast<int>(shown));
    if (!text.empty())
        text.pop_back();
    if (length > shown)
        text += " ...";
    return text;
}

std::string controlName(uint8_t command)
{
    switch (command) {
    case ControlEndOfData:
        return "end-of-data frame";
    case ControlExitBootMode:
        return "exit-boot-mode frame";
    case ControlFactoryReset:
        return "factory-reset frame";
    default:
        return "control frame";
    }
}

} // namespace

std::vector<uint8_t> buildChipReply(uint8_t command, uint8_t status)
{
    std::vector<uint8_t> reply = {FrameMarker0, FrameMarker1, command, 0x00, 0x01, status, 0, 0};
    const uint16_t crc = crc16Modbus(reply.data(), 6);
    reply[6] = static_cast<uint8_t>(crc >> 8);
    reply[7] = static_cast<uint8_t>(crc & 0xFF);
    return reply;
}

ChipSimulator::ChipSimulator(std::string firmwareInfo) : firmwareInfo_(std::move(firmwareInfo)) {}

void ChipSimulator::receive(const uint8_t* bytes, size_t length)
{
    pending_.insert(pending_.end(), bytes, bytes + length);
}

ChipSimulator::Scan ChipSimulator::scanUnit(size_t at) const
{
    const size_t available = pending_.size() - at;
    const uint8_t* p = pending_.data() + at;
    auto need = [&](size_t count) { return available < count; };

    if (p[0] == RequestPrefix) {
        if (need(2))
            return Scan::incomplete();
        if (p[1] == FirmwareInfoRequest[1] || p[1] == BootModeRequest[1])
            return Scan::unit(2);
        return Scan::notAStart();
    }
    if (p[0] != FrameMarker0)
        return Scan::notAStart();
    if (need(2))
        return Scan::incomplete();
    if (p[1] != FrameMarker1)
        return Scan::notAStart();
    if (need(3))
        return Scan::incomplete();

    const uint8_t command = p[2];
    if (command == BlockCommand) {
        if (need(BlockHeaderSize))
            return Scan::incomplete();
        const unsigned payload = (static_cast<unsigned>(p[5]) << 8) | p[6];
        if (payload == 0 || payload > static_cast<unsigned>(BlockSize))
            return Scan::notAStart("block frame with payload length " + std::to_string(payload) +
                                   " (must be 1 to 256)");
        const size_t frameLength = payload + BlockFrameOverhead;
        if (need(frameLength))
            return Scan::incomplete();
        return Scan::unit(frameLength);
    }
    if (command == ControlEndOfData || command == ControlExitBootMode || command == ControlFactoryReset) {
        if (need(ControlFrameSize))
            return Scan::incomplete();
        return Scan::unit(ControlFrameSize);
    }
    return Scan::notAStart("unknown command " + toHexText(&command, 1).substr(0, 4));
}

std::optional<ChipOutcome> ChipSimulator::nextFrame()
{
    if (pending_.empty())
        return std::nullopt;
    const Scan scan = scanUnit(0);
    switch (scan.result) {
    case Scan::Result::Incomplete:
        return std::nullopt;
    case Scan::Result::NotAStart:
        return takeUnrecognised();
    case Scan::Result::Unit:
        break;
    }
    const std::vector<uint8_t> unit(pending_.begin(), pending_.begin() + static_cast<long>(scan.length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(scan.length));
    return handleUnit(unit.data(), unit.size());
}

// Skips to the next byte that can start a request or frame, the way the bootloader regains step
// after line noise; the skipped run is refused once.
ChipOutcome ChipSimulator::takeUnrecognised()
{
    const std::string why = scanUnit(0).whyNot;
    size_t skipped = 1;
    while (skipped < pending_.size() && scanUnit(skipped).result == Scan::Result::NotAStart)
        ++skipped;
    std::string description =
        "unrecognised bytes (" + std::to_string(skipped) + "): " + excerpt(pending_.data(), skipped);
    if (!why.empty())
        description += " - " + why;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(skipped));
    return refuse(RefusalReason::UnrecognisedBytes, description);
}

ChipOutcome ChipSimulator::abandonPartialFrame()
{
    std::string description = "incomplete frame dropped (" + std::to_string(pending_.size()) +
                              " bytes): " + excerpt(pending_.data(), pending_.size());
    pending_.clear();
    return refuse(RefusalReason::IncompleteFrame, description);
}

ChipOutcome ChipSimulator::handleUnit(const uint8_t* unit, size_t length)
{
    if (unit[0] == RequestPrefix)
        return handleRequest(unit[1]);
    if (unit[2] == BlockCommand)
        return handleBlockFrame(unit, length);
    return handleControlFrame(unit);
}

ChipOutcome ChipSimulator::handleRequest(uint8_t request)
{
    if (request == FirmwareInfoRequest[1]) {
        if (mode() == ChipMode::Boot) {
            // The host asks for this whenever it opens the port, also after giving up on a run:
            // the bootloader cannot serve it, but that is no fault of the host.
            return {ChipEvent::RequestRefused, ReplyKind::Refusal,
                    buildChipReply(RefusalCommand, static_cast<uint8_t>(RefusalReason::OutOfOrder)),
                    "firmware-information request refused: the bootloader is running"};
        }
        return {ChipEvent::FirmwareInfoSent, ReplyKind::FirmwareInfo,
                std::vector<uint8_t>(firmwareInfo_.begin(), firmwareInfo_.end()),
                "firmware information sent"};
    }

    // A boot-mode request in boot mode comes from a host that gave up on a run and starts again.
    const bool restart = mode() == ChipMode::Boot;
    enterBootMode();
    return acknowledge(ChipEvent::BootModeEntered, 0x32,
                       restart ? "boot mode requested again: starting over at block 1" : "boot mode entered");
}

void ChipSimulator::enterBootMode()
{
    phase_ = Phase::BootReady;
    expectedBlock_ = 1;
    image_.clear();
}

ChipOutcome ChipSimulator::handleBlockFrame(const uint8_t* frame, size_t length)
{
    const size_t payload = length - BlockFrameOverhead;
    const unsigned number = (static_cast<unsigned>(frame[3]) << 8) | frame[4];
    const std::string name = "block " + std::to_string(number);

    const uint16_t crc = crc16Modbus(frame, static_cast<int>(BlockHeaderSize + payload));
    const uint16_t stored = storedCrc(frame + BlockHeaderSize + payload);
    if (crc != stored)
        return refuse(RefusalReason::BadCrc, name + ": CRC " + hex16(stored) + ", expected " + hex16(crc));

    switch (phase_) {
    case Phase::Firmware:
        return refuse(RefusalReason::OutOfOrder, name + " in firmware mode");
    case Phase::DataEnded:
        return refuse(RefusalReason::OutOfOrder, name + " after the end-of-data frame");
    case Phase::ResetDone:
        return refuse(RefusalReason::OutOfOrder, name + " after a factory reset");
    case Phase::LastBlockDone:
        return refuse(RefusalReason::OutOfOrder, name + " after block " + std::to_string(expectedBlock_ - 1) +
                                                     ", which was shorter than 256 bytes and so the last");
    case Phase::BootReady:
    case Phase::ReceivingBlocks:
        break;
    }
    if (number != expectedBlock_)
        return refuse(RefusalReason::WrongBlockNumber,
                      name + ", expected block " + std::to_string(expectedBlock_));

    const uint8_t* data = frame + BlockHeaderSize;
    image_.insert(image_.end(), data, data + payload);
    ++expectedBlock_;
    phase_ = payload < static_cast<size_t>(BlockSize) ? Phase::LastBlockDone : Phase::ReceivingBlocks;
    ChipOutcome written = acknowledge(ChipEvent::BlockWritten, BlockCommand,
                                      name + " written (" + std::to_string(payload) + " bytes)");
    written.block = number;
    return written;
}

ChipOutcome ChipSimulator::handleControlFrame(const uint8_t* frame)
{
    const uint8_t command = frame[2];
    const std::string name = controlName(command);

    const uint16_t crc = crc16Modbus(frame, 6);
    const uint16_t stored = storedCrc(frame + 6);
    if (crc != stored)
        return refuse(RefusalReason::BadCrc, name + ": CRC " + hex16(stored) + ", expected " + hex16(crc));
    if (frame[3] != 0x00 || frame[4] != 0x01 || frame[5] != 0xAA)
        return refuse(RefusalReason::MalformedControlFrame,
                      name + " with bytes " + excerpt(frame + 3, 3) + " where 0x00 0x01 0xAA belong");
    if (mode() == ChipMode::Firmware)
        return refuse(RefusalReason::OutOfOrder, name + " in firmware mode");

    switch (command) {
    case ControlEndOfData:
        return endOfData();
    case ControlExitBootMode:
        return exitBootMode();
    default:
        return factoryReset();
    }
}

ChipOutcome ChipSimulator::endOfData()
{
    switch (phase_) {
    case Phase::ReceivingBlocks:
    case Phase::LastBlockDone: {
        phase_ = Phase::DataEnded;
        const uint32_t blocks = expectedBlock_ - 1;
        return acknowledge(ChipEvent::EndOfData, ControlEndOfData,
                           "end of data: " + std::to_string(image_.size()) + " bytes in " +
                               std::to_string(blocks) + (blocks == 1 ? " block" : " blocks"));
    }
    case Phase::BootReady:
        return refuse(RefusalReason::OutOfOrder, "end-of-data frame before any block");
    case Phase::DataEnded:
        return refuse(RefusalReason::OutOfOrder, "second end-of-data frame");
    default:
        return refuse(RefusalReason::OutOfOrder, "end-of-data frame after a factory reset");
    }
}

ChipOutcome ChipSimulator::exitBootMode()
{
    if (phase_ != Phase::DataEnded && phase_ != Phase::ResetDone)
        return refuse(RefusalReason::OutOfOrder,
                      "exit-boot-mode frame before the end-of-data or factory-reset frame");
    phase_ = Phase::Firmware;
    return acknowledge(ChipEvent::BootModeLeft, ControlExitBootMode, "boot mode left");
}

ChipOutcome ChipSimulator::factoryReset()
{
    if (phase_ != Phase::BootReady)
        return refuse(RefusalReason::OutOfOrder, "factory-reset frame after other bootloader frames");
    phase_ = Phase::ResetDone;
    ++factoryResets_;
    return acknowledge(ChipEvent::FactoryResetDone, ControlFactoryReset, "factory reset done");
}

ChipOutcome ChipSimulator::acknowledge(ChipEvent event, uint8_t command, std::string description) const
{
    return {event, ReplyKind::Acknowledgement, buildChipReply(command, 0x00), std::move(description)};
}

ChipOutcome ChipSimulator::refuse(RefusalReason reason, std::string description)
{
    ++protocolErrors_;
    return {ChipEvent::ProtocolError, ReplyKind::Refusal,
            buildChipReply(RefusalCommand, static_cast<uint8_t>(reason)), std::move(description)};
}

} // namespace rq75x
