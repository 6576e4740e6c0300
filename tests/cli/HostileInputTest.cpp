// morvane-flash given what a careless or hostile user gives it: odd port and file names, things
// that are not serial ports or images, line settings no port takes, output nobody reads, ports it
// may not use. Each case ends at once.
#include "Programs.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class HostileInput : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    // A path of exactly `length` bytes inside the temporary directory, its directories made.
    QString pathOfLength(int length)
    {
        QString made = dir.path();
        while (length - made.size() > 100) {
            made += QLatin1Char('/') + QString(90, QLatin1Char('d'));
            EXPECT_TRUE(QDir().mkpath(made));
        }
        made += QLatin1Char('/');
        return made + QString(length - made.size(), QLatin1Char('n'));
    }

    QTemporaryDir dir;
};

TEST_F(HostileInput, APortNameLongerThanTheLibraryHoldsIsRefusedBeforeAnythingIsOpened)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    // 255 bytes name the chip; one byte more must not open the same chip under a cut name.
    const QString longest = pathOfLength(255);
    ASSERT_TRUE(QFile::link(chip.portPath(), longest));
    EXPECT_EQ(runFlasher({"info", "--port", longest})->exitCode(), 0);

    const auto run = runFlasher({"info", "--port", longest + "x"});
    EXPECT_EQ(run->exitCode(), 2) << run->out().toStdString();
    EXPECT_TRUE(run->err().contains("at most 255 bytes")) << run->err().toStdString();
    EXPECT_TRUE(run->out().isEmpty()) << run->out().toStdString();
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_EQ(chip.frameLines(), QStringList{"sim: firmware information sent"});
}

TEST_F(HostileInput, LineSettingsNoPortTakesAreUsageErrors)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const QStringList cases[] = {
        {"--stop-bits", "1.5", "--data-bits", "8"},
        {"--stop-bits", "1.5", "--data-bits", "6"},
        {"--stop-bits", "2", "--data-bits", "5"},
        {"--baud", "1"},
        {"--baud", "299"},
        {"--baud", "4000001"},
    };
    for (const QStringList& settings : cases) {
        const auto run = runFlasher(QStringList{"info", "--port", chip.portPath()} + settings, 10000);
        EXPECT_EQ(run->exitCode(), 2) << settings.join(' ').toStdString();
        EXPECT_TRUE(run->err().contains("Try 'morvane-flash --help'")) << run->err().toStdString();
    }
    EXPECT_EQ(runFlasher({"info", "--port", chip.portPath(), "--stop-bits", "1.5", "--data-bits", "5",
                          "--baud", "300"})
                  ->exitCode(),
              0);
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_EQ(chip.frameLines(), QStringList{"sim: firmware information sent"});
}
