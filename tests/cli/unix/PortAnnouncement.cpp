#include "PortAnnouncement.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>

AnnounceablePort announceablePort()
{
    const QByteArray list = runFlasher({"list", "--json"})->out();
    for (const QJsonValue& entry : QJsonDocument::fromJson(list).array()) {
        const QString name = entry["port"].toString();
        if (!name.startsWith("/dev/"))
            continue;
        auto uevent = std::make_unique<QFile>("/sys/class/tty/" + name.mid(5) + "/uevent");
        if (uevent->exists() && uevent->open(QIODevice::WriteOnly))
            return {name, std::move(uevent)};
    }
    return {};
}

bool announceUntilSeen(AnnounceablePort& port, FlasherRun& run, const QByteArray& expected)
{
    run.process.setReadChannel(QProcess::StandardOutput);
    const QDeadlineTimer deadline(10000);
    while (!run.out().contains(expected) && !deadline.hasExpired()) {
        // Unplugged and plugged in again: an "add" alone announces a port already present, which
        // is no arrival.
        port.uevent->write("remove\n");
        port.uevent->flush();
        port.uevent->write("add\n");
        port.uevent->flush();
        // The program gets its time to tell of it before the next announcement: a removal in the
        // middle of its work on the port would end that work.
        const QDeadlineTimer told(1000);
        while (!run.out().contains(expected) && !told.hasExpired())
            run.process.waitForReadyRead(100); // the slot collects the output
    }
    return run.out().contains(expected);
}
