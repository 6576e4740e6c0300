#include "portinfo/PortChangeEvents.h"

#include "portinfo/win/WindowPortChangeMonitor.h"

namespace vandrel {

void enablePortChangeEvents()
{
    setPortChangeMonitorFactory(&WindowPortChangeMonitor::create);
}

} // namespace vandrel
