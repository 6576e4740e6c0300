// The window end to end against rq75x-sim over a pseudo-terminal: the port controls, Load File,
// flashing and factory reset, every time-out and the simulator's fault modes.
#include "MainWindow.h"
#include "SimulatedChip.h"
#include "SystemProbes.h"
#include "TestSupport.h"

#include "flasher/FirmwareImage.h"
#include "serialport/CSerialPort.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QThread>

#include <memory>
#include <vector>

namespace {

const char* const TimedOutLine = "Call to chip timed out. Check your port or chip setup";
const char* const ActionButtons[] = {"pushButtonSend", "pushButtonLoadFirmware", "pushButtonReset",
                                     "pushButtonOpen", "pushButtonClear"};

// Generous bounds for a run to end: the protocol's own time-outs plus room for a loaded machine.
constexpr int AnswerTimeoutMs = 5000;
constexpr int ShortRunTimeoutMs = 15000;

QStringList lines(const QString& text)
{
    return text.split(QLatin1Char('\n'));
}

bool actionButtonsEnabled(QWidget& window)
{
    for (const char* name : ActionButtons) {
        if (!button(window, name)->isEnabled())
            return false;
    }
    return true;
}

// Puts the simulator's port first in the port list and selects it.
void usePort(QWidget& window, const QString& path)
{
    auto* ports = child<QComboBox>(window, "comboBoxPortName");
    ports->insertItem(0, path);
    ports->setCurrentIndex(0);
}

// Picks `path` in the Load File dialog; true when the window took it.
bool pickFirmware(QWidget& window, const QString& path)
{
    answerNextFileDialog(path);
    button(window, "pushButtonLoadFirmware")->click();
    return labelText(window, "labelFirmware_1") == path && button(window, "pushButtonSend")->isEnabled();
}

bool sendLogHas(QWidget& window, const char* line)
{
    return lines(sendLog(window)).contains(QString::fromUtf8(line));
}

bool portWentAway(QWidget& window)
{
    return sendLog(window).contains(QStringLiteral("Port went away"));
}

bool runEnded(QWidget& window)
{
    return sendLogHas(window, "Flashing completed.") || sendLogHas(window, TimedOutLine) ||
           portWentAway(window);
}

const char* const SettingBoxes[] = {"comboBoxPortName", "comboBoxBaudrate", "comboBoxParity",
                                    "comboBoxDataBit", "comboBoxStopBit"};

// Whether each of the five setting boxes is `enabled`.
bool settingsEnabled(QWidget& window, bool enabled)
{
    for (const char* name : SettingBoxes) {
        if (child<QComboBox>(window, name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

// The block frames the simulator took, in its log, before `line`.
int blocksLoggedBefore(const SimulatedChip& chip, const QString& line)
{
    const QRegularExpression block(QStringLiteral("^sim: block \\d+ written"));
    int blocks = 0;
    for (const QString& logged : chip.frameLines()) {
        if (logged == line)
            break;
        if (block.match(logged).hasMatch())
            ++blocks;
    }
    return blocks;
}

} // namespace

class MainWindowChipTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // --- port controls ---
    void openShowsTheFilteredAnswerAndReopens();
    void missingOrBusyPortShowsTheLibraryError();
    void permissionDeniedAddsTheGroupHint();
    void unansweredRequestTimesOutEvenAfterClose();
    void settingsAreLockedWhileThePortIsOpen();

    // --- image and runs ---
    void flashSmallImagesThenFactoryReset();
    void deletedFileSendsNothing();
    void destroyWhileFlashing();
    void flashRandom64KiB();

    // --- stopping a run, closing during one, the keyboard ---
    void stopEndsTheRunWhereItStands();
    void closingDuringARunAsksFirst();
    void keyboardRunGivesFocusBackToItsButton();

    // --- a reply racing the time-out, a line that hangs up ---
    void replyTakenBeforeTheTimeOutFiresAdvancesTheRun();
    void hangUpEndsTheRunAtOnce();

    // --- layout, under Xvfb ---
    void longPathKeepsTheLogPanesWide();

    // --- time-outs and faults, several windows at once ---
    void everyRequestTimeOutAndFlashAfterItReadsTheFileAgain();
    void faultModesEndCleanly();

private:
    // Opens the port shown in the list and waits for the answer to the firmware request.
    void openAndWaitForAnswer(MainWindow& window);
    // Presses Flash and waits for "Flashing completed.".
    void flashAndWait(MainWindow& window, int timeoutMs = ShortRunTimeoutMs);
    // Presses Open Port on a port that cannot be opened and checks the box and the log.
    void expectOpenErrorBox(MainWindow& window, const QString& codeAndMessage);

    std::unique_ptr<QTemporaryDir> dir;
};

void MainWindowChipTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void MainWindowChipTest::openAndWaitForAnswer(MainWindow& window)
{
    button(window, "pushButtonOpen")->click();
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QTRY_VERIFY_WITH_TIMEOUT(!receiveLog(window).isEmpty(), AnswerTimeoutMs);
    QTRY_VERIFY(!guardTimer(window)->isActive());
}

void MainWindowChipTest::flashAndWait(MainWindow& window, int timeoutMs)
{
    button(window, "pushButtonSend")->click();
    QTRY_VERIFY2_WITH_TIMEOUT(runEnded(window), qPrintable(sendLog(window) + "\n--\n" + receiveLog(window)),
                              timeoutMs);
    QVERIFY2(sendLogHas(window, "Flashing completed."), qPrintable(sendLog(window)));
}

void MainWindowChipTest::expectOpenErrorBox(MainWindow& window, const QString& codeAndMessage)
{
    auto box = closeNextBox();
    button(window, "pushButtonOpen")->click();
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Information"));
    QCOMPARE(box->text, QStringLiteral("open port error\n\n") + codeAndMessage);
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QCOMPARE(sendLog(window), QStringLiteral("Port closed..."));
    QVERIFY(!guardTimer(window)->isActive());
}

void MainWindowChipTest::openShowsTheFilteredAnswerAndReopens()
{
    // 'e' and the other lowercase letters from 'b' to 'y' go, 'E', 'a', 'z', '-' and digits stay.
    SimulatedChip chip({QStringLiteral("--info"), QStringLiteral("Edge RQ75x-Zeta 1.2 z\\r\\n")});
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    usePort(window, chip.portPath());

    button(window, "pushButtonOpen")->click();
    QCOMPARE(lines(sendLog(window)),
             QStringList({"Port open ready to flash RQ75x...", "Getting current firmware information"}));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QVERIFY(guardTimer(window)->isActive());
    QCOMPARE(guardTimer(window)->interval(), 5000);

    // The answer may come in more than one read; each part is its own line.
    QTRY_COMPARE_WITH_TIMEOUT(
        receiveLog(window).remove(QLatin1Char('\n')).remove(QLatin1Char('\r')).trimmed(),
        QStringLiteral("E RQ75-Za 1.2 z"), AnswerTimeoutMs);
    QTRY_VERIFY(!guardTimer(window)->isActive());
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 0);

    // Close and open again: the request goes out again and is answered again.
    button(window, "pushButtonOpen")->click();
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QCOMPARE(lines(sendLog(window)).last(), QStringLiteral("Port closed..."));
    button(window, "pushButtonOpen")->click();
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QTRY_COMPARE_WITH_TIMEOUT(receiveLog(window).remove(QLatin1Char('\n')).count(QStringLiteral("RQ75-Za")),
                              2, AnswerTimeoutMs);
    QCOMPARE(lines(sendLog(window)),
             QStringList({"Port open ready to flash RQ75x...", "Getting current firmware information",
                          "Port closed...", "Port open ready to flash RQ75x...",
                          "Getting current firmware information"}));
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::missingOrBusyPortShowsTheLibraryError()
{
    MainWindow missing;
    usePort(missing, absentPortName());
    // The library does not name the port: the box adds it.
    expectOpenErrorBox(missing,
                       QStringLiteral("code: 12\nmessage: not exist error\n\nThe port %1 is not present.")
                           .arg(absentPortName()));

    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    const QByteArray path = chip.portPath().toUtf8();
    CSerialPort holder;
    holder.init(path.constData(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    QVERIFY(holder.open());
    CSerialPort second;
    second.init(path.constData(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    if (second.open())
        QSKIP("this system lets a second program open a port that is open (wine does)");
    MainWindow busy;
    usePort(busy, chip.portPath());
    expectOpenErrorBox(busy, QStringLiteral("code: 6\nmessage: access denied error"));

    // Once the other holder lets go, the same window opens the port.
    holder.close();
    openAndWaitForAnswer(busy);
}

void MainWindowChipTest::permissionDeniedAddsTheGroupHint()
{
    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    const QString groupName = giveToSerialGroup(chip.portPath());
    if (groupName.isEmpty())
        QSKIP("this system has no serial group to give the port to");

    MainWindow window;
    usePort(window, chip.portPath());
    auto box = closeNextBox();
    // The window opens the port on this thread: as the user nobody here, root on every other.
    if (!runAsNobody([&] { button(window, "pushButtonOpen")->click(); }))
        QSKIP("this system cannot open the port as another user");
    QVERIFY(box->seen);
    const QString libraryText =
        QStringLiteral("open port error\n\ncode: 6\nmessage: access denied error\n\n");
    QVERIFY2(box->text.startsWith(libraryText), qPrintable(box->text));
    QVERIFY2(box->text.contains(QStringLiteral("sudo usermod -aG %1 $USER").arg(groupName)),
             qPrintable(box->text));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
}

void MainWindowChipTest::unansweredRequestTimesOutEvenAfterClose()
{
    // Two silent chips: one window waits for the answer, the other closes its port at once.
    // Closing does not stop the running time-out, so both report it.
    SimulatedChip waitedFor({QStringLiteral("--silent")});
    SimulatedChip closedOn({QStringLiteral("--silent")});
    QVERIFY(!waitedFor.portPath().isEmpty() && !closedOn.portPath().isEmpty());
    MainWindow waiting;
    MainWindow closing;
    usePort(waiting, waitedFor.portPath());
    usePort(closing, closedOn.portPath());
    button(waiting, "pushButtonOpen")->click();
    button(closing, "pushButtonOpen")->click();
    button(closing, "pushButtonOpen")->click();
    QCOMPARE(button(closing, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QVERIFY(guardTimer(closing)->isActive());

    for (MainWindow* window : {&waiting, &closing}) {
        QTRY_VERIFY_WITH_TIMEOUT(sendLogHas(*window, TimedOutLine), 5000 + AnswerTimeoutMs);
        QCOMPARE(receiveLog(*window), QStringLiteral("Timeout fired"));
        QCOMPARE(labelText(*window, "label_Action"), QString::fromUtf8(TimedOutLine));
        QCOMPARE(button(*window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
        QVERIFY(button(*window, "pushButtonOpen")->isEnabled());
        QVERIFY(!guardTimer(*window)->isActive());
    }
    const QStringList opened{"Port open ready to flash RQ75x...", "Getting current firmware information",
                             "Port closed..."};
    QCOMPARE(lines(sendLog(waiting)), opened + QStringList{TimedOutLine});
    QCOMPARE(lines(sendLog(closing)), opened + QStringList({"Port closed...", TimedOutLine}));

    // The port really is closed: Factory Reset asks for it.
    auto box = closeNextBox();
    button(waiting, "pushButtonReset")->click();
    QVERIFY(box->seen);
    QCOMPARE(box->text, QStringLiteral("Please open serial port first!"));
}

void MainWindowChipTest::settingsAreLockedWhileThePortIsOpen()
{
    // The settings shown are the ones the port was opened with, until it closes: by the button,
    // or by the engine when the chip stays silent.
    SimulatedChip chip({QStringLiteral("--silent")});
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    usePort(window, chip.portPath());
    QVERIFY(settingsEnabled(window, true));
    button(window, "pushButtonOpen")->click();
    QVERIFY(settingsEnabled(window, false));
    button(window, "pushButtonOpen")->click();
    QVERIFY(settingsEnabled(window, true));

    button(window, "pushButtonOpen")->click();
    QVERIFY(settingsEnabled(window, false));
    QTRY_VERIFY_WITH_TIMEOUT(sendLogHas(window, TimedOutLine), 5000 + AnswerTimeoutMs);
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QVERIFY(settingsEnabled(window, true));
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::flashSmallImagesThenFactoryReset()
{
    const QString saved = dir->filePath(QStringLiteral("received.bin"));
    SimulatedChip chip({QStringLiteral("--save"), saved});
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);

    // The first at a path of more than 255 bytes: its status lines keep their first 255 bytes,
    // the image still goes.
    QString deep = dir->path();
    while (deep.size() < 300)
        deep += QStringLiteral("/directory-with-a-rather-long-name");
    QVERIFY(QDir().mkpath(deep));
    const QString small = deep + QStringLiteral("/small.bin");
    const QByteArray smallImage = randomBytes(300, 2);
    QVERIFY(writeFile(small, smallImage));
    QVERIFY(pickFirmware(window, small));
    flashAndWait(window);
    QTRY_COMPARE(readFile(saved), smallImage);
    QCOMPARE(labelText(window, "label_CurrenBlock"), QStringLiteral("Written memory block: 2"));
    const QString cut = ("File: " + small + " \nSize: 300 Bytes").left(255);
    QCOMPARE(labelText(window, "label_FileSize"), cut);
    QVERIFY(sendLog(window).contains(cut + "\nBlocks to transfer: 2"));

    const QString larger = dir->filePath(QStringLiteral("larger.bin"));
    const QByteArray largerImage = randomBytes(600, 3);
    QVERIFY(writeFile(larger, largerImage));
    QVERIFY(pickFirmware(window, larger));
    button(window, "pushButtonClear")->click();
    flashAndWait(window);
    QTRY_COMPARE(readFile(saved), largerImage);

    QCOMPARE(lines(sendLog(window)),
             QStringList({"Reading...", "File: " + larger + " ", "Size: 600 Bytes", "Blocks to transfer: 3",
                          "Requesting boot mode...", "Bootloader ready to receive...",
                          "Memory index: 0x00000000", "Memory index: 0x00000100", "Memory index: 0x00000200",
                          "Last package completed...", "Exiting boot mode...", "Flashing completed."}));
    QCOMPARE(lines(receiveLog(window)),
             QStringList({"ACK (32)", "ACK (33)", "Written memory block: 1", "Next memory block: 2",
                          "ACK (33)", "Written memory block: 2", "Next memory block: 3", "ACK (33)",
                          "Written memory block: 3", "ACK (34)", "ACK (35)"}));
    QCOMPARE(labelText(window, "label_FileSize"), "File: " + larger + " \nSize: 600 Bytes");
    QCOMPARE(labelText(window, "label_TotalBlocks"), QStringLiteral("Blocks to transfer: 3"));
    QCOMPARE(labelText(window, "label_CurrenBlock"), QStringLiteral("Written memory block: 3"));
    QCOMPARE(labelText(window, "label_Action"), QStringLiteral("Flashing completed."));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    QVERIFY(actionButtonsEnabled(window));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QVERIFY(!guardTimer(window)->isActive());

    button(window, "pushButtonReset")->click();
    // Clear ran first: the bar and the logs of the flashing are gone.
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 0);
    QVERIFY(!button(window, "pushButtonReset")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(runEnded(window), ShortRunTimeoutMs);
    QCOMPARE(lines(sendLog(window)),
             QStringList({"Restoring factory settings...", "Requesting boot mode...",
                          "Bootloader ready to receive...", "Sending factory reset...",
                          "ACK factory reset...", "Flashing completed."}));
    QCOMPARE(lines(receiveLog(window)), QStringList({"ACK (32)", "ACK (36)", "ACK (35)"}));
    QVERIFY(actionButtonsEnabled(window));
    QVERIFY(!guardTimer(window)->isActive());
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::deletedFileSendsNothing()
{
    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    const QString path = dir->filePath(QStringLiteral("gone.bin"));
    QVERIFY(writeFile(path, randomBytes(300, 4)));
    QVERIFY(pickFirmware(window, path));
    // Picking does not read the file: that happens when Flash is pressed.
    QCOMPARE(lines(sendLog(window)).size(), 2);
    QCOMPARE(labelText(window, "label_FileSize"), QStringLiteral("File size:"));
    QVERIFY(QFile::remove(path));

    button(window, "pushButtonClear")->click();
    button(window, "pushButtonSend")->click();
    // The system's reason follows on a line of its own.
    const QString reason = rq75x::readFirmwareImage(path).reason;
    QVERIFY(!reason.isEmpty());
    QCOMPARE(lines(sendLog(window)),
             QStringList({"Reading...", "Unable to open file " + path, reason, "Firmware file read error"}));
    QCOMPARE(labelText(window, "label_Action"), QStringLiteral("Firmware file read error"));
    QVERIFY(actionButtonsEnabled(window));
    QVERIFY(!guardTimer(window)->isActive());
    QVERIFY(receiveLog(window).isEmpty());
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::destroyWhileFlashing()
{
    // The chip keeps answering while the window goes away: the receive thread must be ended
    // before anything it reaches is destroyed.
    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, randomBytes(2000, 6)));
    auto window = std::make_unique<MainWindow>();
    usePort(*window, chip.portPath());
    openAndWaitForAnswer(*window);
    QVERIFY(pickFirmware(*window, path));
    button(*window, "pushButtonSend")->click();
    QTRY_VERIFY_WITH_TIMEOUT(receiveLog(*window).contains(QStringLiteral("Next memory block: 3")),
                             ShortRunTimeoutMs);
    window.reset();
    QTest::qWait(0); // whatever was queued for the window must not run now
}

void MainWindowChipTest::stopEndsTheRunWhereItStands()
{
    // 20 blocks, about 4 s. Stopped among them: no frame follows, the log says where the chip
    // was left, and flashing again finishes the image.
    const QString saved = dir->filePath(QStringLiteral("received.bin"));
    SimulatedChip chip({QStringLiteral("--save"), saved});
    QVERIFY(!chip.portPath().isEmpty());
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    const QByteArray image = randomBytes(20 * 256, 17);
    QVERIFY(writeFile(path, image));
    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));

    QPushButton* flash = button(window, "pushButtonSend");
    flash->click();
    QCOMPARE(flash->text(), QStringLiteral("Stop"));
    QVERIFY(flash->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(receiveLog(window).contains(QStringLiteral("Next memory block: 3")),
                             ShortRunTimeoutMs);
    flash->click();

    QCOMPARE(flash->text(), QStringLiteral("Flash"));
    QVERIFY(actionButtonsEnabled(window));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QVERIFY(!guardTimer(window)->isActive());
    const QString stopped = labelText(window, "label_Action");
    const QRegularExpressionMatch where =
        QRegularExpression(QStringLiteral("^Stopped during block (\\d+) of 20: the chip stays in boot mode; "
                                          "flash again to finish$"))
            .match(stopped);
    QVERIFY2(where.hasMatch(), qPrintable(stopped));
    QVERIFY(lines(sendLog(window)).contains(stopped));

    // Flash again: the next frame the chip takes is this run's boot-mode request.
    flash->click();
    QTRY_VERIFY_WITH_TIMEOUT(runEnded(window), ShortRunTimeoutMs);
    QVERIFY2(sendLogHas(window, "Flashing completed."), qPrintable(sendLog(window)));
    QTRY_COMPARE(readFile(saved), image);
    QCOMPARE(chip.stop(), 0);
    const QString restart = QStringLiteral("sim: boot mode requested again: starting over at block 1");
    QVERIFY(chip.frameLines().contains(restart));
    // The block the run stood at was sent (or was about to be) when it stopped; none after it.
    const int stoppedAt = where.captured(1).toInt();
    const int blocksBefore = blocksLoggedBefore(chip, restart);
    QVERIFY2(
        blocksBefore == stoppedAt || blocksBefore == stoppedAt - 1,
        qPrintable(QStringLiteral("stopped at block %1, the chip took %2").arg(stoppedAt).arg(blocksBefore)));
}

void MainWindowChipTest::closingDuringARunAsksFirst()
{
    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, randomBytes(20 * 256, 18)));
    MainWindow window;
    window.show();
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));
    button(window, "pushButtonSend")->click();
    QTRY_VERIFY_WITH_TIMEOUT(receiveLog(window).contains(QStringLiteral("Next memory block: 2")),
                             ShortRunTimeoutMs);

    // No, the default, keeps the window and the run.
    auto asked = closeNextBox(QMessageBox::No);
    QVERIFY(!window.close());
    QVERIFY(asked->seen);
    QCOMPARE(asked->text,
             QStringLiteral("A flash is in progress. Stop it and close? The chip will stay in boot mode."));
    QCOMPARE(asked->defaultButton, QMessageBox::No);
    QVERIFY(window.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(receiveLog(window).contains(QStringLiteral("Next memory block: 4")),
                             ShortRunTimeoutMs);

    // Yes stops the run, saying where, and closes.
    asked = closeNextBox(QMessageBox::Yes);
    QVERIFY(window.close());
    QVERIFY(asked->seen);
    QVERIFY(!window.isVisible());
    QVERIFY2(labelText(window, "label_Action").startsWith(QStringLiteral("Stopped during block ")),
             qPrintable(sendLog(window)));
    QVERIFY(!guardTimer(window)->isActive());
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::keyboardRunGivesFocusBackToItsButton()
{
    // Factory Reset pressed with Enter: the button is disabled while the reset runs, which sends
    // the focus on; when the run ends, the focus is back on the button.
    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);

    QPushButton* reset = button(window, "pushButtonReset");
    reset->setFocus();
    QTRY_VERIFY(reset->hasFocus());
    QTest::keyClick(reset, Qt::Key_Return);
    QVERIFY2(!reset->isEnabled(), qPrintable(sendLog(window)));
    QVERIFY(!reset->hasFocus());
    QTRY_VERIFY_WITH_TIMEOUT(runEnded(window), ShortRunTimeoutMs);
    QVERIFY(sendLogHas(window, "Flashing completed."));
    QTRY_VERIFY(reset->hasFocus());
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::replyTakenBeforeTheTimeOutFiresAdvancesTheRun()
{
    // The chip answers the boot-mode request 20 ms after the 5000 ms time-out has run out, and
    // the window's event loop is held until the receive thread has taken the answer: the guard
    // fires while the answer is being handled, in the pause after "ACK (32)". The answer was
    // there first and advances the run; no time-out mixes with it.
    const QString saved = dir->filePath(QStringLiteral("received.bin"));
    SimulatedChip chip({"--delay", "5020", "--delay-frame", "2", "--save", saved});
    QVERIFY(!chip.portPath().isEmpty());
    const LineWatch line(chip.portPath());
    if (!line.valid())
        QSKIP("this system gives no second look at the simulator's line");
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    const QByteArray image = randomBytes(600, 13);
    QVERIFY(writeFile(path, image));
    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));

    button(window, "pushButtonSend")->click();
    QTimer* guard = guardTimer(window);
    QVERIFY(guard->isActive());
    // Two timers due just before the guard. The first holds the event loop until the guard has
    // run out, so that the next pass of the loop finds both the second timer and the guard due;
    // the second holds it until the answer has been taken, and the guard fires right after it,
    // before anything the receive thread queued meanwhile.
    QTimer untilGuardRunsOut;
    QTimer untilAnswerTaken;
    for (QTimer* hold : {&untilGuardRunsOut, &untilAnswerTaken}) {
        hold->setSingleShot(true);
        hold->setTimerType(Qt::PreciseTimer);
    }
    bool answerTaken = false;
    connect(&untilGuardRunsOut, &QTimer::timeout, this,
            [guard] { QThread::msleep(guard->remainingTime() + 2); });
    connect(&untilAnswerTaken, &QTimer::timeout, this, [&] {
        answerTaken =
            chip.waitForLogLine("sim: delayed reply to frame 2 sent", 10000) && line.waitUntilTaken(10000);
    });
    untilGuardRunsOut.start(guard->remainingTime() - 100);
    untilAnswerTaken.start(guard->remainingTime() - 50);

    QTRY_VERIFY2_WITH_TIMEOUT(runEnded(window), qPrintable(sendLog(window)), ShortRunTimeoutMs);
    QVERIFY(answerTaken);
    QCoreApplication::processEvents(); // whatever the run still had queued arrives now
    const QStringList log = lines(sendLog(window));
    if (receiveLog(window).contains(QStringLiteral("Timeout fired"))) {
        // On a machine so slow that the answer was not on the line within 20 ms of being sent,
        // the time-out comes first; then it is the end, with nothing of the run after it.
        qInfo("the time-out came before the answer");
        QCOMPARE(log.mid(log.size() - 4),
                 QStringList({"Requesting boot mode...", "Port closed...", TimedOutLine,
                              "Timed out while asking the chip to enter boot mode: the chip may be in boot "
                              "mode; flash again to finish"}));
        QCOMPARE(labelText(window, "label_Action"), QString::fromUtf8(TimedOutLine));
        QCOMPARE(lines(receiveLog(window)).last(), QStringLiteral("Timeout fired"));
        QVERIFY(!guard->isActive());
        QCOMPARE(chip.stop(), 0);
        return;
    }
    QCOMPARE(log.last(), QStringLiteral("Flashing completed."));
    QCOMPARE(labelText(window, "label_Action"), QStringLiteral("Flashing completed."));
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Close Port"));
    QVERIFY(!guard->isActive());
    QTRY_COMPARE(readFile(saved), image);
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::hangUpEndsTheRunAtOnce()
{
    // Frames: information, boot mode, block 1, block 2; the line hangs up once the answer to
    // block 2 has been read, while block 3 waits for its answer.
    SimulatedChip chip({"--hangup-after", "4"});
    QVERIFY(!chip.portPath().isEmpty());
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, randomBytes(600, 15)));
    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));
    button(window, "pushButtonClear")->click();

    button(window, "pushButtonSend")->click();
    QTRY_VERIFY2_WITH_TIMEOUT(runEnded(window) && actionButtonsEnabled(window), qPrintable(sendLog(window)),
                              ShortRunTimeoutMs);
    const QString wentAway = QStringLiteral(
        "Port went away during block 3 of 3: the chip stays in boot mode; flash again to finish");
    const QStringList log = lines(sendLog(window));
    QCOMPARE(log.mid(log.size() - 3), QStringList({"Memory index: 0x00000200", wentAway, "Port closed..."}));
    QCOMPARE(labelText(window, "label_Action"), wentAway);
    QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
    QVERIFY(!guardTimer(window)->isActive());
    QVERIFY(!receiveLog(window).contains(QStringLiteral("Timeout fired")));

    // The port really is closed: Flash asks for it.
    auto box = closeNextBox();
    button(window, "pushButtonSend")->click();
    QVERIFY(box->seen);
    QCOMPARE(box->text, QStringLiteral("Please open serial port first!"));
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::longPathKeepsTheLogPanesWide()
{
    // A firmware file at a 200-character path, flashed in the 750x690 window: the labels that
    // show the path are cut in the middle, with the whole path as their tool tip, and the two log
    // panes keep their width. Run under Xvfb (ctest app.layout), where fonts and painting are real.
    const QString fileName = QStringLiteral("firmware_v1_2_a.bin"); // underscores, no descenders
    QString folder = dir->path();
    while (folder.size() + 1 + fileName.size() < 200)
        folder += QStringLiteral("/folder_name").left(200 - 1 - fileName.size() - folder.size());
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QLatin1Char('/') + fileName;
    QCOMPARE(path.size(), 200);
    QVERIFY(writeFile(path, randomBytes(600, 16)));

    SimulatedChip chip;
    QVERIFY(!chip.portPath().isEmpty());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));
    flashAndWait(window);
    QCOMPARE(window.size(), QSize(750, 690));

    window.grab().save(QCoreApplication::applicationDirPath() +
                       QStringLiteral("/layout-200-character-path.png"));
    for (const char* pane : {"plainTextEditSend", "plainTextEditReceive"})
        QVERIFY2(child<QPlainTextEdit>(window, pane)->width() >= 300,
                 qPrintable(QStringLiteral("%1 is %2 px wide")
                                .arg(pane)
                                .arg(child<QPlainTextEdit>(window, pane)->width())));

    auto* file = child<QLabel>(window, "labelFirmware_1");
    auto* size = child<QLabel>(window, "label_FileSize");
    QCOMPARE(file->text(), path);
    QCOMPARE(size->text(), "File: " + path + " \nSize: 600 Bytes");
    QTRY_COMPARE(file->toolTip(), path);
    QTRY_COMPARE(size->toolTip(), size->text());

    // The bold name keeps a whole line's height, and every underscore it shows has ink below the
    // baseline, where a line cut short would lose it.
    const QFontMetrics metrics = file->fontMetrics();
    QVERIFY(file->contentsRect().height() >= metrics.height());
    const QString shown = metrics.elidedText(path, Qt::ElideMiddle, file->contentsRect().width());
    QVERIFY(shown.contains(QStringLiteral("firmware_v1_2_a.bin")));
    QTextLayout layout(shown, file->font());
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    const QImage image = file->grab().toImage();
    const int baseline = file->contentsRect().top() + (file->contentsRect().height() - metrics.height()) / 2 +
                         metrics.ascent();
    for (int i = 0; i < shown.size(); ++i) {
        if (shown[i] != QLatin1Char('_'))
            continue;
        const int left = file->contentsRect().left() + static_cast<int>(line.cursorToX(i));
        const int right = file->contentsRect().left() + static_cast<int>(line.cursorToX(i + 1));
        int ink = 0;
        for (int y = baseline + 1; y < image.height(); ++y) {
            for (int x = left; x < right && x < image.width(); ++x)
                ink += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        }
        QVERIFY2(
            ink > 0,
            qPrintable(QStringLiteral("no underscore drawn at character %1 of \"%2\"").arg(i).arg(shown)));
    }
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::flashRandom64KiB()
{
    const QString saved = dir->filePath(QStringLiteral("received.bin"));
    SimulatedChip chip({QStringLiteral("--save"), saved});
    QVERIFY(!chip.portPath().isEmpty());
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    const QByteArray image = randomBytes(64 * 1024, 9);
    QVERIFY(writeFile(path, image));

    MainWindow window;
    usePort(window, chip.portPath());
    openAndWaitForAnswer(window);
    QVERIFY(pickFirmware(window, path));
    // 256 blocks with a 150 ms pause after each full one: about 40 s.
    flashAndWait(window, 120000);
    QTRY_COMPARE(readFile(saved), image);
    QCOMPARE(labelText(window, "label_CurrenBlock"), QStringLiteral("Written memory block: 256"));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    QCOMPARE(lines(receiveLog(window)).count(QStringLiteral("ACK (33)")), 256);
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::everyRequestTimeOutAndFlashAfterItReadsTheFileAgain()
{
    // Three windows at once, each left without an answer at a different request:
    // boot mode (5000 ms), end of data (10000 ms) and factory reset (15000 ms).
    struct Case
    {
        const char* silentAfter; // frames answered: info, boot mode, blocks...
        bool factoryReset;
        int timeoutMs;
        const char* lastLineBefore;
        const char* whereLeft; // the line after the time-out's
    };
    const Case cases[] = {
        {"1", false, 5000, "Requesting boot mode...",
         "Timed out while asking the chip to enter boot mode: the chip may be in boot mode; flash again to "
         "finish"},
        {"4", false, 10000, "Last package completed...",
         "Timed out after the last block, before the chip left boot mode: the chip stays in boot mode; flash "
         "again to finish"},
        {"2", true, 15000, "Sending factory reset...",
         "Timed out during the factory reset: the chip stays in boot mode; reset again to finish"},
    };
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, randomBytes(300, 10)));

    std::vector<std::unique_ptr<SimulatedChip>> chips;
    std::vector<std::unique_ptr<MainWindow>> windows;
    std::vector<qint64> firedAfterMs(std::size(cases), -1);
    QElapsedTimer clock;
    for (const Case& c : cases) {
        chips.push_back(std::make_unique<SimulatedChip>(QStringList({"--silent-after", c.silentAfter})));
        QVERIFY(!chips.back()->portPath().isEmpty());
        windows.push_back(std::make_unique<MainWindow>());
        usePort(*windows.back(), chips.back()->portPath());
        openAndWaitForAnswer(*windows.back());
        if (!c.factoryReset)
            QVERIFY(pickFirmware(*windows.back(), path));
    }
    clock.start();
    for (size_t i = 0; i < windows.size(); ++i) {
        MainWindow& window = *windows[i];
        QObject::connect(child<QPlainTextEdit>(window, "plainTextEditSend"), &QPlainTextEdit::textChanged,
                         &window, [&window, &clock, &fired = firedAfterMs[i]] {
                             if (fired < 0 && sendLogHas(window, TimedOutLine))
                                 fired = clock.elapsed();
                         });
        button(window, cases[i].factoryReset ? "pushButtonReset" : "pushButtonSend")->click();
    }

    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(firedAfterMs.begin(), firedAfterMs.end(), [](qint64 ms) { return ms >= 0; }),
        15000 + 10000);
    for (size_t i = 0; i < windows.size(); ++i) {
        MainWindow& window = *windows[i];
        const QStringList log = lines(sendLog(window));
        // A coarse timer may fire up to 5 % early.
        QVERIFY2(firedAfterMs[i] >= cases[i].timeoutMs * 95 / 100,
                 qPrintable(QString::number(firedAfterMs[i])));
        QCOMPARE(log.mid(log.size() - 4),
                 QStringList({cases[i].lastLineBefore, "Port closed...", TimedOutLine, cases[i].whereLeft}));
        QCOMPARE(labelText(window, "label_Action"), QString::fromUtf8(TimedOutLine));
        QCOMPARE(lines(receiveLog(window)).last(), QStringLiteral("Timeout fired"));
        QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
        QVERIFY(actionButtonsEnabled(window));
        QVERIFY(!guardTimer(window)->isActive());
    }
    for (auto& chip : chips)
        QCOMPARE(chip->stop(), 0);

    // The file changes on disk; the next Flash in the window whose boot-mode request timed out
    // sends what it holds now, to a chip that answers.
    const QString saved = dir->filePath(QStringLiteral("received.bin"));
    SimulatedChip chip({QStringLiteral("--save"), saved});
    QVERIFY(!chip.portPath().isEmpty());
    const QByteArray newImage = randomBytes(600, 8);
    QVERIFY(writeFile(path, newImage));
    usePort(*windows[0], chip.portPath());
    button(*windows[0], "pushButtonClear")->click();
    openAndWaitForAnswer(*windows[0]);
    flashAndWait(*windows[0]);
    QTRY_COMPARE(readFile(saved), newImage);
    QVERIFY(sendLogHas(*windows[0], "Blocks to transfer: 3"));
    QCOMPARE(chip.stop(), 0);
}

void MainWindowChipTest::faultModesEndCleanly()
{
    // Every fault mode ends in success with the image intact, or in the time-out; never a hang
    // and never a frame the chip refuses.
    const QList<QStringList> faults = {
        {"--split-ack"},          {"--extra-bytes"},       {"--delay", "300"},
        {"--garbage-after", "3"}, {"--hangup-after", "3"}, {"--silent-after", "3"},
    };
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    const QByteArray image = randomBytes(600, 11);
    QVERIFY(writeFile(path, image));

    std::vector<std::unique_ptr<SimulatedChip>> chips;
    std::vector<std::unique_ptr<MainWindow>> windows;
    for (int i = 0; i < faults.size(); ++i) {
        const QString saved = dir->filePath(QStringLiteral("received-%1.bin").arg(i));
        chips.push_back(std::make_unique<SimulatedChip>(faults[i] + QStringList({"--save", saved})));
        QVERIFY(!chips.back()->portPath().isEmpty());
        windows.push_back(std::make_unique<MainWindow>());
        usePort(*windows.back(), chips.back()->portPath());
        button(*windows.back(), "pushButtonOpen")->click();
        QCOMPARE(button(*windows.back(), "pushButtonOpen")->text(), QStringLiteral("Close Port"));
        QVERIFY(pickFirmware(*windows.back(), path));
    }
    // Let every firmware request be answered or time out before the runs start.
    for (auto& window : windows)
        QTRY_VERIFY_WITH_TIMEOUT(!guardTimer(*window)->isActive(), 5000 + AnswerTimeoutMs);
    for (auto& window : windows) {
        if (button(*window, "pushButtonOpen")->text() == QStringLiteral("Open Port"))
            button(*window, "pushButtonOpen")->click(); // the answer was garbled: open again
        button(*window, "pushButtonSend")->click();
    }
    for (int i = 0; i < faults.size(); ++i) {
        MainWindow& window = *windows[i];
        const QString fault = faults[i].join(QLatin1Char(' '));
        QTRY_VERIFY2_WITH_TIMEOUT(runEnded(window) && actionButtonsEnabled(window), qPrintable(fault),
                                  ShortRunTimeoutMs + 5000);
        if (sendLogHas(window, "Flashing completed."))
            QCOMPARE(readFile(dir->filePath(QStringLiteral("received-%1.bin").arg(i))), image);
        else
            QCOMPARE(button(window, "pushButtonOpen")->text(), QStringLiteral("Open Port"));
        QVERIFY2(chips[i]->stop() == 0, qPrintable(fault));
        qInfo("%s: %s", qPrintable(fault),
              sendLogHas(window, "Flashing completed.") ? "completed"
              : portWentAway(window)                    ? "port went away"
                                                        : "timed out");
    }
    // Replies that simply arrive late or padded do not stop a run.
    QVERIFY(sendLogHas(*windows[1], "Flashing completed."));
    QVERIFY(sendLogHas(*windows[2], "Flashing completed."));
}

QTEST_MAIN(MainWindowChipTest)
#include "MainWindowChipTest.moc"
