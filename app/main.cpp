#include "MainWindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // The desktop entry's name lets a desktop match the window to its entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("morvane-flasher"));
    QIcon icon;
    for (const char* size : {"32", "256"})
        icon.addFile(QStringLiteral(":/icons/morvane-flasher-%1.png").arg(QLatin1String(size)));
    QApplication::setWindowIcon(icon);
    MainWindow window;
    window.show();
    return application.exec();
}
