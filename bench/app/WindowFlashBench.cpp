// Figures for the window flashing an image into rq75x-sim on the offscreen platform: total time
// against the floor set by the protocol's pauses, the longest stall of the GUI event loop during
// the run, and the process's peak memory. Then the GUI stalls when the run is interrupted in the
// 1000 ms pause after "ACK (32)": by the guard timer firing there, and by the window being closed.
//
//   window_flash_bench [image KiB, default 64] [--hidden] [--pause-only]
//
// --hidden leaves the window unshown, so that the figures leave out the repainting of the window
// (the offscreen platform paints in software on the GUI thread). --pause-only skips the long run.
//
// Prints figures; it does not pass or fail.
#include "MainWindow.h"

#include "bench/common/PauseFloor.h"
#include "flasher/FlashEngine.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace rq75x::timing;

// Peak resident set of this process in KiB (VmHWM), or -1.
long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

template <typename Widget> Widget* child(QWidget& window, const char* name)
{
    return window.findChild<Widget*>(QString::fromLatin1(name));
}

bool sendLogHas(QWidget& window, const char* line)
{
    return child<QPlainTextEdit>(window, "plainTextEditSend")
        ->toPlainText()
        .split(QLatin1Char('\n'))
        .contains(QString::fromLatin1(line));
}

// Runs the event loop until `done` holds or `timeoutMs` have passed.
template <typename Condition> bool waitFor(Condition done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// Answers the Load File dialog with `path` as a user typing it would.
void pickFirmware(QWidget& window, const QString& path)
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (auto* fileName = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            fileName->setText(path);
        static_cast<QDialog*>(dialog)->accept();
        if (!dialog->isVisible())
            poll->deleteLater();
    });
    poll->start(10);
    child<QPushButton>(window, "pushButtonLoadFirmware")->click();
}

// Gaps between the ticks of a 1 ms timer on the GUI thread: how long the event loop was held.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, [this] {
            const qint64 now = clock.nsecsElapsed();
            gapsUs.push_back((now - lastNs) / 1000);
            tickAtUs.push_back(now / 1000);
            lastNs = now;
        });
    }
    void start()
    {
        gapsUs.clear();
        tickAtUs.clear();
        clock.start();
        lastNs = 0;
        timer.start(1);
    }
    void stop() { timer.stop(); }
    qint64 percentileUs(double p)
    {
        if (gapsUs.empty())
            return 0;
        std::vector<qint64> sorted = gapsUs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
    }
    size_t ticks() const { return gapsUs.size(); }
    // When the longest gaps ended, in ms from the start, longest first.
    std::vector<std::pair<double, double>> longest(size_t count) const
    {
        std::vector<size_t> order(gapsUs.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        count = std::min(count, order.size());
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(),
                          [this](size_t a, size_t b) { return gapsUs[a] > gapsUs[b]; });
        std::vector<std::pair<double, double>> result;
        for (size_t i = 0; i < count; ++i)
            result.emplace_back(gapsUs[order[i]] / 1000.0, tickAtUs[order[i]] / 1000.0);
        return result;
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    std::vector<qint64> gapsUs;
    std::vector<qint64> tickAtUs;
};

// rq75x-sim as a child process. With `verbose` it logs each frame it takes, for frames().
class SimulatedChip
{
public:
    explicit SimulatedChip(QStringList arguments, bool verbose = false)
    {
        if (verbose)
            arguments.prepend(QStringLiteral("--verbose"));
        process.start(QStringLiteral(RQ75X_SIM_PATH), arguments);
        const QDeadlineTimer deadline(10000);
        while (!process.canReadLine() && !deadline.hasExpired())
            process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        port = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~SimulatedChip() { stop(); }

    // Ends the simulator: its exit status (0: every frame it received was right), -1 on a crash.
    int stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(5000);
        }
        log += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    // The frames it took, one line each; complete after stop().
    QByteArrayList frames() const
    {
        QByteArrayList lines;
        for (const QByteArray& line : log.split('\n')) {
            if (line.startsWith("sim: ") && !line.startsWith("sim: listening") &&
                !line.startsWith("sim: stopped"))
                lines.append(line);
        }
        return lines;
    }

    QString port;

private:
    QProcess process;
    QByteArray log;
};

QByteArray randomImage(long size, quint32 seed)
{
    QByteArray image(static_cast<qsizetype>(size), Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : image)
        byte = static_cast<char>(generator.bounded(256));
    return image;
}

bool writeImage(const QString& path, const QByteArray& image)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(image) == image.size();
}

bool fileHolds(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll() == bytes;
}

// Opens `port` in the window, waits for the firmware answer and picks `imagePath`.
bool prepare(MainWindow& window, const QString& port, const QString& imagePath)
{
    auto* ports = child<QComboBox>(window, "comboBoxPortName");
    ports->insertItem(0, port);
    ports->setCurrentIndex(0);
    child<QPushButton>(window, "pushButtonOpen")->click();
    if (!waitFor(
            [&] { return !child<QPlainTextEdit>(window, "plainTextEditReceive")->toPlainText().isEmpty(); },
            10000)) {
        std::fprintf(stderr, "no answer to the firmware request\n");
        return false;
    }
    pickFirmware(window, imagePath);
    if (child<QLabel>(window, "labelFirmware_1")->text() != imagePath) {
        std::fprintf(stderr, "the file dialog did not take the image\n");
        return false;
    }
    return true;
}

bool receiveLogHas(QWidget& window, const char* line)
{
    return child<QPlainTextEdit>(window, "plainTextEditReceive")
        ->toPlainText()
        .split(QLatin1Char('\n'))
        .contains(QString::fromLatin1(line));
}

// The guard timer fires (or the window is closed) while the run sits in the pause after
// "ACK (32)": how long is the GUI thread held? Flashes 600 bytes into a fresh simulator.
int pauseStalls(QTemporaryDir& dir, bool hidden)
{
    const QString imagePath = dir.filePath(QStringLiteral("small.bin"));
    const QByteArray image = randomImage(600, 76);
    if (!writeImage(imagePath, image))
        return 1;

    std::printf("interrupting the 1000 ms pause after \"ACK (32)\" (600-byte image, window %s)\n",
                hidden ? "hidden" : "shown");
    {
        const QString savedPath = dir.filePath(QStringLiteral("small-received.bin"));
        SimulatedChip chip({QStringLiteral("--save"), savedPath});
        MainWindow window;
        if (!hidden)
            window.show();
        if (chip.port.isEmpty() || !prepare(window, chip.port, imagePath))
            return 1;
        QTimer* guard = window.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
        child<QPushButton>(window, "pushButtonSend")->click();
        if (!waitFor([&] { return receiveLogHas(window, "ACK (32)"); }, 10000))
            return 1;
        // From here to the end of the run. The window's own slot is connected first, so this one
        // runs as soon as the window has handled the guard.
        StallMeter stalls;
        QElapsedTimer firing;
        qint64 guardHeldNs = -1;
        QObject::connect(guard, &QTimer::timeout, guard, [&] {
            if (guardHeldNs < 0)
                guardHeldNs = firing.nsecsElapsed();
        });
        stalls.start();
        firing.start();
        guard->start(0); // the guard fires now, during the pause
        waitFor(
            [&] { return sendLogHas(window, "Flashing completed.") || sendLogHas(window, "Port closed..."); },
            10000);
        // Whatever the run left queued arrives within the next second.
        waitFor([] { return false; }, 1000);
        stalls.stop();
        const bool completed = sendLogHas(window, "Flashing completed.");
        const int simStatus = chip.stop();
        const bool intact = completed && fileHolds(savedPath, image);
        std::printf("  guard firing in the pause:\n");
        std::printf("    run:                          %s\n",
                    completed ? (intact ? "completed, image arrived intact" : "completed, image NOT intact")
                              : "ended by the time-out");
        std::printf("    simulator found every frame right: %s\n", simStatus == 0 ? "yes" : "NO");
        std::printf("    GUI thread held by the firing: %.2f ms\n", static_cast<double>(guardHeldNs) / 1e6);
        std::printf("    longest event-loop stall until the run's end (any cause): %.2f ms\n",
                    stalls.percentileUs(1.0) / 1000.0);
        for (const auto& [gapMs, atMs] : stalls.longest(3))
            std::printf("      stall of %.2f ms ending %.0f ms after the guard fired\n", gapMs, atMs);
    }
    {
        SimulatedChip chip({}, true);
        auto window = std::make_unique<MainWindow>();
        if (!hidden)
            window->show();
        if (chip.port.isEmpty() || !prepare(*window, chip.port, imagePath))
            return 1;
        child<QPushButton>(*window, "pushButtonSend")->click();
        if (!waitFor([&] { return receiveLogHas(*window, "ACK (32)"); }, 10000))
            return 1;
        QElapsedTimer closing;
        closing.start();
        window.reset();
        const qint64 closeNs = closing.nsecsElapsed();
        const int simStatus = chip.stop();
        std::printf("  window closed in the pause:\n");
        std::printf("    frames the simulator took:    %lld (%s)\n",
                    static_cast<long long>(chip.frames().size()), chip.frames().join(", ").constData());
        std::printf("    simulator found every frame right: %s\n", simStatus == 0 ? "yes" : "NO");
        std::printf("    closing the window took:      %.2f ms\n", static_cast<double>(closeNs) / 1e6);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    long imageKiB = 64;
    bool hidden = false;
    bool pauseOnly = false;
    for (const QString& argument : application.arguments().mid(1)) {
        if (argument == QStringLiteral("--hidden"))
            hidden = true;
        else if (argument == QStringLiteral("--pause-only"))
            pauseOnly = true;
        else
            imageKiB = std::max(1L, argument.toLong());
    }
    const long imageSize = imageKiB * 1024;

    QTemporaryDir dir;
    if (pauseOnly)
        return pauseStalls(dir, hidden);

    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString savedPath = dir.filePath(QStringLiteral("received.bin"));
    const QByteArray image = randomImage(imageSize, 75);
    if (!writeImage(imagePath, image)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }

    const long peakBeforeKiB = peakResidentKiB();
    long peakDuringKiB = -1;
    qint64 runMs = -1;
    StallMeter stalls;
    {
        SimulatedChip chip({QStringLiteral("--save"), savedPath});
        MainWindow window;
        if (!hidden)
            window.show();
        if (chip.port.isEmpty()) {
            std::fprintf(stderr, "rq75x-sim did not start\n");
            return 1;
        }
        if (!prepare(window, chip.port, imagePath))
            return 1;

        stalls.start();
        QElapsedTimer run;
        run.start();
        child<QPushButton>(window, "pushButtonSend")->click();
        const bool ended = waitFor(
            [&] {
                return sendLogHas(window, "Flashing completed.") ||
                       sendLogHas(window, "Firmware file read error");
            },
            static_cast<int>(pauseFloorMs(imageSize)) * 2 + 20000);
        runMs = run.elapsed();
        stalls.stop();
        peakDuringKiB = peakResidentKiB();
        if (!ended || !sendLogHas(window, "Flashing completed.")) {
            std::fprintf(stderr, "the run did not complete:\n%s\n",
                         qPrintable(child<QPlainTextEdit>(window, "plainTextEditSend")->toPlainText()));
            return 1;
        }
    }

    const bool intact = fileHolds(savedPath, image);
    const long floor = pauseFloorMs(imageSize);
    std::printf("window flash of %ld KiB into rq75x-sim (offscreen, window %s)\n", imageKiB,
                hidden ? "hidden" : "shown");
    std::printf("  image arrived intact:           %s\n", intact ? "yes" : "NO");
    if (!intact)
        return 1; // no figures from a run whose data did not arrive
    std::printf("  run time:                       %lld ms\n", static_cast<long long>(runMs));
    std::printf("  floor set by the pauses:        %ld ms\n", floor);
    std::printf("  above the floor:                %.2f %%\n",
                100.0 * static_cast<double>(runMs - floor) / floor);
    std::printf("  GUI event loop, 1 ms ticks:     %zu\n", stalls.ticks());
    std::printf("  longest stall:                  %.2f ms\n", stalls.percentileUs(1.0) / 1000.0);
    for (const auto& [gapMs, atMs] : stalls.longest(5))
        std::printf("    stall of %.2f ms ending %.0f ms into the run\n", gapMs, atMs);
    std::printf("  99.9th percentile gap:          %.2f ms\n", stalls.percentileUs(0.999) / 1000.0);
    std::printf("  median gap:                     %.2f ms\n", stalls.percentileUs(0.5) / 1000.0);
    std::printf("  peak memory (VmHWM) before run: %ld KiB\n", peakBeforeKiB);
    std::printf("  peak memory (VmHWM) after run:  %ld KiB\n", peakDuringKiB);
    std::fflush(stdout);
    return pauseStalls(dir, hidden);
}
