#include "portinfo/PortAccess.h"

namespace vandrel {

std::string permissionHint(const char* portName, const PortOpenDiagnosis& diagnosis)
{
    if (diagnosis.problem != PortOpenProblem::PermissionDenied)
        return {};
    const std::string port = portName != nullptr ? portName : "";
    if (diagnosis.group.empty())
        return "You may not open " + port + ". Ask the administrator of this computer for access to it.";
    if (diagnosis.groupNotYetActive)
        return "You may not open " + port + " yet: it belongs to the group " + diagnosis.group +
               ", which you have been added to since you logged in.\n"
               "Log out and log in again for the membership to take effect.";
    return "You may not open " + port + ": it belongs to the group " + diagnosis.group +
           ", and you are not a member.\n"
           "Add yourself to the group with\n"
           "    sudo usermod -aG " +
           diagnosis.group +
           " $USER\n"
           "then log out and log in again for the membership to take effect.";
}

} // namespace vandrel
