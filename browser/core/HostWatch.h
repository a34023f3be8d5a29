#pragma once
// A handle on the host process, to notice when it ends.
//
// A pidfd (pidfd_open) names the process itself, not its number, so a number that the system
// hands to a new process after the host has gone cannot make a dead host look alive; it also
// reports the end before the host's parent has reaped it. Kernels without pidfd_open (or
// sandboxes that refuse it) fall back to kill(pid, 0), which has neither property.
//
// A host that started the browser itself can hand it a lifeline instead: the read end of a
// pipe whose write end only the host holds, named by KEL_HOST_FD. End of file on it means the
// host is gone however it ended, and unlike a process id it means the same inside a sandbox
// with its own PID namespace, where the host's number names nothing (or someone else). When a
// lifeline was adopted, opening a host by id watches the lifeline too, and the process where
// it can be opened: the host is gone when either says so.

#include <sys/types.h>

namespace KEL {

class HostWatch {
  public:
    HostWatch() = default;
    ~HostWatch();
    HostWatch(const HostWatch &) = delete;
    HostWatch &operator=(const HostWatch &) = delete;

    // Takes the lifeline named by KEL_HOST_FD (when it is the read end of a pipe) and removes
    // the variable: the descriptor, or -1. Once, at start-up; the caller keeps it open.
    static int adoptLifeline();

    // Closes any previous handle, then opens one on `pid` (on `lifeline` too, when it is not
    // -1). False (and null) for pid <= 0 or a process that cannot be opened.
    bool open(pid_t pid, int lifeline = -1);
    // Zero-timeout check: true while the process runs. False when it has ended, when the check
    // itself failed, or when there is no handle. Never blocks.
    bool running() const;
    void close();
    bool isNull() const { return m_fd < 0 && m_fallbackPid <= 0 && m_lifeline < 0; }

  private:
    int m_fd = -1;
    int m_lifeline = -1;
    pid_t m_fallbackPid = 0; // > 0 only when watching by kill(pid, 0)
};

} // namespace KEL
