#include "SystemProbes.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

LineWatch::LineWatch(const QString& port)
    : fd(::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
}

LineWatch::~LineWatch()
{
    if (fd >= 0)
        ::close(fd);
}

bool LineWatch::waitUntilTaken(int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    const QDeadlineTimer arrival(20);
    bool seen = false;
    for (;;) {
        const int count = queued();
        seen = seen || count > 0;
        if (count == 0 && (seen || arrival.hasExpired()))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::usleep(100);
    }
}

int LineWatch::queued() const
{
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

QString giveToSerialGroup(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const group* dialout = ::getgrnam("dialout");
    if (!dialout || ::chown(name.constData(), 0, dialout->gr_gid) != 0 ||
        ::chmod(name.constData(), 0660) != 0)
        return QString();
    return QString::fromLocal8Bit(dialout->gr_name);
}

bool runAsNobody(const std::function<void()>& work)
{
    // The raw system call changes the user of this thread only (the C library's setresuid would
    // change every thread of the process).
    constexpr long nobody = 65534;
    if (::syscall(SYS_setresuid, -1, nobody, -1) != 0)
        return false;
    work();
    return ::syscall(SYS_setresuid, -1, 0, -1) == 0;
}
