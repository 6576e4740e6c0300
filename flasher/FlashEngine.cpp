#include "flasher/FlashEngine.h"

#include "serialport/SerialPortGlobal.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

namespace rq75x {

namespace {

QString acknowledgementText(ReplyCode code)
{
    return QStringLiteral("ACK (%1)").arg(static_cast<int>(code));
}

// What a run out of turn was waiting for, for the line that says a reply was ignored.
QString awaited(const RunPosition& at, bool running)
{
    if (!running)
        return at.stage == RunStage::FirmwareInfo
                   ? QStringLiteral("while waiting for the firmware information")
                   : QStringLiteral("while no run is going on");
    switch (at.stage) {
    case RunStage::BootRequest:
        return QStringLiteral("while waiting for the bootloader to accept the boot-mode request");
    case RunStage::BootReady:
        return QStringLiteral("while preparing the first frame after the boot-mode acknowledgement");
    case RunStage::Block:
        return QStringLiteral("while waiting for block %1 of %2").arg(at.block).arg(at.totalBlocks);
    case RunStage::BlockWritten:
        return QStringLiteral("after block %1 of %2 was acknowledged").arg(at.block).arg(at.totalBlocks);
    case RunStage::EndOfData:
        return QStringLiteral("while waiting for the end of data to be acknowledged");
    case RunStage::FactoryReset:
        return QStringLiteral("while waiting for the factory reset to be acknowledged");
    case RunStage::ExitBootMode:
        return QStringLiteral("while waiting for the chip to leave boot mode");
    case RunStage::Idle:
    case RunStage::FirmwareInfo:
    case RunStage::Completed:
        break;
    }
    return QStringLiteral("while no run is going on");
}

Message line(MessageId id, MessagePlace place, QString text)
{
    return Message{id, place, std::move(text)};
}

} // namespace

FlashEngine::FlashEngine(ChipPort& port, FlashEvents& events, RunGuard::Pause pause, RunGuard::Clock clock)
    : port(port), events(events), guard(std::move(clock), std::move(pause))
{
}

FlashEngine::~FlashEngine()
{
    guard.cutOff(RunGuard::Cut::ClosePort, [] {});
    guard.waitForCutOffHandlers();
}

// ---------------------------------------------------------------------------------------------
// One notification's handling

// Everything the receive thread does for one notification goes through here. Each step first
// checks, under the guard's lock, that the run is still the one the notification began in; once a
// time-out, a stop or a close has cut it off, the step and every later one do nothing, and a pause
// ends at once. Events are told under the lock, so that the cut-off cannot fall between the check
// and the call.
class FlashEngine::Notification
{
public:
    Notification(FlashEngine& engine, uint64_t run) : engine(engine), run(run) {}

    bool live() const { return engine.guard.generation() == run; }

    // Runs `call` under the lock while the run is live; whether it did.
    template <typename Call> bool whileLive(Call&& call)
    {
        return engine.guard.whileCurrent(run, std::forward<Call>(call));
    }

    void tell(const Message& message)
    {
        whileLive([&] { engine.events.message(message); });
    }
    void tell(MessageId id, MessagePlace place, QString text) { tell(line(id, place, std::move(text))); }

    // Moves the run to `position` and says so.
    bool reach(const RunPosition& position)
    {
        return whileLive([&] {
            engine.where = position;
            engine.events.stageReached(position);
        });
    }

    // Writes a frame unless the run has been cut off; false when it has.
    bool send(const uint8_t* bytes, int length)
    {
        const unsigned int waiting = engine.port.bytesWaiting();
        if (!whileLive([&] { engine.noteFrameSent(waiting); }))
            return false;
        engine.port.writeData(bytes, length);
        return true;
    }

    // Arms the guard for the frame just sent.
    void arm(unsigned int ms)
    {
        whileLive([&] { engine.events.guardChanged(engine.guard.arm(ms)); });
    }

    // A reply that does not advance a run must neither stop its time-out (the run would hang)
    // nor extend it (a chip sending garbage would keep the run alive for ever). Outside a run the
    // time-out stays stopped.
    void keepRunDeadline()
    {
        whileLive([&] {
            if (engine.running)
                engine.events.guardChanged(engine.guard.keepDeadline());
        });
    }

    // Waits out a pause of the run; false when the run has been cut off (before or during it).
    bool pause(unsigned int ms) { return engine.guard.pause(run, ms); }

private:
    FlashEngine& engine;
    const uint64_t run;
};

// ---------------------------------------------------------------------------------------------
// Requests

bool FlashEngine::portIsOpen()
{
    return port.isOpen();
}

bool FlashEngine::runActive()
{
    return guard.locked([this] { return running; });
}

RunPosition FlashEngine::position()
{
    return guard.locked([this] { return where; });
}

void FlashEngine::tell(const Message& message)
{
    events.message(message);
}

void FlashEngine::startFlash(const ImageRead& read)
{
    if (runActive())
        return;
    events.runStarted(RunTask::Flash);
    tell(line(MessageId::Reading, MessagePlace::LogAndAction, QStringLiteral("Reading...")));
    if (!read.image) {
        tell(line(MessageId::ImageProblem, MessagePlace::Log, read.problem()));
        if ((read.status == ImageRead::CannotOpen || read.status == ImageRead::CannotRead) &&
            !read.reason.isEmpty())
            tell(line(MessageId::ImageProblemReason, MessagePlace::Log, read.reason));
        // An image an earlier run left must not be sent on a stray reply.
        const RunPosition at{RunTask::Flash, RunStage::Idle, 0, 0};
        guard.locked([&] {
            image.reset();
            where = at;
        });
        tell(line(MessageId::ImageReadError, MessagePlace::LogAndAction,
                  QStringLiteral("Firmware file read error")));
        events.runEnded(RunEnd{RunOutcome::ImageUnreadable, at});
        return;
    }
    const FirmwareImage& loaded = *read.image;
    tell(line(MessageId::ImageSize, MessagePlace::Log,
              QStringLiteral("File: %1 \nSize: %2 Bytes").arg(loaded.path).arg(loaded.size())));
    tell(line(MessageId::ImageBlocks, MessagePlace::Log,
              QStringLiteral("Blocks to transfer: %1").arg(loaded.totalBlocks)));
    beginRun(RunTask::Flash, read.image);
}

void FlashEngine::startFactoryReset()
{
    if (runActive())
        return;
    tell(line(MessageId::RestoringFactorySettings, MessagePlace::LogAndAction,
              QStringLiteral("Restoring factory settings...")));
    events.runStarted(RunTask::FactoryReset);
    beginRun(RunTask::FactoryReset, nullptr);
}

void FlashEngine::beginRun(RunTask task, std::shared_ptr<const FirmwareImage> runImage)
{
    tell(line(MessageId::RequestingBootMode, MessagePlace::LogAndAction,
              QStringLiteral("Requesting boot mode...")));
    const RunPosition at{task, RunStage::BootRequest, 0, runImage ? runImage->totalBlocks : 0};
    const uint64_t run = guard.locked([&] {
        running = true;
        image = std::move(runImage);
        where = at;
        return guard.generation();
    });
    events.stageReached(at);
    sendRequest(BootModeRequest.data(), static_cast<int>(BootModeRequest.size()));
    armGuard(timing::BootModeTimeout);
    guard.pause(run, timing::PauseAfterBootModeRequest);
}

void FlashEngine::requestFirmwareInfo()
{
    const RunPosition at{RunTask::FirmwareInfo, RunStage::FirmwareInfo, 0, 0};
    if (!runActive()) {
        guard.locked([&] { where = at; });
        events.stageReached(at);
    }
    armGuard(timing::FirmwareInfoTimeout);
    sendRequest(FirmwareInfoRequest.data(), static_cast<int>(FirmwareInfoRequest.size()));
}

void FlashEngine::repeatFirmwareInfoRequest()
{
    if (guard.locked([this] { return !running && where.stage == RunStage::FirmwareInfo; }))
        sendRequest(FirmwareInfoRequest.data(), static_cast<int>(FirmwareInfoRequest.size()));
}

void FlashEngine::sendRequest(const uint8_t* bytes, int length)
{
    const unsigned int waiting = port.bytesWaiting();
    guard.locked([&] { noteFrameSent(waiting); });
    port.writeData(bytes, length);
}

void FlashEngine::noteFrameSent(unsigned int bytesWaiting)
{
    ++framesSent;
    bytesBeforeLastFrame = bytesWaiting;
}

void FlashEngine::armGuard(unsigned int ms)
{
    guard.locked([&] { guard.arm(ms); });
    events.guardChanged(ms);
}

bool FlashEngine::onTimerFired()
{
    // Asked before the guard's lock is taken: the port has locks of its own.
    const bool bytesWaiting = port.bytesWaiting() > 0;
    RunPosition at;
    const RunGuard::Firing firing = guard.fire(bytesWaiting, [&] {
        at = where;
        running = false;
        where.stage = RunStage::Idle;
    });
    if (!firing.timedOut) {
        events.guardChanged(firing.timerMs);
        return false;
    }
    tell(line(MessageId::TimeoutFired, MessagePlace::ReplyLog, QStringLiteral("Timeout fired")));
    events.guardChanged(0);
    port.close(); // no reply is being handled and none can begin: the receive thread ends at once
    tell(line(MessageId::PortClosed, MessagePlace::Log, QStringLiteral("Port closed...")));
    tell(line(MessageId::TimedOut, MessagePlace::LogAndAction,
              QStringLiteral("Call to chip timed out. Check your port or chip setup")));
    guard.locked([this] { image.reset(); }); // the next Flash reads the file again
    guard.portClosed();
    events.runEnded(RunEnd{RunOutcome::TimedOut, at});
    return true;
}

bool FlashEngine::stop()
{
    RunPosition at;
    const bool stopped = guard.cutOffIf(RunGuard::Cut::Stop, [&] {
        if (!running)
            return false;
        at = where;
        running = false;
        where.stage = RunStage::Idle;
        return true;
    });
    if (!stopped)
        return false;
    // A reply being handled sees the cut-off at its next step; a pause ends at once.
    guard.waitForCutOffHandlers();
    events.guardChanged(0);
    events.runEnded(RunEnd{RunOutcome::Stopped, at});
    return true;
}

void FlashEngine::closePort()
{
    guard.cutOff(RunGuard::Cut::ClosePort, [this] {
        running = false;
        where.stage = RunStage::Idle;
    });
    port.close();
    // A handler that closed the port itself (it went away) is not joined by close(): it has
    // been cut off too, so it finishes at once.
    guard.waitForCutOffHandlers();
    guard.portClosed();
}

// ---------------------------------------------------------------------------------------------
// Replies

void FlashEngine::onReadEvent(unsigned int readBufferLen)
{
    uint64_t framesAtBegin = 0;
    const std::optional<uint64_t> run = guard.beginNotification([&] {
        framesAtBegin = framesSent;
        events.guardChanged(0); // every notification stops the time-out while it is handled
    });
    if (!run)
        return; // the port is being closed: what it still reports belongs to nobody
    struct Finished
    {
        RunGuard& guard;
        uint64_t run;
        ~Finished() { guard.endNotification(run); }
    } finished{guard, *run};
    Notification notification(*this, *run);

    // Also for a notification of no bytes: reading is how a hang-up shows.
    const int wanted = readBufferLen == 0            ? 1
                       : readBufferLen > INT_MAX - 1 ? INT_MAX - 1
                                                     : static_cast<int>(readBufferLen);
    std::vector<char> buffer(static_cast<size_t>(wanted) + 1);
    int length = port.readData(buffer.data(), wanted);
    if (length < 0 && port.lastError() == ErrorReadFailed) {
        onPortWentAway(notification);
        return;
    }
    if (length <= 0) {
        notification.keepRunDeadline();
        return;
    }
    length = std::min(length, wanted);

    // What arrived before the frame last written is no answer to it: all of it when the frame
    // went out while this notification was on its way, else what waited unread at that moment.
    int before = 0;
    guard.locked([&] {
        const int waitedUnread = static_cast<int>(std::min<unsigned int>(bytesBeforeLastFrame, INT_MAX));
        before = framesSent != framesAtBegin ? length : std::min(length, waitedUnread);
        bytesBeforeLastFrame -= static_cast<unsigned int>(std::min(length, waitedUnread));
    });
    if (before > 0)
        onReply(notification, buffer.data(), before, true);
    if (length > before)
        onReply(notification, buffer.data() + before, length - before, false);
}

QString FlashEngine::filterReplyText(const QByteArray& bytes)
{
    // The character class [.-a\-zA-Z\d\s] of a regular expression without Unicode properties,
    // spelled out: the filter runs on the receive thread, where a regular expression would keep
    // per-thread state (its JIT stack) that mingw-w64's runtime does not tear down safely.
    const auto kept = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'.' && u <= u'a') || u == u'-' || u == u'z' || (u >= u'A' && u <= u'Z') ||
               (u >= u'0' && u <= u'9') || u == u' ' || (u >= u'\t' && u <= u'\r');
    };
    QString text = QString::fromLocal8Bit(bytes);
    text.removeIf([&](QChar c) { return !kept(c); });
    return text;
}

void FlashEngine::onReply(Notification& notification, const char* bytes, int length, bool arrivedBefore)
{
    const ReplyCode code = classifyReply(bytes, length);
    ChipReply reply{code, code == ReplyOther ? filterReplyText(QByteArray(bytes, length))
                                             : acknowledgementText(code)};
    bool inTurn = false;
    RunPosition at;
    bool duringRun = false;
    notification.whileLive([&] {
        at = where;
        duringRun = running;
        inTurn = !arrivedBefore && duringRun && code == expectedReply(at.stage);
        const bool information = !arrivedBefore && !duringRun && at.stage == RunStage::FirmwareInfo;
        if (information)
            where.stage = RunStage::Idle; // the information has come
        reply.inTurn = inTurn || (information && code == ReplyOther);
        events.replied(reply);
    });
    if (code == ReplyOther) {
        notification.keepRunDeadline();
        return;
    }
    if (!inTurn) {
        notification.tell(
            MessageId::UnexpectedReply, MessagePlace::Log,
            QStringLiteral("Unexpected reply %1 %2: ignored").arg(reply.text, awaited(at, duringRun)));
        notification.keepRunDeadline();
        return;
    }
    switch (code) {
    case ReplyBootReady:
        onBootReady(notification);
        break;
    case ReplyBlockWritten:
        onBlockWritten(notification, at.block);
        break;
    case ReplyEndOfData:
        onEndOfData(notification);
        break;
    case ReplyBootExited:
        onBootExited(notification);
        break;
    case ReplyFactoryReset:
        onFactoryResetAcknowledged(notification);
        break;
    case ReplyOther:
        break;
    }
}

void FlashEngine::onBootReady(Notification& notification)
{
    RunPosition at = position();
    at.stage = RunStage::BootReady;
    if (!notification.reach(at) || !notification.pause(timing::PauseAfterBootReady))
        return;
    notification.tell(MessageId::BootloaderReady, MessagePlace::LogAndAction,
                      QStringLiteral("Bootloader ready to receive..."));
    if (at.task == RunTask::FactoryReset) {
        notification.tell(MessageId::SendingFactoryReset, MessagePlace::LogAndAction,
                          QStringLiteral("Sending factory reset..."));
        sendControlFrame(notification, ControlFactoryReset, RunStage::FactoryReset,
                         timing::FactoryResetTimeout);
        notification.pause(timing::PauseAfterFactoryReset);
        return;
    }
    sendBlock(notification, 1);
}

// Block 1 after the boot-ready reply, every other after the previous block's acknowledgement.
void FlashEngine::sendBlock(Notification& notification, uint32_t block)
{
    const std::shared_ptr<const FirmwareImage> runImage = guard.locked([this] { return image; });
    if (!runImage || block < 1 || block > runImage->totalBlocks)
        return; // dropped by a time-out that cut this run off
    const uint32_t total = runImage->totalBlocks;
    if (!notification.reach(RunPosition{RunTask::Flash, RunStage::Block, block, total}))
        return;
    if (block > 1)
        notification.tell(MessageId::NextBlock, MessagePlace::ReportAndAction,
                          QStringLiteral("Next memory block: %1").arg(block));

    const bool last = block == total;
    const auto payload = reinterpret_cast<const uint8_t*>(runImage->blockData(block));
    const int payloadLength = runImage->blockLength(block);
    // The last block's frame has the length of what is left; it lives only while it is sent.
    std::unique_ptr<uint8_t[]> lastFrame;
    uint8_t* frame = blockFrame.data();
    if (last) {
        lastFrame.reset(new (std::nothrow) uint8_t[static_cast<size_t>(payloadLength + BlockFrameOverhead)]);
        if (!lastFrame) {
            notification.tell(MessageId::MemoryError, MessagePlace::Log, QStringLiteral("Memory error!"));
            notification.whileLive([&] {
                const RunPosition at = where;
                running = false;
                where.stage = RunStage::Idle;
                events.runEnded(RunEnd{RunOutcome::Aborted, at});
            });
            return;
        }
        frame = lastFrame.get();
    }
    const int frameLength = buildBlockFrame(static_cast<uint16_t>(block), payload, payloadLength, frame);
    notification.tell(
        MessageId::MemoryIndex, MessagePlace::Log,
        QStringLiteral("Memory index: 0x%1").arg((block - 1) * BlockSize, 8, 16, QLatin1Char('0')));
    const bool sent = notification.send(frame, frameLength);
    if (!sent)
        return;
    if (block == 1) {
        notification.arm(timing::BlockTimeout);
        notification.pause(timing::PauseAfterFirstBlock);
    } else if (last) {
        // The last frame is released once written, before the time-out is armed.
        notification.pause(timing::PauseAfterLastBlock);
        lastFrame.reset();
        notification.arm(timing::BlockTimeout);
    } else {
        notification.arm(timing::BlockTimeout);
        notification.pause(timing::PauseAfterFullBlock);
    }
}

void FlashEngine::onBlockWritten(Notification& notification, uint32_t block)
{
    RunPosition at = position();
    at.stage = RunStage::BlockWritten;
    at.block = block;
    if (!notification.reach(at))
        return;
    notification.tell(MessageId::BlockWritten, MessagePlace::Report,
                      QStringLiteral("Written memory block: %1").arg(block));
    if (block < at.totalBlocks) {
        sendBlock(notification, block + 1);
        return;
    }
    notification.tell(MessageId::LastPackage, MessagePlace::LogAndAction,
                      QStringLiteral("Last package completed..."));
    sendControlFrame(notification, ControlEndOfData, RunStage::EndOfData, timing::EndOfDataTimeout);
    notification.pause(timing::PauseAfterControlFrame);
}

void FlashEngine::onEndOfData(Notification& notification)
{
    notification.tell(MessageId::ExitingBootMode, MessagePlace::LogAndAction,
                      QStringLiteral("Exiting boot mode..."));
    sendControlFrame(notification, ControlExitBootMode, RunStage::ExitBootMode, timing::ExitBootModeTimeout);
    notification.pause(timing::PauseAfterControlFrame);
}

void FlashEngine::onFactoryResetAcknowledged(Notification& notification)
{
    notification.tell(MessageId::FactoryResetAcknowledged, MessagePlace::LogAndAction,
                      QStringLiteral("ACK factory reset..."));
    sendControlFrame(notification, ControlExitBootMode, RunStage::ExitBootMode,
                     timing::ExitAfterResetTimeout);
    notification.pause(timing::PauseAfterControlFrame);
}

void FlashEngine::sendControlFrame(Notification& notification, ControlCommand command, RunStage stage,
                                   unsigned int timeoutMs)
{
    RunPosition at = position();
    at.stage = stage;
    at.block = 0;
    if (!notification.reach(at))
        return;
    controlFrame = buildControlFrame(command);
    if (notification.send(controlFrame.data(), ControlFrameSize))
        notification.arm(timeoutMs);
}

void FlashEngine::onBootExited(Notification& notification)
{
    RunPosition at;
    notification.whileLive([&] {
        running = false;
        where.stage = RunStage::Completed;
        at = where;
        events.message(line(MessageId::FlashingCompleted, MessagePlace::LogAndAction,
                            QStringLiteral("Flashing completed.")));
        events.stageReached(at);
        events.runEnded(RunEnd{RunOutcome::Completed, at});
    });
}

// The device hung up or went away: nothing can answer any more, so the run ends now instead of
// waiting for its time-out. The port is closed from this, the receive thread; the library hands
// the thread's join on to the next open or to the port's destruction.
void FlashEngine::onPortWentAway(Notification& notification)
{
    RunPosition at;
    if (!notification.whileLive([&] {
            at = where;
            running = false;
            where.stage = RunStage::Idle;
        }))
        return;
    const QString where = whereRunEnded(at);
    notification.tell(MessageId::PortWentAway, MessagePlace::LogAndAction,
                      where.isEmpty() ? QStringLiteral("Port went away")
                                      : QStringLiteral("Port went away %1").arg(where));
    port.close();
    notification.tell(MessageId::PortClosed, MessagePlace::Log, QStringLiteral("Port closed..."));
    notification.whileLive([&] {
        image.reset();
        events.runEnded(RunEnd{RunOutcome::Disconnected, at});
    });
}

} // namespace rq75x
