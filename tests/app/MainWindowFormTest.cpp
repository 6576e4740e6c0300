// The window without a chip: the form, the window's own slots, the hand-over from other threads,
// the status-message buffer and the port list.
#include "MainWindow.h"
#include "PortList.h"
#include "Progress.h"
#include "TestSupport.h"

#include "flasher/MessageBuffer.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextCursor>
#include <QToolBar>

#include <cstring>
#include <thread>

namespace {

QStringList itemTexts(QComboBox* comboBox)
{
    QStringList texts;
    for (int i = 0; i < comboBox->count(); ++i)
        texts << comboBox->itemText(i);
    return texts;
}

// Object names of the widgets and nested layouts held by `layout`, in item order; spacers as "|".
QStringList itemNames(QLayout* layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->widget())
            names << item->widget()->objectName();
        else if (item->layout())
            names << item->layout()->objectName();
        else
            names << QStringLiteral("|");
    }
    return names;
}

vandrel::PortInfo portNamed(const char* name)
{
    vandrel::PortInfo info{};
    std::strncpy(info.portName, name, sizeof info.portName - 1);
    return info;
}

} // namespace

class MainWindowFormTest : public QObject
{
    Q_OBJECT

private slots:
    // --- the form ---
    void everyObjectHasItsClass();
    void layoutsHoldTheirItemsInOrder();
    void textsAndDefaults();
    void onlyFlashIsDisabledAtStart();
    void sizesAndPolicy();
    void helpMenuOpensTheAboutBoxes();

    // --- the window's own slots ---
    void clearRestoresCaptions();
    void progressArithmetic();
    void receiveLinesKeepTheirOrderAndLandAtTheEnd();
    void startStopDrivesTheGuardTimer();

    // --- buttons without a port ---
    void openWithoutPortsTellsTheUser();
    void flashAndResetNeedAnOpenPort();
    void cancelledLoadLeavesNoFile();

    // --- status lines and the port list ---
    void statusLinesAreCutAt255Bytes();
    void portListKeepsOrderAndFullNames();
};

void MainWindowFormTest::everyObjectHasItsClass()
{
    MainWindow window;
    // Objects that show a text have their class checked with it in textsAndDefaults.
    const std::pair<const char*, QStringList> objectsByClass[] = {
        {"QWidget", {"centralWidget"}},
        {"QGridLayout", {"gridLayout"}},
        {"QVBoxLayout",
         {"verticalLayout_8", "verticalLayout_6", "verticalLayout_7", "verticalLayout_5", "verticalLayout_4",
          "verticalLayout_2", "verticalLayout", "verticalLayout_3"}},
        {"QHBoxLayout",
         {"horizontalLayout_11", "horizontalLayout", "horizontalLayout_2", "horizontalLayout_3",
          "horizontalLayout_4", "horizontalLayout_5"}},
        {"QPlainTextEdit", {"plainTextEditSend", "plainTextEditReceive"}},
        {"QProgressBar", {"progressBar"}},
        {"QComboBox",
         {"comboBoxPortName", "comboBoxBaudrate", "comboBoxParity", "comboBoxDataBit", "comboBoxStopBit"}},
        {"QMenuBar", {"menuBar"}},
        {"QToolBar", {"mainToolBar"}},
        {"QStatusBar", {"statusBar"}},
    };
    for (const auto& [className, names] : objectsByClass) {
        for (const QString& name : names) {
            QObject* object = window.findChild<QObject*>(name);
            QVERIFY2(object, qPrintable(name));
            QCOMPARE(QString::fromLatin1(object->metaObject()->className()), QString::fromLatin1(className));
        }
    }
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void*>(&window));
    QCOMPARE(window.qt_metacast("CSerialPortListener"),
             static_cast<void*>(static_cast<vandrel::CSerialPortListener*>(&window)));
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QCOMPARE(window.menuBar()->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusBar"));
    QCOMPARE(window.toolBarArea(child<QToolBar>(window, "mainToolBar")), Qt::TopToolBarArea);
    QVERIFY(child<QToolBar>(window, "mainToolBar")->actions().isEmpty());
}

void MainWindowFormTest::layoutsHoldTheirItemsInOrder()
{
    MainWindow window;
    auto* grid = child<QGridLayout>(window, "gridLayout");
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(child<QLayout>(window, "verticalLayout_8")), &row, &column, &rowSpan,
                          &columnSpan);
    QCOMPARE(QList<int>({row, column, rowSpan, columnSpan}), QList<int>({0, 1, 1, 1}));
    grid->getItemPosition(grid->indexOf(child<QLayout>(window, "verticalLayout_5")), &row, &column, &rowSpan,
                          &columnSpan);
    QCOMPARE(QList<int>({row, column, rowSpan, columnSpan}), QList<int>({0, 0, 1, 1}));

    auto* right = child<QVBoxLayout>(window, "verticalLayout_8");
    QCOMPARE(itemNames(right), QStringList({"horizontalLayout_11", "groupBox_3", "groupBox_4"}));
    QCOMPARE(QList<int>({right->stretch(0), right->stretch(1), right->stretch(2)}), QList<int>({0, 5, 5}));
    QCOMPARE(right->spacing(), 3);
    QCOMPARE(child<QLayout>(window, "horizontalLayout_11")->count(), 0);
    QCOMPARE(itemNames(child<QLayout>(window, "verticalLayout_7")),
             QStringList({"plainTextEditReceive", "pushButtonClear", "progressBar"}));

    QCOMPARE(child<QVBoxLayout>(window, "verticalLayout_5")->stretch(0), 2);
    auto* box = child<QVBoxLayout>(window, "verticalLayout_4");
    QCOMPARE(itemNames(box), QStringList({"groupBox", "verticalLayout_3"}));
    QCOMPARE(box->stretch(0), 5);
    QCOMPARE(box->contentsMargins(), QMargins(2, 2, 2, 15));
    QCOMPARE(child<QLayout>(window, "verticalLayout_2")->contentsMargins(), QMargins(0, 0, 0, 0));

    QCOMPARE(
        itemNames(child<QLayout>(window, "verticalLayout")),
        QStringList({"horizontalLayout", "horizontalLayout_2", "horizontalLayout_3", "horizontalLayout_4",
                     "horizontalLayout_5", "|", "pushButtonOpen", "|", "label_FileSize", "label_TotalBlocks",
                     "label_CurrenBlock", "label_Action", "|", "label", "pushButtonLoadFirmware",
                     "labelFirmware_1", "pushButtonSend", "pushButtonReset"}));
    QCOMPARE(itemNames(child<QLayout>(window, "horizontalLayout_3")),
             QStringList({"labelParity", "comboBoxParity"}));

    auto* menu = child<QMenu>(window, "menuHelp");
    QCOMPARE(menu->actions(), QList<QAction*>({child<QAction>(window, "actionAbout"),
                                               child<QAction>(window, "actionAbout_Qt")}));
    QCOMPARE(window.menuBar()->actions(), QList<QAction*>({menu->menuAction()}));
}

void MainWindowFormTest::textsAndDefaults()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Morvane Flasher 1.1 for RQ75x"));
    // Labels, buttons and actions show a text, group boxes and menus a title.
    const struct
    {
        const char* name;
        const char* className;
        const char* text;
    } texts[] = {
        {"labelPortName", "QLabel", "Port:"},
        {"labelBaudrate", "QLabel", "Baudrate:"},
        {"labelParity", "QLabel", "Parity:"},
        {"labelDataBit", "QLabel", "DataBit:"},
        {"labelStopBit", "QLabel", "StopBit:"},
        {"label_FileSize", "QLabel", "File size:"},
        {"label_TotalBlocks", "QLabel", "Total memory blocks:"},
        {"label_CurrenBlock", "QLabel", "Current memory block:"},
        {"label_Action", "QLabel", "Action:"},
        {"label", "QLabel", "Load firmware bin file"},
        {"labelFirmware_1", "QLabel", "No file loaded"},
        {"pushButtonOpen", "QPushButton", "Open Port"},
        {"pushButtonClear", "QPushButton", "Clear"},
        {"pushButtonLoadFirmware", "QPushButton", "Load File"},
        {"pushButtonSend", "QPushButton", "Flash"},
        {"pushButtonReset", "QPushButton", "Factory Reset"},
        {"groupBox_3", "QGroupBox", "Send"},
        {"groupBox_4", "QGroupBox", "Receive"},
        {"groupBox", "QGroupBox", "SerialPort Setting"},
        {"groupBox_2", "QGroupBox", ""},
        {"menuHelp", "QMenu", "Help"},
        {"actionAbout", "QAction", "About"},
        {"actionAbout_Qt", "QAction", "About Qt"},
    };
    for (const auto& [name, className, text] : texts) {
        QObject* object = window.findChild<QObject*>(QString::fromLatin1(name));
        QVERIFY2(object, name);
        QCOMPARE(QString::fromLatin1(object->metaObject()->className()), QString::fromLatin1(className));
        const QVariant shown =
            object->property("text").isValid() ? object->property("text") : object->property("title");
        QCOMPARE(shown.toString(), QString::fromLatin1(text));
    }
    QCOMPARE(child<QGroupBox>(window, "groupBox")->alignment(), Qt::Alignment(0x21));

    auto* baudrate = child<QComboBox>(window, "comboBoxBaudrate");
    QCOMPARE(itemTexts(baudrate), QStringList({"300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                                               "38400", "56000", "57600", "115200"}));
    QCOMPARE(baudrate->currentIndex(), 11);
    auto* parity = child<QComboBox>(window, "comboBoxParity");
    QCOMPARE(itemTexts(parity), QStringList({"None", "Odd", "Even", "Mark", "Space"}));
    QCOMPARE(parity->currentIndex(), 0);
    auto* dataBits = child<QComboBox>(window, "comboBoxDataBit");
    QCOMPARE(itemTexts(dataBits), QStringList({"5", "6", "7", "8"}));
    QCOMPARE(dataBits->currentIndex(), 3);
    auto* stopBits = child<QComboBox>(window, "comboBoxStopBit");
    QCOMPARE(itemTexts(stopBits), QStringList({"1", "1.5", "2"}));
    QCOMPARE(stopBits->currentIndex(), 0);
    for (QComboBox* comboBox : window.findChildren<QComboBox*>())
        QVERIFY(!comboBox->isEditable());
    auto* ports = child<QComboBox>(window, "comboBoxPortName");
    QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);

    QVERIFY(sendLog(window).isEmpty());
    QVERIFY(receiveLog(window).isEmpty());
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 0);
    for (const char* name : {"plainTextEditSend", "plainTextEditReceive"}) {
        auto* log = child<QPlainTextEdit>(window, name);
        QVERIFY(log->isReadOnly());
        QVERIFY(!log->acceptDrops());
        QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(log->styleSheet(),
                 QStringLiteral("QPlainTextEdit {background-color: darkgrey; color: white;}"));
        QVERIFY(!log->backgroundVisible());
    }
    auto* firmware = child<QLabel>(window, "labelFirmware_1");
    QVERIFY(firmware->wordWrap());
    QCOMPARE(firmware->focusPolicy(), Qt::NoFocus);
    QCOMPARE(firmware->font().family(), QStringLiteral("Arial"));
    QCOMPARE(firmware->font().pointSize(), 10);
    QCOMPARE(firmware->font().weight(), QFont::Bold);
    QCOMPARE(child<QLabel>(window, "label")->font().pointSize(), 11);
    QCOMPARE(child<QLabel>(window, "label")->font().weight(), QFont::Normal);
}

void MainWindowFormTest::onlyFlashIsDisabledAtStart()
{
    MainWindow window;
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->objectName().startsWith(QStringLiteral("pushButton")))
            QCOMPARE(button->isEnabled(), button->objectName() != QStringLiteral("pushButtonSend"));
    }
    for (QComboBox* comboBox : window.findChildren<QComboBox*>())
        QVERIFY(comboBox->isEnabled());
}

void MainWindowFormTest::sizesAndPolicy()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(750, 690));
    QCOMPARE(window.minimumSize(), QSize(750, 690));
    QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    window.show();
    window.resize(300, 200);
    QCOMPARE(window.size(), QSize(750, 690));

    // Clear and the progress bar keep their sizes in a larger window; the bar fills its row.
    window.resize(1100, 900);
    auto* clear = button(window, "pushButtonClear");
    auto* progress = child<QProgressBar>(window, "progressBar");
    auto* group = child<QGroupBox>(window, "groupBox_4");
    QTRY_COMPARE(clear->size(), QSize(50, 30));
    QCOMPARE(progress->height(), 20);
    const QMargins margins = group->layout()->contentsMargins();
    QCOMPARE(progress->width(), group->contentsRect().width() - margins.left() - margins.right());
}

void MainWindowFormTest::helpMenuOpensTheAboutBoxes()
{
    MainWindow window;
    QCOMPARE(child<QAction>(window, "actionAbout")->shortcut(), QKeySequence(QStringLiteral("Alt+A")));
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto box = closeNextBox();
    QTest::keyClick(&window, Qt::Key_A, Qt::AltModifier);
    QTRY_VERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Morvane Flasher"));
    QVERIFY(box->text.startsWith(
        QStringLiteral("The <b>Flash utility for RQ75x printer controller chips. V1.1</b> Copyright (C) ")));

    auto* aboutQt = child<QAction>(window, "actionAbout_Qt");
    QVERIFY(aboutQt->shortcut().isEmpty());
    box = closeNextBox();
    aboutQt->trigger();
    QTRY_VERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("About Qt"));
}

void MainWindowFormTest::clearRestoresCaptions()
{
    MainWindow window;
    child<QPlainTextEdit>(window, "plainTextEditSend")->appendPlainText(QStringLiteral("status"));
    child<QPlainTextEdit>(window, "plainTextEditReceive")->appendPlainText(QStringLiteral("reply"));
    child<QProgressBar>(window, "progressBar")->setValue(40);
    for (const char* name : {"label_FileSize", "label_TotalBlocks", "label_CurrenBlock", "label_Action"})
        child<QLabel>(window, name)->setText(QStringLiteral("changed"));
    child<QLabel>(window, "labelFirmware_1")->setText(QStringLiteral("/tmp/image.bin"));

    button(window, "pushButtonClear")->click();
    button(window, "pushButtonClear")->click(); // a second time on a clear window is harmless

    QVERIFY(sendLog(window).isEmpty());
    QVERIFY(receiveLog(window).isEmpty());
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 0);
    QCOMPARE(child<QLabel>(window, "label_FileSize")->text(), QStringLiteral("File size:"));
    QCOMPARE(child<QLabel>(window, "label_TotalBlocks")->text(), QStringLiteral("Total memory blocks:"));
    QCOMPARE(child<QLabel>(window, "label_CurrenBlock")->text(), QStringLiteral("Current memory block:"));
    QCOMPARE(child<QLabel>(window, "label_Action")->text(), QStringLiteral("Action:"));
    // Clear leaves the picked file and the Flash button alone.
    QCOMPARE(child<QLabel>(window, "labelFirmware_1")->text(), QStringLiteral("/tmp/image.bin"));
    QVERIFY(!button(window, "pushButtonSend")->isEnabled());
}

void MainWindowFormTest::progressArithmetic()
{
    QCOMPARE(progressPercent(3, 10), std::optional<uint32_t>(30));
    QCOMPARE(progressPercent(10, 10), std::optional<uint32_t>(100));
    QCOMPARE(progressPercent(2, 3), std::optional<uint32_t>(66));
    QCOMPARE(progressPercent(1, 65535), std::optional<uint32_t>(0));
    QCOMPARE(progressPercent(65535, 65535), std::optional<uint32_t>(100));
    QVERIFY(!progressPercent(1, 0).has_value());
    // Past the last block the value exceeds 100; the bar ignores it and keeps what it showed.
    QCOMPARE(progressPercent(5, 3), std::optional<uint32_t>(166));
    QProgressBar bar;
    bar.setValue(66);
    bar.setValue(static_cast<int>(*progressPercent(5, 3)));
    QCOMPARE(bar.value(), 66);
}

void MainWindowFormTest::receiveLinesKeepTheirOrderAndLandAtTheEnd()
{
    MainWindow window;
    auto* receive = child<QPlainTextEdit>(window, "plainTextEditReceive");
    auto* progress = child<QProgressBar>(window, "progressBar");
    progress->setValue(7);
    constexpr int Lines = 200;
    std::thread sender([&window] {
        for (int i = 0; i < Lines; ++i)
            emit window.emitUpdateReceive(QString::number(i));
    });
    sender.join();
    QStringList expected;
    for (int i = 0; i < Lines; ++i)
        expected << QString::number(i);
    QTRY_COMPARE(receive->toPlainText(), expected.join(QLatin1Char('\n')));

    // The user put the cursor at the start and selected a number: the next line still goes last.
    QTextCursor cursor = receive->textCursor();
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::EndOfWord, QTextCursor::KeepAnchor);
    receive->setTextCursor(cursor);
    emit window.emitUpdateReceive(QStringLiteral("last"));
    QTRY_VERIFY(receive->toPlainText().endsWith(QStringLiteral("\n199\nlast")));
    // No image loaded: the progress bar keeps its value.
    QCOMPARE(progress->value(), 7);
}

void MainWindowFormTest::startStopDrivesTheGuardTimer()
{
    MainWindow window;
    QTimer* timer = guardTimer(window);
    QVERIFY(timer);
    QVERIFY(!timer->isActive());
    QVERIFY(!timer->isSingleShot());

    emit window.emitStartStop(0); // idle timer: no effect
    QTest::qWait(0);
    QVERIFY(!timer->isActive());

    std::thread receiveThread([&window] {
        emit window.emitStartStop(0);
        emit window.emitStartStop(15000);
    });
    receiveThread.join();
    QTRY_VERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 15000);

    // A second start while running restarts it with the new interval.
    emit window.emitStartStop(5000);
    QTRY_COMPARE(timer->interval(), 5000);
    QVERIFY(timer->remainingTime() > 4000);

    emit window.emitStartStop(0);
    QTRY_VERIFY(!timer->isActive());
}

void MainWindowFormTest::openWithoutPortsTellsTheUser()
{
    MainWindow window;
    child<QComboBox>(window, "comboBoxPortName")->clear();
    auto box = closeNextBox();
    button(window, "pushButtonOpen")->click();
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Information"));
    QCOMPARE(box->text, QStringLiteral("No avaiable ports"));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QVERIFY(sendLog(window).isEmpty());
}

void MainWindowFormTest::flashAndResetNeedAnOpenPort()
{
    MainWindow window;
    button(window, "pushButtonSend")->setEnabled(true);
    for (const char* name : {"pushButtonSend", "pushButtonReset"}) {
        auto box = closeNextBox();
        button(window, name)->click();
        QVERIFY2(box->seen, name);
        QCOMPARE(box->title, QStringLiteral("Information"));
        QCOMPARE(box->text, QStringLiteral("Please open serial port first!"));
    }
    QVERIFY(sendLog(window).isEmpty());
    QVERIFY(button(window, "pushButtonReset")->isEnabled());
}

void MainWindowFormTest::cancelledLoadLeavesNoFile()
{
    MainWindow window;
    child<QLabel>(window, "labelFirmware_1")->setText(QStringLiteral("/tmp/earlier.bin"));
    button(window, "pushButtonSend")->setEnabled(true);
    auto dialog = closeNextBox(); // rejects the file dialog
    button(window, "pushButtonLoadFirmware")->click();
    QVERIFY(dialog->seen);
    QCOMPARE(dialog->title, QStringLiteral("Open Firmware Files"));
    QCOMPARE(child<QLabel>(window, "labelFirmware_1")->text(), QStringLiteral("No file loaded"));
    QVERIFY(!button(window, "pushButtonSend")->isEnabled());
}

void MainWindowFormTest::statusLinesAreCutAt255Bytes()
{
    rq75x::MessageBuffer buffer;
    const QByteArray path(300, 'p');
    QString text;
    QCOMPARE(buffer.formatMessage(text, "Unable to open file %s", path.constData()), 320);
    QCOMPARE(text.size(), 255);
    QCOMPARE(text, QStringLiteral("Unable to open file ") + QString(235, QLatin1Char('p')));
}

void MainWindowFormTest::portListKeepsOrderAndFullNames()
{
    std::vector<vandrel::PortInfo> ports{portNamed("/dev/ttyUSB0"), portNamed(""),
                                         portNamed("/dev/ttyUSB10")};
    vandrel::PortInfo full{};
    std::memset(full.portName, 'n', sizeof full.portName); // no terminator in the field
    std::memset(full.description, 'd', sizeof full.description - 1);
    ports.push_back(full);

    QComboBox comboBox;
    fillPortList(comboBox, ports);
    QCOMPARE(comboBox.count(), 4);
    QCOMPARE(comboBox.itemText(0), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(comboBox.itemText(1), QString());
    QCOMPARE(comboBox.itemText(2), QStringLiteral("/dev/ttyUSB10"));
    QCOMPARE(comboBox.itemText(3), QString(256, QLatin1Char('n')));
    QCOMPARE(comboBox.currentIndex(), 0);
    QVERIFY(comboBox.itemIcon(0).isNull());
    QVERIFY(!comboBox.itemData(0).isValid());

    QComboBox empty;
    fillPortList(empty, {});
    QCOMPARE(empty.count(), 0);
}

QTEST_MAIN(MainWindowFormTest)
#include "MainWindowFormTest.moc"
