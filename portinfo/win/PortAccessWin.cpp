#include "portinfo/PortAccess.h"

namespace vandrel {

// The library's code and text are all Windows users get for now: a port in use and a port they
// may not use both show as access denied there, and there is no group to join.
PortOpenDiagnosis diagnosePortOpenFailure(const char*)
{
    return {};
}

} // namespace vandrel
