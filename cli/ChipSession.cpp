#include "cli/ChipSession.h"

#include "flasher/BootloaderCodec.h"
#include "flasher/LocalText.h"
#include "portinfo/PortAccess.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <climits>

namespace morvane::cli {

using rq75x::RunOutcome;
using rq75x::RunPosition;
using rq75x::RunStage;
using rq75x::RunTask;

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

// Where a run ended, in the terms of the record.
RunStep stepAt(const RunPosition& at, uint32_t& block)
{
    switch (at.stage) {
    case RunStage::Idle:
    case RunStage::FirmwareInfo:
        return RunStep::FirmwareInfo;
    case RunStage::BootRequest:
        return RunStep::BootMode;
    case RunStage::BootReady:
    case RunStage::Block:
    case RunStage::BlockWritten:
        if (at.task == RunTask::FactoryReset)
            return RunStep::FactoryReset;
        block = rq75x::blockUnderWay(at);
        return block > 0 ? RunStep::Block : RunStep::EndOfData;
    case RunStage::EndOfData:
        return RunStep::EndOfData;
    case RunStage::FactoryReset:
        return RunStep::FactoryReset;
    case RunStage::ExitBootMode:
        return RunStep::ExitBootMode;
    case RunStage::Completed:
        break;
    }
    return RunStep::Done;
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

ChipSession::ChipSession(const PortEntry& port, PortOrigin origin, CommandRun& run)
    : entry(port), origin(origin), run(run), options(run.options()),
      settleMs(informationSettleMs(options.line.baudRate)), holding(origin != PortOrigin::Named)
{
    for (QTimer* timer : {&requestTimer, &settleTimer, &askAgainTimer}) {
        // A coarse timer may fire up to 5 % early, cutting a 5000 ms time-out to 4750 ms.
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(timer != &askAgainTimer);
    }
    QObject::connect(&requestTimer, &QTimer::timeout, this, [this] { onRequestTimeout(); });
    QObject::connect(&settleTimer, &QTimer::timeout, this, [this] { onQuiet(); });
    QObject::connect(&askAgainTimer, &QTimer::timeout, this, [this] { askAgain(); });
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
    show({entry.name, TaskBegun{task(), options.firmwareFile}});

    // The bytes the user gave, whatever they are.
    const QByteArray name = rq75x::toLocalBytes(entry.name);
    const LineSettings& line = options.line;
    serialPort.init(name.constData(), line.baudRate, line.parity, line.dataBits, line.stopBits,
                    FlowControlNone, ReadBufferSize);
    serialPort.setReadIntervalTimeout(0);
    serialPort.connectReadEvent(this);
    if (!serialPort.open()) {
        failOpen(name);
        return;
    }
    show({entry.name, StatusLine{QStringLiteral("Port open ready to flash RQ75x...")}});
    show({entry.name, StatusLine{QStringLiteral("Getting current firmware information")}});
    phase = Phase::AwaitingInfo;
    chipPort.watchAnswer();
    engine.requestFirmwareInfo();
    askAgainTimer.start(AskAgainMs);
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
    result.hint = rq75x::fromLocalBytes(
        QByteArray::fromStdString(vandrel::permissionHint(name.constData(), diagnosis)));
    if (origin == PortOrigin::Listed) {
        result.outcome = TaskOutcome::Skipped;
        result.skipReason = SkipReason::CannotOpen;
        result.detail = QStringLiteral("skipped: the port could not be opened");
    }
    finish(result, RunPosition{});
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
    finish(result, awaitingInfo());
}

// ---------------------------------------------------------------------------------------------
// Engine events

void ChipSession::stageReached(const RunPosition& reached)
{
    onMainThread([this, reached] {
        if (phase != Phase::Running)
            return;
        position = reached;
        if (reached.stage != RunStage::BlockWritten)
            return;
        const int64_t imageSize = run.image() != nullptr ? run.image()->size() : 0;
        Progress progress;
        progress.blocksDone = reached.block;
        progress.totalBlocks = reached.totalBlocks;
        progress.totalBytes = imageSize;
        progress.bytesDone = reached.block >= reached.totalBlocks
                                 ? imageSize
                                 : std::min<int64_t>(int64_t{reached.block} * rq75x::BlockSize, imageSize);
        show({entry.name, progress});
    });
}

void ChipSession::message(const rq75x::Message& told)
{
    onMainThread([this, told] {
        if (phase == Phase::Finished)
            return;
        switch (told.place) {
        case rq75x::MessagePlace::Log:
        case rq75x::MessagePlace::LogAndAction:
            show({entry.name, StatusLine{told.text}});
            break;
        case rq75x::MessagePlace::Report:
        case rq75x::MessagePlace::ReportAndAction:
        case rq75x::MessagePlace::ReplyLog:
            show({entry.name, ReplyLine{told.text}});
            break;
        }
    });
}

void ChipSession::replied(const rq75x::ChipReply& reply)
{
    onMainThread([this, text = reply.text] { onReply(text); });
}

void ChipSession::guardChanged(unsigned int ms)
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

void ChipSession::runEnded(const rq75x::RunEnd& end)
{
    onMainThread([this, end] { onRunEnded(end); });
}

void ChipSession::onReadEvent(const char*, unsigned int readBufferLen)
{
    engine.onReadEvent(readBufferLen);
}

void ChipSession::onMainThread(std::function<void()> work)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    const uint64_t reportedIn = engine.runGeneration();
    QMetaObject::invokeMethod(
        this,
        [this, reportedIn, work = std::move(work)] {
            if (engine.runGeneration() == reportedIn)
                work();
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Main thread

void ChipSession::show(const RunEvent& event)
{
    if (!holding)
        run.tell(event);
    else if (std::holds_alternative<TaskBegun>(event.what))
        beginning = event;
    else
        held.push_back(event);
}

void ChipSession::release(bool everything)
{
    holding = false;
    std::vector<RunEvent> kept;
    kept.swap(held);
    if (beginning)
        run.tell(*beginning);
    beginning.reset();
    if (everything) {
        for (const RunEvent& event : kept)
            run.tell(event);
    }
}

void ChipSession::onReply(const QString& text)
{
    if (phase == Phase::Finished)
        return;
    show({entry.name, ReplyLine{text}});
    if (phase != Phase::AwaitingInfo)
        return;
    // The answer may arrive in pieces; the sequence starts once the line has gone quiet.
    askAgainTimer.stop();
    QString answer = firmwareInfo.value_or(QString());
    answer += text.left(MaxInformationLength - answer.size());
    firmwareInfo = answer;
    settleTimer.start(settleMs);
}

void ChipSession::onRunEnded(const rq75x::RunEnd& end)
{
    if (phase == Phase::Finished || phase == Phase::Idle)
        return;
    switch (end.outcome) {
    case RunOutcome::Stopped:
        stopped = end.at; // whoever stopped the run ends the session
        return;
    case RunOutcome::Completed:
        if (phase == Phase::Running)
            finish(TaskResult{}, end.at);
        return;
    case RunOutcome::TimedOut:
        if (phase == Phase::AwaitingInfo)
            infoTimedOut();
        else
            endRun(TaskOutcome::TimedOut, end.at, QStringLiteral("timed out"));
        return;
    case RunOutcome::Disconnected:
        if (holding)
            skip(SkipReason::Gone);
        else
            endRun(TaskOutcome::Disconnected, phase == Phase::Running ? end.at : awaitingInfo(),
                   QStringLiteral("the port went away"));
        return;
    case RunOutcome::Aborted:
        endRun(TaskOutcome::Aborted, end.at, QStringLiteral("the run could not go on"));
        return;
    case RunOutcome::ImageUnreadable:
        endRun(TaskOutcome::BadImage, end.at, QString());
        return;
    }
}

void ChipSession::onRequestTimeout()
{
    if (phase == Phase::Finished)
        return;
    // The engine hands over what had arrived before it declares a time-out (a process that was
    // stopped finds the acknowledgement waiting), which then ends the session through runEnded();
    // when it has not run out after all, it sets the timer for the rest, or leaves it stopped
    // while a reply decides.
    if (engine.onTimerFired() || phase != Phase::AwaitingInfo || requestTimer.isActive())
        return;
    // The information request's deadline holds however long the line talks; but an answer that
    // went quiet while this thread could not run has been given in time.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (phase != Phase::AwaitingInfo)
        return;
    if (firmwareInfo && chipPort.msSinceLastRead() >= settleMs) {
        startSequence();
        return;
    }
    infoTimedOut();
}

void ChipSession::infoTimedOut()
{
    if (holding) {
        // The port never answered like a chip: what it sent, if anything, never came to an end.
        skip(chipPort.msSinceLastRead() == INT64_MAX ? SkipReason::Silent : SkipReason::Talking);
        return;
    }
    endRun(TaskOutcome::TimedOut, awaitingInfo(), QStringLiteral("timed out"));
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

void ChipSession::askAgain()
{
    // Never into an answer that has begun: a second request would start a second answer.
    if (phase != Phase::AwaitingInfo || chipPort.msSinceLastRead() != INT64_MAX) {
        askAgainTimer.stop();
        return;
    }
    engine.repeatFirmwareInfoRequest();
}

void ChipSession::startSequence()
{
    if (phase != Phase::AwaitingInfo)
        return;
    requestTimer.stop(); // the information request has had its answer
    askAgainTimer.stop();
    const bool bootMode = chipPort.answerIsBootloaderFrame();
    if (bootMode) {
        // What it sent is no firmware information.
        firmwareInfo.reset();
        answeredFromBootloader = true;
    }
    // An answer that came to an end: a chip, whose output reads from here as a named port's.
    release(true);
    const auto say = [this](const QString& text) { show({entry.name, StatusLine{text}}); };
    switch (options.command) {
    case Command::Info:
    case Command::List:
        if (bootMode) {
            TaskResult result;
            result.outcome = TaskOutcome::BootMode;
            result.detail = QStringLiteral(
                "the chip answered from its bootloader: the chip is in boot mode, as an unfinished flash "
                "leaves it; run flash to write the firmware again, or reset to restore its factory settings");
            finish(result, awaitingInfo());
            return;
        }
        finish(TaskResult{}, awaitingInfo());
        return;
    case Command::Flash:
        if (bootMode)
            say(QStringLiteral("The chip answered from its bootloader: the chip is in boot mode; "
                               "flashing starts again from the first block"));
        phase = Phase::Running;
        engine.startFlash(run.imageRead());
        return;
    case Command::Reset:
        if (bootMode)
            say(QStringLiteral(
                "The chip answered from its bootloader: the chip is in boot mode; the reset goes on"));
        phase = Phase::Running;
        engine.startFactoryReset();
        return;
    }
}

Command ChipSession::task() const
{
    return options.command == Command::List ? Command::Info : options.command; // a probe asks as info does
}

RunPosition ChipSession::awaitingInfo() const
{
    return RunPosition{RunTask::FirmwareInfo, RunStage::FirmwareInfo, 0, 0};
}

std::optional<RunPosition> ChipSession::stopRun()
{
    if (phase == Phase::Finished || phase == Phase::Idle)
        return std::nullopt;
    // What the engine reported before, in order: its run may even have ended meanwhile.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (phase == Phase::Finished)
        return std::nullopt;
    requestTimer.stop();
    settleTimer.stop();
    askAgainTimer.stop();
    // Nothing is sent from here on: a reply being handled on the receive thread is cut off (a
    // pause ends at once); a flash or reset reports where it stood.
    stopped.reset();
    engine.stop();
    engine.closePort();
    if (phase != Phase::Running)
        return awaitingInfo();
    return stopped.value_or(position);
}

void ChipSession::interrupt()
{
    if (const std::optional<RunPosition> at = stopRun())
        endRun(TaskOutcome::Interrupted, *at, QStringLiteral("interrupted"));
}

void ChipSession::portRemoved()
{
    const std::optional<RunPosition> at = stopRun();
    if (!at)
        return;
    if (holding)
        skip(SkipReason::Gone);
    else
        endRun(TaskOutcome::Disconnected, *at, QStringLiteral("the port went away"));
}

void ChipSession::endRun(TaskOutcome outcome, const RunPosition& at, const QString& happened)
{
    TaskResult result;
    result.outcome = outcome;
    if (const QString where = rq75x::whereRunEnded(at); !where.isEmpty() && !happened.isEmpty())
        result.detail = happened + QLatin1Char(' ') + where;
    finish(result, at);
}

void ChipSession::finish(TaskResult result, const RunPosition& at)
{
    if (phase == Phase::Finished)
        return;
    if (phase == Phase::Idle)
        result.step = RunStep::Open;
    else if (result.outcome != TaskOutcome::Completed)
        result.step = stepAt(at, result.block);
    if (result.step == RunStep::Block)
        result.totalBlocks = at.totalBlocks;
    phase = Phase::Finished;
    requestTimer.stop();
    settleTimer.stop();
    askAgainTimer.stop();
    // Nothing more is sent; no reply is being handled any more when closePort() returns.
    engine.closePort();
    // What a port that was skipped sent is no chip's answer.
    if (result.outcome != TaskOutcome::Skipped)
        result.firmwareInfo = firmwareInfo;
    result.answeredFromBootloader = answeredFromBootloader;
    result.started = started;
    result.durationMs = runClock.isValid() ? runClock.elapsed() : 0;
    if (options.command == Command::List) // a probe lists what it found; only an interrupt fails it
        result.exitStatus = result.outcome == TaskOutcome::Interrupted ? ExitInterrupted : ExitSuccess;
    else if (origin == PortOrigin::Arrived && result.outcome == TaskOutcome::Skipped)
        result.exitStatus = ExitChipFailure; // plugged in to be flashed, and not flashed
    else
        result.exitStatus = exitStatusOf(result.outcome);
    ending = result;
    // A port that never answered like a chip shows only its beginning and its end.
    release(result.outcome != TaskOutcome::Skipped);
    run.tell({entry.name, TaskEnded{task(), result, entry}});
    if (finishedHandler)
        finishedHandler();
}

} // namespace morvane::cli
