// morvane-flash on Windows where the Linux tests use POSIX things: Ctrl+C through a console
// instead of signals, the progress line on a console instead of a pseudo-terminal, standard output
// that a Windows pipe refuses or that was never given, the image file changing under the run, and
// ports arriving through the device-change broadcast.
#include "Programs.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>

#include <dbt.h> // after windows.h, which it needs

namespace {

// Every run of this size is interrupted long before its end; under wine on a loaded machine a
// Ctrl+C can take seconds to arrive, and a run that finished first would prove nothing.
constexpr int BlocksToInterrupt = 400;

// Runs morvane-flash in a console of its own (ConsoleHost.cpp); with `screenColumns` its
// standard error is that console, whose lines come as the run's standard error at the end.
FlasherRun::Prepare inConsole(int screenColumns = 0)
{
    return [screenColumns](QProcess& process) {
        QStringList arguments;
        if (screenColumns > 0)
            arguments << "--screen" << QString::number(screenColumns);
        arguments << QDir::toNativeSeparators(process.program());
        process.setArguments(arguments + process.arguments());
        process.setProgram(QStringLiteral(CLI_CONSOLE_HOST_PATH));
    };
}

// Ctrl+C on the run's console, as the user presses it, `times` times in a row (in one write:
// QProcess's writer waits through wine's thread pool as its reader does, see RunStreams.h).
void pressCtrlC(FlasherRun& run, int times = 1)
{
    run.process.write(QByteArray("ctrl-c\n").repeated(times));
}

// Sends WM_DEVICECHANGE to every port-change window, as the system broadcasts it to top-level
// windows when a port arrives or leaves (wine sends none).
void announcePort(WPARAM event, const wchar_t* name)
{
    struct
    {
        DEV_BROADCAST_PORT_W header;
        wchar_t room[32];
    } record = {};
    record.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    std::memcpy(record.header.dbcp_name, name, (wcslen(name) + 1) * sizeof(wchar_t));
    record.header.dbcp_size =
        static_cast<DWORD>(sizeof(DEV_BROADCAST_PORT_W) + wcslen(name) * sizeof(wchar_t));
    for (HWND window = FindWindowW(L"vandrelSerialPortChangeWnd", nullptr); window;
         window = FindWindowExW(nullptr, window, L"vandrelSerialPortChangeWnd", nullptr)) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record),
                            SMTO_ABORTIFHUNG, 5000, &result);
    }
}

// Announces the change every 200 ms until standard output shows `line` or 10 s have passed: the
// watch makes its window a moment after it says it is watching.
bool announceUntilShown(FlasherRun& run, WPARAM event, const wchar_t* name, const QByteArray& line)
{
    QEventLoop loop;
    QTimer again;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&again, &QTimer::timeout, &loop, [&] {
        if (run.out().contains(line) || run.finished())
            loop.quit();
        else
            announcePort(event, name);
    });
    again.start(200);
    deadline.start(10000);
    loop.exec();
    return run.out().contains(line);
}

} // namespace

class ConsoleRuns : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    QString image(const QString& name, int size)
    {
        bytes[name] = randomBytes(size, static_cast<quint32>(qHash(name)));
        EXPECT_TRUE(writeFile(path(name), bytes[name]));
        return path(name);
    }

    QTemporaryDir dir;
    QMap<QString, QByteArray> bytes;
};

// The first Ctrl+C stops every port in order, whatever it is waiting for; a second ends the
// program at once. All side by side.
TEST_F(ConsoleRuns, CtrlCStopsInOrderAndASecondEndsTheProgramAtOnce)
{
    const QString large = image("large.bin", BlocksToInterrupt * 256);

    SimulatedChip flashing({"--save", path("flashing.bin")});
    SimulatedChip silent({"--silent"});
    SimulatedChip twice;
    ASSERT_TRUE(flashing.started() && silent.started() && twice.started());

    FlasherRun flash({"flash", "--json", "--port", flashing.portPath(), large}, inConsole());
    flash.whenOut("\"blocks\":3,", [&] { pressCtrlC(flash); });
    FlasherRun waiting({"info", "--port", silent.portPath()}, inConsole());
    waiting.whenOut("Getting current firmware information", [&] { pressCtrlC(waiting); });
    FlasherRun insisted({"flash", "--port", twice.portPath(), large}, inConsole());
    insisted.whenOut("> Written memory block: 2\n", [&] { pressCtrlC(insisted, 2); });
    FlasherRun watch({"list", "--watch"}, inConsole());
    ASSERT_TRUE(watch.waitForErr("Watching serial ports", 30000)) << watch.err().toStdString();
    pressCtrlC(watch);
    EXPECT_TRUE(waitForAll({&flash, &waiting, &insisted, &watch}, 60000)) << "a run hung";

    EXPECT_EQ(flash.exitCode(), 3) << flash.err().toStdString();
    EXPECT_TRUE(flash.err().contains("morvane-flash: Ctrl+C: stopping")) << flash.err().toStdString();
    const QList<QJsonObject> events = flash.jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["event"].toString(), "end");
    EXPECT_EQ(events.last()["result"].toString(), "interrupted");
    EXPECT_EQ(events.last()["exitCode"].toInt(), 3);
    static const QRegularExpression where(
        QStringLiteral(
            "interrupted during block (\\d+) of %1: the chip stays in boot mode; flash again to finish")
            .arg(BlocksToInterrupt));
    const QRegularExpressionMatch match = where.match(events.last()["detail"].toString());
    ASSERT_TRUE(match.hasMatch()) << events.last()["detail"].toString().toStdString();
    EXPECT_TRUE(flash.err().contains(match.captured(0).toUtf8())) << flash.err().toStdString();
    EXPECT_EQ(flashing.stop(), 0) << flashing.log().toStdString();
    // Nothing was sent after the block it names (which may not have gone out yet).
    const int named = match.captured(1).toInt();
    EXPECT_GE(lastBlockReceived(flashing), named - 1);
    EXPECT_LE(lastBlockReceived(flashing), named);
    EXPECT_FALSE(QFile::exists(path("flashing.bin")));

    EXPECT_EQ(waiting.exitCode(), 3);
    EXPECT_TRUE(waiting.err().contains("interrupted while waiting for the firmware information"))
        << waiting.err().toStdString();
    EXPECT_LT(waiting.elapsedMs(), 5000) << "it waited for the time-out";

    EXPECT_EQ(insisted.exitCode(), 3);

    EXPECT_EQ(watch.exitCode(), 0) << watch.err().toStdString();
    EXPECT_TRUE(watch.out().isEmpty()) << watch.out().toStdString();
}

// list --watch over the hidden port-change window: a line per port arriving or leaving, until
// Ctrl+C.
TEST_F(ConsoleRuns, TheWatchShowsPortsArrivingAndLeaving)
{
    FlasherRun watch({"list", "--watch", "--json"}, inConsole());
    ASSERT_TRUE(watch.waitForErr("Watching serial ports", 30000)) << watch.err().toStdString();
    EXPECT_TRUE(
        announceUntilShown(watch, DBT_DEVICEARRIVAL, L"COM7", "{\"event\":\"added\",\"port\":\"COM7\"}\n"))
        << watch.out().toStdString();
    EXPECT_TRUE(announceUntilShown(watch, DBT_DEVICEREMOVECOMPLETE, L"COM7",
                                   "{\"event\":\"removed\",\"port\":\"COM7\"}\n"))
        << watch.out().toStdString();
    pressCtrlC(watch);
    EXPECT_TRUE(waitForAll({&watch}, 30000));
    EXPECT_EQ(watch.exitCode(), 0) << watch.err().toStdString();
}

// A console whose cursor cannot be moved up (wine's prints the escape sequences as text) shows
// the progress as one line redrawn in place, cut to the console's width; text in UTF-8 shows as
// the characters it spells.
TEST_F(ConsoleRuns, TheConsoleShowsOneProgressLineAndTheCharactersAsWritten)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    const auto run =
        runFlasher({"flash", "--port", chip.portPath(), image("600.bin", 600)}, 30000, inConsole(40));
    EXPECT_EQ(run->exitCode(), 0) << run->out().toStdString() << run->err().toStdString();
    EXPECT_EQ(readFile(path("received.bin")), bytes["600.bin"]);
    const QStringList screen = QString::fromUtf8(run->err()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList bars;
    for (const QString& row : screen) {
        // No escape sequence printed as text, no leftover of an earlier bar.
        for (const QString& junk :
             {QStringLiteral("\x1b"), QStringLiteral("[0m"), QStringLiteral("[1A"), QStringLiteral("[J")})
            EXPECT_FALSE(row.contains(junk)) << row.toStdString();
        if (row.contains(QStringLiteral("/3")))
            bars.append(row);
    }
    ASSERT_EQ(bars.size(), 1) << screen.join('\n').toStdString();
    EXPECT_TRUE(bars.first().startsWith(chip.portPath() + QStringLiteral(" [########")))
        << bars.first().toStdString();
    EXPECT_TRUE(bars.first().contains(QStringLiteral("3/3"))) << bars.first().toStdString();
    EXPECT_LE(bars.first().size(), 39) << bars.first().toStdString();
    EXPECT_EQ(chip.stop(), 0);

    const auto usage =
        runFlasher({"info", "--port", chip.portPath(), "--baud", "прошивка"}, 30000, inConsole(120));
    EXPECT_EQ(usage->exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(usage->err()).contains(QStringLiteral("not \"прошивка\"")))
        << usage->err().toStdString();
}

// A flash that has started runs to its end whatever happens to standard output; the results go
// to standard error then, and the status says that the output was lost.
TEST_F(ConsoleRuns, OutputThatCannotBeWrittenIsReportedAndFailsTheRun)
{
    SimulatedChip readerGone({"--save", path("reader-gone.bin")});
    SimulatedChip neverGiven;
    ASSERT_TRUE(readerGone.started() && neverGiven.started());
    const QString firmware = image("600.bin", 600);

    // A pipe whose reader has gone before the first line.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    ASSERT_TRUE(CreatePipe(&reader, &writer, &inherit, 0));
    CloseHandle(reader);
    FlasherRun closing({"flash", "--port", readerGone.portPath(), firmware}, [writer](QProcess& process) {
        process.setCreateProcessArgumentsModifier([writer](QProcess::CreateProcessArguments* arguments) {
            arguments->startupInfo->hStdOutput = writer;
        });
    });
    CloseHandle(writer);
    // No standard output at all, and no console to stand in for it.
    FlasherRun closed({"info", "--port", neverGiven.portPath()}, [](QProcess& process) {
        process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
            arguments->startupInfo->hStdOutput = nullptr;
            arguments->flags = (arguments->flags & ~CREATE_NO_WINDOW) | DETACHED_PROCESS;
        });
    });
    EXPECT_TRUE(waitForAll({&closing, &closed}, 30000));

    EXPECT_EQ(closing.exitCode(), 4) << closing.err().toStdString();
    EXPECT_TRUE(closing.err().contains("morvane-flash: cannot write to standard output: "))
        << closing.err().toStdString();
    EXPECT_TRUE(closing.err().contains(readerGone.portPath().toUtf8() + ": Result: completed"))
        << closing.err().toStdString();
    EXPECT_EQ(readFile(path("reader-gone.bin")), bytes["600.bin"]);

    EXPECT_EQ(closed.exitCode(), 4) << closed.err().toStdString();
    EXPECT_TRUE(closed.err().contains("morvane-flash: cannot write to standard output: "))
        << closed.err().toStdString();
    EXPECT_TRUE(closed.err().contains(neverGiven.portPath().toUtf8() + ": Result: completed"))
        << closed.err().toStdString();
    EXPECT_EQ(neverGiven.stop(), 0) << neverGiven.log().toStdString();
}

// The image is read once, checked, and sent from a copy of the program's own: a file that changes
// while the chip answers changes nothing, the messages name the user's file, and the copy is gone
// afterwards.
TEST_F(ConsoleRuns, WhatWasCheckedIsWhatIsSent)
{
    SimulatedChip chip({"--delay", "500", "--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    const QString firmware = image("changing.bin", 600);
    FlasherRun run({"flash", "--json", "--port", chip.portPath(), firmware});
    run.whenOut("Getting current firmware information",
                [&] { EXPECT_TRUE(writeFile(firmware, randomBytes(1000, 1000))); });
    ASSERT_TRUE(run.process.waitForStarted(10000));
    const qint64 pid = run.process.processId();
    EXPECT_TRUE(waitForAll({&run}, 30000));

    EXPECT_EQ(run.exitCode(), 0) << run.out().toStdString();
    EXPECT_EQ(readFile(path("received.bin")), bytes["changing.bin"]);
    QStringList statuses;
    for (const QJsonObject& event : run.jsonEvents()) {
        if (event["event"] == "progress") {
            EXPECT_EQ(event["totalBytes"].toInt(), 600);
        }
        if (event["event"] == "status")
            statuses.append(event["text"].toString());
    }
    EXPECT_TRUE(statuses.contains(QStringLiteral("File: %1 \nSize: 600 Bytes").arg(firmware)))
        << statuses.join('|').toStdString();
    const QStringList copies =
        QDir::temp().entryList({QStringLiteral("morvane-flash-%1-*").arg(pid)}, QDir::Files);
    EXPECT_TRUE(copies.isEmpty()) << copies.join(' ').toStdString();
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
}

// The production line on Windows: a port announced by the device-change broadcast is asked,
// flashed and recorded in the report (appended to what was there); Ctrl+C ends the program with
// its summary.
TEST_F(ConsoleRuns, AChipArrivingIsFlashedAndRecorded)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    const QString firmware = image("line.bin", 600);
    ASSERT_TRUE(writeFile(path("report.jsonl"), "{\"earlier\":true}\n"));
    FlasherRun line({"flash", "--on-arrival", "--json", "--report", path("report.jsonl"), firmware},
                    inConsole());
    ASSERT_TRUE(line.waitForErr("Waiting for chips", 30000)) << line.err().toStdString();
    const std::wstring name = chip.portPath().toStdWString();
    const QByteArray added = "{\"event\":\"added\",\"port\":\"" + chip.portPath().toUtf8() + "\"}\n";
    ASSERT_TRUE(announceUntilShown(line, DBT_DEVICEARRIVAL, name.c_str(), added)) << line.out().toStdString();
    line.whenOut("\"event\":\"end\"", [&] { pressCtrlC(line); });
    EXPECT_TRUE(waitForAll({&line}, 60000)) << "the line did not end";

    EXPECT_EQ(line.exitCode(), 0) << line.err().toStdString();
    const QList<QJsonObject> events = line.jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["event"].toString(), "summary");
    EXPECT_EQ(events.last()["flashed"].toInt(), 1);
    EXPECT_EQ(readFile(path("received.bin")), bytes["line.bin"]);
    const QList<QByteArray> records = readFile(path("report.jsonl")).split('\n');
    ASSERT_EQ(records.size(), 3) << readFile(path("report.jsonl")).toStdString(); // and the last line's end
    const QJsonObject record = QJsonDocument::fromJson(records[1]).object();
    EXPECT_EQ(record["port"].toString(), chip.portPath());
    EXPECT_EQ(record["result"].toString(), "completed");
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
}
