#include "portinfo/PortInfo.h"

namespace vandrel {

std::vector<PortInfo> listAvailablePorts()
{
    std::vector<PortInfo> list;
    collectPorts(list); // a partial list is still the best answer there is
    return list;
}

} // namespace vandrel
