// morvane-flash against rq75x-sim over a pseudo-terminal.
#include "Programs.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

constexpr const char* TimedOutLine = "Call to chip timed out. Check your port or chip setup";

class FlasherEndToEnd : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    QString image(const QString& name, int size)
    {
        const QString file = path(name);
        bytes[name] = randomBytes(size, static_cast<quint32>(qHash(name)));
        EXPECT_TRUE(writeFile(file, bytes[name]));
        return file;
    }

    static void expectLines(const FlasherRun& run, const QList<QByteArray>& expected)
    {
        const QList<QByteArray> lines = run.outLines();
        for (const QByteArray& line : expected)
            EXPECT_TRUE(lines.contains(line)) << "missing line: " << line.toStdString() << "\nin:\n"
                                              << run.out().toStdString();
    }

    QTemporaryDir dir;
    QMap<QString, QByteArray> bytes;
};

TEST_F(FlasherEndToEnd, BadUsageAndAMissingPortExitWithTwoAndSendNothing)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const std::pair<QStringList, QByteArray> cases[] = {
        {{"flash", "--port", chip.portPath()}, "morvane-flash: "},
        {{"info", "--port", chip.portPath(), "--baud", "fast"}, "morvane-flash: "},
        {{"reset", "--port", chip.portPath(), "--port", chip.portPath()}, "morvane-flash: "},
        {{"info", "--port", absentPortName()},
         "morvane-flash: " + absentPortName().toLocal8Bit() +
             ": open port error, code: 12, message: not exist error"},
    };
    for (const auto& [arguments, error] : cases) {
        const auto run = runFlasher(arguments);
        EXPECT_EQ(run->exitCode(), 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run->err().contains(error)) << run->err().toStdString();
    }
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.frameLines().isEmpty()) << chip.log().toStdString();
}

TEST_F(FlasherEndToEnd, BadImagesAreRefusedBeforeAnyByteIsSent)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    ASSERT_TRUE(writeFile(path("empty.bin"), {}));
    QFile oversized(path("oversized.bin"));
    ASSERT_TRUE(oversized.open(QIODevice::WriteOnly) && oversized.resize(16776960 + 1)); // 65,536 blocks
    oversized.close();
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.bin"));

    const struct
    {
        QString file;
        QByteArray why;
    } cases[] = {
        {path("missing.bin"), "Unable to open file " + path("missing.bin").toLocal8Bit()},
        {path("empty.bin"), "it holds 0 Bytes, a firmware image holds 1 to 16776960 Bytes"},
        {path("oversized.bin"), "it holds 16776961 Bytes, a firmware image holds 1 to 16776960 Bytes"},
        {path("folder.bin"), path("folder.bin").toLocal8Bit()},
    };
    for (const auto& refused : cases) {
        const auto run = runFlasher({"flash", "--port", chip.portPath(), refused.file});
        EXPECT_EQ(run->exitCode(), 2) << refused.file.toStdString();
        EXPECT_TRUE(run->out().contains(refused.why)) << run->out().toStdString();
        EXPECT_TRUE(run->outLines().contains("Firmware file read error")) << run->out().toStdString();
    }
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.frameLines().isEmpty()) << chip.log().toStdString();
    EXPECT_FALSE(QFile::exists(path("received.bin")));
}

TEST_F(FlasherEndToEnd, InfoShowsTheAnswerFilteredAsTheWindowDoes)
{
    SimulatedChip chip({"--info", "RQ75x firmware V2.4.1 build 7 Eee\\r\\n"});
    ASSERT_TRUE(chip.started());
    const auto run = runFlasher({"info", "--port", chip.portPath()});
    EXPECT_EQ(run->exitCode(), 0) << run->err().toStdString();
    // Lowercase 'b' to 'y' are removed, 'a', 'z', capitals, digits, '.' and blanks stay.
    EXPECT_EQ(run->outLines(),
              (QList<QByteArray>{"Port open ready to flash RQ75x...", "Getting current firmware information",
                                 "> RQ75 a V2.4.1  7 E"}));

    const auto json = runFlasher({"info", "--json", "--port", chip.portPath()});
    EXPECT_EQ(json->exitCode(), 0);
    const QList<QJsonObject> events = json->jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.first()["task"].toString(), "info");
    EXPECT_EQ(events.last()["event"].toString(), "end");
    EXPECT_EQ(events.last()["result"].toString(), "completed");
    EXPECT_EQ(events.last()["firmwareInfo"].toString(), "RQ75 a V2.4.1  7 E\r\n");
    for (const QJsonObject& event : events)
        EXPECT_EQ(event["port"].toString(), chip.portPath());
    EXPECT_EQ(chip.stop(), 0);
}

TEST_F(FlasherEndToEnd, ImagesArriveByteForByte)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());

    const auto run = runFlasher({"flash", "--port", chip.portPath(), image("300.bin", 300)});
    EXPECT_EQ(run->exitCode(), 0) << run->out().toStdString() << run->err().toStdString();
    expectLines(*run, {"Reading...", "Blocks to transfer: 2", "Requesting boot mode...", "> ACK (32)",
                       "Bootloader ready to receive...", "Memory index: 0x00000000",
                       "> Written memory block: 1", "> Next memory block: 2", "Memory index: 0x00000100",
                       "Last package completed...", "> ACK (34)", "Exiting boot mode...", "> ACK (35)"});
    EXPECT_EQ(run->outLines().last(), "Flashing completed.");
    EXPECT_EQ(readFile(path("received.bin")), bytes["300.bin"]);

    // The same port again, with the JSON events read line by line.
    const auto json = runFlasher({"flash", "--json", "--port", chip.portPath(), image("600.bin", 600)});
    EXPECT_EQ(json->exitCode(), 0) << json->out().toStdString();
    EXPECT_EQ(readFile(path("received.bin")), bytes["600.bin"]);
    const QList<QJsonObject> events = json->jsonEvents();
    ASSERT_GE(events.size(), 2);
    EXPECT_EQ(events.first()["event"].toString(), "begin");
    EXPECT_EQ(events.first()["file"].toString(), path("600.bin"));
    QList<int> progress;
    QStringList statuses;
    for (const QJsonObject& event : events) {
        EXPECT_EQ(event["port"].toString(), chip.portPath());
        if (event["event"] == "progress") {
            progress.append(event["blocks"].toInt());
            EXPECT_EQ(event["totalBlocks"].toInt(), 3);
            EXPECT_EQ(event["totalBytes"].toInt(), 600);
        }
        if (event["event"] == "status")
            statuses.append(event["text"].toString());
    }
    EXPECT_EQ(progress, (QList<int>{1, 2, 3}));
    EXPECT_TRUE(statuses.contains("File: " + path("600.bin") + " \nSize: 600 Bytes"));
    EXPECT_EQ(statuses.last(), "Flashing completed.");
    EXPECT_EQ(events.last()["event"].toString(), "end");
    EXPECT_EQ(events.last()["result"].toString(), "completed");
    EXPECT_EQ(events.last()["exitCode"].toInt(), 0);
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
}

// The largest image flashed into one chip, under a name that no single 8-bit code page spells,
// with every JSON line read in order.
TEST_F(FlasherEndToEnd, A64KiBImageUnderAUnicodeNameArrivesByteForByteWithItsJsonEvents)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    const QString name = QStringLiteral("прошивка-ü.bin");
    const QString firmware = image(name, 64 * 1024);
    // 256 blocks take about 40 s; give a slow machine room.
    const auto run = runFlasher({"flash", "--json", "--port", chip.portPath(), firmware}, 150000);
    EXPECT_EQ(run->exitCode(), 0) << run->err().toStdString();
    EXPECT_EQ(readFile(path("received.bin")), bytes[name]);

    const QList<QJsonObject> events = run->jsonEvents();
    ASSERT_GE(events.size(), 2) << run->out().toStdString();
    EXPECT_EQ(events.first()["event"].toString(), "begin");
    EXPECT_EQ(events.first()["task"].toString(), "flash");
    EXPECT_EQ(events.first()["file"].toString(), firmware);
    int blocks = 0;
    QStringList statuses;
    for (qsizetype i = 1; i + 1 < events.size(); ++i) {
        const QJsonObject& event = events[i];
        EXPECT_EQ(event["port"].toString(), chip.portPath());
        const QString kind = event["event"].toString();
        ASSERT_TRUE(kind == "status" || kind == "reply" || kind == "progress") << kind.toStdString();
        if (kind == "status")
            statuses.append(event["text"].toString());
        if (kind != "progress")
            continue;
        ++blocks;
        EXPECT_EQ(event["blocks"].toInt(), blocks);
        EXPECT_EQ(event["bytes"].toInt(), blocks * 256);
        EXPECT_EQ(event["totalBlocks"].toInt(), 256);
        EXPECT_EQ(event["totalBytes"].toInt(), 64 * 1024);
    }
    EXPECT_EQ(blocks, 256);
    EXPECT_TRUE(statuses.contains("File: " + firmware + " \nSize: 65536 Bytes"))
        << statuses.join('|').toStdString();
    EXPECT_TRUE(statuses.contains("Blocks to transfer: 256"));
    EXPECT_EQ(statuses.last(), "Flashing completed.");
    const QJsonObject& end = events.last();
    EXPECT_EQ(end["event"].toString(), "end");
    EXPECT_EQ(end["port"].toString(), chip.portPath());
    EXPECT_EQ(end["result"].toString(), "completed");
    EXPECT_EQ(end["exitCode"].toInt(), 0);
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
}

TEST_F(FlasherEndToEnd, FactoryReset)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const auto run = runFlasher({"reset", "--port", chip.portPath()});
    EXPECT_EQ(run->exitCode(), 0) << run->out().toStdString();
    expectLines(*run, {"Restoring factory settings...", "Requesting boot mode...", "> ACK (32)",
                       "Sending factory reset...", "> ACK (36)", "ACK factory reset...", "> ACK (35)"});
    EXPECT_EQ(run->outLines().last(), "Flashing completed.");
    EXPECT_FALSE(run->out().contains("Reading...")) << "a reset reads no image";
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.log().contains("factory reset")) << chip.log().toStdString();
}

// Every fault mode ends, within its time-out (a hang-up at once), either in a complete and correct
// image or in exit status 1; never in a hang and never in a frame the chip refuses. All run at once to keep
// the time-outs from adding up.
TEST_F(FlasherEndToEnd, FaultModesEndInSuccessOrExitOneWithinTheirTimeOut)
{
    struct Case
    {
        QString name;
        QStringList simOptions;
        QStringList command; // the image and port are appended
        QList<int> allowed;  // exit statuses
        int timeoutMs;       // the time-out that ends the run when it fails
        std::unique_ptr<SimulatedChip> chip;
        std::unique_ptr<FlasherRun> run;
    };
    std::vector<Case> cases;
    const auto add = [&](QString name, QStringList sim, QStringList command, QList<int> allowed,
                         int timeoutMs) {
        cases.push_back(
            {std::move(name), std::move(sim), std::move(command), std::move(allowed), timeoutMs, {}, {}});
    };
    // Frames count from 1: the information request, the boot-mode request, block 1, ...
    add("silent", {"--silent"}, {"info"}, {1}, 5000);
    add("silent-mid-run", {"--silent-after", "3"}, {"flash"}, {1}, 5000);
    add("garbage-mid-run", {"--garbage-after", "3"}, {"flash"}, {1}, 5000);
    add("hang-up-mid-run", {"--hangup-after", "4"}, {"flash"}, {1}, 5000);
    add("split-ack", {"--split-ack"}, {"flash"}, {0, 1}, 5000);
    add("extra-bytes", {"--extra-bytes"}, {"flash"}, {0}, 0);
    add("slow", {"--delay", "300"}, {"flash"}, {0}, 0);
    add("silent-after-reset-frame", {"--silent-after", "2"}, {"reset"}, {1}, 15000);

    const QString firmware = image("600.bin", 600);
    std::vector<FlasherRun*> runs;
    for (Case& c : cases) {
        c.chip = std::make_unique<SimulatedChip>(c.simOptions + QStringList{"--save", path(c.name + ".bin")});
        ASSERT_TRUE(c.chip->started()) << c.name.toStdString();
        QStringList arguments = c.command + QStringList{"--port", c.chip->portPath()};
        if (c.command.first() == "flash")
            arguments.append(firmware);
        c.run = std::make_unique<FlasherRun>(arguments);
        runs.push_back(c.run.get());
    }
    // The longest: the information answer, the boot-ready pause and the 15000 ms reset time-out.
    EXPECT_TRUE(waitForAll(runs, 40000)) << "a run hung";

    for (Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const int status = c.run->exitCode();
        EXPECT_TRUE(c.allowed.contains(status)) << "exit " << status << "\n" << c.run->out().toStdString();
        if (status == 0) {
            EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["600.bin"]);
            EXPECT_EQ(c.run->outLines().last(), "Flashing completed.");
        } else if (status == 1 && c.simOptions.contains("--hangup-after") && hangUpIsSeen()) {
            // A line that hangs up ends the run at once, saying where, instead of by a time-out.
            EXPECT_TRUE(c.run->outLines().contains(
                "Port went away during block 3 of 3: the chip stays in boot mode; flash again to finish"))
                << c.run->out().toStdString();
            EXPECT_FALSE(c.run->outLines().contains("> Timeout fired")) << c.run->out().toStdString();
            EXPECT_TRUE(c.run->err().contains("the port went away during block 3 of 3"))
                << c.run->err().toStdString();
            EXPECT_LT(c.run->elapsedMs(), 5000);
        } else if (status == 1) {
            EXPECT_TRUE(c.run->outLines().contains("> Timeout fired"))
                << c.run->out().toStdString() << c.run->err().toStdString();
            EXPECT_EQ(c.run->outLines().last(), TimedOutLine);
            // The time-out runs from the last request: neither cut short nor extended by
            // garbage; the margin covers the 1000 ms boot-ready pause and a slow machine.
            EXPECT_GE(c.run->elapsedMs(), c.timeoutMs);
            EXPECT_LT(c.run->elapsedMs(), c.timeoutMs + 5000);
            // Like any run that ends early, it says where it left the chip.
            if (c.name == "silent-mid-run") {
                EXPECT_TRUE(c.run->err().contains(": timed out during block 2 of 3: the chip stays in boot "
                                                  "mode; flash again to finish"))
                    << c.run->err().toStdString();
            }
        }
        EXPECT_EQ(c.chip->stop(), 0) << c.chip->log().toStdString();
    }
}
