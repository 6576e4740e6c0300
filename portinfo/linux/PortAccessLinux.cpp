#include "portinfo/PortAccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vandrel {

namespace {

const char* const InUseReason = "in use by another program";

PortOpenDiagnosis diagnosis(PortOpenProblem problem, std::string reason)
{
    PortOpenDiagnosis found;
    found.problem = problem;
    found.reason = std::move(reason);
    return found;
}

std::string kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    return "not a character device";
}

std::string groupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {};
    return found->gr_name;
}

bool inSessionGroups(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int filled = ::getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

// Membership as the user database has it now, which a running session does not follow.
bool inDatabaseGroups(gid_t gid)
{
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* user = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

// Joining the device's group helps only when the group may read and write it, is not the
// administrator's group and does not already include the user.
PortOpenDiagnosis permissionDenied(int error, const struct stat& device)
{
    PortOpenDiagnosis found = diagnosis(PortOpenProblem::PermissionDenied, std::strerror(error));
    const bool groupMayUse = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse || device.st_gid == 0 || inSessionGroups(device.st_gid))
        return found;
    found.group = groupName(device.st_gid);
    found.groupNotYetActive = !found.group.empty() && inDatabaseGroups(device.st_gid);
    return found;
}

PortOpenDiagnosis openFailed(int error, const struct stat& device)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return permissionDenied(error, device);
    case EBUSY: // exclusive mode, set by the program that holds it
        return diagnosis(PortOpenProblem::InUse, InUseReason);
    case EMFILE:
    case ENFILE:
        return diagnosis(PortOpenProblem::TooManyOpenFiles, std::strerror(error));
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return diagnosis(PortOpenProblem::Missing, std::strerror(error));
    default:
        return diagnosis(PortOpenProblem::Other, std::strerror(error));
    }
}

// The device opened for us: what could have made the library's open fail.
PortOpenDiagnosis inspectOpenDevice(int fd)
{
    if (::isatty(fd) != 1)
        return diagnosis(PortOpenProblem::NotASerialPort,
                         "not a serial port: a device that is not a terminal");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return diagnosis(PortOpenProblem::InUse, InUseReason);
    // Exclusive mode keeps out everyone but the administrator, who got this far.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return diagnosis(PortOpenProblem::InUse, InUseReason);
    // The library needs two descriptors beside the device's own (its receive thread's wake-ups).
    int spares[2] = {-1, -1};
    int error = 0;
    for (int& spare : spares) {
        spare = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (spare < 0) {
            error = errno;
            break;
        }
    }
    for (const int spare : spares)
        if (spare >= 0)
            ::close(spare);
    if (error == EMFILE || error == ENFILE)
        return diagnosis(PortOpenProblem::TooManyOpenFiles, std::strerror(error));
    return {};
}

} // namespace

PortOpenDiagnosis diagnosePortOpenFailure(const char* portName)
{
    if (portName == nullptr || *portName == '\0')
        return {};
    struct stat device
    {
    };
    if (::stat(portName, &device) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return diagnosis(PortOpenProblem::Missing, std::strerror(error));
        if (error == EACCES)
            return diagnosis(PortOpenProblem::PermissionDenied, std::strerror(error));
        return diagnosis(PortOpenProblem::Other, std::strerror(error));
    }
    if (S_ISDIR(device.st_mode))
        return diagnosis(PortOpenProblem::IsDirectory, "is a directory");
    if (!S_ISCHR(device.st_mode))
        return diagnosis(PortOpenProblem::NotASerialPort, "not a serial port: " + kindOf(device.st_mode));

    // Without waiting for a carrier, and without becoming our controlling terminal.
    const int fd = ::open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return openFailed(errno, device);
    const PortOpenDiagnosis found = inspectOpenDevice(fd);
    ::close(fd);
    return found;
}

} // namespace vandrel
