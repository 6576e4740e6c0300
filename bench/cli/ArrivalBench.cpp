// Figures for flash --on-arrival: simulated chips arriving one after another, each flashed as it
// comes, against one chip alone. Goal: all of them within 1.1 times one chip's time plus the
// spread of the arrivals. Also the CPU time per chip and the peak memory of morvane-flash.
//
//   cli_arrival_bench [chips, default 32] [image KiB, default 64] [ms between arrivals, default 100]
//
// The arrivals go through the test program morvane-flash-scripted, as pseudo-terminals are not
// announced by the system. Every chip's saved image and every record of the report are checked
// byte for byte before any figure is printed; a run that fails the check prints none.
#include "bench/common/PauseFloor.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Sim
{
    QProcess process;
    QString port;
    QString saved;
};

std::unique_ptr<Sim> startSim(const QString& saved)
{
    auto sim = std::make_unique<Sim>();
    sim->saved = saved;
    sim->process.start(QStringLiteral(RQ75X_SIM_PATH), {QStringLiteral("--save"), saved});
    const QDeadlineTimer deadline(10000);
    while (!sim->process.canReadLine() && !deadline.hasExpired())
        sim->process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    sim->port = QString::fromLocal8Bit(sim->process.readLine().trimmed());
    return sim;
}

struct Figures
{
    int exitStatus = -1;
    int completed = 0;
    double firstArrivalToLastEndMs = 0;
    double cpuMs = 0;
    long peakKiB = 0;
};

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs flash --on-arrival, announcing each chip `spacingMs` after the one before, and stops it
// with SIGINT once every chip has ended.
Figures runLine(const std::vector<Sim*>& chips, const QString& image, const QString& report, int spacingMs)
{
    int input[2];
    int output[2];
    if (pipe(input) != 0 || pipe(output) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    for (const int fd : {input[0], input[1], output[0], output[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    const std::string program = MORVANE_FLASH_SCRIPTED_PATH;
    const std::string imagePath = image.toStdString();
    const std::string reportPath = report.toStdString();
    std::vector<const char*> argv{program.c_str(),    "flash",           "--on-arrival", "--json", "--report",
                                  reportPath.c_str(), imagePath.c_str(), nullptr};
    Figures figures;
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    if (spawned != 0)
        return figures;

    const Clock::time_point start = Clock::now();
    size_t announced = 0;
    Clock::time_point firstArrival{};
    Clock::time_point lastEnd{};
    std::set<std::string> ended;
    std::string pending;
    bool interrupted = false;
    for (;;) {
        const Clock::time_point now = Clock::now();
        while (announced < chips.size() && now >= start + std::chrono::milliseconds(spacingMs * announced)) {
            const std::string line = "added " + chips[announced]->port.toStdString() + "\n";
            if (write(input[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                break;
            if (announced == 0)
                firstArrival = Clock::now();
            ++announced;
        }
        int waitMs = -1;
        if (announced < chips.size())
            waitMs = static_cast<int>(
                std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      start + std::chrono::milliseconds(spacingMs * announced) - Clock::now())
                                      .count()));
        pollfd readable{output[0], POLLIN, 0};
        if (poll(&readable, 1, waitMs) < 0)
            break;
        if (readable.revents == 0)
            continue;
        char chunk[8192];
        const ssize_t n = read(output[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        const Clock::time_point arrived = Clock::now();
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const QJsonObject event =
                QJsonDocument::fromJson(QByteArray::fromStdString(pending.substr(0, end))).object();
            pending.erase(0, end + 1);
            if (event["event"] != "end")
                continue;
            ended.insert(event["port"].toString().toStdString());
            if (event["result"] == "completed")
                ++figures.completed;
            lastEnd = arrived;
        }
        if (!interrupted && ended.size() == chips.size()) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    close(input[1]);
    close(output[0]);

    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    figures.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    figures.firstArrivalToLastEndMs = msBetween(firstArrival, lastEnd);
    figures.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    figures.peakKiB = usage.ru_maxrss; // kilobytes on Linux
    return figures;
}

// Every chip holds the image and the report has one completed record per chip, with its hash.
bool verified(const std::vector<Sim*>& chips, const QByteArray& firmware, const QString& report)
{
    bool good = true;
    for (const Sim* chip : chips) {
        QFile saved(chip->saved);
        if (!saved.open(QIODevice::ReadOnly) || saved.readAll() != firmware) {
            std::fprintf(stderr, "%s: the saved image differs from the one flashed\n",
                         qPrintable(chip->port));
            good = false;
        }
    }
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString sha256 = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
    std::set<QString> recorded;
    QByteArray all = file.readAll();
    if (!all.endsWith('\n'))
        good = false;
    all.chop(1);
    for (const QByteArray& line : all.split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record["result"] != "completed" || record["imageSha256"] != sha256) {
            std::fprintf(stderr, "report line not a completed record of the image: %s\n", line.constData());
            good = false;
        }
        recorded.insert(record["port"].toString());
    }
    if (recorded.size() != chips.size()) {
        std::fprintf(stderr, "the report holds %zu chips, not %zu\n", recorded.size(), chips.size());
        good = false;
    }
    return good;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const int chipCount = argc > 1 ? std::atoi(argv[1]) : 32;
    const long kib = argc > 2 ? std::atol(argv[2]) : 64;
    const int spacingMs = argc > 3 ? std::atoi(argv[3]) : 100;
    const long imageSize = kib * 1024;
    if (chipCount <= 0 || imageSize <= 0 || spacingMs < 0) {
        std::fprintf(stderr, "usage: cli_arrival_bench [chips] [image KiB] [ms between arrivals]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString image = dir.filePath("image.bin");
    QByteArray firmware(static_cast<qsizetype>(imageSize), Qt::Uninitialized);
    for (char& byte : firmware)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    {
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || file.write(firmware) != firmware.size())
            return 2;
    }
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < chipCount; ++i)
        sims.push_back(startSim(dir.filePath(QStringLiteral("chip-%1.bin").arg(i))));

    std::printf(
        "%d chips of %ld bytes (%ld blocks) arriving %d ms apart; floor set by the pauses: %ld ms a chip\n",
        chipCount, imageSize, (imageSize + 255) / 256, spacingMs, pauseFloorMs(imageSize));

    const std::vector<Sim*> one{sims[0].get()};
    const Figures alone = runLine(one, image, dir.filePath("one.jsonl"), spacingMs);
    const bool oneGood =
        alone.exitStatus == 0 && alone.completed == 1 && verified(one, firmware, dir.filePath("one.jsonl"));
    QFile::remove(sims[0]->saved);

    std::vector<Sim*> all;
    for (const auto& sim : sims)
        all.push_back(sim.get());
    const Figures line = runLine(all, image, dir.filePath("all.jsonl"), spacingMs);
    const bool allGood = line.exitStatus == 0 && line.completed == chipCount &&
                         verified(all, firmware, dir.filePath("all.jsonl"));

    for (const auto& sim : sims) {
        sim->process.terminate();
        sim->process.waitForFinished(5000);
    }
    if (!oneGood || !allGood) {
        std::fprintf(stderr, "verification failed (exit %d and %d; %d and %d completed): no figures\n",
                     alone.exitStatus, line.exitStatus, alone.completed, line.completed);
        return 1;
    }

    const double spread = static_cast<double>(spacingMs) * (chipCount - 1);
    const double goal = 1.1 * alone.firstArrivalToLastEndMs + spread;
    std::printf("every saved image and report record verified byte for byte\n");
    std::printf("one chip:  %.1f ms from its arrival to its end; CPU %.1f ms; peak %ld KiB\n",
                alone.firstArrivalToLastEndMs, alone.cpuMs, alone.peakKiB);
    std::printf("%d chips: %.1f ms from the first arrival to the last end; CPU %.1f ms (%.1f ms a chip); "
                "peak %ld KiB\n",
                chipCount, line.firstArrivalToLastEndMs, line.cpuMs, line.cpuMs / chipCount, line.peakKiB);
    std::printf("against one chip plus the spread of %.0f ms: %.3fx (goal: at most %.1f ms, %s)\n", spread,
                line.firstArrivalToLastEndMs / (alone.firstArrivalToLastEndMs + spread), goal,
                line.firstArrivalToLastEndMs <= goal ? "met" : "missed");
    return 0;
}
