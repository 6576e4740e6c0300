#include "WindowFlashEvents.h"

#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QAccessible>
#include <QMetaObject>
#include <QThread>

using rq75x::MessageId;
using rq75x::MessagePlace;
using rq75x::RunOutcome;
using rq75x::RunTask;

template <typename Change> void WindowFlashEvents::onGui(Change&& change)
{
    if (QThread::currentThread() == window.thread()) {
        change();
        return;
    }
    // Queued in call order. A change that arrives after a time-out, a stop or a close has cut its
    // run off is dropped: nothing of an ended run reaches the widgets or re-arms the guard.
    const uint64_t run = window.engine.runGeneration();
    QMetaObject::invokeMethod(
        &window,
        [this, run, change = std::forward<Change>(change)] {
            if (window.engine.runGeneration() == run)
                change();
        },
        Qt::QueuedConnection);
}

void WindowFlashEvents::runStarted(RunTask task)
{
    onGui([this, task] {
        window.runUnderWay = task;
        focusBeforeRun = window.focusWidget();
        showRunning(true);
        focusDuringRun = window.focusWidget();
    });
}

void WindowFlashEvents::stageReached(const rq75x::RunPosition& position)
{
    onGui([this, position] {
        // The progress bar counts the blocks sent of the image flashed last; a factory reset
        // leaves both counters as they are.
        if (position.task == RunTask::Flash && position.totalBlocks > 0)
            window.totalBlocks = position.totalBlocks;
        if (position.stage == rq75x::RunStage::Block)
            window.currentBlock = position.block;
    });
}

void WindowFlashEvents::message(const rq75x::Message& message)
{
    onGui([this, message] { show(message); });
}

void WindowFlashEvents::show(const rq75x::Message& message)
{
    Ui::MainWindow& ui = *window.ui;
    switch (message.place) {
    case MessagePlace::Log:
    case MessagePlace::LogAndAction: {
        const QString line = window.logLine(message.text);
        if (message.id == MessageId::ImageSize)
            ui.label_FileSize->setText(line);
        else if (message.id == MessageId::ImageBlocks)
            ui.label_TotalBlocks->setText(line);
        if (message.place == MessagePlace::LogAndAction)
            ui.label_Action->setText(line);
        return;
    }
    case MessagePlace::Report:
    case MessagePlace::ReportAndAction:
        if (message.id == MessageId::BlockWritten)
            ui.label_CurrenBlock->setText(message.text);
        window.OnUpdateReceive(message.text);
        if (message.place == MessagePlace::ReportAndAction)
            ui.label_Action->setText(message.text);
        return;
    case MessagePlace::ReplyLog:
        ui.plainTextEditReceive->appendPlainText(message.text);
        return;
    }
}

void WindowFlashEvents::replied(const rq75x::ChipReply& reply)
{
    onGui([this, text = reply.text] { window.OnUpdateReceive(text); });
}

void WindowFlashEvents::guardChanged(unsigned int ms)
{
    onGui([this, ms] { window.OnStartStop(ms); });
}

void WindowFlashEvents::runEnded(const rq75x::RunEnd& end)
{
    onGui([this, end] {
        // Where the chip was left, in the words every front end uses, after what ended the run.
        const QString where = rq75x::whereRunEnded(end.at);
        if (end.outcome == RunOutcome::Stopped)
            logAndShow(QStringLiteral("Stopped %1").arg(where));
        else if (end.outcome == RunOutcome::TimedOut && end.at.task != RunTask::FirmwareInfo &&
                 !where.isEmpty())
            window.logLine(QStringLiteral("Timed out %1").arg(where));
        if (end.portClosed())
            window.showPortOpen(false);
        window.runUnderWay.reset();
        showRunning(false);
        if (focusBeforeRun && focusBeforeRun != focusDuringRun && window.focusWidget() == focusDuringRun)
            focusBeforeRun->setFocus(Qt::OtherFocusReason);
        focusBeforeRun.clear();
        focusDuringRun.clear();
        // The action line says how the run ended; a screen reader reads it out where the focus is.
        QAccessibleEvent announcement(window.ui->label_Action, QAccessible::Alert);
        QAccessible::updateAccessibility(&announcement);
    });
}

void WindowFlashEvents::showRunning(bool running)
{
    Ui::MainWindow& ui = *window.ui;
    // During a run the Flash button is its Stop button; the other action buttons wait for its end.
    ui.pushButtonSend->setText(running ? MainWindow::tr("Stop") : MainWindow::tr("Flash"));
    ui.pushButtonSend->setEnabled(true);
    for (QPushButton* button :
         {ui.pushButtonLoadFirmware, ui.pushButtonReset, ui.pushButtonOpen, ui.pushButtonClear})
        button->setEnabled(!running);
}

void WindowFlashEvents::logAndShow(const QString& text)
{
    window.ui->label_Action->setText(window.logLine(text));
}
