// morvane-flash under conditions that take seconds to show: a line that never stops talking,
// signals in the middle of a run, a process stopped for longer than the guard, a pipe that closes, a chip
// left in boot mode, a file that changes while the chip answers, a narrow terminal. The cases run side by
// side, so the whole fixture takes about as long as its slowest case.
#include "Programs.h"
#include "sim/PseudoTerminal.h"

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int BlocksToInterrupt = 40;

// A line that writes a debug console's text every 10 ms and never stops, whatever it is sent. Its
// own thread keeps the pace while the test's event loop is busy.
class TalkingLine
{
public:
    TalkingLine()
    {
        std::string error;
        if (!pty.open(error))
            return;
        talker = std::thread([this] { talk(); });
    }
    ~TalkingLine()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        woken.notify_all();
        if (talker.joinable())
            talker.join();
    }
    QString port() const { return QString::fromStdString(pty.slavePath()); }

private:
    void talk()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (int count = 1; !woken.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopping; });
             ++count) {
            const QByteArray line = QStringLiteral("DBG %1 heartbeat ok\r\n").arg(count, 6).toLatin1();
            [[maybe_unused]] const ssize_t written = ::write(pty.masterFd(), line.constData(), line.size());
            char discard[256];
            while (::read(pty.masterFd(), discard, sizeof discard) > 0) {
            }
        }
    }

    rq75x::PseudoTerminal pty;
    std::mutex mutex;
    std::condition_variable woken;
    bool stopping = false;
    std::thread talker;
};

// A terminal of a given width for the flasher's standard error; keeps everything written to it.
class NarrowTerminal
{
public:
    explicit NarrowTerminal(unsigned short columns)
    {
        std::string error;
        if (!pty.open(error))
            return;
        slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        ::ioctl(slave, TIOCSWINSZ, &size);
        notifier = std::make_unique<QSocketNotifier>(pty.masterFd(), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
    }
    ~NarrowTerminal()
    {
        if (slave >= 0)
            ::close(slave);
    }
    // Makes the terminal the child's standard error.
    void attach(QProcess& process) const
    {
        const int fd = slave;
        process.setChildProcessModifier([fd] { ::dup2(fd, STDERR_FILENO); });
    }
    // The lines as they appeared, cursor movements and erasures taken out.
    QStringList lines()
    {
        drain();
        static const QRegularExpression controls(QStringLiteral("\x1b\\[[0-9]*[A-Za-z]|\r"));
        QStringList shown;
        for (const QString& line : QString::fromUtf8(written).split(QLatin1Char('\n')))
            shown.append(QString(line).remove(controls));
        return shown;
    }

private:
    void drain()
    {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(pty.masterFd(), buffer, sizeof buffer)) > 0)
            written.append(buffer, static_cast<qsizetype>(n));
    }

    rq75x::PseudoTerminal pty;
    int slave = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    QByteArray written;
};

// Columns a line takes on a terminal: the ideographs used here take two, everything else one.
int displayColumns(const QString& text)
{
    int columns = 0;
    for (const QChar c : text)
        columns += c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF ? 2 : 1;
    return columns;
}

// 1 while a program holds the port in exclusive mode (the flag outlives a program that dies).
int exclusiveFlag(const QString& port)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = -1;
    if (fd >= 0) {
        ::ioctl(fd, TIOCGEXCL, &exclusive);
        ::close(fd);
    }
    return exclusive;
}

void sendSignal(const FlasherRun& run, int signal)
{
    ::kill(static_cast<pid_t>(run.process.processId()), signal);
}

} // namespace

class HostileRuns : public ::testing::Test
{
protected:
    struct Case
    {
        QString name;
        std::unique_ptr<SimulatedChip> chip;
        std::unique_ptr<FlasherRun> run;
        std::function<void(Case&)> check;
    };

    QString path(const QString& name) const { return dir.filePath(name); }

    QString image(const QString& name, int size)
    {
        bytes[name] = randomBytes(size, static_cast<quint32>(qHash(name)));
        EXPECT_TRUE(writeFile(path(name), bytes[name]));
        return path(name);
    }

    // A simulated chip that saves what it receives as `name`.bin.
    Case& add(const QString& name, const QStringList& simOptions = {})
    {
        cases.push_back(std::make_unique<Case>());
        Case& c = *cases.back();
        c.name = name;
        c.chip = std::make_unique<SimulatedChip>(simOptions + QStringList{"--save", path(name + ".bin")});
        EXPECT_TRUE(c.chip->started()) << name.toStdString();
        return c;
    }

    QTemporaryDir dir;
    QMap<QString, QByteArray> bytes;
    std::vector<std::unique_ptr<Case>> cases;
};

TEST_F(HostileRuns, SideBySide)
{
    const QString small = image("600.bin", 600);
    const QString large = image("large.bin", BlocksToInterrupt * 256);

    // --- a line that never goes quiet: every request still ends at its deadline. At 300 baud an
    // answer ends after 800 ms of quiet, a gap no busy machine puts between the line's 10 ms ---
    TalkingLine talkingToInfo;
    TalkingLine talkingToFlash;
    FlasherRun talkingInfo({"info", "--json", "--baud", "300", "--port", talkingToInfo.port()});
    FlasherRun talkingFlash({"flash", "--baud", "300", "--port", talkingToFlash.port(), small});

    // --- signals: the run stops, says where the chip was left, releases the port ---
    Case& sigint = add("sigint");
    sigint.run = std::make_unique<FlasherRun>(
        QStringList{"flash", "--json", "--port", sigint.chip->portPath(), large});
    sigint.run->whenOut("\"blocks\":3,", [&] { sendSignal(*sigint.run, SIGINT); });
    sigint.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 3) << c.run->err().toStdString();
        const QList<QJsonObject> events = c.run->jsonEvents();
        ASSERT_FALSE(events.isEmpty());
        EXPECT_EQ(events.last()["event"].toString(), "end");
        EXPECT_EQ(events.last()["result"].toString(), "interrupted");
        EXPECT_EQ(events.last()["exitCode"].toInt(), 3);
        static const QRegularExpression where(
            QStringLiteral(
                "interrupted during block (\\d+) of %1: the chip stays in boot mode; flash again to "
                "finish")
                .arg(BlocksToInterrupt));
        const QRegularExpressionMatch match = where.match(QString::fromLocal8Bit(c.run->err()));
        ASSERT_TRUE(match.hasMatch()) << c.run->err().toStdString();
        EXPECT_TRUE(events.last()["detail"].toString().contains(match.captured(0)));
        EXPECT_EQ(exclusiveFlag(c.chip->portPath()), 0);
        EXPECT_EQ(c.chip->stop(), 0) << c.chip->log().toStdString();
        // Nothing was sent after the block it names (which may not have gone out yet).
        const int named = match.captured(1).toInt();
        EXPECT_GE(lastBlockReceived(*c.chip), named - 1);
        EXPECT_LE(lastBlockReceived(*c.chip), named);
        EXPECT_FALSE(QFile::exists(path(c.name + ".bin")));
    };

    Case& sigterm = add("sigterm");
    sigterm.run =
        std::make_unique<FlasherRun>(QStringList{"flash", "--port", sigterm.chip->portPath(), large});
    sigterm.run->whenOut("> Written memory block: 3\n", [&] { sendSignal(*sigterm.run, SIGTERM); });
    sigterm.check = [](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 3);
        EXPECT_TRUE(c.run->err().contains(": interrupted during block ")) << c.run->err().toStdString();
        EXPECT_EQ(exclusiveFlag(c.chip->portPath()), 0);
        EXPECT_EQ(c.chip->stop(), 0) << c.chip->log().toStdString();
    };

    Case& sighup = add("sighup", {"--silent"});
    sighup.run = std::make_unique<FlasherRun>(QStringList{"info", "--port", sighup.chip->portPath()});
    sighup.run->whenOut("Getting current firmware information", [&] { sendSignal(*sighup.run, SIGHUP); });
    sighup.check = [](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 3);
        EXPECT_TRUE(c.run->err().contains("interrupted while waiting for the firmware information"))
            << c.run->err().toStdString();
        EXPECT_LT(c.run->elapsedMs(), 5000) << "it waited for the time-out";
        EXPECT_EQ(exclusiveFlag(c.chip->portPath()), 0);
    };

    Case& twice = add("twice");
    twice.run = std::make_unique<FlasherRun>(QStringList{"flash", "--port", twice.chip->portPath(), large});
    twice.run->whenOut("> Written memory block: 2\n", [&] {
        sendSignal(*twice.run, SIGINT);
        sendSignal(*twice.run, SIGINT);
    });
    twice.check = [](Case& c) { EXPECT_EQ(c.run->exitCode(), 3); };

    // --- stopped (Ctrl-Z) for longer than the guard while an acknowledgement waits, then
    // continued: the waiting acknowledgement counts, the run goes on ---
    Case& stopped = add("stopped");
    stopped.run =
        std::make_unique<FlasherRun>(QStringList{"flash", "--port", stopped.chip->portPath(), small});
    stopped.run->whenOut("> Written memory block: 1\n", [&] {
        sendSignal(*stopped.run, SIGSTOP);
        QTimer::singleShot(6000, [&] { sendSignal(*stopped.run, SIGCONT); });
    });
    stopped.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 0) << c.run->out().toStdString();
        EXPECT_GE(c.run->elapsedMs(), 6000);
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["600.bin"]);
    };

    // --- standard output closes half-way (| head): the flash still runs to its end ---
    Case& pipe = add("pipe");
    pipe.run = std::make_unique<FlasherRun>(QStringList{}, [&](QProcess& process) {
        process.setProgram(QStringLiteral("bash"));
        process.setArguments(
            {"-c", "\"$0\" flash --port \"$1\" \"$2\" | head -n 5 >/dev/null; exit ${PIPESTATUS[0]}",
             flasherPath(), pipe.chip->portPath(), small});
    });
    pipe.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 4) << c.run->err().toStdString();
        EXPECT_TRUE(c.run->err().contains("cannot write to standard output: Broken pipe"))
            << c.run->err().toStdString();
        EXPECT_TRUE(c.run->err().contains(c.chip->portPath().toLocal8Bit() + ": Result: completed"));
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["600.bin"]);
    };

    // --- a chip left in boot mode is flashed from the start ---
    Case& bootMode = add("boot-mode");
    enterBootMode(bootMode.chip->portPath());
    bootMode.run =
        std::make_unique<FlasherRun>(QStringList{"flash", "--port", bootMode.chip->portPath(), small});
    bootMode.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 0) << c.run->out().toStdString();
        EXPECT_TRUE(c.run->out().contains("the chip is in boot mode")) << c.run->out().toStdString();
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["600.bin"]);
        EXPECT_EQ(c.chip->stop(), 0) << c.chip->log().toStdString();
    };

    // --- the image changes while the chip answers slowly: what was checked is what is sent ---
    Case& changing = add("changing", {"--delay", "500"});
    const QString changingImage = image("changing.bin", 600);
    changing.run = std::make_unique<FlasherRun>(
        QStringList{"flash", "--json", "--port", changing.chip->portPath(), changingImage});
    changing.run->whenOut("Getting current firmware information",
                          [=] { EXPECT_TRUE(writeFile(changingImage, randomBytes(1000, 1000))); });
    changing.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 0) << c.run->out().toStdString();
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["changing.bin"]);
        QStringList statuses;
        for (const QJsonObject& event : c.run->jsonEvents()) {
            if (event["event"] == "progress") {
                EXPECT_EQ(event["totalBlocks"].toInt(), 3);
                EXPECT_EQ(event["totalBytes"].toInt(), 600);
            }
            if (event["event"] == "status")
                statuses.append(event["text"].toString());
        }
        EXPECT_TRUE(statuses.contains(QStringLiteral("File: %1 \nSize: 600 Bytes").arg(path("changing.bin"))))
            << statuses.join('|').toStdString();
    };

    // --- a narrow terminal and a long port name of wide characters: the name gives way ---
    Case& narrow = add("narrow");
    NarrowTerminal terminal(80);
    const QString longPort = path(QString(20, QChar(0x7AEF)) + "-usb-serial-adapter-0");
    ASSERT_TRUE(QFile::link(narrow.chip->portPath(), longPort));
    narrow.run = std::make_unique<FlasherRun>(QStringList{"flash", "--port", longPort, small},
                                              [&](QProcess& process) { terminal.attach(process); });
    narrow.check = [&](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 0) << c.run->out().toStdString();
        static const QRegularExpression bar(QStringLiteral("-adapter-0 \\[[#-]{24}\\] \\d/3 blocks"));
        int bars = 0;
        for (const QString& line : terminal.lines()) {
            if (!line.contains(QStringLiteral(" blocks ")))
                continue;
            ++bars;
            EXPECT_LE(displayColumns(line), 79) << line.toStdString();
            EXPECT_TRUE(line.startsWith(QStringLiteral("..."))) << line.toStdString();
            EXPECT_TRUE(bar.match(line).hasMatch()) << line.toStdString();
        }
        EXPECT_GT(bars, 0);
    };

    std::vector<FlasherRun*> runs{&talkingInfo, &talkingFlash};
    for (const auto& c : cases)
        runs.push_back(c->run.get());
    // The slowest: the talking line's 5 s deadline, and the slow chip's seven late replies.
    EXPECT_TRUE(waitForAll(runs, 40000)) << "a run hung";

    for (FlasherRun* talking : {&talkingInfo, &talkingFlash}) {
        EXPECT_EQ(talking->exitCode(), 1) << talking->out().right(400).toStdString();
        EXPECT_GE(talking->elapsedMs(), 5000);
        EXPECT_LT(talking->elapsedMs(), 10000);
    }
    const QList<QJsonObject> talked = talkingInfo.jsonEvents();
    ASSERT_FALSE(talked.isEmpty());
    EXPECT_EQ(talked.last()["result"].toString(), "timed-out");
    EXPECT_LE(talked.last()["firmwareInfo"].toString().size(), 4096);

    for (const auto& c : cases) {
        SCOPED_TRACE(c->name.toStdString());
        if (c->check)
            c->check(*c);
    }
}
