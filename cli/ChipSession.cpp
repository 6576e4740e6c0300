#include "cli/ChipSession.h"

#include "flasher/BootloaderCodec.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

namespace morvane::cli {

namespace {

constexpr unsigned int ReadBufferSize = 4096;
constexpr int MinimumSettleMs = 50;
constexpr int SettleCharacters = 20;
constexpr int BitsPerCharacterAtMost = 12; // start, 8 data, parity, 2 stop

} // namespace

int informationSettleMs(int baudRate)
{
    if (baudRate <= 0)
        return MinimumSettleMs;
    const int64_t ms = (int64_t{SettleCharacters} * BitsPerCharacterAtMost * 1000 + baudRate - 1) / baudRate;
    return static_cast<int>(std::max<int64_t>(MinimumSettleMs, ms));
}

ChipSession::ChipSession(const QString& port, const Options& options, int64_t imageSize, RunOutput& output)
    : portName(port), options(options), imageSize(imageSize), output(output)
{
    requestTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, cutting a 5000 ms time-out to 4750 ms.
    requestTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&requestTimer, &QTimer::timeout, this, [this] { onRequestTimeout(); });
    settleTimer.setSingleShot(true);
    settleTimer.setInterval(informationSettleMs(options.line.baudRate));
    QObject::connect(&settleTimer, &QTimer::timeout, this, [this] { startSequence(); });
}

ChipSession::~ChipSession()
{
    serialPort.disconnectReadEvent();
    serialPort.close();
}

void ChipSession::start()
{
    output.taskBegun(portName, options.command, options.firmwareFile);

    const QByteArray name = portName.toLocal8Bit();
    const LineSettings& line = options.line;
    serialPort.init(name.constData(), line.baudRate, line.parity, line.dataBits, line.stopBits,
                    FlowControlNone, ReadBufferSize);
    serialPort.setReadIntervalTimeout(0);
    serialPort.connectReadEvent(this);
    if (!serialPort.open()) {
        TaskResult result;
        result.outcome = TaskOutcome::OpenFailed;
        result.errorCode = serialPort.getLastError();
        const char* message = serialPort.getLastErrorMsg();
        result.errorMessage = QString::fromUtf8(message != nullptr ? message : "");
        finish(result);
        return;
    }
    logLine(engine.messages().format("Port open ready to flash RQ75x..."));
    logLine(QStringLiteral("Getting current firmware information"));
    phase = Phase::AwaitingInfo;
    engine.requestFirmwareInfo();
}

// ---------------------------------------------------------------------------------------------
// Engine events

void ChipSession::logLine(const QString& text)
{
    onMainThread([this, text] {
        if (phase != Phase::Finished)
            output.statusLine(portName, text);
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
    progress.totalBytes = imageSize;
    const int64_t bytes = int64_t{progress.blocksDone} * rq75x::BlockSize;
    progress.bytesDone = progress.blocksDone >= progress.totalBlocks ? imageSize : std::min(bytes, imageSize);
    onMainThread([this, progress] {
        if (phase == Phase::Running)
            output.progress(portName, progress);
    });
}

void ChipSession::startStopTimer(unsigned int ms)
{
    onMainThread([this, ms] {
        if (ms == 0 || phase == Phase::Finished)
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
        firmwareInfo = firmwareInfo.value_or(QString()) + text;
        settleTimer.start();
    }
}

void ChipSession::onRequestTimeout()
{
    if (phase == Phase::Finished)
        return;
    settleTimer.stop();
    engine.onTimerFired(); // closes the port and reports the time-out
    TaskResult result;
    result.outcome = TaskOutcome::TimedOut;
    finish(result);
}

void ChipSession::startSequence()
{
    if (phase != Phase::AwaitingInfo)
        return;
    switch (options.command) {
    case Command::Info:
    case Command::List:
        finish(TaskResult{});
        return;
    case Command::Flash:
        phase = Phase::Running;
        engine.setFirmwarePath(options.firmwareFile);
        engine.startFlash();
        return;
    case Command::Reset:
        phase = Phase::Running;
        engine.startFactoryReset();
        return;
    }
}

void ChipSession::finish(TaskResult result)
{
    if (phase == Phase::Finished)
        return;
    phase = Phase::Finished;
    requestTimer.stop();
    settleTimer.stop();
    // Nothing more is sent; the receive thread has ended when close() returns.
    serialPort.close();
    result.firmwareInfo = firmwareInfo;
    status = exitStatusOf(result.outcome);
    output.taskEnded(portName, options.command, result);
    if (finishedHandler)
        finishedHandler();
}

} // namespace morvane::cli
