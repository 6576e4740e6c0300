// The simulated chip under wine. rq75x-sim is a Linux program, so the pty peer (tests/win/host)
// starts it and links a COM port to its pty; the test talks to the peer, and portPath() is the
// COM port's name. Arguments that are Windows paths (--save C:/...) reach the simulator as the
// Linux paths wine maps them to.
#include "SimulatedChip.h"

#include "PtyPeer.h"

#include <QDir>
#include <QRegularExpression>
#include <QtGlobal>

#include <string>
#include <vector>
#include <windows.h>

class SimulatedChip::Runner
{
public:
    bool running = false;
    int status = -1;
};

namespace {

// One control connection per test program: the peer serves one at a time.
vandrel::wintest::PtyPeer& peer()
{
    static vandrel::wintest::PtyPeer instance;
    return instance;
}

// The Linux path of a Windows path, through wine's own mapping; the text unchanged when it is no
// absolute Windows path or there is no wine.
std::string linuxPath(const QString& argument)
{
    static const QRegularExpression windowsPath(QStringLiteral("^[A-Za-z]:[/\\\\]"));
    if (!windowsPath.match(argument).hasMatch())
        return argument.toStdString();
    using Mapping = char*(__cdecl*)(const wchar_t*);
    const auto map = reinterpret_cast<Mapping>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!map)
        return argument.toStdString();
    const std::wstring wide = QDir::toNativeSeparators(argument).toStdWString();
    char* mapped = map(wide.c_str());
    if (!mapped)
        return argument.toStdString();
    std::string result(mapped);
    HeapFree(GetProcessHeap(), 0, mapped);
    return result;
}

} // namespace

SimulatedChip::SimulatedChip(const QStringList& arguments) : runner(std::make_unique<Runner>())
{
    std::vector<std::string> linuxArguments{"--verbose"};
    for (const QString& argument : arguments)
        linuxArguments.push_back(linuxPath(argument));
    const std::string port = peer().startSimulator(linuxArguments);
    if (port.empty()) {
        qWarning("rq75x-sim did not start: %s", peer().problem().c_str());
        return;
    }
    runner->running = true;
    path = QString::fromStdString(port);
}

SimulatedChip::~SimulatedChip()
{
    if (runner->running)
        stop();
}

int SimulatedChip::stop()
{
    if (runner->running) {
        runner->running = false;
        std::string log;
        if (!peer().stopSimulator(path.toStdString(), runner->status, log))
            runner->status = -1;
        errors += QByteArray::fromStdString(log);
    }
    return runner->status;
}

bool SimulatedChip::waitForLogLine(const QByteArray&, int)
{
    // The pty peer hands the simulator's log over only when it ends it.
    return false;
}

QString absentPortName()
{
    return QStringLiteral("COM4321");
}

bool hangUpIsSeen()
{
    return false;
}
