// Maps the flashing engine's events to the window's widgets: the status and reply logs, the four
// status labels, the progress bar's counters, the action buttons and the guard timer. The engine
// calls from the GUI thread (buttons, time-out) and from the serial receive thread (replies);
// calls from the receive thread are queued to the GUI thread in call order, never made there and
// never waited for, and dropped on arrival when the run they belong to has been cut off since.
#pragma once

#include "flasher/FlashEvents.h"

#include <QPointer>
#include <QWidget>

class MainWindow;

class WindowFlashEvents : public rq75x::FlashEvents
{
public:
    explicit WindowFlashEvents(MainWindow& window) : window(window) {}

    void runStarted(rq75x::RunTask task) override;
    void stageReached(const rq75x::RunPosition& position) override;
    void message(const rq75x::Message& message) override;
    void replied(const rq75x::ChipReply& reply) override;
    void guardChanged(unsigned int ms) override;
    void runEnded(const rq75x::RunEnd& end) override;

private:
    // Runs `change` at once on the GUI thread, otherwise queues it there.
    template <typename Change> void onGui(Change&& change);

    // On the GUI thread.
    void show(const rq75x::Message& message);
    void showRunning(bool running);
    // A line of the status log that also becomes the action line.
    void logAndShow(const QString& text);

    MainWindow& window;
    // Disabling the button that started a run sends the keyboard focus on; at the run's end it
    // goes back there, unless the user has moved it since.
    QPointer<QWidget> focusBeforeRun;
    QPointer<QWidget> focusDuringRun;
};
