#include "core/HostWatch.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
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

HostWatch::~HostWatch() {
    close();
}

bool HostWatch::open(pid_t pid) {
    close();
    // kill() with 0 or a negative number addresses process groups: never let such a number
    // through to the fallback.
    if (pid <= 0)
        return false;
    m_fd = openPidfd(pid);
    if (m_fd >= 0)
        return true;
    if (errno == ENOSYS || errno == EPERM) {
        if (kill(pid, 0) == 0 || errno == EPERM) {
            m_fallbackPid = pid;
            return true;
        }
    }
    return false;
}

bool HostWatch::running() const {
    if (m_fd >= 0) {
        pollfd entry{m_fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, 0);
        } while (ready < 0 && errno == EINTR);
        // Readable means the process has ended; an error counts as ended too.
        return ready == 0;
    }
    if (m_fallbackPid > 0)
        return kill(m_fallbackPid, 0) == 0 || errno == EPERM;
    return false;
}

void HostWatch::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_fallbackPid = 0;
}

} // namespace KEL
