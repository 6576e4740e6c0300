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
    QString firmwarePath;                       // picked with Load File; read when Flash starts
    std::unique_ptr<uint8_t[]> firmwareImage;   // imageSize + 1 bytes, or null
    int32_t imageSize = 0;
    uint16_t lastBlockLength = 0;               // 1..256
    std::atomic<uint32_t> totalBlocks{0};       // 0 until the first load
    std::atomic<uint32_t> currentBlock{1};      // the block last sent
    std::atomic<bool> factoryResetRequested{false};
    std::array<uint8_t, FullBlockFrameSize> blockFrame{};
    std::unique_ptr<uint8_t[]> lastBlockFrame;  // 9 + lastBlockLength bytes while being sent
    std::array<uint8_t, ControlFrameSize> controlFrame{};
};

class FlashEngine
{
public:
    using Pause = std::function<void(unsigned int ms)>;

    // `pause` sleeps the calling thread; tests pass a faster one.
    FlashEngine(ChipPort& port, FlashEvents& events, Pause pause = {});
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
    // The guard timer fired: closes the port, reports the time-out, releases the image.
    void onTimerFired();

    // --- replies (receive thread) ---
    void onReadEvent(unsigned int readBufferLen);

    // --- state for the front end ---
    uint32_t totalBlocks() const { return state.totalBlocks.load(); }
    uint32_t currentBlock() const { return state.currentBlock.load(); }
    bool factoryResetRequested() const { return state.factoryResetRequested.load(); }
    bool runActive() const { return running.load(); }
    MessageBuffer& messages() { return messageBuffer; }

    // Texts of the reply filter: what a non-protocol answer shows.
    static QString filterReplyText(const QByteArray& bytes);

private:
    // implementation details are the engine's own
    ChipPort& port;
    FlashEvents& events;
    Pause pause;
    MessageBuffer messageBuffer;
    FlashState state;
    std::mutex imageMutex; // guards the image and frames between the two threads
    std::atomic<bool> running{false};
    std::atomic<int64_t> deadlineNs{0}; // steady-clock deadline of the armed run time-out
};

} // namespace rq75x
