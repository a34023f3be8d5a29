#include "wpe/WpeSandbox.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <strings.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace KEL {

namespace {
// Where Debian's WPE WebKit runs bwrap from; it takes no other.
const char kBwrap[] = "/usr/bin/bwrap";
constexpr int kTrialMs = 1000;
} // namespace

PageSandboxTrial::PageSandboxTrial() {
    const std::string choice =
        std::getenv("KEL_PAGE_SANDBOX") ? std::getenv("KEL_PAGE_SANDBOX") : "";
    for (const char *off : {"0", "off", "no", "false"})
        if (strcasecmp(choice.c_str(), off) == 0) {
            m_why = "turned off by KEL_PAGE_SANDBOX";
            return;
        }
    // The engine's own rule: in Docker and in a Snap its pages run without bwrap whatever it is
    // told.
    if (access("/.dockerenv", F_OK) == 0 || std::getenv("SNAP")) {
        m_why = "the engine confines no pages inside Docker or a Snap";
        return;
    }
    if (access(kBwrap, X_OK) != 0) {
        m_why = std::string(kBwrap) + " not found";
        return;
    }
    // The namespaces the engine asks for around a page process (bwrap adds a user namespace of
    // its own where it needs one: for any user but a root that holds its capabilities), over
    // only the system folders, as the engine binds them.
    // clang-format off
    const char *const argv[] = {kBwrap,
        "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--unshare-net", "--die-with-parent",
        "--ro-bind", "/usr", "/usr", "--ro-bind-try", "/lib", "/lib",
        "--ro-bind-try", "/lib64", "/lib64", "--ro-bind-try", "/etc", "/etc",
        "--proc", "/proc", "--dev", "/dev", "--", "/usr/bin/true", nullptr};
    // clang-format on
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char *const noEnvironment[] = {nullptr};
    const int rc = posix_spawn(&m_pid, kBwrap, &actions, nullptr, const_cast<char *const *>(argv),
                               const_cast<char *const *>(noEnvironment));
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        m_why = std::string("cannot run bwrap: ") + std::strerror(rc);
    }
}

namespace {
// The trial's wait status once it has ended, waiting at most `ms`; -1 while it runs.
int reapWithin(pid_t pid, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    for (;;) {
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped != 0)
            return reaped == pid ? status : 1 << 8; // an error reads as bwrap exiting with 1
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Ends a trial that is still running without waiting on it for long: a bwrap stuck in the
// kernel is left to become a zombie rather than hold up the start.
void endTrial(pid_t pid) {
    kill(pid, SIGKILL);
    reapWithin(pid, 200);
}
} // namespace

PageSandboxTrial::~PageSandboxTrial() {
    if (m_pid > 0)
        endTrial(m_pid);
}

std::string PageSandboxTrial::verdict() {
    if (m_pid <= 0)
        return m_why;
    const int status = reapWithin(m_pid, kTrialMs);
    if (status == -1) {
        endTrial(m_pid);
        m_why = "bwrap did not finish its trial run";
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_why = "bwrap cannot make the namespaces here";
    }
    m_pid = -1;
    return m_why;
}

} // namespace KEL
