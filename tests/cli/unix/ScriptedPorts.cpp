#include "Programs.h"

#include <QProcessEnvironment>

FlasherRun::Prepare scriptedPorts(const QStringList& ports)
{
    return [ports](QProcess& process) {
        process.setProgram(QStringLiteral(MORVANE_FLASH_SCRIPTED_PATH));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORVANE_SCRIPTED_PORTS"), ports.join(QLatin1Char('\n')));
        process.setProcessEnvironment(environment);
    };
}
