#include "MainWindow.h"

#include "ElidingLabel.h"
#include "PortList.h"
#include "Progress.h"
#include "ui_MainWindow.h"

#include "portinfo/PortAccess.h"
#include "portinfo/PortInfo.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QTextCursor>
#include <QTimer>

#include <memory>

namespace {

constexpr unsigned int ReadBufferSize = 4096;
const char* const WindowTitle = "Morvane Flasher 1.1 for RQ75x";
const char* const LogStyleSheet = "QPlainTextEdit {background-color: darkgrey; color: white;}";
// Each log keeps its last lines only, so that a window left open through many runs does not grow
// without end.
constexpr int LogLinesKept = 100000;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), timer(nullptr), ui(new Ui::MainWindow), chipPort(serialPort), flashEvents(*this),
      engine(chipPort, flashEvents)
{
    ui->setupUi(this);

    timer = new QTimer(this);
    // A coarse timer may fire up to 5 % early, which would give up on a chip that answers in time.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &MainWindow::onTimerFired);
    connect(this, &MainWindow::emitUpdateReceive, this, &MainWindow::OnUpdateReceive, Qt::QueuedConnection);
    connect(this, &MainWindow::emitStartStop, this, &MainWindow::OnStartStop, Qt::QueuedConnection);

    // The button's text records whether the port is meant to be open.
    ui->pushButtonOpen->setText(tr("Open Port"));
    setWindowTitle(QString::fromLatin1(WindowTitle));

    // A long port name is cut instead of widening the settings column; the tool tip shows it whole.
    QSizePolicy portPolicy = ui->comboBoxPortName->sizePolicy();
    portPolicy.setHorizontalPolicy(QSizePolicy::Ignored);
    ui->comboBoxPortName->setSizePolicy(portPolicy);
    connect(ui->comboBoxPortName, &QComboBox::currentTextChanged, ui->comboBoxPortName,
            &QComboBox::setToolTip);
    fillPortList(*ui->comboBoxPortName, vandrel::listAvailablePorts());
    serialPort.connectReadEvent(this);

    ui->comboBoxBaudrate->setCurrentText(QStringLiteral("115200"));
    ui->comboBoxDataBit->setCurrentText(QStringLiteral("8"));

    // The path labels are cut in the middle, where a file name's start and end stay visible;
    // the action line is cut at its end.
    ui->label_Action->setElideMode(Qt::ElideRight);

    for (QPlainTextEdit* log : {ui->plainTextEditSend, ui->plainTextEditReceive}) {
        log->setStyleSheet(QString::fromLatin1(LogStyleSheet));
        log->setBackgroundVisible(false);
        log->setMaximumBlockCount(LogLinesKept);
        log->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(log, &QWidget::customContextMenuRequested, this,
                [this, log](const QPoint& at) { showLogMenu(*log, at); });
    }
    // The keyboard starts at the top of the settings column, where the work starts.
    ui->comboBoxPortName->setFocus();
}

MainWindow::~MainWindow()
{
    // The receive thread calls onReadEvent directly: end it before the form and the timer that the
    // engine's events reach go away. The close cuts short a pause a reply may be sitting in and
    // joins the thread, so a call in progress has ended when it returns.
    engine.closePort();
    serialPort.disconnectReadEvent();
    delete ui;
    delete timer;
}

void MainWindow::onReadEvent(const char* /*portName*/, unsigned int readBufferLen)
{
    engine.onReadEvent(readBufferLen);
}

void MainWindow::OnUpdateReceive(QString str)
{
    QTextCursor cursor = ui->plainTextEditReceive->textCursor();
    cursor.movePosition(QTextCursor::End);
    ui->plainTextEditReceive->setTextCursor(cursor);
    ui->plainTextEditReceive->appendPlainText(str);

    if (const auto percent = progressPercent(currentBlock, totalBlocks))
        ui->progressBar->setValue(static_cast<int>(*percent));
}

void MainWindow::OnStartStop(unsigned int iStartStop)
{
    if (iStartStop != 0)
        timer->start(static_cast<int>(iStartStop));
    else
        timer->stop();
}

void MainWindow::on_pushButtonOpen_clicked()
{
    if (ui->pushButtonOpen->text() != tr("Open Port")) {
        closePort();
        return;
    }
    if (ui->comboBoxPortName->count() == 0) {
        QMessageBox::information(this, tr("Information"), tr("No avaiable ports"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        qDebug("No avaiable ports");
        return;
    }
    openPort();
}

void MainWindow::openPort()
{
    // Parity and stop bits are taken by index: the combo boxes list them in the library's order.
    const int stopBitIndex = ui->comboBoxStopBit->currentIndex();
    const int dataBits = ui->comboBoxDataBit->currentText().toInt();
    const int parityIndex = ui->comboBoxParity->currentIndex();
    const int baudRate = ui->comboBoxBaudrate->currentText().toInt();
    const QByteArray portName = ui->comboBoxPortName->currentText().toUtf8();

    serialPort.init(portName.constData(), baudRate, static_cast<Parity>(parityIndex),
                    static_cast<DataBits>(dataBits), static_cast<StopBits>(stopBitIndex), FlowControlNone,
                    ReadBufferSize);
    serialPort.setReadIntervalTimeout(0);

    if (serialPort.open()) {
        logLine(QStringLiteral("Port open ready to flash RQ75x..."));
        showPortOpen(true);
        ui->plainTextEditSend->appendPlainText(QStringLiteral("Getting current firmware information"));
        engine.requestFirmwareInfo();
        return;
    }

    const int code = serialPort.getLastError();
    const char* message = serialPort.getLastErrorMsg();
    QString detail = QStringLiteral("\n\ncode: %1\nmessage: %2")
                         .arg(QString::number(code), QString::fromUtf8(message ? message : ""));
    // The port listed at start-up may have gone since: say which one is missing.
    if (code == ErrorNotExist)
        detail += QStringLiteral("\n\n") +
                  tr("The port %1 is not present.").arg(ui->comboBoxPortName->currentText());
    // A port the user may not open and one another program holds both read "access denied":
    // for the first, say how to be allowed.
    if (code == ErrorAccessDenied) {
        const std::string hint = vandrel::permissionHint(
            portName.constData(), vandrel::diagnosePortOpenFailure(portName.constData()));
        if (!hint.empty())
            detail += QStringLiteral("\n\n") + QString::fromStdString(hint);
    }
    QMessageBox::information(this, tr("Information"), tr("open port error") + detail, QMessageBox::Ok,
                             QMessageBox::NoButton);
    showPortOpen(false);
    logLine(QStringLiteral("Port closed..."));
    qDebug() << code;
}

void MainWindow::closePort()
{
    // A running time-out is left alone: it still fires and reports.
    engine.closePort();
    logLine(QStringLiteral("Port closed..."));
    showPortOpen(false);
}

void MainWindow::showPortOpen(bool open)
{
    ui->pushButtonOpen->setText(open ? tr("Close Port") : tr("Open Port"));
    for (QComboBox* setting : {ui->comboBoxPortName, ui->comboBoxBaudrate, ui->comboBoxParity,
                               ui->comboBoxDataBit, ui->comboBoxStopBit})
        setting->setEnabled(!open);
}

bool MainWindow::portOpenOrTellUser()
{
    if (serialPort.isOpen())
        return true;
    QMessageBox::information(this, tr("Information"), tr("Please open serial port first!"), QMessageBox::Ok,
                             QMessageBox::NoButton);
    qDebug("Please open serial port first");
    return false;
}

void MainWindow::on_pushButtonSend_clicked()
{
    if (runUnderWay) {
        // The button reads "Stop": the run ends at once, and its end says where it left the chip.
        engine.stop();
        return;
    }
    if (portOpenOrTellUser())
        engine.startFlash(rq75x::readFirmwareImage(firmwarePath));
}

void MainWindow::on_pushButtonClear_clicked()
{
    ui->plainTextEditSend->clear();
    ui->plainTextEditReceive->setPlainText(QString());
    ui->progressBar->setValue(0);
    ui->label_FileSize->setText(QStringLiteral("File size:"));
    ui->label_TotalBlocks->setText(QStringLiteral("Total memory blocks:"));
    ui->label_CurrenBlock->setText(QStringLiteral("Current memory block:"));
    ui->label_Action->setText(QStringLiteral("Action:"));
    // Repaint the emptied widgets before a long step that may follow (factory reset).
    QCoreApplication::processEvents();
}

void MainWindow::on_pushButtonLoadFirmware_clicked()
{
    ui->labelFirmware_1->setText(QStringLiteral("No file loaded"));
    firmwarePath.clear();
    ui->pushButtonSend->setEnabled(false);

    firmwarePath = QFileDialog::getOpenFileName(this, tr("Open Firmware Files"), QStringLiteral("/"),
                                                tr("Files (*.bin)"));
    if (!firmwarePath.isEmpty()) {
        ui->labelFirmware_1->setText(firmwarePath);
        ui->pushButtonSend->setEnabled(true);
    }
}

void MainWindow::on_pushButtonReset_clicked()
{
    if (!portOpenOrTellUser())
        return;
    on_pushButtonClear_clicked();
    engine.startFactoryReset();
}

void MainWindow::on_actionAbout_triggered()
{
    QMessageBox::about(this, tr("Morvane Flasher"),
                       tr("The <b>Flash utility for RQ75x printer controller chips. V1.1</b> "
                          "Copyright (C) 2026 Morvane Systems."));
}

void MainWindow::on_actionAbout_Qt_triggered()
{
    QMessageBox::aboutQt(this, QString());
}

void MainWindow::onTimerFired()
{
    engine.onTimerFired();
}

QString MainWindow::logLine(const QString& text)
{
    const QString line = messageBuffer.format("%s", text.toUtf8().constData());
    ui->plainTextEditSend->appendPlainText(line);
    return line;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (engine.runActive()) {
        const QString question =
            runUnderWay == rq75x::RunTask::FactoryReset
                ? tr("A factory reset is in progress. Stop it and close? The chip will stay in boot mode.")
                : tr("A flash is in progress. Stop it and close? The chip will stay in boot mode.");
        if (QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        engine.stop(); // the run may have ended while the question was open: then nothing happens
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::showLogMenu(QPlainTextEdit& log, const QPoint& at)
{
    const std::unique_ptr<QMenu> menu(log.createStandardContextMenu(at));
    menu->addSeparator();
    const QAction* save = menu->addAction(tr("Save log…"));
    if (menu->exec(log.viewport()->mapToGlobal(at)) == save)
        saveLog(log);
}

void MainWindow::saveLog(const QPlainTextEdit& log)
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Log"), QString(),
                                                      tr("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    const QString text = log.toPlainText();
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text) &&
        file.write((text.isEmpty() ? text : text + QLatin1Char('\n')).toUtf8()) >= 0 && file.commit())
        return;
    QMessageBox::information(
        this, tr("Information"),
        tr("The log could not be saved to %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()),
        QMessageBox::Ok, QMessageBox::NoButton);
}
