// morvane-flash given what a careless or hostile user gives it: odd port and file names, things
// that are not serial ports or images, line settings no port takes, output nobody reads, ports it
// may not use. Each case ends at once; the slow ones are in HostileRunsTest.cpp.
#include "Programs.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Holds a port the way another program does: the advisory lock and the exclusive mode.
class PortHolder
{
public:
    explicit PortHolder(const QString& path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd >= 0 && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)) {
            ::close(fd);
            fd = -1;
        }
    }
    ~PortHolder()
    {
        if (fd >= 0) {
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
        }
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holds() const { return fd >= 0; }

private:
    int fd;
};

// Runs morvane-flash as the user nobody, who is in no group.
void asNobody(QProcess& process)
{
    process.setArguments(
        QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", process.program()} +
        process.arguments());
    process.setProgram(QStringLiteral("setpriv"));
}

} // namespace

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

TEST_F(HostileInput, PortErrorsSayWhatIsWrongAfterTheLibrarysCodeAndText)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    ASSERT_TRUE(writeFile(path("file"), "not a port"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    PortHolder holder(chip.portPath());
    ASSERT_TRUE(holder.holds());

    const std::pair<QString, QByteArray> cases[] = {
        {path("missing"), "code: 12, message: not exist error (No such file or directory)"},
        {path("file"), "(not a serial port: a regular file)"},
        {path("fifo"), "(not a serial port: a FIFO)"},
        {"/dev/null", "not a serial port"},
        {path("folder"), "is a directory"},
        {chip.portPath(), "code: 6, message: access denied error (in use by another program)"},
    };
    for (const auto& [port, why] : cases) {
        const auto run = runFlasher({"info", "--port", port}, 10000);
        EXPECT_EQ(run->exitCode(), 2) << port.toStdString();
        EXPECT_TRUE(run->err().contains("morvane-flash: " + port.toLocal8Bit() + ": open port error"))
            << run->err().toStdString();
        EXPECT_TRUE(run->err().contains(why)) << port.toStdString() << "\n" << run->err().toStdString();
        EXPECT_FALSE(run->err().contains("usermod")) << run->err().toStdString();
    }
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.frameLines().isEmpty()) << chip.log().toStdString();
}

// Wherever the descriptors run out (opening the device or what the library needs beside it),
// the message says so instead of leaving "innet error" unexplained.
TEST_F(HostileInput, RunningOutOfFileDescriptorsIsNamed)
{
#ifdef __SANITIZE_ADDRESS__
    // Out of descriptors, the sanitizers' own checks fail (they test memory through a pipe) and
    // report errors that are not there.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    int refused = 0;
    for (int limit = 4; limit <= 24; ++limit) {
        const QString bound = QStringLiteral("--nofile=%1:%1").arg(limit);
        const auto run =
            runFlasher({"info", "--json", "--port", chip.portPath()}, 10000, [&](QProcess& process) {
                process.setArguments(QStringList{bound, process.program()} + process.arguments());
                process.setProgram(QStringLiteral("prlimit"));
            });
        if (!run->out().contains("\"open-failed\""))
            continue; // it could not start, or it had enough
        ++refused;
        EXPECT_TRUE(run->out().contains("Too many open files")) << limit << ": " << run->out().toStdString();
    }
    EXPECT_GT(refused, 0);
}

TEST_F(HostileInput, EveryPortEndsWithItsResultLineAlsoOneThatDidNotOpen)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const auto run = runFlasher({"info", "--port", path("missing"), "--port", chip.portPath()});
    EXPECT_EQ(run->exitCode(), 2);
    const QList<QByteArray> lines = run->outLines();
    EXPECT_TRUE(lines.contains(path("missing").toLocal8Bit() + ": Result: open-failed"))
        << run->out().toStdString();
    EXPECT_TRUE(lines.contains(chip.portPath().toLocal8Bit() + ": Result: completed"))
        << run->out().toStdString();
}

// A port the user may not open gets the advice how to be allowed: the group to join when the
// device's group may use it, otherwise to ask for access. A port another program holds gets no
// such advice, whoever asks.
TEST_F(HostileInput, PermissionDeniedExplainsTheGroupButABusyPortDoesNot)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    // The group serial ports belong to.
    const QByteArray port = QFile::encodeName(chip.portPath());
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    const QByteArray groupName = dialout->gr_name;
    ASSERT_EQ(::chown(port.constData(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(port.constData(), 0660), 0);
    const auto denied = runFlasher({"info", "--port", chip.portPath()}, 10000, asNobody);
    EXPECT_EQ(denied->exitCode(), 2) << denied->err().toStdString();
    EXPECT_TRUE(denied->err().contains("code: 6, message: access denied error (Permission denied)"))
        << denied->err().toStdString();
    EXPECT_TRUE(denied->err().contains("belongs to the group " + groupName)) << denied->err().toStdString();
    EXPECT_TRUE(denied->err().contains("sudo usermod -aG " + groupName + " $USER"))
        << denied->err().toStdString();
    EXPECT_TRUE(denied->err().contains("log in again")) << denied->err().toStdString();

    const auto deniedJson = runFlasher({"info", "--json", "--port", chip.portPath()}, 10000, asNobody);
    const QList<QJsonObject> events = deniedJson->jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["errorReason"].toString(), "Permission denied");
    EXPECT_TRUE(events.last()["hint"].toString().contains("sudo usermod -aG " + groupName + " $USER"));

    // Only the owner may use it: joining the group would not help.
    ASSERT_EQ(::chmod(port.constData(), 0600), 0);
    const auto ownerOnly = runFlasher({"info", "--port", chip.portPath()}, 10000, asNobody);
    EXPECT_EQ(ownerOnly->exitCode(), 2);
    EXPECT_TRUE(ownerOnly->err().contains("(Permission denied)")) << ownerOnly->err().toStdString();
    EXPECT_TRUE(ownerOnly->err().contains("Ask the administrator")) << ownerOnly->err().toStdString();
    EXPECT_FALSE(ownerOnly->err().contains("usermod")) << ownerOnly->err().toStdString();

    ASSERT_EQ(::chmod(port.constData(), 0666), 0);
    PortHolder holder(chip.portPath());
    ASSERT_TRUE(holder.holds());
    const auto busy = runFlasher({"info", "--port", chip.portPath()}, 10000, asNobody);
    EXPECT_EQ(busy->exitCode(), 2);
    EXPECT_TRUE(busy->err().contains("in use by another program")) << busy->err().toStdString();
    EXPECT_FALSE(busy->err().contains("usermod")) << busy->err().toStdString();
    EXPECT_FALSE(busy->err().contains("Ask the administrator")) << busy->err().toStdString();
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_TRUE(chip.frameLines().isEmpty()) << chip.log().toStdString();
}

TEST_F(HostileInput, OutputThatCannotBeWrittenIsReportedAndFailsTheRun)
{
    const auto full = runFlasher({"list"}, 10000, [](QProcess& process) {
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
    });
    EXPECT_EQ(full->exitCode(), 4);
    EXPECT_TRUE(full->err().contains("cannot write to standard output: No space left on device"))
        << full->err().toStdString();

    // A closed standard output: the port must not take its place.
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    const auto closed = runFlasher({}, 10000, [&](QProcess& process) {
        process.setProgram(QStringLiteral("/bin/sh"));
        process.setArguments({"-c", "exec \"$0\" info --port \"$1\" >&-", flasherPath(), chip.portPath()});
    });
    EXPECT_EQ(closed->exitCode(), 4);
    EXPECT_TRUE(closed->err().contains("cannot write to standard output: Bad file descriptor"))
        << closed->err().toStdString();
    EXPECT_TRUE(closed->err().contains(chip.portPath().toLocal8Bit() + ": Result: completed"))
        << closed->err().toStdString();
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
    EXPECT_EQ(chip.frameLines(), QStringList{"sim: firmware information sent"});
}

TEST_F(HostileInput, InfoOnAChipInBootModeSaysSo)
{
    SimulatedChip chip;
    ASSERT_TRUE(chip.started());
    enterBootMode(chip.portPath());

    const auto json = runFlasher({"info", "--json", "--port", chip.portPath()});
    EXPECT_EQ(json->exitCode(), 1) << json->out().toStdString();
    const QList<QJsonObject> events = json->jsonEvents();
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last()["result"].toString(), "boot-mode");
    EXPECT_EQ(events.last()["exitCode"].toInt(), 1);
    EXPECT_FALSE(events.last().contains("firmwareInfo"));

    const auto text = runFlasher({"info", "--port", chip.portPath()});
    EXPECT_EQ(text->exitCode(), 1);
    EXPECT_TRUE(text->err().contains("the chip is in boot mode")) << text->err().toStdString();
    EXPECT_TRUE(text->err().contains("flash") && text->err().contains("reset")) << text->err().toStdString();
    EXPECT_EQ(chip.stop(), 0) << chip.log().toStdString();
}
