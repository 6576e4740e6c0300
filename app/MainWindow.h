// The main window: port settings and controls, the status and reply logs, the progress bar and
// the buttons that drive one chip's flashing engine.
#pragma once

#include "WindowFlashEvents.h"

#include "flasher/FlashEngine.h"
#include "flasher/MessageBuffer.h"
#include "flasher/SerialChipPort.h"
#include "serialport/CSerialPort.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <optional>

class QCloseEvent;
class QPlainTextEdit;
class QPoint;
class QTimer;

namespace Ui {
class MainWindow;
}

// The window answers qobject_cast-style queries for its listener base by this short name.
using CSerialPortListener = vandrel::CSerialPortListener;

class MainWindow : public QMainWindow, public CSerialPortListener
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

signals:
    // A line for the receive log, and a start (ms) or stop (0) of the guard timer, carried to the
    // GUI thread (queued connections). The engine's own hand-over calls the two slots through
    // queued calls that know their run, so that nothing of a run cut off by a time-out arrives.
    void emitUpdateReceive(QString str);
    void emitStartStop(unsigned int iStartStop);

protected:
    // Closing during a flash or a reset asks first: stopping leaves the chip in boot mode.
    void closeEvent(QCloseEvent* event) override;

private slots:
    // Called directly by the port's receive thread, never through a connection.
    void onReadEvent(const char* portName, unsigned int readBufferLen) override;
    void OnUpdateReceive(QString str);
    void OnStartStop(unsigned int iStartStop);
    void on_pushButtonOpen_clicked();
    void on_pushButtonSend_clicked();
    void on_pushButtonClear_clicked();
    void on_pushButtonLoadFirmware_clicked();
    void on_pushButtonReset_clicked();
    void on_actionAbout_triggered();
    void on_actionAbout_Qt_triggered();
    void onTimerFired();

private:
    friend class WindowFlashEvents;

    void openPort();
    void closePort();
    // Appends a line to the status log, cut to its first 255 bytes as every status line is, and
    // returns the line as shown.
    QString logLine(const QString& text);
    // The open button's text records whether the port is meant to be open; the settings it was
    // opened with cannot be changed until it closes.
    void showPortOpen(bool open);
    bool portOpenOrTellUser();
    void showLogMenu(QPlainTextEdit& log, const QPoint& at);
    void saveLog(const QPlainTextEdit& log);

    QTimer* timer;
    Ui::MainWindow* ui;
    CSerialPort serialPort;
    rq75x::SerialChipPort chipPort;
    rq75x::MessageBuffer messageBuffer;
    QString firmwarePath; // picked with Load File; read when Flash is pressed
    // The flash or reset going on, from its start to its end as the events tell them; meanwhile
    // the Flash button is its Stop button.
    std::optional<rq75x::RunTask> runUnderWay;
    // What the progress bar shows: the block sent last (1 before any) of the blocks of the image
    // flashed last (0 before any). Written and read on the GUI thread.
    uint32_t currentBlock = 1;
    uint32_t totalBlocks = 0;
    WindowFlashEvents flashEvents;
    rq75x::FlashEngine engine;
};
