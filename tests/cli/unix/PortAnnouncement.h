// A real serial port whose removal and arrival a test can announce through the kernel (as root,
// on a machine with such a port), so that a real port-change event reaches the program.
#pragma once

#include "Programs.h"

#include <QFile>

#include <memory>

struct AnnounceablePort
{
    QString name; // empty when the machine has no such port or the test may not announce it
    std::unique_ptr<QFile> uevent;
};

AnnounceablePort announceablePort();

// Announces the port as removed and arriving again until standard output of `run` holds
// `expected` (10 s at most): the program's monitor may start only after the line the test waited
// for. True when it does.
bool announceUntilSeen(AnnounceablePort& port, FlasherRun& run, const QByteArray& expected);
