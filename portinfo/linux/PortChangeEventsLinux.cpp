#include "portinfo/PortChangeEvents.h"

#include "portinfo/linux/UdevPortChangeMonitor.h"

namespace vandrel {

void enablePortChangeEvents()
{
    setPortChangeMonitorFactory(&UdevPortChangeMonitor::create);
}

} // namespace vandrel
