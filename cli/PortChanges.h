// The machine's serial ports arriving and leaving (the serial library's port-change
// notification), handed to the main thread's event loop: flash --on-arrival and list --watch.
#pragma once

#include "serialport/PortChangeMonitor.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace morvane::cli {

class PortChanges : public QObject
{
public:
    // `changed` gets each change on the main thread: the port's name, none when the system could
    // not name it, and whether it arrived.
    using Changed = std::function<void(const std::optional<QString>& port, bool added)>;

    // Starts watching; false when the system's port changes cannot be watched.
    bool watch(Changed changed);
    // Returns once no notification is running; none is delivered afterwards.
    void stop();
    ~PortChanges() override { stop(); }

private:
    Changed onChange;
    std::unique_ptr<vandrel::PortChangeMonitor> monitor;
};

} // namespace morvane::cli
