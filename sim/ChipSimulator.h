// The RQ75x chip as the host sees it over the serial line: its running firmware, which answers the
// firmware-information request and enters boot mode, and its bootloader, which takes the image in
// numbered blocks. Pure protocol: bytes go in, one outcome per request or frame comes out (the reply
// to write and a line for the log). No I/O and no clock; the caller owns both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rq75x {

enum class ChipMode
{
    Firmware,
    Boot
};

enum class ChipEvent
{
    FirmwareInfoSent,
    BootModeEntered,
    BlockWritten,
    EndOfData,
    BootModeLeft,
    FactoryResetDone,
    RequestRefused, // a well-formed request the bootloader does not serve; not the host's fault
    ProtocolError   // a frame the host should never have sent
};

enum class ReplyKind
{
    Acknowledgement, // 55 66 3x 00 01 00 CRC
    FirmwareInfo,    // the firmware-information text
    Refusal          // 55 66 EE 00 01 reason CRC: never taken for an acknowledgement
};

// Byte 5 of a refusal tells why the chip refused.
enum class RefusalReason : uint8_t
{
    BadCrc = 0x01,
    WrongBlockNumber = 0x02,
    BadBlockLength = 0x03,
    MalformedControlFrame = 0x04,
    OutOfOrder = 0x05,
    UnrecognisedBytes = 0x06,
    IncompleteFrame = 0x07,
    ImageNotStored = 0x08 // the end of data arrived but the image could not be kept
};

constexpr uint8_t RefusalCommand = 0xEE;

struct ChipOutcome
{
    ChipEvent event;
    ReplyKind replyKind;
    std::vector<uint8_t> reply;
    std::string description; // one log line
    uint32_t block = 0;      // BlockWritten: the number of the block written

    bool isProtocolError() const { return event == ChipEvent::ProtocolError; }
};

// 55 66 command 00 01 status, CRC high then low: the chip's 8-byte reply.
std::vector<uint8_t> buildChipReply(uint8_t command, uint8_t status);

class ChipSimulator
{
public:
    explicit ChipSimulator(std::string firmwareInfo);

    // Appends received bytes in whatever chunks they arrived.
    void receive(const uint8_t* bytes, size_t length);

    // Takes the next complete request or frame (or run of unrecognised bytes) from what was received
    // and acts on it. Empty when nothing is waiting or only the start of a frame has arrived.
    std::optional<ChipOutcome> nextFrame();

    // The start of a frame is waiting for the rest. A real chip drops such a fragment when the line
    // stays quiet; the caller decides when that is and then calls abandonPartialFrame().
    bool hasPartialFrame() const { return !pending_.empty(); }
    ChipOutcome abandonPartialFrame();

    ChipMode mode() const { return phase_ == Phase::Firmware ? ChipMode::Firmware : ChipMode::Boot; }
    uint32_t expectedBlock() const { return expectedBlock_; }
    // The payloads of the blocks written since boot mode was last entered, in order.
    const std::vector<uint8_t>& receivedImage() const { return image_; }
    unsigned protocolErrors() const { return protocolErrors_; }
    unsigned factoryResets() const { return factoryResets_; }

private:
    enum class Phase
    {
        Firmware,
        BootReady, // boot mode entered, nothing received yet
        ReceivingBlocks,
        LastBlockDone, // a block shorter than 256 bytes arrived: only end of data may follow
        DataEnded,
        ResetDone
    };

    struct Scan
    {
        enum class Result
        {
            Incomplete,
            NotAStart,
            Unit
        };
        Result result;
        size_t length = 0;
        std::string whyNot; // for NotAStart: what made the bytes unrecognisable, if anything

        static Scan incomplete() { return {Result::Incomplete, 0, {}}; }
        static Scan notAStart(std::string why = {}) { return {Result::NotAStart, 0, std::move(why)}; }
        static Scan unit(size_t length) { return {Result::Unit, length, {}}; }
    };

    Scan scanUnit(size_t at) const;
    ChipOutcome takeUnrecognised();
    ChipOutcome handleUnit(const uint8_t* unit, size_t length);
    ChipOutcome handleRequest(uint8_t request);
    ChipOutcome handleBlockFrame(const uint8_t* frame, size_t length);
    ChipOutcome handleControlFrame(const uint8_t* frame);
    ChipOutcome endOfData();
    ChipOutcome exitBootMode();
    ChipOutcome factoryReset();
    void enterBootMode();

    ChipOutcome acknowledge(ChipEvent event, uint8_t command, std::string description) const;
    ChipOutcome refuse(RefusalReason reason, std::string description);

    std::string firmwareInfo_;
    std::vector<uint8_t> pending_;
    Phase phase_ = Phase::Firmware;
    uint32_t expectedBlock_ = 1;
    std::vector<uint8_t> image_;
    unsigned protocolErrors_ = 0;
    unsigned factoryResets_ = 0;
};

} // namespace rq75x
