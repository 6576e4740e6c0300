// The flashing engine: drives one chip's bootloader through boot mode, the blocks of a firmware
// image, end of data and exit from boot mode (or a factory reset), guards every request with a
// time-out and reports each step to its front end as values (FlashEvents). One engine per chip;
// engines share nothing, so several can run side by side in one process.
//
// Each reply moves a run on only from the stage that waits for it: the boot-ready reply after the
// boot-mode request, one block acknowledgement for the block just sent, the end-of-data
// acknowledgement after the end-of-data frame, the boot-exit reply after the exit frame, the
// factory-reset acknowledgement after the reset frame. Anything else is reported, said to be out
// of turn, and changes nothing: the run's deadline keeps running. Bytes that had arrived before a
// frame was written are never taken for its answer.
//
// Threads: the front end calls the requests (startFlash() to closePort()) on its own thread; the
// serial receive thread calls onReadEvent(). The pauses of the protocol are waited out on the
// calling thread; a time-out, a stop or a close ends them at once (see RunGuard).
#pragma once

#include "flasher/BootloaderCodec.h"
#include "flasher/ChipPort.h"
#include "flasher/FirmwareImage.h"
#include "flasher/FlashEvents.h"
#include "flasher/RunGuard.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

namespace rq75x {

class FlashEngine
{
public:
    // `pause` and `clock` as for RunGuard: tests record pauses and move the clock themselves.
    FlashEngine(ChipPort& port, FlashEvents& events, RunGuard::Pause pause = {}, RunGuard::Clock clock = {});
    // Waits for a reply handler that is still finishing on another thread (one that closed its
    // port itself); the front end stops notifications (closes the port) before.
    ~FlashEngine();
    FlashEngine(const FlashEngine&) = delete;
    FlashEngine& operator=(const FlashEngine&) = delete;

    // --- requests (the front end's thread) ---
    bool portIsOpen();
    // Flash: "Reading...", what reading the image came to and, when it holds an image, the
    // boot-mode request. The caller has checked portIsOpen(); nothing happens while a run goes on.
    void startFlash(const ImageRead& read);
    // Factory reset: "Restoring factory settings...", then the boot-mode request.
    void startFactoryReset();
    // Arms the 5000 ms guard and sends the firmware-information request.
    void requestFirmwareInfo();
    // Sends the firmware-information request again under the deadline the first one set, so that
    // a chip that was not listening yet when it went out (one its adapter has just powered) still
    // answers within it. Does nothing once an answer has begun or a run has started.
    void repeatFirmwareInfoRequest();
    // The guard timer fired. When the guard has really run out (no reply is being handled, the
    // deadline has passed, and whatever had arrived has been handed over first), declares the
    // time-out: cuts the run off, closes the port, reports the time-out, drops the image and
    // returns true, ending with runEnded(TimedOut) whether or not a run was going on, so that a
    // front end waiting for the answer to requestFirmwareInfo() learns of the silence as well.
    // Otherwise sets the front end's timer to what the guard still needs (restarts it for the
    // rest of the time, or stops it while a reply decides) and returns false.
    bool onTimerFired();
    // Stops the run going on at once: nothing more is sent (a reply being handled is cut off, a
    // pause ends), its time-out is stopped, the port stays open, and runEnded(Stopped) says where
    // the run stood. Returns once no reply handler runs any more; false, with nothing done, when
    // no flash or reset was going on.
    bool stop();
    // Closes the port (never from inside onReadEvent): whatever a reply handler was doing (a
    // pause, the next frame) is cut off, so it returns without waiting out a pause; no handler is
    // running any more when it does. A run going on ends without a word; an armed time-out is
    // left running and still reports.
    void closePort();

    // --- replies (receive thread) ---
    // Reads what is waiting, classifies it and, when it is the reply the run waits for, answers
    // with the next frame. During a run, a reply that does not advance it leaves the run's
    // deadline where it was; outside a run it stops the time-out. When the port reports that the
    // device went away, ends at once: Disconnected, the port closed.
    void onReadEvent(unsigned int readBufferLen);

    // --- state for the front end ---
    // From the boot-mode request until the run ends.
    bool runActive();
    RunPosition position();
    // Changes whenever a time-out, a stop or a close cuts a run off; see FlashEvents.
    uint64_t runGeneration() const { return guard.generation(); }

    // The text of the reply log for a reply that is not a protocol reply. Keeps '.' to 'a', '-',
    // 'z', 'A' to 'Z', ASCII digits and ASCII white space; removes everything else.
    static QString filterReplyText(const QByteArray& bytes);

private:
    class Notification; // the handling of one notification on the receive thread

    void tell(const Message& message);
    void beginRun(RunTask task, std::shared_ptr<const FirmwareImage> runImage);
    // Writes a request from the front end's thread.
    void sendRequest(const uint8_t* bytes, int length);
    // Bytes that wait unread when a frame is written arrived before it: not its answer.
    void noteFrameSent(unsigned int bytesWaiting); // guard's lock held
    void armGuard(unsigned int ms);

    // The receive thread, through the notification.
    void onReply(Notification& notification, const char* bytes, int length, bool arrivedBefore);
    void onPortWentAway(Notification& notification);
    void onBootReady(Notification& notification);
    void sendBlock(Notification& notification, uint32_t block);
    void onBlockWritten(Notification& notification, uint32_t block);
    void onEndOfData(Notification& notification);
    void onBootExited(Notification& notification);
    void onFactoryResetAcknowledged(Notification& notification);
    void sendControlFrame(Notification& notification, ControlCommand command, RunStage stage,
                          unsigned int timeoutMs);

    ChipPort& port;
    FlashEvents& events;
    RunGuard guard;

    // Under the guard's lock.
    bool running = false;
    RunPosition where;
    std::shared_ptr<const FirmwareImage> image; // the image of the run; dropped by a time-out
    uint64_t framesSent = 0;
    unsigned int bytesBeforeLastFrame = 0; // still to be read of what arrived before the last frame

    // The receive thread's.
    std::array<uint8_t, FullBlockFrameSize> blockFrame{};
    std::array<uint8_t, ControlFrameSize> controlFrame{};
};

} // namespace rq75x
