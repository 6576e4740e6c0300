#include "WindowFlashEvents.h"

#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

bool WindowFlashEvents::onGuiThread() const
{
    return QThread::currentThread() == window.thread();
}

template <typename Change> void WindowFlashEvents::onGui(Change&& change)
{
    if (onGuiThread()) {
        change();
        return;
    }
    // Queued in call order. A change that arrives after a time-out or a close has cut its run
    // off is dropped: nothing of an ended run reaches the widgets or re-arms the guard.
    const uint64_t run = window.engine.runGeneration();
    QMetaObject::invokeMethod(
        &window,
        [this, run, change = std::forward<Change>(change)] {
            if (window.engine.runGeneration() == run)
                change();
        },
        Qt::QueuedConnection);
}

void WindowFlashEvents::logLine(const QString& text)
{
    onGui([this, text] { window.ui->plainTextEditSend->appendPlainText(text); });
}

void WindowFlashEvents::showAction(const QString& text)
{
    onGui([this, text] { window.ui->label_Action->setText(text); });
}

void WindowFlashEvents::report(const QString& text)
{
    onGui([this, text] { window.OnUpdateReceive(text); });
}

void WindowFlashEvents::appendReceiveLine(const QString& text)
{
    onGui([this, text] { window.ui->plainTextEditReceive->appendPlainText(text); });
}

void WindowFlashEvents::setCurrentBlockText(const QString& text)
{
    onGui([this, text] { window.ui->label_CurrenBlock->setText(text); });
}

void WindowFlashEvents::setFileSizeText(const QString& text)
{
    onGui([this, text] { window.ui->label_FileSize->setText(text); });
}

void WindowFlashEvents::setTotalBlocksText(const QString& text)
{
    onGui([this, text] { window.ui->label_TotalBlocks->setText(text); });
}

void WindowFlashEvents::setActionButtonsEnabled(bool enabled)
{
    onGui([this, enabled] {
        Ui::MainWindow& ui = *window.ui;
        for (QPushButton* button : {ui.pushButtonSend, ui.pushButtonLoadFirmware, ui.pushButtonReset,
                                    ui.pushButtonOpen, ui.pushButtonClear})
            button->setEnabled(enabled);
    });
}

void WindowFlashEvents::startStopTimer(unsigned int ms)
{
    onGui([this, ms] { window.OnStartStop(ms); });
}

void WindowFlashEvents::portClosedByTimeout()
{
    onGui([this] { window.ui->pushButtonOpen->setText(MainWindow::tr("Open Port")); });
}
