#pragma once
// A handle on the host process, to notice when it ends.
//
// A pidfd (pidfd_open) names the process itself, not its number, so a number that the system
// hands to a new process after the host has gone cannot make a dead host look alive; it also
// reports the end before the host's parent has reaped it. Kernels without pidfd_open (or
// sandboxes that refuse it) fall back to kill(pid, 0), which has neither property.

#include <sys/types.h>

namespace KEL {

class HostWatch {
  public:
    HostWatch() = default;
    ~HostWatch();
    HostWatch(const HostWatch &) = delete;
    HostWatch &operator=(const HostWatch &) = delete;

    // Closes any previous handle, then opens one on `pid`. False (and null) for pid <= 0 or a
    // process that cannot be opened.
    bool open(pid_t pid);
    // Zero-timeout check: true while the process runs. False when it has ended, when the check
    // itself failed, or when there is no handle. Never blocks.
    bool running() const;
    void close();
    bool isNull() const { return m_fd < 0 && m_fallbackPid <= 0; }

  private:
    int m_fd = -1;
    pid_t m_fallbackPid = 0; // > 0 only when watching by kill(pid, 0)
};

} // namespace KEL
