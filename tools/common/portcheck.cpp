#include "portcheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace brovatools {

namespace {

// The process holding a lock on the device (dev, ino), from the kernel's
// table of locks; 0 when it cannot be told.
long lockHolder(dev_t dev, ino_t ino)
{
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:18:3 0 EOF": the id is major:minor
    // of the file system (hexadecimal) and the inode.
    char line[256];
    long holder = 0;
    while (!holder && std::fgets(line, sizeof line, locks)) {
        char type[16], mode[16], access[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", type, mode, access, &pid, &major, &minor, &inode) == 7 &&
            major == ::major(dev) && minor == ::minor(dev) && inode == ino)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

// The message for a port that another open holds, naming the holder when the
// kernel tells it.
std::string busy(const std::string& path, bool known, const struct stat& st)
{
    const long holder = known ? lockHolder(st.st_dev, st.st_ino) : 0;
    return path + ": the port is busy: another program has it open" +
           (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string());
}

} // namespace

PortProblem checkPort(const std::string& path, std::string& message)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        // Every open of the library holds an advisory lock on the device, so
        // a reader is seen even by root, whom the port's exclusive-use mode
        // lets in.
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        struct stat st {};
        const bool known = held && ::fstat(fd, &st) == 0;
        ::close(fd);
        if (!held) {
            message.clear();
            return PortProblem::None;
        }
        message = busy(path, known, st);
        return PortProblem::Busy;
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
    case EBUSY: {
        struct stat st {};
        message = busy(path, ::stat(path.c_str(), &st) == 0, st);
        return PortProblem::Busy;
    }
    default:
        message = path + ": cannot open the port: " + std::strerror(e);
        return PortProblem::Other;
    }
}

} // namespace brovatools
