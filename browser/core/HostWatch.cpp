#include "core/HostWatch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace KEL {

namespace {

// Debian 12's glibc has no <sys/pidfd.h> declaration usable from C++, so call the kernel
// directly.
int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

int HostWatch::adoptLifeline() {
    const char *value = std::getenv("KEL_HOST_FD");
    if (!value)
        return -1;
    const std::string text(value);
    unsetenv("KEL_HOST_FD");
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int fd = std::stoi(text);
    struct stat info {};
    // Anything but a pipe's read end would make a poor lifeline (a file is always readable).
    if (fd <= STDERR_FILENO || fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode) ||
        (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY)
        return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

HostWatch::~HostWatch() {
    close();
}

bool HostWatch::open(pid_t pid, int lifeline) {
    close();
    // kill() with 0 or a negative number addresses process groups: never let such a number
    // through to the fallback.
    if (pid <= 0)
        return false;
    // Each watch polls its own descriptor of the lifeline, and closes only that. The process
    // is watched as well where it can be opened: a host may name another process than itself.
    if (lifeline >= 0)
        m_lifeline = fcntl(lifeline, F_DUPFD_CLOEXEC, 0);
    m_fd = openPidfd(pid);
    if (m_fd >= 0)
        return true;
    if (errno == ENOSYS || errno == EPERM) {
        if (kill(pid, 0) == 0 || errno == EPERM) {
            m_fallbackPid = pid;
            return true;
        }
    }
    return m_lifeline >= 0;
}

namespace {

// Readable means the process has ended (a lifeline: end of file, as the host never writes);
// an error counts as ended too.
bool ended(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

} // namespace

bool HostWatch::running() const {
    if (m_lifeline >= 0 && ended(m_lifeline))
        return false;
    if (m_fd >= 0)
        return !ended(m_fd);
    if (m_fallbackPid > 0)
        return kill(m_fallbackPid, 0) == 0 || errno == EPERM;
    return m_lifeline >= 0;
}

void HostWatch::close() {
    for (int *fd : {&m_fd, &m_lifeline}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_fallbackPid = 0;
}

} // namespace KEL
