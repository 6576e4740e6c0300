// morvane-flash on a production line: --port all, list --probe, flash --on-arrival and --report.
// The ports are handed in through the listing and port-change seams (pseudo-terminals are
// neither listed nor announced by the system). The cases run side by side, so the whole fixture
// takes about as long as its slowest case: a silent port's 5 s deadline.
#include "Programs.h"
#include "sim/PseudoTerminal.h"
#include "unix/PortAnnouncement.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace {

// The objects of the complete lines so far; a line that is not one is skipped.
QList<QJsonObject> eventsSoFar(const FlasherRun& run)
{
    QList<QJsonObject> events;
    const QByteArray out = run.out();
    for (const QByteArray& line : out.left(out.lastIndexOf('\n') + 1).split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            events.append(document.object());
    }
    return events;
}

QJsonObject endOf(const QList<QJsonObject>& events, const QString& port)
{
    for (const QJsonObject& event : events) {
        if (event["event"] == "end" && event["port"] == port)
            return event;
    }
    return {};
}

int endCount(const FlasherRun& run)
{
    int ends = 0;
    for (const QJsonObject& event : eventsSoFar(run))
        ends += event["event"] == "end" ? 1 : 0;
    return ends;
}

// Every line of a report, each of which must be one JSON object.
QList<QJsonObject> reportLines(const QString& path)
{
    QList<QJsonObject> records;
    QByteArray bytes = readFile(path);
    EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith('\n')) << bytes.toStdString();
    bytes.chop(bytes.endsWith('\n') ? 1 : 0);
    if (bytes.isEmpty())
        return records;
    for (const QByteArray& line : bytes.split('\n')) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        records.append(document.object());
    }
    return records;
}

QJsonObject recordOf(const QList<QJsonObject>& records, const QString& port)
{
    for (const QJsonObject& record : records) {
        if (record["port"] == port)
            return record;
    }
    return {};
}

void sendSignal(const FlasherRun& run, int signal)
{
    ::kill(static_cast<pid_t>(run.process.processId()), signal);
}

QString announcement(const QString& change, const SimulatedChip& chip)
{
    return change + QLatin1Char(' ') + chip.portPath() + QLatin1Char('\n');
}

// A line between the program and a simulated chip that loses what the program sends in its first
// `deafMs` milliseconds, counted from the first byte: a chip that its adapter has just powered.
class StartingLine
{
public:
    StartingLine(const QString& chipPort, int deafMs) : deaf(deafMs)
    {
        std::string error;
        EXPECT_TRUE(pty.open(error)) << error;
        chip = ::open(QFile::encodeName(chipPort).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        wake = ::eventfd(0, EFD_CLOEXEC);
        EXPECT_GE(chip, 0);
        relay = std::thread([this] { pass(); });
    }
    ~StartingLine()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
        relay.join();
        ::close(chip);
        ::close(wake);
    }
    QString port() const { return QString::fromStdString(pty.slavePath()); }

private:
    static void writeAll(int fd, const char* bytes, ssize_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd, bytes, static_cast<size_t>(size));
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd writable{fd, POLLOUT, 0};
                ::poll(&writable, 1, 1000);
                continue;
            }
            if (n <= 0)
                return;
            bytes += n;
            size -= n;
        }
    }

    void pass()
    {
        using Clock = std::chrono::steady_clock;
        std::optional<Clock::time_point> first;
        pollfd watched[3] = {{pty.masterFd(), POLLIN, 0}, {chip, POLLIN, 0}, {wake, POLLIN, 0}};
        char bytes[4096];
        for (;;) {
            if (::poll(watched, 3, -1) < 0 && errno != EINTR)
                return;
            if (watched[2].revents != 0)
                return;
            if ((watched[0].revents & POLLIN) != 0) {
                const ssize_t n = ::read(pty.masterFd(), bytes, sizeof bytes);
                const Clock::time_point now = Clock::now();
                first = first.value_or(now);
                if (n > 0 && now - *first >= std::chrono::milliseconds(deaf))
                    writeAll(chip, bytes, n);
            }
            if ((watched[1].revents & POLLIN) != 0) {
                const ssize_t n = ::read(chip, bytes, sizeof bytes);
                if (n > 0)
                    writeAll(pty.masterFd(), bytes, n);
            }
        }
    }

    const int deaf;
    rq75x::PseudoTerminal pty;
    int chip = -1;
    int wake = -1;
    std::thread relay;
};

} // namespace

class ProductionLine : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    // A simulated chip that saves what it receives as `name`.bin.
    SimulatedChip& chip(const QString& name, const QStringList& simOptions = {})
    {
        auto& made = chips[name];
        made = std::make_unique<SimulatedChip>(simOptions + QStringList{"--save", saved(name)});
        EXPECT_TRUE(made->started()) << name.toStdString();
        return *made;
    }
    QString saved(const QString& name) const { return path(name + ".bin"); }
    QString port(const QString& name) const { return chips.at(name)->portPath(); }

    // A terminal that nobody answers on.
    QString silentLine()
    {
        lines.push_back(std::make_unique<rq75x::PseudoTerminal>());
        std::string error;
        EXPECT_TRUE(lines.back()->open(error)) << error;
        return QString::fromStdString(lines.back()->slavePath());
    }

    FlasherRun& start(const QString& name, const QStringList& arguments, const QStringList& listed = {})
    {
        auto& made = runs[name];
        made = std::make_unique<FlasherRun>(arguments, scriptedPorts(listed));
        return *made;
    }

    QTemporaryDir dir;
    std::map<QString, std::unique_ptr<SimulatedChip>> chips;
    std::vector<std::unique_ptr<rq75x::PseudoTerminal>> lines;
    std::map<QString, std::unique_ptr<FlasherRun>> runs;
};

TEST_F(ProductionLine, SideBySide)
{
    const QByteArray firmware = randomBytes(600, 13);
    const QString image = path("600.bin");
    ASSERT_TRUE(writeFile(image, firmware));
    const QString sha256 = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();

    // --- --port all: the chips that answer are flashed together, a silent port is skipped; one
    // chip in boot mode (an unfinished flash) is a chip all the same ---
    chip("all-a");
    chip("all-boot");
    enterBootMode(port("all-boot"));
    chip("all-silent", {"--silent"});
    FlasherRun& all = start("all", {"flash", "--port", "all", "--json", "--report", path("all.jsonl"), image},
                            {port("all-a") + "\t1a86:7523\tQinHeng CH340 serial converter", port("all-boot"),
                             port("all-silent")});

    // --- --port all where nothing answers: it ends at the 5 s deadline, saying so ---
    chip("none-silent", {"--silent"});
    FlasherRun& none = start("none", {"info", "--port", "all"}, {port("none-silent"), silentLine()});

    // --- list --probe: who answers, and with what ---
    chip("probe-a");
    const QString probeSilent = silentLine();
    chip("probe-hangup", {"--hangup-after", "1"}); // answers, then hangs up
    chip("probe-boot");
    enterBootMode(port("probe-boot"));
    FlasherRun& probe = start("probe", {"list", "--probe", "--json", "--report", path("probe.jsonl")},
                              {port("probe-a"), probeSilent, port("probe-hangup"), port("probe-boot")});

    // --- --on-arrival: chips flashed as they come, two at once; one leaves mid-run; a silent port
    // is skipped; a port present at the start is left alone ---
    chip("present");
    chip("arrive-a");
    chip("arrive-b");
    chip("arrive-c");
    chip("arrive-leaving", {"--silent-after", "3"}); // never acknowledges block 2
    const QString arriveSilent = silentLine();
    FlasherRun& arrival =
        start("arrival", {"flash", "--on-arrival", "--json", "--report", path("arrival.jsonl"), image},
              {port("present")});
    arrival.input((announcement("added", *chips["arrive-a"]) + announcement("added", *chips["arrive-b"]) +
                   announcement("added", *chips["arrive-leaving"]) + "added " + arriveSilent + "\n")
                      .toLocal8Bit());
    arrival.whenOut("\"event\":\"progress\",\"port\":\"" + port("arrive-leaving").toLocal8Bit() + "\"",
                    [&] { arrival.input(announcement("removed", *chips["arrive-leaving"]).toLocal8Bit()); });
    arrival.whenOut([&] { return !endOf(eventsSoFar(arrival), port("arrive-a")).isEmpty(); },
                    [&] { arrival.input(announcement("added", *chips["arrive-c"]).toLocal8Bit()); });
    arrival.whenOut([&] { return endCount(arrival) == 5; }, [&] { sendSignal(arrival, SIGINT); });

    // --- the interrupt stops a run in progress: status 3, and the summary ---
    chip("stop-a");
    chip("stop-stuck", {"--silent-after", "3"});
    FlasherRun& stopped = start("stopped", {"flash", "--on-arrival", image});
    stopped.input(("added " + port("stop-a") + "\nadded " + port("stop-stuck") + "\n").toLocal8Bit());
    stopped.whenOut(
        [&] {
            return stopped.out().contains((port("stop-a") + ": Result: completed\n").toLocal8Bit()) &&
                   stopped.out().contains(
                       (port("stop-stuck") + ": > Written memory block: 1\n").toLocal8Bit());
        },
        [&] { sendSignal(stopped, SIGTERM); });

    // --- the image changes on disk: what was read at the start is still what is flashed, and
    // the user is told; every chip seen flashed gives status 0 ---
    const QString changing = path("changing.bin");
    ASSERT_TRUE(writeFile(changing, firmware));
    chip("change-first");
    chip("change-second");
    FlasherRun& change = start("change", {"flash", "--on-arrival", changing});
    change.input(("added " + port("change-first") + "\n").toLocal8Bit());
    change.whenOut((port("change-first") + ": Result: completed\n").toLocal8Bit(), [&] {
        EXPECT_TRUE(writeFile(changing, randomBytes(700, 700)));
        change.input(("added " + port("change-second") + "\n").toLocal8Bit());
    });
    change.whenOut((port("change-second") + ": Result: completed\n").toLocal8Bit(),
                   [&] { sendSignal(change, SIGINT); });

    // --- the report keeps what was recorded when the program is killed ---
    chip("killed-a");
    chip("killed-stuck", {"--silent-after", "3"});
    FlasherRun& killed = start("killed", {"flash", "--report", path("killed.jsonl"), "--port",
                                          port("killed-a"), "--port", port("killed-stuck"), image});
    killed.whenOut((port("killed-a") + ": Result: completed\n").toLocal8Bit(),
                   [&] { killed.process.kill(); });

    // --- a report that cannot be opened: exit 2 before any chip is touched ---
    chip("no-report");
    FlasherRun& noReport =
        start("no-report", {"info", "--report", path("missing/report.jsonl"), "--port", port("no-report")});

    // --- a chip that is not listening yet when its port appears is asked again, and flashed ---
    chip("starting");
    StartingLine starting(port("starting"), 300);
    FlasherRun& late = start("late", {"flash", "--on-arrival", "--json", image});
    late.input(("added " + starting.port() + "\n").toLocal8Bit());
    late.whenOut([&] { return !endOf(eventsSoFar(late), starting.port()).isEmpty(); },
                 [&] { sendSignal(late, SIGINT); });

    // --- a connector that bounces mid-flash: the port is judged by its last run ---
    chip("bounce");
    FlasherRun& bounce = start("bounce", {"flash", "--on-arrival", "--json", image});
    bounce.input(announcement("added", *chips["bounce"]).toLocal8Bit());
    bounce.whenOut("\"event\":\"progress\",\"port\":\"" + port("bounce").toLocal8Bit() + "\"", [&] {
        bounce.input((announcement("removed", *chips["bounce"]) + announcement("added", *chips["bounce"]))
                         .toLocal8Bit());
    });
    bounce.whenOut([&] { return endCount(bounce) == 2; }, [&] { sendSignal(bounce, SIGINT); });

    // --- the report is renamed mid-session (a log rotation): later records reach the name given ---
    chip("rotate-a");
    chip("rotate-b");
    FlasherRun& rotate = start("rotate", {"flash", "--on-arrival", "--report", path("rotate.jsonl"), image});
    rotate.input(announcement("added", *chips["rotate-a"]).toLocal8Bit());
    rotate.whenOut((port("rotate-a") + ": Result: completed\n").toLocal8Bit(), [&] {
        EXPECT_TRUE(QFile::rename(path("rotate.jsonl"), path("rotate.jsonl.1")));
        rotate.input(announcement("added", *chips["rotate-b"]).toLocal8Bit());
    });
    rotate.whenOut((port("rotate-b") + ": Result: completed\n").toLocal8Bit(),
                   [&] { sendSignal(rotate, SIGINT); });

    // --- standard output cannot be written: the results and the summary reach standard error ---
    chip("unread", {"--hangup-after", "4"});
    auto& unread = runs["unread"];
    unread = std::make_unique<FlasherRun>(QStringList{"flash", "--on-arrival", image}, [](QProcess& process) {
        scriptedPorts({})(process);
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
    });
    unread->input(announcement("added", *chips["unread"]).toLocal8Bit());
    unread->whenErr(": the port went away during block", [&] { sendSignal(*unread, SIGINT); });

    std::vector<FlasherRun*> all_runs;
    for (const auto& [name, run] : runs)
        all_runs.push_back(run.get());
    // The slowest: a silent port's 5 s deadline, after the chips that arrive before it.
    EXPECT_TRUE(waitForAll(all_runs, 40000)) << "a run hung";

    {
        SCOPED_TRACE("--port all");
        EXPECT_EQ(all.exitCode(), 0) << all.err().toStdString();
        EXPECT_EQ(readFile(saved("all-a")), firmware);
        EXPECT_EQ(readFile(saved("all-boot")), firmware);
        EXPECT_FALSE(QFile::exists(saved("all-silent")));
        const QList<QJsonObject> events = all.jsonEvents();
        EXPECT_EQ(endOf(events, port("all-a"))["result"], "completed");
        EXPECT_EQ(endOf(events, port("all-boot"))["result"], "completed");
        const QJsonObject silent = endOf(events, port("all-silent"));
        EXPECT_EQ(silent["result"], "skipped");
        EXPECT_EQ(silent["skipReason"], "silent");
        EXPECT_EQ(silent["exitCode"], 0);
        // A skipped port shows its beginning and its end, nothing of the probe.
        for (const QJsonObject& event : events) {
            if (event["port"] == port("all-silent")) {
                EXPECT_TRUE(event["event"] == "begin" || event["event"] == "end")
                    << event["event"].toString().toStdString();
            }
        }
        // It was asked for its firmware information, again while it stayed silent, and nothing more.
        EXPECT_EQ(chips["all-silent"]->stop(), 0);
        const QStringList frames = chips["all-silent"]->frameLines();
        EXPECT_GE(frames.size(), 2);
        for (qsizetype i = 0; i < frames.size(); ++i) {
            const QString expected = i % 2 == 0
                                         ? QStringLiteral("sim: firmware information sent")
                                         : QStringLiteral("sim: no reply to frame %1: silent").arg(i / 2 + 1);
            EXPECT_EQ(frames[i], expected);
        }

        const QList<QJsonObject> records = reportLines(path("all.jsonl"));
        EXPECT_EQ(records.size(), 3);
        const QJsonObject flashed = recordOf(records, port("all-a"));
        EXPECT_EQ(flashed["result"], "completed");
        EXPECT_EQ(flashed["step"], "done");
        EXPECT_EQ(flashed["task"], "flash");
        EXPECT_EQ(flashed["hardwareId"], "1a86:7523");
        EXPECT_EQ(flashed["adapter"], "QinHeng CH340 serial converter");
        EXPECT_EQ(flashed["firmwareInfo"], "RQ75 a V2.4.1  2026-11-02\r\n");
        EXPECT_EQ(flashed["image"], image);
        EXPECT_EQ(flashed["imageSize"], 600);
        EXPECT_EQ(flashed["imageSha256"], sha256);
        static const QRegularExpression utc(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        EXPECT_TRUE(utc.match(flashed["start"].toString()).hasMatch())
            << flashed["start"].toString().toStdString();
        EXPECT_TRUE(utc.match(flashed["end"].toString()).hasMatch())
            << flashed["end"].toString().toStdString();
        EXPECT_GT(flashed["durationMs"].toInt(), 1000); // the boot-ready pause alone is a second
        EXPECT_EQ(recordOf(records, port("all-boot"))["bootMode"], true);
        EXPECT_EQ(recordOf(records, port("all-silent"))["result"], "skipped");
    }
    {
        SCOPED_TRACE("--port all, no chip");
        EXPECT_EQ(none.exitCode(), 1);
        EXPECT_TRUE(none.err().contains("morvane-flash: no chip answered on any of the 2 ports listed"))
            << none.err().toStdString();
        EXPECT_GE(none.elapsedMs(), 5000);
        EXPECT_LT(none.elapsedMs(), 10000);
    }
    {
        SCOPED_TRACE("list --probe");
        EXPECT_EQ(probe.exitCode(), 0) << probe.err().toStdString();
        const QJsonArray listed = QJsonDocument::fromJson(probe.out()).array();
        ASSERT_EQ(listed.size(), 4) << probe.out().toStdString();
        EXPECT_EQ(listed[0]["port"], port("probe-a"));
        EXPECT_EQ(listed[0]["probe"], "firmware");
        EXPECT_EQ(listed[0]["firmwareInfo"], "RQ75 a V2.4.1  2026-11-02\r\n");
        EXPECT_EQ(listed[1]["port"], probeSilent);
        EXPECT_EQ(listed[1]["probe"], "silent");
        EXPECT_EQ(listed[2]["probe"], "gone"); // only the values the listing documents
        EXPECT_EQ(listed[3]["probe"], "boot-mode");
        // Each record says what the port makes of the listing's status, which is 0.
        const QList<QJsonObject> records = reportLines(path("probe.jsonl"));
        EXPECT_EQ(records.size(), 4);
        for (const QJsonObject& record : records)
            EXPECT_EQ(record["exitCode"], 0) << record["port"].toString().toStdString();
    }
    {
        SCOPED_TRACE("--on-arrival");
        EXPECT_EQ(arrival.exitCode(), 1) << arrival.err().toStdString();
        for (const char* name : {"arrive-a", "arrive-b", "arrive-c"})
            EXPECT_EQ(readFile(saved(name)), firmware) << name;
        EXPECT_FALSE(QFile::exists(saved("present")));
        EXPECT_EQ(chips["present"]->stop(), 0);
        EXPECT_TRUE(chips["present"]->frameLines().isEmpty());

        const QList<QJsonObject> events = arrival.jsonEvents();
        // The two that arrived together ran at the same time.
        qsizetype beginB = -1;
        qsizetype endA = -1;
        for (qsizetype i = 0; i < events.size(); ++i) {
            if (events[i]["event"] == "begin" && events[i]["port"] == port("arrive-b"))
                beginB = i;
            if (events[i]["event"] == "end" && events[i]["port"] == port("arrive-a"))
                endA = i;
        }
        EXPECT_LT(beginB, endA);
        const QJsonObject leaving = endOf(events, port("arrive-leaving"));
        // Reported as it left, not at the time-out of the block it waited for.
        EXPECT_EQ(leaving["result"], "disconnected");
        EXPECT_EQ(
            leaving["detail"],
            "the port went away during block 2 of 3: the chip stays in boot mode; flash again to finish");
        EXPECT_EQ(endOf(events, arriveSilent)["result"], "skipped");
        ASSERT_FALSE(events.isEmpty());
        const QJsonObject summary = events.last();
        EXPECT_EQ(summary["event"], "summary");
        EXPECT_EQ(summary["flashed"], 3);
        EXPECT_EQ(summary["failed"], 1);
        EXPECT_EQ(summary["interrupted"], 0);
        EXPECT_EQ(summary["skipped"], 1);
        EXPECT_EQ(summary["exitCode"], 1);

        const QList<QJsonObject> records = reportLines(path("arrival.jsonl"));
        EXPECT_EQ(records.size(), 5);
        const QJsonObject left = recordOf(records, port("arrive-leaving"));
        EXPECT_EQ(left["result"], "disconnected");
        EXPECT_EQ(left["step"], "block");
        EXPECT_EQ(left["block"], 2);
        EXPECT_EQ(left["totalBlocks"], 3);
    }
    {
        SCOPED_TRACE("--on-arrival, interrupted");
        EXPECT_EQ(stopped.exitCode(), 3) << stopped.err().toStdString();
        EXPECT_TRUE(
            stopped.out().contains("\nSummary: flashed 1, failed 0, interrupted 1, skipped 0; total time "))
            << stopped.out().toStdString();
        EXPECT_TRUE(stopped.err().contains(
            (port("stop-stuck") + ": interrupted during block 2 of 3: the chip stays in boot mode")
                .toLocal8Bit()))
            << stopped.err().toStdString();
    }
    {
        SCOPED_TRACE("--on-arrival, image changed");
        EXPECT_EQ(change.exitCode(), 0) << change.err().toStdString();
        EXPECT_EQ(readFile(saved("change-first")), firmware);
        EXPECT_EQ(readFile(saved("change-second")), firmware);
        const QByteArray warning = "morvane-flash: warning: " + changing.toLocal8Bit() +
                                   " has changed on disk since the start; " +
                                   port("change-second").toLocal8Bit() +
                                   " gets the image read at the start (SHA-256 " + sha256.toLocal8Bit() + ")";
        EXPECT_TRUE(change.err().contains(warning)) << change.err().toStdString();
        EXPECT_EQ(change.err().count("warning"), 1) << change.err().toStdString();
        EXPECT_TRUE(change.out().contains("Summary: flashed 2, failed 0, interrupted 0, skipped 0"));
    }
    {
        SCOPED_TRACE("--on-arrival, a chip that starts late");
        EXPECT_EQ(late.exitCode(), 0) << late.err().toStdString();
        EXPECT_EQ(readFile(saved("starting")), firmware);
    }
    {
        SCOPED_TRACE("--on-arrival, a bounce");
        EXPECT_EQ(bounce.exitCode(), 0) << bounce.err().toStdString();
        EXPECT_EQ(readFile(saved("bounce")), firmware);
        const QList<QJsonObject> events = bounce.jsonEvents();
        ASSERT_FALSE(events.isEmpty());
        const QJsonObject summary = events.last();
        EXPECT_EQ(summary["flashed"], 1); // the runs are counted
        EXPECT_EQ(summary["failed"], 1);
        EXPECT_EQ(summary["flashedPorts"], QJsonArray{port("bounce")});
        EXPECT_EQ(summary["notFlashedPorts"], QJsonArray{});
        EXPECT_EQ(summary["exitCode"], 0);
    }
    {
        SCOPED_TRACE("--on-arrival, the report renamed");
        EXPECT_EQ(rotate.exitCode(), 0) << rotate.err().toStdString();
        const auto ports = [](const QList<QJsonObject>& records) {
            QStringList names;
            for (const QJsonObject& record : records)
                names.append(record["port"].toString());
            return names;
        };
        EXPECT_EQ(ports(reportLines(path("rotate.jsonl.1"))), QStringList{port("rotate-a")});
        EXPECT_EQ(ports(reportLines(path("rotate.jsonl"))), QStringList{port("rotate-b")});
    }
    {
        SCOPED_TRACE("--on-arrival, standard output gone");
        EXPECT_EQ(unread->exitCode(), 4) << unread->err().toStdString();
        EXPECT_TRUE(unread->err().contains(
            ("morvane-flash: " + port("unread") + ": Result: disconnected\n").toLocal8Bit()))
            << unread->err().toStdString();
        EXPECT_TRUE(
            unread->err().contains("morvane-flash: Summary: flashed 0, failed 1, interrupted 0, skipped 0"))
            << unread->err().toStdString();
    }
    {
        SCOPED_TRACE("--report, killed");
        const QList<QJsonObject> records = reportLines(path("killed.jsonl"));
        ASSERT_EQ(records.size(), 1);
        EXPECT_EQ(records[0]["port"], port("killed-a"));
        EXPECT_EQ(records[0]["result"], "completed");
        EXPECT_EQ(records[0]["imageSha256"], sha256);
    }
    {
        SCOPED_TRACE("--report, cannot be opened");
        EXPECT_EQ(noReport.exitCode(), 2);
        EXPECT_TRUE(noReport.err().contains("morvane-flash: cannot open the report " +
                                            path("missing/report.jsonl").toLocal8Bit() +
                                            ": No such file or directory"))
            << noReport.err().toStdString();
        EXPECT_EQ(chips["no-report"]->stop(), 0);
        EXPECT_TRUE(chips["no-report"]->frameLines().isEmpty()) << chips["no-report"]->log().toStdString();
    }
    for (const auto& [name, made] : chips)
        EXPECT_EQ(made->stop(), 0) << name.toStdString() << "\n" << made->log().toStdString();
}

// A full disk: a record that does not fit is left out whole, named on standard error, and the next
// one, once there is room again, starts on a line of its own. Needs root for a small tmpfs.
TEST_F(ProductionLine, AFullDiskLeavesOutWholeRecordsAndSaysWhich)
{
    const QString disk = path("disk");
    ASSERT_TRUE(QDir().mkpath(disk));
    if (::geteuid() != 0 ||
        ::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "a small tmpfs needs root";
    struct Unmount
    {
        QString at;
        ~Unmount() { ::umount2(QFile::encodeName(at).constData(), MNT_DETACH); }
    } unmount{disk};
    // A first page nearly full of an earlier record, and no page free after it.
    const QString report = disk + "/report.jsonl";
    ASSERT_TRUE(writeFile(report, "{\"pad\":\"" + QByteArray(4000, 'x') + "\"}\n"));
    const QString filler = disk + "/filler";
    {
        QFile fill(filler);
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
        while (fill.write(QByteArray(4096, 'f')) == 4096 && fill.flush()) {
        }
    }
    const QString image = path("300.bin");
    ASSERT_TRUE(writeFile(image, randomBytes(300, 3)));
    chip("full-a");
    chip("full-b");
    FlasherRun& line = start("full", {"flash", "--on-arrival", "--json", "--report", report, image});
    line.input(announcement("added", *chips["full-a"]).toLocal8Bit());
    line.whenOut([&] { return !endOf(eventsSoFar(line), port("full-a")).isEmpty(); },
                 [&] {
                     EXPECT_TRUE(QFile::remove(filler));
                     line.input(announcement("added", *chips["full-b"]).toLocal8Bit());
                 });
    line.whenOut([&] { return !endOf(eventsSoFar(line), port("full-b")).isEmpty(); },
                 [&] { sendSignal(line, SIGINT); });
    ASSERT_TRUE(waitForAll({&line}, 20000));

    EXPECT_EQ(line.exitCode(), 4) << line.err().toStdString();
    EXPECT_TRUE(line.err().contains(("the record of " + port("full-a") + " is lost").toLocal8Bit()))
        << line.err().toStdString();
    const QList<QJsonObject> records = reportLines(report); // each line one whole object
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records[1]["port"], port("full-b"));
    const QList<QJsonObject> events = line.jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["exitCode"], 4); // the summary's status is the program's
}

// Where the machine lets us (root, a real serial port whose arrival can be announced), a real
// port-change event reaches --on-arrival: the port is asked, stays silent and is skipped.
TEST(ProductionLineOnThisMachine, ARealArrivalIsProbedAndASilentPortSkipped)
{
    AnnounceablePort announced = announceablePort();
    if (announced.name.isEmpty())
        GTEST_SKIP() << "no serial port whose arrival can be announced here";
    const QString port = announced.name;
    QTemporaryDir dir;
    const QString image = dir.filePath("image.bin");
    ASSERT_TRUE(writeFile(image, randomBytes(300, 300)));

    FlasherRun line({"flash", "--on-arrival", "--json", image});
    ASSERT_TRUE(line.waitForErr("Waiting for chips", 10000)) << line.err().toStdString();
    // The monitor starts just before that line; announce until the port is taken.
    const QByteArray added =
        QJsonDocument(QJsonObject{{"event", "added"}, {"port", port}}).toJson(QJsonDocument::Compact);
    announceUntilSeen(announced, line, added);
    ASSERT_TRUE(line.out().contains(added)) << line.out().toStdString();
    line.whenOut([&] { return !endOf(eventsSoFar(line), port).isEmpty(); },
                 [&] { sendSignal(line, SIGINT); });
    ASSERT_TRUE(waitForAll({&line}, 15000));
    // Plugged in to be flashed, and not flashed.
    EXPECT_EQ(line.exitCode(), 1) << line.err().toStdString();
    const QList<QJsonObject> events = line.jsonEvents();
    const QJsonObject end = endOf(events, port);
    EXPECT_EQ(end["result"], "skipped");
    EXPECT_EQ(end["skipReason"], "silent");
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["event"], "summary");
    EXPECT_EQ(events.last()["flashed"], 0);
    EXPECT_EQ(events.last()["skipped"], 1);
    EXPECT_EQ(events.last()["notFlashedPorts"], QJsonArray{port});
}
