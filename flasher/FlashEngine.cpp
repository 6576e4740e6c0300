#include "flasher/FlashEngine.h"

#include <QByteArray>
#include <QFileInfo>
#include <QRegularExpression>

#include <climits>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

namespace rq75x {

namespace {

// Closes the file on every way out of loadFirmwareFile().
struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

int64_t toNanoseconds(std::chrono::steady_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

} // namespace

FlashEngine::FlashEngine(ChipPort& port, FlashEvents& events, Pause pause, Clock clock)
    : port(port), events(events), pause(std::move(pause)), clock(std::move(clock))
{
    if (!this->pause)
        this->pause = [](unsigned int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
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
    running = true;
    port.writeData(BootModeRequest.data(), static_cast<int>(BootModeRequest.size()));
    arm(timing::BootModeTimeout);
    pause(timing::PauseAfterBootModeRequest);
}

void FlashEngine::startFactoryReset()
{
    logAndShow(messageBuffer.format("Restoring factory settings..."));
    state.factoryResetRequested = true;
    startFlash();
}

void FlashEngine::requestFirmwareInfo()
{
    arm(timing::FirmwareInfoTimeout);
    port.writeData(FirmwareInfoRequest.data(), static_cast<int>(FirmwareInfoRequest.size()));
}

void FlashEngine::onTimerFired()
{
    events.appendReceiveLine(QStringLiteral("Timeout fired"));
    events.startStopTimer(0);
    port.close();
    events.portClosedByTimeout();
    logLine(messageBuffer.format("Port closed..."));
    logAndShow(messageBuffer.format("Call to chip timed out. Check your port or chip setup"));
    state.factoryResetRequested = false;
    events.setActionButtonsEnabled(true);
    releaseImage(); // the next Flash reads the file again
    running = false;
    events.runEnded(RunOutcome::TimedOut);
}

// ---------------------------------------------------------------------------------------------
// Replies

void FlashEngine::onReadEvent(unsigned int readBufferLen)
{
    events.startStopTimer(0);
    if (readBufferLen == 0) {
        keepRunDeadline();
        return;
    }
    const int wanted = readBufferLen > INT_MAX - 1 ? INT_MAX - 1 : static_cast<int>(readBufferLen);
    std::vector<char> buffer(static_cast<size_t>(wanted) + 1);
    int length = port.readData(buffer.data(), wanted);
    if (length <= 0) {
        keepRunDeadline();
        return;
    }
    if (length > wanted)
        length = wanted;
    buffer[static_cast<size_t>(length)] = '\0';

    switch (classifyReply(buffer.data(), length)) {
    case ReplyBootReady:
        onBootReady();
        break;
    case ReplyBlockWritten:
        onBlockWritten();
        break;
    case ReplyEndOfData:
        onEndOfData();
        break;
    case ReplyBootExited:
        onBootExited();
        break;
    case ReplyFactoryReset:
        onFactoryResetAcknowledged();
        break;
    case ReplyOther:
        onOtherReply(buffer.data(), length);
        break;
    }
}

QString FlashEngine::filterReplyText(const QByteArray& bytes)
{
    // ".-a" is a range from '.' to 'a'; the hyphen after it is literal. Built per call: engines
    // on different threads share no regular-expression object.
    const QRegularExpression removed(QStringLiteral("[^.-a-zA-Z\\d\\s]"));
    return QString::fromLocal8Bit(bytes).remove(removed);
}

void FlashEngine::onOtherReply(const char* bytes, int length)
{
    events.report(filterReplyText(QByteArray(bytes, length)));
    keepRunDeadline();
}

void FlashEngine::onBootReady()
{
    events.report(QStringLiteral("ACK (32)"));
    pause(timing::PauseAfterBootReady);
    logAndShow(messageBuffer.format("Bootloader ready to receive..."));
    if (state.factoryResetRequested) {
        logAndShow(messageBuffer.format("Sending factory reset..."));
        state.controlFrame = buildControlFrame(ControlFactoryReset);
        port.writeData(state.controlFrame.data(), ControlFrameSize);
        arm(timing::FactoryResetTimeout);
        pause(timing::PauseAfterFactoryReset);
        return;
    }
    sendFirstBlock();
}

void FlashEngine::sendFirstBlock()
{
    PreparedFrame frame;
    switch (prepareBlock(1, frame)) {
    case Preparation::Ready:
        break;
    case Preparation::NoImage:
    case Preparation::PastLastBlock:
        ignoreReply(messageBuffer.format("No firmware image loaded: boot-ready reply ignored, nothing sent"));
        return;
    case Preparation::NoMemory:
        logLine(messageBuffer.format("Memory error!"));
        endRun(RunOutcome::Aborted);
        return;
    }
    state.currentBlock = 1;
    logLine(messageBuffer.format("Memory index: 0x%08x", 0u));
    port.writeData(frame.bytes, frame.length);
    if (frame.last)
        state.lastBlockFrame.reset();
    arm(timing::BlockTimeout);
    pause(timing::PauseAfterFirstBlock);
}

void FlashEngine::onBlockWritten()
{
    events.report(QStringLiteral("ACK (33)"));
    if (!imageLoaded()) {
        ignoreReply(
            messageBuffer.format("No firmware image loaded: block acknowledgement ignored, nothing sent"));
        return;
    }
    const uint32_t written = state.currentBlock;
    const uint32_t total = state.totalBlocks;
    if (written > total) {
        ignoreReply(messageBuffer.format(
            "Block acknowledgement ignored: block %u is past the last block %u, nothing sent", written,
            total));
        return;
    }
    const QString writtenText = QStringLiteral("Written memory block: %1").arg(written);
    events.setCurrentBlockText(writtenText);
    events.report(writtenText);
    if (written == total) {
        logAndShow(messageBuffer.format("Last package completed..."));
        state.controlFrame = buildControlFrame(ControlEndOfData);
        port.writeData(state.controlFrame.data(), ControlFrameSize);
        arm(timing::EndOfDataTimeout);
        pause(timing::PauseAfterControlFrame);
        return;
    }
    sendNextBlock();
}

void FlashEngine::sendNextBlock()
{
    const uint32_t block = ++state.currentBlock;
    const QString nextText = QStringLiteral("Next memory block: %1").arg(block);
    events.report(nextText);
    events.showAction(nextText);

    PreparedFrame frame;
    switch (prepareBlock(block, frame)) {
    case Preparation::Ready:
        break;
    case Preparation::NoImage: // released by a time-out since the acknowledgement arrived
    case Preparation::PastLastBlock:
        ignoreReply(
            messageBuffer.format("No firmware image loaded: block acknowledgement ignored, nothing sent"));
        return;
    case Preparation::NoMemory:
        logLine(messageBuffer.format("Memory error!"));
        endRun(RunOutcome::Aborted);
        return;
    }
    logLine(messageBuffer.format("Memory index: 0x%08x", (block - 1) * BlockSize));
    port.writeData(frame.bytes, frame.length);
    if (frame.last) {
        pause(timing::PauseAfterLastBlock);
        state.lastBlockFrame.reset();
        arm(timing::BlockTimeout);
    } else {
        arm(timing::BlockTimeout);
        pause(timing::PauseAfterFullBlock);
    }
}

void FlashEngine::onEndOfData()
{
    events.report(QStringLiteral("ACK (34)"));
    logAndShow(messageBuffer.format("Exiting boot mode..."));
    state.controlFrame = buildControlFrame(ControlExitBootMode);
    port.writeData(state.controlFrame.data(), ControlFrameSize);
    arm(timing::ExitBootModeTimeout);
    pause(timing::PauseAfterControlFrame);
}

void FlashEngine::onBootExited()
{
    events.report(QStringLiteral("ACK (35)"));
    logAndShow(messageBuffer.format("Flashing completed."));
    state.factoryResetRequested = false;
    running = false;
    events.setActionButtonsEnabled(true);
    events.runEnded(RunOutcome::Completed);
}

void FlashEngine::onFactoryResetAcknowledged()
{
    events.report(QStringLiteral("ACK (36)"));
    logAndShow(messageBuffer.format("ACK factory reset..."));
    state.controlFrame = buildControlFrame(ControlExitBootMode);
    port.writeData(state.controlFrame.data(), ControlFrameSize);
    arm(timing::ExitAfterResetTimeout);
    pause(timing::PauseAfterControlFrame);
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

void FlashEngine::ignoreReply(const QString& why)
{
    logAndShow(why);
    keepRunDeadline();
}

void FlashEngine::endRun(RunOutcome outcome)
{
    running = false;
    events.setActionButtonsEnabled(true);
    events.runEnded(outcome);
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

void FlashEngine::arm(unsigned int ms)
{
    deadlineNs = toNanoseconds(clock() + std::chrono::milliseconds(ms));
    events.startStopTimer(ms);
}

// A reply that does not advance a run must neither stop its time-out (the run would hang with
// the buttons disabled) nor extend it (a chip sending garbage would keep the run alive for ever).
void FlashEngine::keepRunDeadline()
{
    if (!running)
        return;
    const int64_t remainingNs = deadlineNs - toNanoseconds(clock());
    const int64_t nsPerMs = 1000000;
    const int64_t remainingMs = (remainingNs + nsPerMs - 1) / nsPerMs;
    events.startStopTimer(static_cast<unsigned int>(remainingMs < 1 ? 1 : remainingMs));
}

} // namespace rq75x
