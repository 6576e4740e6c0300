// Why a serial port could not be opened, in words a user can act on, found by looking at the port
// after CSerialPort::open() has failed. The library's own code and text stay what they are; this
// adds the system's reason, and for a port the user may not use, how to be allowed to.
//
// Plain C++, no Qt; may be called from any thread. Linux looks at the device node; other systems
// report an unknown reason (and so no hint) for now.
#pragma once

#include <string>

namespace vandrel {

enum class PortOpenProblem
{
    Unknown,          // nothing found: the library's code and text are all there is
    Missing,          // no such device
    IsDirectory,      // the name is a directory
    NotASerialPort,   // a regular file, a FIFO, a socket, a device that is no terminal
    PermissionDenied, // the user may not open it (EACCES, EPERM)
    InUse,            // another program holds it
    TooManyOpenFiles, // the process (or the system) has run out of descriptors
    Other             // the system refused for another reason, given in `reason`
};

struct PortOpenDiagnosis
{
    PortOpenProblem problem = PortOpenProblem::Unknown;
    // The reason in a few words ("No such file or directory", "not a serial port: a FIFO",
    // "in use by another program"); empty for Unknown.
    std::string reason;
    // PermissionDenied: the group that owns the device node, when joining it would let the user
    // in (the group may read and write it); empty otherwise (no such group, the administrator's
    // group, a device only its owner may use, or a group the user is already in).
    std::string group;
    // PermissionDenied: the user is a member of `group` in the system's database, but this
    // login session was started before and does not have it yet.
    bool groupNotYetActive = false;
};

// Looks at `portName` (the name given to CSerialPort::init) to find why opening it failed. It
// opens the device briefly if it exists, without waiting for it and without changing its
// settings; call it only after open() has failed.
PortOpenDiagnosis diagnosePortOpenFailure(const char* portName);

// What to do about a PermissionDenied diagnosis, as a few lines without a final line break (for
// example the group to join, "sudo usermod -aG dialout $USER", and to log in again); empty for
// every other problem.
std::string permissionHint(const char* portName, const PortOpenDiagnosis& diagnosis);

} // namespace vandrel
