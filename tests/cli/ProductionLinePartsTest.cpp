// The parts of the production-line mode that need no chip: the report file, the watch on the
// image file, the probe table and the summary.
#include "NotRegularFiles.h"
#include "cli/ArrivalFlashing.h"
#include "cli/ProbeListing.h"
#include "cli/ReportFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace morvane::cli;

namespace {

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

TEST(ReportFileTest, AppendsAfterWhatIsThereStartingOnALineOfItsOwn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("report.jsonl");
    ASSERT_TRUE(write(path, "{\"port\":\"A\"}\n{\"port\":\"B\"")); // cut short by a crash
    QString reason;
    EXPECT_TRUE(appendToReportFile(path, "{\"port\":\"C\"}\n", reason)) << reason.toStdString();
    EXPECT_TRUE(appendToReportFile(path, "{\"port\":\"D\"}\n", reason)) << reason.toStdString();
    EXPECT_EQ(contents(path), "{\"port\":\"A\"}\n{\"port\":\"B\"\n{\"port\":\"C\"}\n{\"port\":\"D\"}\n");
}

TEST(ReportFileTest, RefusesWhatIsNotARegularFileWithoutWaiting)
{
    QTemporaryDir dir;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<QString, QString>> cases = notRegularFiles(dir);
    cases.push_back({dir.path(), "it is a directory, not a regular file"});
    cases.push_back({dir.filePath("missing/report.jsonl"), ""}); // the system's words
    for (const auto& [path, expected] : cases) {
        QString reason;
        EXPECT_FALSE(appendToReportFile(path, QByteArray(), reason)) << path.toStdString();
        if (expected.isEmpty())
            EXPECT_FALSE(reason.isEmpty());
        else
            EXPECT_EQ(reason, expected);
    }
    EXPECT_LT(clock.elapsed(), 2000);
}

// Windows opens names of more than 260 characters only with a prefix, unless a system setting
// says otherwise: the image and the report must not depend on it.
TEST(ReportFileTest, TheImageAndTheReportAreReachedBeyond260Characters)
{
    QTemporaryDir dir;
    QString deep = dir.path();
    while (deep.size() < 300)
        deep += QLatin1Char('/') + QString(40, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(deep));
    const QString image = deep + "/image.bin";
    ASSERT_TRUE(write(image, QByteArray(300, 'i')));
    const rq75x::ImageRead read = rq75x::readFirmwareImage(image);
    ASSERT_TRUE(read.image) << read.problemWithReason().toStdString();
    EXPECT_EQ(read.image->bytes, QByteArray(300, 'i'));
    QString reason;
    EXPECT_TRUE(appendToReportFile(deep + "/report.jsonl", "{}\n", reason)) << reason.toStdString();
    EXPECT_EQ(contents(deep + "/report.jsonl"), "{}\n");
}

TEST(ImageWatchTest, TellsWhenTheFileNoLongerHoldsTheImageReadAtTheStart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    ASSERT_TRUE(write(path, QByteArray(600, 'a')));
    const rq75x::ImageRead read = rq75x::readFirmwareImage(path);
    ASSERT_TRUE(read.image);
    const ImageWatch watch(*read.image);
    EXPECT_EQ(watch.change(), "");
    ASSERT_TRUE(write(path, QByteArray(600, 'b'))); // same size, and perhaps the same time stamp
    EXPECT_EQ(watch.change(), "has changed on disk since the start");
    ASSERT_TRUE(write(path, QByteArray(600, 'a')));
    EXPECT_EQ(watch.change(), "");
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(watch.change().startsWith("can no longer be read (")) << watch.change().toStdString();
}

TEST(ProbeTableTest, ShowsEachPortsAnswerOrWhatItDidInstead)
{
    TaskResult answered;
    answered.firmwareInfo = "RQ75 a V2.4.1  2026-11-02\r\n";
    TaskResult bootMode;
    bootMode.outcome = TaskOutcome::BootMode;
    TaskResult silent;
    silent.outcome = TaskOutcome::Skipped;
    silent.skipReason = SkipReason::Silent;
    TaskResult busy;
    busy.outcome = TaskOutcome::Skipped;
    busy.skipReason = SkipReason::CannotOpen;
    busy.errorMessage = "access denied error";
    busy.errorReason = "in use by another program";
    const std::vector<ProbedPort> ports{
        {{"/dev/ttyUSB0", "1a86:7523", "QinHeng CH340 serial converter"}, answered},
        {{"/dev/ttyUSB1", "1a86:7523", "QinHeng CH340 serial converter"}, bootMode},
        {{"/dev/ttyS0", "acpi:PNP0501:", "Serial port"}, silent},
        {{"/dev/ttyS1", "acpi:PNP0501:", "Serial port"}, busy}};
    EXPECT_EQ(probeTable(ports),
              "PORT          HARDWARE ID    DESCRIPTION                     ANSWER\n"
              "/dev/ttyUSB0  1a86:7523      QinHeng CH340 serial converter  RQ75 a V2.4.1  2026-11-02\n"
              "/dev/ttyUSB1  1a86:7523      QinHeng CH340 serial converter  (in boot mode: answered from its "
              "bootloader)\n"
              "/dev/ttyS0    acpi:PNP0501:  Serial port                     (silent)\n"
              "/dev/ttyS1    acpi:PNP0501:  Serial port                     (cannot open: in use by another "
              "program)\n");
    EXPECT_EQ(probeTable({}), "No avaiable ports\n");
}

TEST(ArrivalSummaryTest, StatusIsZeroOnlyWhenEveryPortThatArrivedWasFlashedByItsLastRun)
{
    ArrivalTally tally;
    EXPECT_EQ(tally.exitStatus(), ExitSuccess); // nothing arrived, nothing failed
    for (int chip = 0; chip < 30; ++chip)
        tally.count(QStringLiteral("/dev/ttyUSB%1").arg(chip), TaskOutcome::Completed);
    tally.durationMs = 3'725'000;
    EXPECT_EQ(tally.exitStatus(), ExitSuccess);
    // A connector that bounced: the run it cut off fails, the next one flashes the chip.
    tally.count("/dev/ttyACM0", TaskOutcome::Disconnected);
    EXPECT_EQ(tally.exitStatus(), ExitChipFailure);
    tally.count("/dev/ttyACM0", TaskOutcome::Completed);
    EXPECT_EQ(tally.exitStatus(), ExitSuccess);
    EXPECT_EQ(summaryText(tally),
              "Summary: flashed 31, failed 1, interrupted 0, skipped 0; total time 1:02:05\n");
    // A port that arrived and never answered was not flashed.
    tally.count("/dev/ttyACM1", TaskOutcome::Skipped);
    EXPECT_EQ(tally.exitStatus(), ExitChipFailure);
    EXPECT_EQ(tally.notFlashedPorts(), QStringList{"/dev/ttyACM1"});
    EXPECT_TRUE(tally.flashedPorts().contains("/dev/ttyACM0"));
    tally.count("/dev/ttyACM2", TaskOutcome::Interrupted);
    EXPECT_EQ(tally.exitStatus(), ExitInterrupted);
    ArrivalTally two;
    two.count("A", TaskOutcome::Completed);
    two.count("B", TaskOutcome::TimedOut);
    two.durationMs = 1000;
    EXPECT_EQ(summaryJson(two, ExitOutputLost),
              "{\"durationMs\":1000,\"event\":\"summary\",\"exitCode\":4,\"failed\":1,\"flashed\":1,"
              "\"flashedPorts\":[\"A\"],\"interrupted\":0,\"notFlashedPorts\":[\"B\"],\"skipped\":0}\n");
}
