#include "cli/PortWatch.h"

#include "cli/LocalText.h"
#include "cli/TerminationSignal.h"
#include "serialport/CSerialPort.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdio>
#include <mutex>

namespace morvane::cli {

namespace {

// Called on the port-change thread while the main thread waits for a signal.
class ChangePrinter : public vandrel::CSerialPortChangeListener
{
public:
    ChangePrinter(Console& console, bool json) : console(console), json(json) {}

    void onPortChange(const char* portName, unsigned int isAdded) override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        console.writeOut(portChangeLine(portName, isAdded != 0, json));
    }

private:
    std::mutex mutex;
    Console& console;
    bool json;
};

} // namespace

QByteArray portChangeLine(const char* portName, bool added, bool json)
{
    const QString event = added ? QStringLiteral("added") : QStringLiteral("removed");
    if (json) {
        const QJsonValue name =
            portName != nullptr ? QJsonValue(QString::fromLocal8Bit(portName)) : QJsonValue(QJsonValue::Null);
        const QJsonObject object{{QStringLiteral("event"), event}, {QStringLiteral("port"), name}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    const QString name = portName != nullptr ? QString::fromLocal8Bit(portName) : QStringLiteral("(unknown)");
    return toLocalBytes(event + QLatin1Char(' ') + name) + '\n';
}

ExitStatus watchPorts(const Options& options, Console& console)
{
    // Before the port-change thread exists, so that it inherits the blocked signals.
    TerminationSignal termination;

    // Also tells a script that the signals are taken over: from now on they end the watch cleanly.
    console.writeErr("Watching serial ports; press Ctrl+C to stop.\n");
    ChangePrinter printer(console, options.json);
    CSerialPort port;
    const int result = port.connectPortChangeEvent(&printer);
    if (result != ErrorSuccess) {
        console.writeErr(
            toLocalBytes(QStringLiteral("morvane-flash: cannot watch ports, code: %1, message: %2\n")
                             .arg(result)
                             .arg(QString::fromUtf8(errorCodeMessage(result)))));
        return ExitChipFailure;
    }
    termination.wait();
    // Returns once no notification is running; none comes afterwards.
    port.disconnectPortChangeEvent();
    return ExitSuccess;
}

} // namespace morvane::cli
