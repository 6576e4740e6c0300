// list --watch, ended by a termination signal.
#include "Programs.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <gtest/gtest.h>

#include <csignal>

TEST(PortList, WatchEndsCleanlyOnTermination)
{
    FlasherRun watch({"list", "--watch"});
    // The line comes once the termination signals are taken over.
    ASSERT_TRUE(watch.waitForErr("Watching serial ports", 10000)) << watch.err().toStdString();
    ::kill(static_cast<pid_t>(watch.process.processId()), SIGTERM);
    ASSERT_TRUE(waitForAll({&watch}, 10000));
    EXPECT_EQ(watch.exitCode(), 0);
    EXPECT_TRUE(watch.out().isEmpty()) << watch.out().toStdString();
}

// Where the machine lets us (root, a real serial port), the kernel announces the port again and
// the watch prints it.
TEST(PortList, WatchReportsAnArrival)
{
    const QByteArray list = runFlasher({"list", "--json"})->out();
    QString port;
    for (const QJsonValue& entry : QJsonDocument::fromJson(list).array()) {
        const QString name = entry["port"].toString();
        if (name.startsWith("/dev/") && QFile::exists("/sys/class/tty/" + name.mid(5) + "/uevent")) {
            port = name;
            break;
        }
    }
    QFile uevent("/sys/class/tty/" + port.mid(5) + "/uevent");
    if (port.isEmpty() || !uevent.open(QIODevice::WriteOnly))
        GTEST_SKIP() << "no serial port whose arrival can be announced here";

    FlasherRun watch({"list", "--watch"});
    ASSERT_TRUE(watch.waitForErr("Watching serial ports", 10000));
    // The monitor starts just after that line; announce until the watch has seen it.
    const QByteArray expected = "added " + port.toLocal8Bit() + "\n";
    watch.process.setReadChannel(QProcess::StandardOutput);
    const QDeadlineTimer deadline(10000);
    while (!watch.out().contains(expected) && !deadline.hasExpired()) {
        uevent.write("add\n");
        uevent.flush();
        watch.process.waitForReadyRead(500); // the slot collects the output
    }
    EXPECT_TRUE(watch.out().contains(expected)) << watch.out().toStdString();
    ::kill(static_cast<pid_t>(watch.process.processId()), SIGTERM);
    ASSERT_TRUE(waitForAll({&watch}, 10000));
    EXPECT_EQ(watch.exitCode(), 0);
}
