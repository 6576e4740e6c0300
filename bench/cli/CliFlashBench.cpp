// Figures for morvane-flash flashing into rq75x-sim: total time against the floor that the
// protocol's pauses set, peak memory and CPU time, one chip alone and four at once.
//
//   cli_flash_bench [image KiB, default 64] [chips, default 4]
//
// Prints figures; it does not pass or fail.
#include "bench/common/PauseFloor.h"
#include "flasher/FlashEngine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace rq75x::timing;

struct Sim
{
    QProcess process;
    QString port;
};

// A simulated chip that saves what it is flashed with as `saved`.
std::unique_ptr<Sim> startSim(const QString& program, const QString& saved)
{
    auto sim = std::make_unique<Sim>();
    sim->process.start(program, {QStringLiteral("--save"), saved});
    const QDeadlineTimer deadline(10000);
    while (!sim->process.canReadLine() && !deadline.hasExpired())
        sim->process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    sim->port = QString::fromLocal8Bit(sim->process.readLine().trimmed());
    return sim;
}

struct RunFigures
{
    int exitStatus = -1;
    double wallMs = 0;     // spawn to exit
    double sequenceMs = 0; // first "Requesting boot mode..." to the last end event
    double cpuMs = 0;      // user + system
    long peakKiB = 0;
};

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs morvane-flash with --json, timing the events as they arrive.
RunFigures runFlasher(const std::string& program, const std::vector<std::string>& arguments)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    RunFigures figures;
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return figures;
    }

    std::string pending;
    Clock::time_point sequenceStart{};
    Clock::time_point lastEnd{};
    char chunk[4096];
    for (;;) {
        pollfd readable{pipeFds[0], POLLIN, 0};
        if (poll(&readable, 1, -1) < 0)
            break;
        const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        const Clock::time_point now = Clock::now();
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (sequenceStart == Clock::time_point{} &&
                line.find("Requesting boot mode...") != std::string::npos)
                sequenceStart = now;
            if (line.find("\"event\":\"end\"") != std::string::npos)
                lastEnd = now;
        }
    }
    close(pipeFds[0]);

    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    figures.wallMs = msBetween(start, Clock::now());
    figures.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    figures.sequenceMs = msBetween(sequenceStart, lastEnd);
    figures.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    figures.peakKiB = usage.ru_maxrss; // kilobytes on Linux
    return figures;
}

void print(const char* what, const RunFigures& run, long floor)
{
    const auto over = [floor](double ms) { return (ms - floor) * 100.0 / floor; };
    std::printf(
        "%-16s exit %d  total %.1f ms (%+.2f %%)  sequence %.1f ms (%+.2f %%)  CPU %.1f ms  peak %ld KiB\n",
        what, run.exitStatus, run.wallMs, over(run.wallMs), run.sequenceMs, over(run.sequenceMs), run.cpuMs,
        run.peakKiB);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const long kib = argc > 1 ? std::atol(argv[1]) : 64;
    const int chipCount = argc > 2 ? std::atoi(argv[2]) : 4;
    const long imageSize = kib * 1024;
    if (imageSize <= 0 || chipCount <= 0) {
        std::fprintf(stderr, "usage: cli_flash_bench [image KiB] [chips]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString image = dir.filePath("image.bin");
    QByteArray bytes(static_cast<qsizetype>(imageSize), Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    {
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 2;
    }
    const auto saved = [&dir](int chip) { return dir.filePath(QStringLiteral("chip%1.bin").arg(chip)); };
    // A figure counts only when every chip received the image byte for byte.
    const auto verified = [&](int chips) {
        for (int chip = 0; chip < chips; ++chip) {
            QFile file(saved(chip));
            if (!file.open(QIODevice::ReadOnly) || file.readAll() != bytes) {
                std::fprintf(stderr, "chip %d did not receive the image byte for byte: no figures\n", chip);
                return false;
            }
            file.close();
            file.remove();
        }
        return true;
    };

    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < chipCount; ++i)
        sims.push_back(startSim(QStringLiteral(RQ75X_SIM_PATH), saved(i)));

    const long floor = pauseFloorMs(imageSize);
    std::printf("image %ld bytes (%ld blocks); floor set by the pauses: %ld ms\n", imageSize,
                (imageSize + 255) / 256, floor);
    std::printf(
        "total: start to exit of morvane-flash; sequence: boot-mode request to the end; %% over the floor\n");

    const std::string flasher = MORVANE_FLASH_PATH;
    std::vector<std::string> one{"flash", "--json", "--port", sims[0]->port.toStdString(),
                                 image.toStdString()};
    const RunFigures alone = runFlasher(flasher, one);
    if (!verified(1))
        return 1;
    print("one chip", alone, floor);

    std::vector<std::string> all{"flash", "--json", image.toStdString()};
    for (const auto& sim : sims) {
        all.push_back("--port");
        all.push_back(sim->port.toStdString());
    }
    const RunFigures together = runFlasher(flasher, all);
    if (!verified(chipCount))
        return 1;
    std::printf("every saved image verified byte for byte\n");
    char label[64];
    std::snprintf(label, sizeof label, "%d chips at once", chipCount);
    print(label, together, floor);

    std::printf("%d chips against one: wall time %.3fx, CPU time %.2fx (%.2fx per chip)\n", chipCount,
                together.wallMs / alone.wallMs, together.cpuMs / alone.cpuMs,
                together.cpuMs / alone.cpuMs / chipCount);

    for (const auto& sim : sims) {
        sim->process.terminate();
        sim->process.waitForFinished(5000);
    }
    return 0;
}
