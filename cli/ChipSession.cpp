#include "cli/ChipSession.h"

#include "cli/LocalText.h"
#include "flasher/BootloaderCodec.h"
#include "portinfo/PortAccess.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <climits>

namespace morvane::cli {

namespace {

constexpr unsigned int ReadBufferSize = 4096;
constexpr int MinimumSettleMs = 50;
constexpr int MaximumSettleMs = 1000;
constexpr int SettleCharacters = 20;
constexpr int BitsPerCharacterAtMost = 12; // start, 8 data, parity, 2 stop
constexpr char FrameMarker[] = {0x55, 0x66};

int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

int informationSettleMs(int baudRate)
{
    if (baudRate <= 0)
        return MaximumSettleMs;
    const int64_t ms = (int64_t{SettleCharacters} * BitsPerCharacterAtMost * 1000 + baudRate - 1) / baudRate;
    return static_cast<int>(std::clamp<int64_t>(ms, MinimumSettleMs, MaximumSettleMs));
}

// ---------------------------------------------------------------------------------------------
// WatchedChipPort

void WatchedChipPort::watchAnswer()
{
    const std::lock_guard<std::mutex> lock(mutex);
    watching = true;
    answerStart.clear();
}

int64_t WatchedChipPort::msSinceLastRead() const
{
    const int64_t last = lastReadNs.load();
    return last == 0 ? INT64_MAX : (steadyNowNs() - last) / 1000000;
}

bool WatchedChipPort::answerIsBootloaderFrame() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return answerStart == QByteArray(FrameMarker, sizeof FrameMarker);
}

int WatchedChipPort::readData(void* data, int size)
{
    const int read = SerialChipPort::readData(data, size);
    if (read > 0) {
        lastReadNs = steadyNowNs();
        const std::lock_guard<std::mutex> lock(mutex);
        if (watching && answerStart.size() < qsizetype{sizeof FrameMarker})
            answerStart.append(static_cast<const char*>(data),
                               std::min<qsizetype>(read, qsizetype{sizeof FrameMarker} - answerStart.size()));
    }
    return read;
}

// ---------------------------------------------------------------------------------------------
// ChipSession

ChipSession::ChipSession(const PortEntry& port, PortOrigin origin, const ChipJob& job)
    : portEntry(port), portName(port.name), origin(origin), job(job), options(job.options), image(job.image),
      output(*job.output, origin != PortOrigin::Named), settleMs(informationSettleMs(options.line.baudRate))
{
    requestTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, cutting a 5000 ms time-out to 4750 ms.
    requestTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&requestTimer, &QTimer::timeout, this, [this] { onRequestTimeout(); });
    settleTimer.setSingleShot(true);
    settleTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&settleTimer, &QTimer::timeout, this, [this] { onQuiet(); });
}

ChipSession::~ChipSession()
{
    serialPort.disconnectReadEvent();
    serialPort.close();
}

void ChipSession::start()
{
    started = QDateTime::currentDateTimeUtc();
    runClock.start();
    output.taskBegun(portName, options.command, image != nullptr ? image->path : QString());

    // The bytes the user gave, whatever they are.
    const QByteArray name = toLocalBytes(portName);
    const LineSettings& line = options.line;
    serialPort.init(name.constData(), line.baudRate, line.parity, line.dataBits, line.stopBits,
                    FlowControlNone, ReadBufferSize);
    serialPort.setReadIntervalTimeout(0);
    serialPort.connectReadEvent(this);
    if (!serialPort.open()) {
        failOpen(name);
        return;
    }
    logLine(engine.messages().format("Port open ready to flash RQ75x..."));
    logLine(QStringLiteral("Getting current firmware information"));
    phase = Phase::AwaitingInfo;
    chipPort.watchAnswer();
    engine.requestFirmwareInfo();
}

void ChipSession::failOpen(const QByteArray& name)
{
    TaskResult result;
    result.outcome = TaskOutcome::OpenFailed;
    result.errorCode = serialPort.getLastError();
    const char* message = serialPort.getLastErrorMsg();
    result.errorMessage = QString::fromUtf8(message != nullptr ? message : "");
    const vandrel::PortOpenDiagnosis diagnosis = vandrel::diagnosePortOpenFailure(name.constData());
    result.errorReason = QString::fromLocal8Bit(diagnosis.reason.c_str());
    result.hint =
        fromLocalBytes(QByteArray::fromStdString(vandrel::permissionHint(name.constData(), diagnosis)));
    if (origin == PortOrigin::Listed) {
        result.outcome = TaskOutcome::Skipped;
        result.skipReason = SkipReason::CannotOpen;
        result.detail = QStringLiteral("skipped: the port could not be opened");
    }
    finish(result);
}

void ChipSession::skip(SkipReason reason)
{
    TaskResult result;
    result.outcome = TaskOutcome::Skipped;
    result.skipReason = reason;
    switch (reason) {
    case SkipReason::Silent:
        result.detail = QStringLiteral("skipped: no answer to the firmware-information request within 5 s");
        break;
    case SkipReason::Talking:
        result.detail =
            QStringLiteral("skipped: the line kept talking for 5 s without the pause that ends an "
                           "answer; no RQ75x answers like that");
        break;
    case SkipReason::Gone:
        result.detail = QStringLiteral("skipped: the port went away before it answered");
        break;
    case SkipReason::CannotOpen:
    case SkipReason::None:
        break;
    }
    finish(result);
}

// ---------------------------------------------------------------------------------------------
// Engine events

void ChipSession::logLine(const QString& text)
{
    onMainThread([this, text] {
        if (phase != Phase::Finished)
            output.statusLine(portName, image != nullptr ? image->userText(text) : text);
    });
}

void ChipSession::report(const QString& text)
{
    onMainThread([this, text] { onReply(text); });
}

void ChipSession::appendReceiveLine(const QString& text)
{
    onMainThread([this, text] {
        if (phase != Phase::Finished)
            output.replyLine(portName, text);
    });
}

void ChipSession::setCurrentBlockText(const QString&)
{
    // Called as block N is acknowledged, before the engine moves on to the next one: the
    // counters read here belong to this report.
    Progress progress;
    progress.blocksDone = engine.currentBlock();
    progress.totalBlocks = engine.totalBlocks();
    const int64_t imageSize = image != nullptr ? image->size : 0;
    progress.totalBytes = imageSize;
    const int64_t bytes = int64_t{progress.blocksDone} * rq75x::BlockSize;
    progress.bytesDone = progress.blocksDone >= progress.totalBlocks ? imageSize : std::min(bytes, imageSize);
    onMainThread([this, progress] {
        if (phase != Phase::Running)
            return;
        blocksAcknowledged = progress.blocksDone;
        output.progress(portName, progress);
    });
}

void ChipSession::startStopTimer(unsigned int ms)
{
    onMainThread([this, ms] {
        if (phase == Phase::Finished) {
            requestTimer.stop();
            return;
        }
        // The engine stops the time-out at every piece of the information answer, but the answer
        // only counts once the line has gone quiet: a line that never does (a board's debug
        // console) must still end at the request's deadline.
        if (ms == 0 && phase == Phase::AwaitingInfo)
            return;
        if (ms == 0)
            requestTimer.stop();
        else
            requestTimer.start(static_cast<int>(ms));
    });
}

void ChipSession::runEnded(rq75x::RunOutcome outcome)
{
    onMainThread([this, outcome] {
        // The time-out is handled where the timer fires; outside a run (the information answer,
        // an "ACK (35)" nobody asked for) there is nothing else to end, unless the port went away.
        if (phase != Phase::Running && outcome != rq75x::RunOutcome::Disconnected)
            return;
        TaskResult result;
        switch (outcome) {
        case rq75x::RunOutcome::Completed:
            result.outcome = TaskOutcome::Completed;
            break;
        case rq75x::RunOutcome::TimedOut:
            result.outcome = TaskOutcome::TimedOut;
            break;
        case rq75x::RunOutcome::ImageUnreadable:
            result.outcome = TaskOutcome::BadImage;
            break;
        case rq75x::RunOutcome::Disconnected:
            result.outcome = TaskOutcome::Disconnected;
            result.detail = chipState(QStringLiteral("the port went away"));
            break;
        case rq75x::RunOutcome::Aborted:
            result.outcome = TaskOutcome::Aborted;
            break;
        }
        finish(result);
    });
}

void ChipSession::onReadEvent(const char*, unsigned int readBufferLen)
{
    engine.onReadEvent(readBufferLen);
}

void ChipSession::onMainThread(std::function<void()> work)
{
    if (QThread::currentThread() == thread())
        work();
    else
        QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Main thread

void ChipSession::onReply(const QString& text)
{
    if (phase == Phase::Finished)
        return;
    output.replyLine(portName, text);
    if (phase == Phase::AwaitingInfo) {
        // The answer may arrive in pieces; the sequence starts once the line has gone quiet.
        QString answer = firmwareInfo.value_or(QString());
        answer += text.left(MaxInformationLength - answer.size());
        firmwareInfo = answer;
        settleTimer.start(settleMs);
    } else if (phase == Phase::Running && text == QLatin1String("ACK (32)")) {
        bootReady = true;
    } else if (phase == Phase::Running &&
               (text == QLatin1String("ACK (34)") || text == QLatin1String("ACK (36)"))) {
        exitRequested = true;
    }
}

void ChipSession::onRequestTimeout()
{
    if (phase == Phase::Finished)
        return;
    // The engine hands over what had arrived before it declares a time-out (a process that was
    // stopped finds the acknowledgement waiting); when it has not run out after all, it sets the
    // timer for the rest, or leaves it stopped while a reply decides.
    const bool timedOut = engine.onTimerFired();
    if (!timedOut && requestTimer.isActive())
        return;
    if (!timedOut && phase == Phase::Running)
        return;
    if (!timedOut && phase == Phase::AwaitingInfo) {
        // The information request's deadline holds however long the line talks; but an answer
        // that went quiet while this thread could not run has been given in time.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (phase != Phase::AwaitingInfo)
            return;
        if (firmwareInfo && chipPort.msSinceLastRead() >= settleMs) {
            startSequence();
            return;
        }
    }
    settleTimer.stop();
    if (output.holding()) {
        // The port never answered like a chip: what it sent, if anything, never came to an end.
        skip(chipPort.msSinceLastRead() == INT64_MAX ? SkipReason::Silent : SkipReason::Talking);
        return;
    }
    TaskResult result;
    result.outcome = TaskOutcome::TimedOut;
    finish(result);
}

// The settle timer judges quiet on this thread, which a busy machine may have kept from running
// while the receive thread went on reading: what arrived meanwhile counts first.
void ChipSession::onQuiet()
{
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (phase != Phase::AwaitingInfo || settleTimer.isActive())
        return;
    const int64_t quietMs = chipPort.msSinceLastRead();
    if (quietMs < settleMs) {
        settleTimer.start(static_cast<int>(settleMs - quietMs));
        return;
    }
    startSequence();
}

void ChipSession::startSequence()
{
    if (phase != Phase::AwaitingInfo)
        return;
    requestTimer.stop(); // the information request has had its answer
    const bool bootMode = chipPort.answerIsBootloaderFrame();
    if (bootMode) {
        // What it sent is no firmware information.
        firmwareInfo.reset();
        answeredFromBootloader = true;
    }
    // An answer that came to an end: a chip, whose output reads from here as a named port's.
    output.release();
    switch (options.command) {
    case Command::Info:
    case Command::List:
        if (bootMode) {
            TaskResult result;
            result.outcome = TaskOutcome::BootMode;
            result.detail = QStringLiteral(
                "the chip answered from its bootloader: the chip is in boot mode, as an unfinished flash "
                "leaves it; run flash to write the firmware again, or reset to restore its factory settings");
            finish(result);
            return;
        }
        finish(TaskResult{});
        return;
    case Command::Flash:
        if (bootMode)
            output.statusLine(
                portName, QStringLiteral("The chip answered from its bootloader: the chip is in boot mode; "
                                         "flashing starts again from the first block"));
        phase = Phase::Running;
        engine.setFirmwarePath(image->enginePath);
        engine.startFlash();
        return;
    case Command::Reset:
        if (bootMode)
            output.statusLine(portName, QStringLiteral("The chip answered from its bootloader: the chip is "
                                                       "in boot mode; the reset goes on"));
        phase = Phase::Running;
        engine.startFactoryReset();
        return;
    }
}

bool ChipSession::cutOff()
{
    if (phase == Phase::Finished || phase == Phase::Idle)
        return false;
    requestTimer.stop();
    settleTimer.stop();
    // Nothing is sent from here on: the engine cuts off a reply being handled on the receive
    // thread (a pause ends at once) and returns once it is done.
    engine.closePort();
    // What the engine reported before, in order; its run may even have ended meanwhile.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return phase != Phase::Finished;
}

void ChipSession::interrupt()
{
    if (!cutOff())
        return;
    TaskResult result;
    result.outcome = TaskOutcome::Interrupted;
    result.detail = chipState(QStringLiteral("interrupted"));
    finish(result);
}

void ChipSession::portRemoved()
{
    if (!cutOff())
        return;
    if (output.holding()) {
        skip(SkipReason::Gone);
        return;
    }
    TaskResult result;
    result.outcome = TaskOutcome::Disconnected;
    result.detail = chipState(QStringLiteral("the port went away"));
    finish(result);
}

QString ChipSession::chipState(const QString& event) const
{
    const QString again =
        options.command == Command::Reset ? QStringLiteral("reset") : QStringLiteral("flash");
    if (phase != Phase::Running)
        return QStringLiteral(
                   "%1 while waiting for the firmware information: nothing was written to the chip")
            .arg(event);
    if (!bootReady)
        return QStringLiteral("%1 while asking the chip to enter boot mode: the chip may be in boot mode; %2 "
                              "again to finish")
            .arg(event, again);
    if (options.command == Command::Reset)
        return QStringLiteral(
                   "%1 during the factory reset: the chip stays in boot mode; reset again to finish")
            .arg(event);
    const uint32_t total = engine.totalBlocks();
    if (blocksAcknowledged < total) {
        // The block sent last, or the one about to go when the run was cut off.
        const uint32_t block = std::clamp<uint32_t>(engine.currentBlock(), blocksAcknowledged + 1, total);
        return QStringLiteral("%1 during block %2 of %3: the chip stays in boot mode; flash again to finish")
            .arg(event)
            .arg(block)
            .arg(total);
    }
    return QStringLiteral("%1 after the last block, before the chip left boot mode: the chip stays in boot "
                          "mode; flash again to finish")
        .arg(event);
}

void ChipSession::noteStep(TaskResult& result) const
{
    if (result.outcome == TaskOutcome::Completed) {
        result.step = RunStep::Done;
        return;
    }
    switch (phase) {
    case Phase::Idle:
        result.step = RunStep::Open;
        return;
    case Phase::AwaitingInfo:
        result.step = RunStep::FirmwareInfo;
        return;
    case Phase::Running:
        break;
    case Phase::Finished:
        return;
    }
    if (!bootReady) {
        result.step = RunStep::BootMode;
    } else if (options.command == Command::Reset) {
        result.step = exitRequested ? RunStep::ExitBootMode : RunStep::FactoryReset;
    } else if (blocksAcknowledged < engine.totalBlocks()) {
        result.step = RunStep::Block;
        result.totalBlocks = engine.totalBlocks();
        result.block =
            std::clamp<uint32_t>(engine.currentBlock(), blocksAcknowledged + 1, result.totalBlocks);
    } else {
        result.step = exitRequested ? RunStep::ExitBootMode : RunStep::EndOfData;
    }
}

void ChipSession::finish(TaskResult result)
{
    if (phase == Phase::Finished)
        return;
    noteStep(result);
    phase = Phase::Finished;
    requestTimer.stop();
    settleTimer.stop();
    // Nothing more is sent; no reply is being handled any more when closePort() returns.
    engine.closePort();
    // What a port that was skipped sent is no chip's answer.
    if (result.outcome != TaskOutcome::Skipped)
        result.firmwareInfo = firmwareInfo;
    result.answeredFromBootloader = answeredFromBootloader;
    result.started = started;
    result.durationMs = runClock.isValid() ? runClock.elapsed() : 0;
    status = exitStatusOf(result.outcome);
    finalOutcome = result.outcome;
    // On the disk before anyone is told of the result: whoever sees it may rely on the record.
    if (job.report != nullptr)
        job.report->append(portEntry, options.command, image, result);
    // A port that never answered like a chip shows only its beginning and its end.
    if (result.outcome == TaskOutcome::Skipped)
        output.releaseBeginningOnly();
    else
        output.release();
    output.taskEnded(portName, options.command, result);
    if (finishedHandler)
        finishedHandler();
}

} // namespace morvane::cli
