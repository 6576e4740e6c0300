// Figures for the window flashing an image into rq75x-sim on the offscreen platform: total time
// against the floor set by the protocol's pauses, the longest stall of the GUI event loop during
// the run, and the process's peak memory.
//
//   window_flash_bench [image KiB, default 64] [--hidden]
//
// --hidden leaves the window unshown, so that the figures leave out the repainting of the window
// (the offscreen platform paints in software on the GUI thread).
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

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    long imageKiB = 64;
    bool hidden = false;
    for (const QString& argument : application.arguments().mid(1)) {
        if (argument == QStringLiteral("--hidden"))
            hidden = true;
        else
            imageKiB = std::max(1L, argument.toLong());
    }
    const long imageSize = imageKiB * 1024;

    QTemporaryDir dir;
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString savedPath = dir.filePath(QStringLiteral("received.bin"));
    QByteArray image(static_cast<qsizetype>(imageSize), Qt::Uninitialized);
    QRandomGenerator generator(75);
    for (char& byte : image)
        byte = static_cast<char>(generator.bounded(256));
    {
        QFile file(imagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
            return 1;
        }
    }

    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(RQ75X_SIM_PATH), {QStringLiteral("--save"), savedPath});
    const QDeadlineTimer simDeadline(10000);
    while (!sim.canReadLine() && !simDeadline.hasExpired())
        sim.waitForReadyRead(static_cast<int>(simDeadline.remainingTime()));
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (port.isEmpty()) {
        std::fprintf(stderr, "rq75x-sim did not start\n");
        return 1;
    }

    const long peakBeforeKiB = peakResidentKiB();
    long peakDuringKiB = -1;
    qint64 runMs = -1;
    StallMeter stalls;
    {
        MainWindow window;
        if (!hidden)
            window.show();
        auto* ports = child<QComboBox>(window, "comboBoxPortName");
        ports->insertItem(0, port);
        ports->setCurrentIndex(0);
        child<QPushButton>(window, "pushButtonOpen")->click();
        if (!waitFor(
                [&] {
                    return !child<QPlainTextEdit>(window, "plainTextEditReceive")->toPlainText().isEmpty();
                },
                10000)) {
            std::fprintf(stderr, "no answer to the firmware request\n");
            return 1;
        }
        pickFirmware(window, imagePath);
        if (child<QLabel>(window, "labelFirmware_1")->text() != imagePath) {
            std::fprintf(stderr, "the file dialog did not take the image\n");
            return 1;
        }

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
    sim.terminate();
    sim.waitForFinished(5000);

    QFile saved(savedPath);
    const bool intact = saved.open(QIODevice::ReadOnly) && saved.readAll() == image;
    const long floor = pauseFloorMs(imageSize);
    std::printf("window flash of %ld KiB into rq75x-sim (offscreen, window %s)\n", imageKiB,
                hidden ? "hidden" : "shown");
    std::printf("  image arrived intact:           %s\n", intact ? "yes" : "NO");
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
    return intact ? 0 : 1;
}
