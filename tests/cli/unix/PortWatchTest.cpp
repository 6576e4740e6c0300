// list --watch, ended by a termination signal.
#include "PortAnnouncement.h"

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
    AnnounceablePort port = announceablePort();
    if (port.name.isEmpty())
        GTEST_SKIP() << "no serial port whose arrival can be announced here";

    FlasherRun watch({"list", "--watch"});
    ASSERT_TRUE(watch.waitForErr("Watching serial ports", 10000));
    const QByteArray expected = "added " + port.name.toLocal8Bit() + "\n";
    announceUntilSeen(port, watch, expected);
    EXPECT_TRUE(watch.out().contains(expected)) << watch.out().toStdString();
    ::kill(static_cast<pid_t>(watch.process.processId()), SIGTERM);
    ASSERT_TRUE(waitForAll({&watch}, 10000));
    EXPECT_EQ(watch.exitCode(), 0);
}
