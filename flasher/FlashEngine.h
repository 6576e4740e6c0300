// The flashing engine: reads the firmware image, drives one chip's bootloader through boot mode,
// the blocks, end of data and exit from boot mode (or a factory reset), guards every request
// with a time-out and reports each step to its front end. One engine per chip; engines share
// nothing, so several can run side by side in one process.
//
// Threads: the front end calls loadFirmwareFile(), startFlash(), startFactoryReset(),
// requestFirmwareInfo(), onTimerFired() and closePort() on its own thread; the serial receive
// thread calls onReadEvent(). The pauses of the protocol are waited out on the calling thread.
//
// Runs and the guard: the engine owns the request time-out (its deadline); the front end's timer
// only wakes it up. Every notification stops the time-out while its reply is handled, and the
// time-out is declared only when no reply is being handled and none has been handed over
// unhandled, so a reply that reached the engine first always wins. A declared time-out, and a
// close, cut the run off: its generation changes, and from then on nothing of it happens any
// more (no frame, no arm, no message; a pause ends at once), on the receive thread or in what the
// front end still has queued from it.
#pragma once

#include "flasher/BootloaderCodec.h"
#include "flasher/ChipPort.h"
#include "flasher/FlashEvents.h"
#include "flasher/MessageBuffer.h"

#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

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
// A guard that wakes up this long after its deadline was held up (the process was stopped, or its
// front end was busy); the receive thread may have been held up with it, with an answer that came
// in time still waiting to be handed over. It then gets up to CatchUpWait to hand it over before
// the time-out is declared, as it does whenever received bytes are waiting unread.
constexpr unsigned int LateWakeUp = 250;
constexpr unsigned int CatchUpWait = 100;
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

    // `clock` tells the time the guard's deadline is measured with. `pause`, when given, takes
    // the place of waiting out each pause (tests record pauses instead of sitting through them);
    // without it a pause is a wait that a time-out or a close ends at once. Either way nothing of
    // the run follows a pause once the run has been cut off.
    FlashEngine(ChipPort& port, FlashEvents& events, Pause pause = {}, Clock clock = {});
    // Waits for a reply handler that is still finishing on another thread (one that closed its
    // port itself); the front end stops notifications (closes the port) before.
    ~FlashEngine();
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
    // The guard timer fired. When the guard has really run out (no reply is being handled, the
    // deadline has passed, and whatever had arrived has been handed over first), declares the
    // time-out: cuts the run off, closes the port, reports the time-out, releases the image and
    // returns true, ending with runEnded(TimedOut) whether or not a run was going on, so that a
    // front end waiting for the answer to requestFirmwareInfo() learns of the silence as well.
    // Otherwise sets the front end's timer to what the guard still needs (restarts it for the
    // rest of the time, or stops it while a reply decides) and returns false.
    bool onTimerFired();
    // Closes the port on the front end's thread (never from inside onReadEvent): whatever a reply
    // handler was doing (a pause, the next frame) is cut off, so it returns without waiting out a
    // pause; no handler is running any more when it does. An armed time-out is left running and
    // still reports.
    void closePort();

    // --- replies (receive thread) ---
    // Reads what is waiting, classifies it and answers with the next frame. During a run, a reply
    // that does not advance it leaves the run's deadline where it was; outside a run it stops
    // the time-out. Never reads outside the loaded image, and sends nothing without one. When the
    // port reports that the device went away, ends at once: Disconnected, the port closed.
    void onReadEvent(unsigned int readBufferLen);

    // --- state for the front end ---
    uint32_t totalBlocks() const { return state.totalBlocks.load(); }
    uint32_t currentBlock() const { return state.currentBlock.load(); }
    bool factoryResetRequested() const { return state.factoryResetRequested.load(); }
    // From the boot-mode request until completion, time-out, disconnection or abort.
    bool runActive() const { return running.load(); }
    // Changes whenever a time-out or a close cuts a run off; see FlashEvents.
    uint64_t runGeneration() const { return generation.load(); }
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
    // Where a run stands, for the line that says where the port went away.
    enum class Stage
    {
        Idle,
        FirmwareInfo,    // the firmware-information request is out
        BootModeRequest, // the boot-mode request is out
        Blocks,          // block currentBlock is out
        LeavingBootMode, // end of data or exit from boot mode is out
        FactoryReset     // the factory-reset sequence is going on
    };
    using TimePoint = std::chrono::steady_clock::time_point;
    class Reply; // the handling of one notification on the receive thread

    // The front end's own thread.
    void logLine(const QString& text);
    void logAndShow(const QString& text);
    void armGuard(unsigned int ms);
    bool guardRanOut(TimePoint now) const;          // runMutex held
    unsigned int guardTimerMs(TimePoint now) const; // runMutex held: what the front end's timer needs
    void declareTimeOut(std::unique_lock<std::mutex>& lock);
    bool pauseWhileCurrent(uint64_t run, unsigned int ms);

    bool imageLoaded();
    void releaseImage();
    Preparation prepareBlock(uint32_t block, PreparedFrame& frame);
    void refuseImage(const char* path, unsigned long size);
    QString wentAwayText();

    // The receive thread, through the notification's Reply.
    void ignoreReply(Reply& reply, const QString& why);
    void sendFirstBlock(Reply& reply);
    void sendNextBlock(Reply& reply);
    void endRun(Reply& reply, RunOutcome outcome);
    void onPortWentAway(Reply& reply);
    void onOtherReply(Reply& reply, const char* bytes, int length);
    void onBootReady(Reply& reply);
    void onBlockWritten(Reply& reply);
    void onEndOfData(Reply& reply);
    void onBootExited(Reply& reply);
    void onFactoryResetAcknowledged(Reply& reply);

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
    std::atomic<Stage> stage{Stage::Idle};

    // The run and its guard, shared by the front end's thread and the receive thread. Never held
    // while pausing (the wait releases it), writing to the port or closing it; held while the
    // receive thread's handling calls `events`, so that no call of a run that has been cut off
    // is made once the cut-off has been decided.
    std::mutex runMutex;
    std::condition_variable runChanged; // generation changed, or a notification began or ended
    std::atomic<uint64_t> generation{0};
    bool portClosing = false;   // a close by the engine is in progress: notifications are ignored
    int handlersRunning = 0;    // notifications being handled
    uint64_t notifications = 0; // notifications begun so far
    bool guardArmed = false;
    TimePoint guardDeadline{};
    std::optional<TimePoint> caughtUpFor; // the deadline for which CatchUpWait has been given
};

} // namespace rq75x
