// The flashing engine: reads the firmware image, drives one chip's bootloader through boot mode,
// the blocks, end of data and exit from boot mode (or a factory reset), guards every request
// with a time-out and reports each step to its front end. One engine per chip; engines share
// nothing, so several can run side by side in one process.
//
// Threads: the front end calls loadFirmwareFile(), startFlash(), startFactoryReset(),
// requestFirmwareInfo() and onTimerFired() on its own thread; the serial receive thread calls
// onReadEvent(). The pauses of the protocol are slept on the calling thread.
#pragma once

#include "flasher/BootloaderCodec.h"
#include "flasher/ChipPort.h"
#include "flasher/FlashEvents.h"
#include "flasher/MessageBuffer.h"

#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace rq75x {

// Time-outs and pauses of the request sequence, in milliseconds.
namespace timing {
constexpr unsigned int FirmwareInfoTimeout = 5000;
constexpr unsigned int BootModeTimeout = 5000;
constexpr unsigned int BlockTimeout = 5000;
constexpr unsigned int FactoryResetTimeout = 15000;
constexpr unsigned int EndOfDataTimeout = 10000;
constexpr unsigned int ExitBootModeTimeout = 5000;
constexpr unsigned int ExitAfterResetTimeout = 15000;
constexpr unsigned int PauseAfterBootReady = 1000;
constexpr unsigned int PauseAfterBootModeRequest = 5;
constexpr unsigned int PauseAfterFirstBlock = 50;
constexpr unsigned int PauseAfterFactoryReset = 50;
constexpr unsigned int PauseAfterFullBlock = 150;
constexpr unsigned int PauseAfterLastBlock = 5;
constexpr unsigned int PauseAfterControlFrame = 5;
} // namespace timing

// The flashing state of one chip.
struct FlashState
{
    QString firmwarePath;                     // picked with Load File; read when Flash starts
    std::unique_ptr<uint8_t[]> firmwareImage; // imageSize + 1 bytes, or null
    int32_t imageSize = 0;
    uint16_t lastBlockLength = 0;          // 1..256
    std::atomic<uint32_t> totalBlocks{0};  // 0 until the first load
    std::atomic<uint32_t> currentBlock{1}; // the block last sent
    std::atomic<bool> factoryResetRequested{false};
    std::array<uint8_t, FullBlockFrameSize> blockFrame{};
    std::unique_ptr<uint8_t[]> lastBlockFrame; // 9 + lastBlockLength bytes while being sent
    std::array<uint8_t, ControlFrameSize> controlFrame{};
};

class FlashEngine
{
public:
    using Pause = std::function<void(unsigned int ms)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // `pause` sleeps the calling thread and `clock` tells the time the run's deadline is measured
    // with; tests pass faster or fixed ones. Empty functions mean the real ones.
    FlashEngine(ChipPort& port, FlashEvents& events, Pause pause = {}, Clock clock = {});
    FlashEngine(const FlashEngine&) = delete;
    FlashEngine& operator=(const FlashEngine&) = delete;

    // --- image ---
    void setFirmwarePath(const QString& path);
    QString firmwarePath() const;
    // Reads the whole file into memory and divides it into blocks: 0 on success, 1 on failure
    // (cannot open, empty, larger than MaxImageSize, short read, no memory), each with its line.
    int loadFirmwareFile(const char* path);

    // --- requests (front end's thread) ---
    bool portIsOpen();
    // Flash: reads the image (unless a factory reset was asked for) and sends the boot-mode
    // request. The caller has checked portIsOpen().
    void startFlash();
    // Factory reset: "Restoring factory settings...", then the boot-mode request.
    void startFactoryReset();
    // Arms the 5000 ms guard and sends the firmware-information request.
    void requestFirmwareInfo();
    // The guard timer fired: closes the port, reports the time-out, releases the image. Ends
    // with runEnded(TimedOut) whether or not a run was going on, so that a front end waiting
    // for the answer to requestFirmwareInfo() learns of the silence as well.
    void onTimerFired();

    // --- replies (receive thread) ---
    // Reads what is waiting, classifies it and answers with the next frame. During a run, a reply
    // that does not advance it leaves the run's deadline where it was; outside a run it stops
    // the time-out. Never reads outside the loaded image, and sends nothing without one.
    void onReadEvent(unsigned int readBufferLen);

    // --- state for the front end ---
    uint32_t totalBlocks() const { return state.totalBlocks.load(); }
    uint32_t currentBlock() const { return state.currentBlock.load(); }
    bool factoryResetRequested() const { return state.factoryResetRequested.load(); }
    // From the boot-mode request until completion, time-out or abort.
    bool runActive() const { return running.load(); }
    MessageBuffer& messages() { return messageBuffer; }

    // Texts of the reply filter: what a non-protocol answer shows. Keeps '.' to 'a', '-', 'z',
    // 'A' to 'Z', ASCII digits and ASCII white space; removes everything else.
    static QString filterReplyText(const QByteArray& bytes);

private:
    enum class Preparation
    {
        Ready,
        NoImage,       // never loaded, or released by a time-out
        PastLastBlock, // the counters do not point into the image
        NoMemory       // the last block's frame could not be allocated
    };
    // The frame prepareBlock() built, chosen while the image could not change.
    struct PreparedFrame
    {
        const uint8_t* bytes = nullptr;
        int length = 0;
        bool last = false; // lastBlockFrame, released once written
    };

    void logLine(const QString& text);
    void logAndShow(const QString& text);
    void arm(unsigned int ms);
    void keepRunDeadline();
    void endRun(RunOutcome outcome);
    bool imageLoaded();
    void releaseImage();
    Preparation prepareBlock(uint32_t block, PreparedFrame& frame);
    void refuseImage(const char* path, unsigned long size);
    void ignoreReply(const QString& why);
    void sendFirstBlock();
    void sendNextBlock();

    void onOtherReply(const char* bytes, int length);
    void onBootReady();
    void onBlockWritten();
    void onEndOfData();
    void onBootExited();
    void onFactoryResetAcknowledged();

    ChipPort& port;
    FlashEvents& events;
    Pause pause;
    Clock clock;
    MessageBuffer messageBuffer;
    FlashState state;
    // Keeps firmwareImage, imageSize, lastBlockLength and totalBlocks consistent with each
    // other: the receive thread cuts blocks from the image while the front end's thread may load
    // a new one or release it on a time-out. The frames themselves belong to the receive thread.
    // Never held while pausing or writing to the port.
    std::mutex imageMutex;
    std::atomic<bool> running{false};
    std::atomic<int64_t> deadlineNs{0}; // steady-clock deadline of the armed run time-out
};

} // namespace rq75x
