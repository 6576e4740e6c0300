#include "cli/PortChanges.h"

#include "flasher/LocalText.h"

namespace morvane::cli {

bool PortChanges::watch(Changed changed)
{
    onChange = std::move(changed);
    const vandrel::PortChangeMonitorFactory factory = vandrel::portChangeMonitorFactory();
    if (factory == nullptr)
        return false;
    // On the monitor's thread: the name is valid only during the call.
    monitor = factory([this](const char* portName, unsigned int isAdded) {
        std::optional<QString> name;
        if (portName != nullptr)
            name = rq75x::fromLocalBytes(QByteArray(portName));
        const bool added = isAdded != 0;
        QMetaObject::invokeMethod(
            this,
            [this, name, added] {
                if (monitor)
                    onChange(name, added);
            },
            Qt::QueuedConnection);
    });
    return monitor != nullptr;
}

void PortChanges::stop()
{
    monitor.reset();
}

} // namespace morvane::cli
