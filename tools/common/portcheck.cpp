#include "portcheck.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace brovatools {

PortProblem checkPort(const std::string& path, std::string& message)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        message.clear();
        return PortProblem::None;
    }
    const int e = errno;
    switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        message = path + ": no such port";
        return PortProblem::Missing;
    case EACCES:
    case EPERM:
        message = path + ": permission denied. Add yourself to the group that owns the port (usually dialout: "
                         "sudo usermod -aG dialout $USER, then log in again), or install the project's udev rule "
                         "(README: Permissions and latency)";
        return PortProblem::Permission;
    case EBUSY:
        message = path + ": the port is busy: another program has it open";
        return PortProblem::Busy;
    default:
        message = path + ": cannot open the port: " + std::strerror(e);
        return PortProblem::Other;
    }
}

} // namespace brovatools
