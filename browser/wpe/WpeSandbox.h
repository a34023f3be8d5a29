#pragma once
// Whether WPE WebKit can confine its page processes with bubblewrap of its own, inside
// whatever already holds the browser (the host kit's sandbox makes a user namespace, and not
// every kernel lets a namespace make another). Asked before the engine starts its first page
// process: once on, every page process starts through bwrap, and one that cannot start leaves
// every view without pages.

#include <string>
#include <sys/types.h>

namespace KEL {

class PageSandboxTrial {
  public:
    // Starts a trial run of bwrap (the engine's own path) in the background, unless the
    // sandbox is off without one: turned off (KEL_PAGE_SANDBOX=0, off, no or false), no bwrap,
    // or Docker or a Snap, where the engine never confines its pages.
    PageSandboxTrial();
    ~PageSandboxTrial();
    PageSandboxTrial(const PageSandboxTrial &) = delete;
    PageSandboxTrial &operator=(const PageSandboxTrial &) = delete;

    // Waits for the trial (at most about a second); empty when the sandbox can be on, else why
    // not.
    std::string verdict();

  private:
    pid_t m_pid = -1;
    std::string m_why;
};

} // namespace KEL
