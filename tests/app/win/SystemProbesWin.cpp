#include "SystemProbes.h"

// Under wine a COM port is a pty behind the pty peer: there is no second look at it from here, and
// no other user to be.

LineWatch::LineWatch(const QString&) {}

LineWatch::~LineWatch() = default;

bool LineWatch::waitUntilTaken(int) const
{
    return false;
}

int LineWatch::queued() const
{
    return -1;
}

QString giveToSerialGroup(const QString&)
{
    return QString();
}

bool runAsNobody(const std::function<void()>&)
{
    return false;
}
