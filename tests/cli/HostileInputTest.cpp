// morvane-flash given what a careless or hostile user gives it: odd port and file names, things
// that are not serial ports or images, line settings no port takes, output nobody reads, ports it
// may not use. Each case ends at once.
#include "Programs.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST_F(HostileInput, AnImageThatIsNoRegularFileIsRefusedWithWhatItIs)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo.bin")).constData(), 0600), 0);
    const std::pair<QString, QByteArray> cases[] = {
        {path("fifo.bin"), "it is a FIFO, not a regular file"},
        {"/dev/zero", "it is a character device, not a regular file"},
    };
    for (const auto& [image, what] : cases) {
        const auto run = runFlasher({"flash", "--port", chip.portPath(), image}, 10000);
        EXPECT_EQ(run->exitCode(), 2) << image.toStdString();
        EXPECT_TRUE(run->out().contains("Cannot flash " + image.toLocal8Bit() + ": " + what))
            << run->out().toStdString();
    }
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.frameLines().isEmpty()) << chip.log().toStdString();
}

TEST_F(HostileInput, AnImagePathIsNeverCutInAMessage)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const QString image = pathOfLength(300);
    ASSERT_TRUE(writeFile(image, {}));
    const auto run = runFlasher({"flash", "--port", chip.portPath(), image});
    EXPECT_EQ(run->exitCode(), 2);
    EXPECT_TRUE(run->out().contains("Cannot flash " + image.toLocal8Bit() + ": it holds 0 Bytes"))
        << run->out().toStdString();
}

TEST_F(HostileInput, NamesThatAreNotUtf8ReachTheSystemUnchanged)
{
    SimulatedChip chip({"--save", path("received.bin")});
    ASSERT_TRUE(chip.started());
    const QByteArray directory = QFile::encodeName(dir.path());
    const QByteArray port = directory + "/port-\xff";
    const QByteArray image = directory + "/fw-\xfe.bin";
    ASSERT_EQ(::symlink(QFile::encodeName(chip.portPath()).constData(), port.constData()), 0);
    const QByteArray firmware = randomBytes(300, 9);
    const int fd = ::open(image.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, firmware.constData(), 300), 300);
    ::close(fd);

    // QProcess would pass the arguments as UTF-8: the shell builds the names byte by byte.
    const auto run = runFlasher({}, 30000, [&](QProcess& process) {
        process.setProgram(QStringLiteral("/bin/sh"));
        process.setArguments(
            {"-c", "exec \"$0\" flash --port \"$1/port-$(printf '\\377')\" \"$1/fw-$(printf '\\376').bin\"",
             flasherPath(), dir.path()});
    });
    EXPECT_EQ(run->exitCode(), 0) << run->out().toStdString() << run->err().toStdString();
    EXPECT_EQ(readFile(path("received.bin")), firmware);
    EXPECT_TRUE(run->out().contains("File: " + image + " \nSize: 300 Bytes")) << run->out().toStdString();
    EXPECT_EQ(chip.stop(), 0);
    ::unlink(port.constData()); // names QTemporaryDir cannot spell
    ::unlink(image.constData());
}
