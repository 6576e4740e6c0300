// The parts of the production-line mode that need no chip: the report file, the watch on the
// image file, the probe table and the summary.
#include "NotRegularFiles.h"
#include "cli/ArrivalFlashing.h"
#include "cli/ImageCheck.h"
#include "cli/ImageWatch.h"
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
    {
        const auto file = ReportFile::open(QFile::encodeName(path), reason);
        ASSERT_NE(file, nullptr) << reason.toStdString();
        EXPECT_TRUE(file->append("{\"port\":\"C\"}\n", reason)) << reason.toStdString();
    }
    {
        const auto file = ReportFile::open(QFile::encodeName(path), reason);
        ASSERT_NE(file, nullptr) << reason.toStdString();
        EXPECT_TRUE(file->append("{\"port\":\"D\"}\n", reason));
    }
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
        EXPECT_EQ(ReportFile::open(QFile::encodeName(path), reason), nullptr) << path.toStdString();
        if (expected.isEmpty())
            EXPECT_FALSE(reason.isEmpty());
        else
            EXPECT_EQ(reason, expected);
    }
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST(ImageWatchTest, TellsWhenTheFileNoLongerHoldsTheImageReadAtTheStart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    ASSERT_TRUE(write(path, QByteArray(600, 'a')));
    const ImageCheck check = checkFirmwareImage(path);
    ASSERT_TRUE(check.accepted);
    ImageWatch watch(check.image);
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

TEST(ArrivalSummaryTest, StatusIsZeroOnlyWhenEveryChipSeenWasFlashed)
{
    ArrivalTally tally;
    tally.flashed = 30;
    tally.skipped = 2;
    tally.durationMs = 3'725'000;
    EXPECT_EQ(tally.exitStatus(), ExitSuccess);
    EXPECT_EQ(summaryText(tally),
              "Summary: flashed 30, failed 0, interrupted 0, skipped 2; total time 1:02:05\n");
    tally.failed = 1;
    EXPECT_EQ(tally.exitStatus(), ExitChipFailure);
    tally.interrupted = 1;
    EXPECT_EQ(tally.exitStatus(), ExitInterrupted);
    EXPECT_EQ(summaryJson(tally), "{\"durationMs\":3725000,\"event\":\"summary\",\"exitCode\":3,\"failed\":1,"
                                  "\"flashed\":30,\"interrupted\":1,\"skipped\":2}\n");
    EXPECT_EQ(ArrivalTally{}.exitStatus(), ExitSuccess); // nothing seen, nothing failed
}
