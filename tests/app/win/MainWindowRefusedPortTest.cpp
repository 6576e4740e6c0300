// A port the system refuses to open, on Windows. There a port that another program holds is
// refused with "access denied"; wine lets a second program open it, so the window is shown a port
// wine refuses in the same way: a COM port that is a link to a directory.
#include "MainWindow.h"
#include "PtyPeer.h"
#include "TestSupport.h"

#include <QComboBox>
#include <QTest>

class MainWindowRefusedPortTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedPortShowsTheLibraryError();
};

void MainWindowRefusedPortTest::refusedPortShowsTheLibraryError()
{
    vandrel::wintest::PtyPeer peer;
    if (!peer.connected())
        QSKIP(peer.problem().c_str());
    const QString name = QString::fromStdString(peer.openPort("dir"));
    QVERIFY(!name.isEmpty());
    MainWindow window;
    auto* ports = child<QComboBox>(window, "comboBoxPortName");
    ports->insertItem(0, name);
    ports->setCurrentIndex(0);

    auto box = closeNextBox();
    button(window, "pushButtonOpen")->click();
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Information"));
    QVERIFY2(box->text.startsWith(QStringLiteral("open port error\n\ncode: 6\nmessage: access denied error")),
             qPrintable(box->text));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QCOMPARE(sendLog(window), QStringLiteral("Port closed..."));
    QVERIFY(!guardTimer(window)->isActive());
    QVERIFY(peer.unplug(name.toStdString()));
}

QTEST_MAIN(MainWindowRefusedPortTest)
#include "MainWindowRefusedPortTest.moc"
