// Maps the flashing engine's events to the window's widgets. The engine calls from the GUI thread
// (buttons, time-out) and from the serial receive thread (replies); widget changes from the
// receive thread are queued to the GUI thread in call order, never made there and never waited
// for, and dropped on arrival when the run they belong to has been cut off since.
#pragma once

#include "flasher/FlashEvents.h"

#include <QString>

class MainWindow;

class WindowFlashEvents : public rq75x::FlashEvents
{
public:
    explicit WindowFlashEvents(MainWindow& window) : window(window) {}

    void logLine(const QString& text) override;
    void showAction(const QString& text) override;
    void report(const QString& text) override;
    void appendReceiveLine(const QString& text) override;
    void setCurrentBlockText(const QString& text) override;
    void setFileSizeText(const QString& text) override;
    void setTotalBlocksText(const QString& text) override;
    void setActionButtonsEnabled(bool enabled) override;
    void startStopTimer(unsigned int ms) override;
    void portClosedByTimeout() override;

private:
    bool onGuiThread() const;
    // Runs `change` at once on the GUI thread, otherwise queues it there.
    template <typename Change> void onGui(Change&& change);

    MainWindow& window;
};
