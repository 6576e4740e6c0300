#include "flasher/FlashEngine.h"

#include "serialport/SerialPortGlobal.h"

#include <QByteArray>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

namespace rq75x {

namespace {

// Closes the file on every way out of loadFirmwareFile().
struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Whole milliseconds from `from` to `to`, rounded up so that a timer set to them never wakes
// before `to`; at least 1.
unsigned int millisecondsUntil(std::chrono::steady_clock::time_point from,
                               std::chrono::steady_clock::time_point to)
{
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(to - from).count();
    return static_cast<unsigned int>(std::clamp<long long>(ms, 1, INT_MAX));
}

} // namespace

FlashEngine::FlashEngine(ChipPort& port, FlashEvents& events, Pause pause, Clock clock)
    : port(port), events(events), pause(std::move(pause)), clock(std::move(clock))
{
    if (!this->clock)
        this->clock = [] { return std::chrono::steady_clock::now(); };
}

// ---------------------------------------------------------------------------------------------
// Image

void FlashEngine::setFirmwarePath(const QString& path)
{
    state.firmwarePath = path;
}

QString FlashEngine::firmwarePath() const
{
    return state.firmwarePath;
}

void FlashEngine::refuseImage(const char* path, unsigned long size)
{
    logLine(messageBuffer.format("Cannot flash %s: it holds %lu Bytes, a firmware image holds 1 to %lu Bytes",
                                 path, size, static_cast<unsigned long>(MaxImageSize)));
}

int FlashEngine::loadFirmwareFile(const char* path)
{
    FileHandle file(std::fopen(path, "rb"));
    if (!file) {
        logLine(messageBuffer.format("Unable to open file %s", path));
        return 1;
    }
    // A directory may open and seek to a meaningless end; a pipe has no length to seek to.
    const bool directory = QFileInfo(QString::fromLocal8Bit(path)).isDir();
    const long length = !directory && std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1L;
    if (length < 0) {
        logLine(messageBuffer.format("Unable to read file %s", path));
        return 1;
    }
    const auto size = static_cast<unsigned long>(length);
    // Block numbers are 16 bits: an empty image or one of more than 65,535 blocks cannot be sent.
    if (size == 0 || size > MaxImageSize) {
        refuseImage(path, size);
        return 1;
    }

    const QString sizeText = messageBuffer.format("File: %s \nSize: %lu Bytes", path, size);
    logLine(sizeText);
    events.setFileSizeText(sizeText);

    const auto blocks = static_cast<uint32_t>((size >> 8) + ((size & 0xFF) != 0 ? 1 : 0));
    {
        // The previous image goes before the new one is allocated; until the new one has been
        // read completely no reply can use either.
        const std::lock_guard<std::mutex> lock(imageMutex);
        state.firmwareImage.reset();
        state.imageSize = static_cast<int32_t>(size);
        state.lastBlockLength = static_cast<uint16_t>((size & 0xFF) != 0 ? (size & 0xFF) : BlockSize);
        state.totalBlocks = blocks;
    }
    const QString blocksText = messageBuffer.format("Blocks to transfer: %u", blocks);
    logLine(blocksText);
    events.setTotalBlocksText(blocksText);

    std::rewind(file.get());
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size + 1]);
    if (!image) {
        logLine(messageBuffer.format("Memory error!"));
        return 1;
    }
    // A file that shrank since it was measured, or a failing read, must not be flashed with
    // memory that never came from it.
    const size_t read = std::fread(image.get(), 1, size, file.get());
    if (read != size) {
        logLine(messageBuffer.format("Read only %lu of %lu Bytes from %s", static_cast<unsigned long>(read),
                                     size, path));
        return 1;
    }
    image[size] = 0;
    const std::lock_guard<std::mutex> lock(imageMutex);
    state.firmwareImage = std::move(image);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// One notification's handling

// Everything the receive thread does for one notification goes through here. Each step first
// checks, under runMutex, that the run is still the one the notification began in; once a
// time-out or a close has cut it off, the step and every later one do nothing, and a pause ends
// at once. Calls to `events` are made under runMutex, so that the cut-off cannot fall between the
// check and the call.
class FlashEngine::Reply
{
public:
    Reply(FlashEngine& engine, uint64_t run) : engine(engine), run(run) {}

    bool live() const { return engine.generation.load() == run; }

    void report(const QString& text)
    {
        tell([&] { engine.events.report(text); });
    }
    void logLine(const QString& text)
    {
        tell([&] { engine.events.logLine(text); });
    }
    void logAndShow(const QString& text)
    {
        tell([&] {
            engine.events.logLine(text);
            engine.events.showAction(text);
        });
    }
    void showAction(const QString& text)
    {
        tell([&] { engine.events.showAction(text); });
    }
    void setCurrentBlockText(const QString& text)
    {
        tell([&] { engine.events.setCurrentBlockText(text); });
    }
    void setActionButtonsEnabled(bool enabled)
    {
        tell([&] { engine.events.setActionButtonsEnabled(enabled); });
    }
    void portClosed()
    {
        tell([&] { engine.events.portClosedByTimeout(); });
    }
    void runEnded(RunOutcome outcome)
    {
        tell([&] { engine.events.runEnded(outcome); });
    }

    // Writes a frame unless the run has been cut off; false when it has.
    bool send(const uint8_t* bytes, int length)
    {
        if (!live())
            return false;
        engine.port.writeData(bytes, length);
        return true;
    }

    // Arms the guard for the frame just sent.
    void arm(unsigned int ms)
    {
        tell([&] {
            engine.guardArmed = true;
            engine.guardDeadline = engine.clock() + std::chrono::milliseconds(ms);
            engine.events.startStopTimer(ms);
        });
    }

    // A reply that does not advance a run must neither stop its time-out (the run would hang
    // with the buttons disabled) nor extend it (a chip sending garbage would keep the run alive
    // for ever). Outside a run the time-out stays stopped.
    void keepRunDeadline()
    {
        tell([&] {
            if (!engine.running)
                return;
            engine.guardArmed = true;
            engine.events.startStopTimer(millisecondsUntil(engine.clock(), engine.guardDeadline));
        });
    }

    // Waits out a pause of the run; false when the run has been cut off (before or during it).
    bool pause(unsigned int ms) { return engine.pauseWhileCurrent(run, ms); }

private:
    template <typename Call> void tell(Call&& call)
    {
        const std::lock_guard<std::mutex> lock(engine.runMutex);
        if (engine.generation.load() == run)
            call();
    }

    FlashEngine& engine;
    const uint64_t run;
};

// ---------------------------------------------------------------------------------------------
// Requests

bool FlashEngine::portIsOpen()
{
    return port.isOpen();
}

void FlashEngine::startFlash()
{
    events.setActionButtonsEnabled(false);
    if (!state.factoryResetRequested) {
        const QByteArray path = state.firmwarePath.toLocal8Bit();
        logAndShow(messageBuffer.format("Reading..."));
        if (loadFirmwareFile(path.constData()) != 0) {
            // An image an earlier run left loaded must not be sent on a stray boot-ready reply.
            releaseImage();
            logAndShow(messageBuffer.format("Firmware file read error"));
            events.setActionButtonsEnabled(true);
            events.runEnded(RunOutcome::ImageUnreadable);
            return;
        }
    }
    logAndShow(messageBuffer.format("Requesting boot mode..."));
    const uint64_t run = generation.load();
    running = true;
    stage = state.factoryResetRequested ? Stage::FactoryReset : Stage::BootModeRequest;
    port.writeData(BootModeRequest.data(), static_cast<int>(BootModeRequest.size()));
    armGuard(timing::BootModeTimeout);
    pauseWhileCurrent(run, timing::PauseAfterBootModeRequest);
}

void FlashEngine::startFactoryReset()
{
    logAndShow(messageBuffer.format("Restoring factory settings..."));
    state.factoryResetRequested = true;
    startFlash();
}

void FlashEngine::requestFirmwareInfo()
{
    if (!running)
        stage = Stage::FirmwareInfo;
    armGuard(timing::FirmwareInfoTimeout);
    port.writeData(FirmwareInfoRequest.data(), static_cast<int>(FirmwareInfoRequest.size()));
}

bool FlashEngine::onTimerFired()
{
    // Asked before runMutex is taken: the port has locks of its own.
    const bool bytesWaiting = port.bytesWaiting() > 0;
    std::unique_lock<std::mutex> lock(runMutex);
    TimePoint now = clock();
    if (guardRanOut(now)) {
        const bool late = now - guardDeadline >= std::chrono::milliseconds(timing::LateWakeUp);
        if ((bytesWaiting || late) && caughtUpFor != guardDeadline) {
            // What had arrived goes first; once per deadline, so that a line that never stops
            // talking cannot postpone the time-out for ever.
            caughtUpFor = guardDeadline;
            const uint64_t seen = notifications;
            runChanged.wait_for(lock, std::chrono::milliseconds(timing::CatchUpWait),
                                [&] { return notifications != seen; });
            now = clock();
        }
    }
    if (guardRanOut(now)) {
        declareTimeOut(lock);
        return true;
    }
    const unsigned int ms = guardTimerMs(now);
    lock.unlock();
    events.startStopTimer(ms);
    return false;
}

void FlashEngine::declareTimeOut(std::unique_lock<std::mutex>& lock)
{
    generation++;
    portClosing = true;
    guardArmed = false;
    running = false;
    stage = Stage::Idle;
    lock.unlock();
    runChanged.notify_all();

    events.appendReceiveLine(QStringLiteral("Timeout fired"));
    events.startStopTimer(0);
    port.close(); // no reply is being handled and none can begin: the receive thread ends at once
    events.portClosedByTimeout();
    logLine(messageBuffer.format("Port closed..."));
    logAndShow(messageBuffer.format("Call to chip timed out. Check your port or chip setup"));
    state.factoryResetRequested = false;
    events.setActionButtonsEnabled(true);
    releaseImage(); // the next Flash reads the file again
    lock.lock();
    portClosing = false;
    lock.unlock();
    events.runEnded(RunOutcome::TimedOut);
}

void FlashEngine::closePort()
{
    {
        const std::lock_guard<std::mutex> lock(runMutex);
        generation++;
        portClosing = true;
    }
    runChanged.notify_all();
    port.close();
    std::unique_lock<std::mutex> lock(runMutex);
    // A handler that closed the port itself (it went away) is not joined by close(): it has
    // been cut off too, so it finishes at once.
    runChanged.wait(lock, [this] { return handlersRunning == 0; });
    portClosing = false;
}

FlashEngine::~FlashEngine()
{
    std::unique_lock<std::mutex> lock(runMutex);
    generation++;
    portClosing = true;
    runChanged.notify_all();
    runChanged.wait(lock, [this] { return handlersRunning == 0; });
}

// ---------------------------------------------------------------------------------------------
// Replies

void FlashEngine::onReadEvent(unsigned int readBufferLen)
{
    uint64_t run = 0;
    {
        const std::lock_guard<std::mutex> lock(runMutex);
        if (portClosing)
            return; // the port is being closed: what it still reports belongs to nobody
        run = generation.load();
        ++handlersRunning;
        ++notifications;
        guardArmed = false;
        events.startStopTimer(0); // every notification stops the time-out while it is handled
    }
    runChanged.notify_all();
    struct Finished
    {
        FlashEngine& engine;
        ~Finished()
        {
            // Notified under the lock: a thread waiting for this to destroy the engine cannot
            // go on before this thread is done with it.
            const std::lock_guard<std::mutex> lock(engine.runMutex);
            --engine.handlersRunning;
            engine.runChanged.notify_all();
        }
    } finished{*this};
    Reply reply(*this, run);

    // Also for a notification of no bytes: reading is how a hang-up shows.
    const int wanted = readBufferLen == 0            ? 1
                       : readBufferLen > INT_MAX - 1 ? INT_MAX - 1
                                                     : static_cast<int>(readBufferLen);
    std::vector<char> buffer(static_cast<size_t>(wanted) + 1);
    int length = port.readData(buffer.data(), wanted);
    if (length < 0 && port.lastError() == ErrorReadFailed) {
        onPortWentAway(reply);
        return;
    }
    if (length <= 0) {
        reply.keepRunDeadline();
        return;
    }
    if (length > wanted)
        length = wanted;
    buffer[static_cast<size_t>(length)] = '\0';

    switch (classifyReply(buffer.data(), length)) {
    case ReplyBootReady:
        onBootReady(reply);
        break;
    case ReplyBlockWritten:
        onBlockWritten(reply);
        break;
    case ReplyEndOfData:
        onEndOfData(reply);
        break;
    case ReplyBootExited:
        onBootExited(reply);
        break;
    case ReplyFactoryReset:
        onFactoryResetAcknowledged(reply);
        break;
    case ReplyOther:
        onOtherReply(reply, buffer.data(), length);
        break;
    }
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

void FlashEngine::onOtherReply(Reply& reply, const char* bytes, int length)
{
    if (!running) {
        Stage expected = Stage::FirmwareInfo;
        stage.compare_exchange_strong(expected, Stage::Idle); // the information has come
    }
    reply.report(filterReplyText(QByteArray(bytes, length)));
    reply.keepRunDeadline();
}

void FlashEngine::onBootReady(Reply& reply)
{
    reply.report(QStringLiteral("ACK (32)"));
    if (!reply.pause(timing::PauseAfterBootReady))
        return;
    reply.logAndShow(messageBuffer.format("Bootloader ready to receive..."));
    if (state.factoryResetRequested) {
        reply.logAndShow(messageBuffer.format("Sending factory reset..."));
        state.controlFrame = buildControlFrame(ControlFactoryReset);
        if (!reply.send(state.controlFrame.data(), ControlFrameSize))
            return;
        reply.arm(timing::FactoryResetTimeout);
        reply.pause(timing::PauseAfterFactoryReset);
        return;
    }
    sendFirstBlock(reply);
}

void FlashEngine::sendFirstBlock(Reply& reply)
{
    PreparedFrame frame;
    switch (prepareBlock(1, frame)) {
    case Preparation::Ready:
        break;
    case Preparation::NoImage:
    case Preparation::PastLastBlock:
        ignoreReply(reply,
                    messageBuffer.format("No firmware image loaded: boot-ready reply ignored, nothing sent"));
        return;
    case Preparation::NoMemory:
        reply.logLine(messageBuffer.format("Memory error!"));
        endRun(reply, RunOutcome::Aborted);
        return;
    }
    if (!reply.live()) {
        state.lastBlockFrame.reset();
        return;
    }
    state.currentBlock = 1;
    stage = Stage::Blocks;
    reply.logLine(messageBuffer.format("Memory index: 0x%08x", 0u));
    const bool sent = reply.send(frame.bytes, frame.length);
    if (frame.last)
        state.lastBlockFrame.reset();
    if (!sent)
        return;
    reply.arm(timing::BlockTimeout);
    reply.pause(timing::PauseAfterFirstBlock);
}

void FlashEngine::onBlockWritten(Reply& reply)
{
    reply.report(QStringLiteral("ACK (33)"));
    if (!imageLoaded()) {
        ignoreReply(reply, messageBuffer.format(
                               "No firmware image loaded: block acknowledgement ignored, nothing sent"));
        return;
    }
    const uint32_t written = state.currentBlock;
    const uint32_t total = state.totalBlocks;
    if (written > total) {
        ignoreReply(reply,
                    messageBuffer.format(
                        "Block acknowledgement ignored: block %u is past the last block %u, nothing sent",
                        written, total));
        return;
    }
    const QString writtenText = QStringLiteral("Written memory block: %1").arg(written);
    reply.setCurrentBlockText(writtenText);
    reply.report(writtenText);
    if (written == total) {
        if (!reply.live())
            return;
        stage = Stage::LeavingBootMode;
        reply.logAndShow(messageBuffer.format("Last package completed..."));
        state.controlFrame = buildControlFrame(ControlEndOfData);
        if (!reply.send(state.controlFrame.data(), ControlFrameSize))
            return;
        reply.arm(timing::EndOfDataTimeout);
        reply.pause(timing::PauseAfterControlFrame);
        return;
    }
    sendNextBlock(reply);
}

void FlashEngine::sendNextBlock(Reply& reply)
{
    if (!reply.live())
        return; // the counters stay where the run that was cut off left them
    const uint32_t block = ++state.currentBlock;
    const QString nextText = QStringLiteral("Next memory block: %1").arg(block);
    reply.report(nextText);
    reply.showAction(nextText);

    PreparedFrame frame;
    switch (prepareBlock(block, frame)) {
    case Preparation::Ready:
        break;
    case Preparation::NoImage: // released by a time-out since the acknowledgement arrived
    case Preparation::PastLastBlock:
        ignoreReply(reply, messageBuffer.format(
                               "No firmware image loaded: block acknowledgement ignored, nothing sent"));
        return;
    case Preparation::NoMemory:
        reply.logLine(messageBuffer.format("Memory error!"));
        endRun(reply, RunOutcome::Aborted);
        return;
    }
    reply.logLine(messageBuffer.format("Memory index: 0x%08x", (block - 1) * BlockSize));
    const bool sent = reply.send(frame.bytes, frame.length);
    if (frame.last) {
        if (sent)
            reply.pause(timing::PauseAfterLastBlock);
        state.lastBlockFrame.reset();
        reply.arm(timing::BlockTimeout);
    } else if (sent) {
        reply.arm(timing::BlockTimeout);
        reply.pause(timing::PauseAfterFullBlock);
    }
}

void FlashEngine::onEndOfData(Reply& reply)
{
    reply.report(QStringLiteral("ACK (34)"));
    reply.logAndShow(messageBuffer.format("Exiting boot mode..."));
    state.controlFrame = buildControlFrame(ControlExitBootMode);
    if (!reply.send(state.controlFrame.data(), ControlFrameSize))
        return;
    reply.arm(timing::ExitBootModeTimeout);
    reply.pause(timing::PauseAfterControlFrame);
}

void FlashEngine::onBootExited(Reply& reply)
{
    if (!reply.live())
        return;
    reply.report(QStringLiteral("ACK (35)"));
    reply.logAndShow(messageBuffer.format("Flashing completed."));
    state.factoryResetRequested = false;
    running = false;
    stage = Stage::Idle;
    reply.setActionButtonsEnabled(true);
    reply.runEnded(RunOutcome::Completed);
}

void FlashEngine::onFactoryResetAcknowledged(Reply& reply)
{
    reply.report(QStringLiteral("ACK (36)"));
    reply.logAndShow(messageBuffer.format("ACK factory reset..."));
    state.controlFrame = buildControlFrame(ControlExitBootMode);
    if (!reply.send(state.controlFrame.data(), ControlFrameSize))
        return;
    reply.arm(timing::ExitAfterResetTimeout);
    reply.pause(timing::PauseAfterControlFrame);
}

// The device hung up or went away: nothing can answer any more, so the run ends now instead of
// waiting for its time-out. The port is closed from this, the receive thread; the library hands
// the thread's join on to the next open or to the port's destruction.
void FlashEngine::onPortWentAway(Reply& reply)
{
    if (!reply.live())
        return;
    const QString where = wentAwayText();
    running = false;
    stage = Stage::Idle;
    reply.logAndShow(where);
    port.close();
    reply.portClosed();
    reply.logLine(messageBuffer.format("Port closed..."));
    state.factoryResetRequested = false;
    releaseImage();
    reply.setActionButtonsEnabled(true);
    reply.runEnded(RunOutcome::Disconnected);
}

QString FlashEngine::wentAwayText()
{
    switch (stage.load()) {
    case Stage::FirmwareInfo:
        return messageBuffer.format("Port went away while waiting for the firmware information");
    case Stage::BootModeRequest:
        return messageBuffer.format("Port went away while requesting boot mode");
    case Stage::Blocks:
        return messageBuffer.format("Port went away during block %u of %u", state.currentBlock.load(),
                                    state.totalBlocks.load());
    case Stage::LeavingBootMode:
        return messageBuffer.format("Port went away after the last block, while leaving boot mode");
    case Stage::FactoryReset:
        return messageBuffer.format("Port went away during the factory reset");
    case Stage::Idle:
        break;
    }
    return messageBuffer.format("Port went away");
}

// ---------------------------------------------------------------------------------------------
// Helpers

// Builds block `block` of the loaded image into blockFrame, or for the last block into a new
// lastBlockFrame. Both frames belong to the receive thread; only the image needs the lock.
FlashEngine::Preparation FlashEngine::prepareBlock(uint32_t block, PreparedFrame& frame)
{
    const std::lock_guard<std::mutex> lock(imageMutex);
    if (!state.firmwareImage)
        return Preparation::NoImage;
    const uint32_t total = state.totalBlocks;
    if (block < 1 || block > total)
        return Preparation::PastLastBlock;
    const uint8_t* payload = state.firmwareImage.get() + static_cast<size_t>(block - 1) * BlockSize;
    const auto number = static_cast<uint16_t>(block);
    if (block < total) {
        frame.length = buildBlockFrame(number, payload, BlockSize, state.blockFrame.data());
        frame.bytes = state.blockFrame.data();
        return Preparation::Ready;
    }
    const int frameLength = state.lastBlockLength + BlockFrameOverhead;
    state.lastBlockFrame.reset(new (std::nothrow) uint8_t[static_cast<size_t>(frameLength)]);
    if (!state.lastBlockFrame)
        return Preparation::NoMemory;
    frame.length = buildBlockFrame(number, payload, state.lastBlockLength, state.lastBlockFrame.get());
    frame.bytes = state.lastBlockFrame.get();
    frame.last = true;
    return Preparation::Ready;
}

void FlashEngine::releaseImage()
{
    const std::lock_guard<std::mutex> lock(imageMutex);
    state.firmwareImage.reset();
}

bool FlashEngine::imageLoaded()
{
    const std::lock_guard<std::mutex> lock(imageMutex);
    return state.firmwareImage != nullptr;
}

void FlashEngine::ignoreReply(Reply& reply, const QString& why)
{
    reply.logAndShow(why);
    reply.keepRunDeadline();
}

void FlashEngine::endRun(Reply& reply, RunOutcome outcome)
{
    if (!reply.live())
        return;
    running = false;
    stage = Stage::Idle;
    reply.setActionButtonsEnabled(true);
    reply.runEnded(outcome);
}

void FlashEngine::logLine(const QString& text)
{
    events.logLine(text);
}

void FlashEngine::logAndShow(const QString& text)
{
    events.logLine(text);
    events.showAction(text);
}

void FlashEngine::armGuard(unsigned int ms)
{
    {
        const std::lock_guard<std::mutex> lock(runMutex);
        guardArmed = true;
        guardDeadline = clock() + std::chrono::milliseconds(ms);
    }
    events.startStopTimer(ms);
}

bool FlashEngine::guardRanOut(TimePoint now) const
{
    return handlersRunning == 0 && guardArmed && now >= guardDeadline;
}

unsigned int FlashEngine::guardTimerMs(TimePoint now) const
{
    return guardArmed ? millisecondsUntil(now, guardDeadline) : 0;
}

bool FlashEngine::pauseWhileCurrent(uint64_t run, unsigned int ms)
{
    if (pause) {
        pause(ms);
        return generation.load() == run;
    }
    std::unique_lock<std::mutex> lock(runMutex);
    return !runChanged.wait_for(lock, std::chrono::milliseconds(ms),
                                [&] { return generation.load() != run; });
}

} // namespace rq75x
