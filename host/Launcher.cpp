#include "Launcher.h"

#include "Sandbox.h"

#include "KELPlugin.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace KEL {
namespace Host {

bool isExecutable(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string directoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string defaultBrowserPath() {
    if (const char *path = std::getenv("KEL_BROWSER_PATH"); path && *path)
        return path;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&KEL_Init), &info) && info.dli_fname) {
        const std::string libDir = directoryOf(info.dli_fname);
        for (const std::string &candidate :
             {libDir + "/../bin/KELBrowser", libDir + "/KELBrowser"}) {
            if (isExecutable(candidate))
                return candidate;
        }
        return libDir + "/../bin/KELBrowser";
    }
    return "KELBrowser";
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string> &overrides) {
    std::vector<std::string> entries;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('='));
        if (!overrides.count(key))
            entries.push_back(text);
    }
    for (const auto &[key, value] : overrides)
        entries.push_back(key + "=" + value);
    return entries;
}

namespace {

// The suffix settleSegmentSuffix made for this process, to tell it from one the user set.
std::string g_ownSuffix;

} // namespace

std::string settleSegmentSuffix(bool fixedNames) {
    const char *current = std::getenv("KEL_SEGMENT_SUFFIX");
    const std::string inForce = current ? current : "";
    const bool ours = !g_ownSuffix.empty() && inForce == g_ownSuffix;
    if (!inForce.empty() && !ours)
        return inForce;
    if (fixedNames) {
        if (ours)
            unsetenv("KEL_SEGMENT_SUFFIX");
        return "";
    }
    if (ours)
        return inForce;
    // The process id keeps live hosts apart; the random part keeps a host apart from the
    // leftovers of an earlier one that had the same id.
    std::random_device random;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "_%ld_%08x", static_cast<long>(getpid()),
                  static_cast<unsigned>(random()));
    g_ownSuffix = suffix;
    setenv("KEL_SEGMENT_SUFFIX", suffix, 1);
    return g_ownSuffix;
}

namespace {

// The browser's main thread needs a large stack for deeply nested pages; started with less,
// it raises its limit and executes itself once more, which loads Qt and the engine twice
// (about 25 ms). Started with the limit in place, it goes straight on. The limit only counts
// when a program image is laid out, so raising this process's soft limit around the spawn and
// restoring it afterwards changes nothing here.
constexpr rlim_t kBrowserMainStack = rlim_t(256) << 20;

class StackLimitForChild {
  public:
    StackLimitForChild() {
        if (getrlimit(RLIMIT_STACK, &m_saved) != 0 || m_saved.rlim_cur == RLIM_INFINITY ||
            m_saved.rlim_cur >= kBrowserMainStack)
            return;
        struct rlimit raised = m_saved;
        raised.rlim_cur = m_saved.rlim_max == RLIM_INFINITY
                              ? kBrowserMainStack
                              : std::min(kBrowserMainStack, m_saved.rlim_max);
        m_raised = raised.rlim_cur > m_saved.rlim_cur && setrlimit(RLIMIT_STACK, &raised) == 0;
    }
    ~StackLimitForChild() {
        if (m_raised)
            setrlimit(RLIMIT_STACK, &m_saved);
    }
    StackLimitForChild(const StackLimitForChild &) = delete;
    StackLimitForChild &operator=(const StackLimitForChild &) = delete;

  private:
    struct rlimit m_saved {};
    bool m_raised = false;
};

// The process's pidfd, or -1 where the kernel has none (then waitpid and kill serve).
int openPidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// A pipe for the browser's output. The writing end is non-blocking: a host that never reads
// loses the browser's lines once the pipe is full, but the browser never stops on a write.
bool makeOutputPipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20); // more room where the system allows it
    return true;
}

} // namespace

std::string chooseEngine(const std::string &program, const std::string &asked) {
    std::string engine = asked;
    if (engine.empty()) {
        const char *value = std::getenv("KEL_ENGINE");
        engine = value ? value : "";
    }
    if (engine == "qtwebkit")
        return engine;
    return isExecutable(directoryOf(program) + "/KELBrowser-wpe") ? "wpe" : "qtwebkit";
}

bool spawnBrowser(const LaunchRequest &request, Launched *launched, std::string *error) {
    const std::string program = request.program.empty() ? defaultBrowserPath() : request.program;
    std::map<std::string, std::string> environment = request.environment;
    const auto asked = environment.find("KEL_ENGINE");
    const std::string engine = chooseEngine(
        program, !request.engine.empty() ? request.engine
                                         : (asked != environment.end() ? asked->second : ""));
    environment["KEL_ENGINE"] = engine;
    const bool pagesInBrowser = engine == "qtwebkit";
    if (!pagesInBrowser && request.memoryLimit > 0)
        environment["KEL_MEMORY_LIMIT"] = std::to_string(request.memoryLimit);
    BrowserLaunch launch(program, environmentWith(environment),
                         {request.sandbox, request.sandboxReadable});
    if (launch.programError() != 0) {
        if (error)
            *error = "cannot start " + program + ": " + std::strerror(launch.programError());
        return false;
    }

    int output[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!request.logFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, request.logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else if (makeOutputPipe(output)) {
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    }
    // Outside the sandbox the browser leads a process group of its own, which the engine's
    // helper processes join: whatever of it is left when the browser ends (killed, say) is
    // ended with it (stillRunning). In the sandbox its PID namespace does that.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (!launch.sandboxed()) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = -1;
    int rc = 0;
    {
        const StackLimitForChild stack;
        rc = posix_spawn(&pid, launch.path().c_str(), &actions, &attributes, launch.argv(),
                         launch.envp());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (output[1] >= 0)
        close(output[1]);
    if (rc != 0) {
        if (output[0] >= 0)
            close(output[0]);
        if (error)
            *error = "cannot start " + launch.path() + ": " + std::strerror(rc);
        return false;
    }
    std::string startError;
    const pid_t browserPid = launch.started(pid, &startError);
    if (browserPid < 0) {
        kill(launch.sandboxed() ? pid : -pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (output[0] >= 0)
            close(output[0]);
        if (error)
            *error = startError;
        return false;
    }
    launched->pid = pid;
    launched->browserPid = browserPid;
    launched->sandboxed = launch.sandboxed();
    launched->engine = engine;
    launched->lifeline = launch.takeLifeline();
    // The browser's own process, inside the sandbox too: its end is the sandbox's end.
    launched->pidfd = openPidfd(browserPid);
    launched->logFd = output[0];
    // posix_spawn returns once the program runs, so the bound is in place long before any page
    // can allocate; only the dynamic loader runs without it.
    if (pagesInBrowser && request.memoryLimit > 0) {
        const struct rlimit limit = {static_cast<rlim_t>(request.memoryLimit),
                                     static_cast<rlim_t>(request.memoryLimit)};
        prlimit(browserPid, RLIMIT_DATA, &limit, nullptr);
    }
    return true;
}

bool stillRunning(Launched &launched, bool block, int *status) {
    if (launched.pid <= 0)
        return false;
    // Outside the sandbox the browser's group goes with it, while the browser is still
    // unreaped: its id cannot name another process or group until then.
    if (!launched.sandboxed) {
        siginfo_t info{};
        int ended;
        do
            ended =
                waitid(P_PID, id_t(launched.pid), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
        while (ended < 0 && errno == EINTR);
        if (ended == 0 && info.si_pid == launched.pid)
            kill(-launched.pid, SIGKILL);
    }
    int waited = 0;
    pid_t rc;
    do
        rc = waitpid(launched.pid, &waited, block ? 0 : WNOHANG);
    while (rc < 0 && errno == EINTR);
    if (rc == 0)
        return true;
    if (rc == launched.pid && status)
        *status = launched.sandboxed ? browserWaitStatus(waited) : waited;
    launched.pid = -1;
    if (launched.pidfd >= 0) {
        close(launched.pidfd);
        launched.pidfd = -1;
    }
    return false;
}

void BrowserLines::read(int fd, std::vector<std::string> *lines) {
    if (fd < 0)
        return;
    char buffer[4096];
    bool ended = false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            m_partial.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        ended = got == 0;
        break;
    }
    size_t start = 0;
    for (size_t end; (end = m_partial.find('\n', start)) != std::string::npos; start = end + 1)
        lines->push_back(m_partial.substr(start, end - start));
    m_partial.erase(0, start);
    // A line without end (a runaway script's output) is handed on in pieces rather than kept.
    constexpr size_t kLongestLine = 64 * 1024;
    if ((ended || m_partial.size() >= kLongestLine) && !m_partial.empty()) {
        lines->push_back(m_partial);
        m_partial.clear();
    }
    for (std::string &line : *lines) {
        if (line.rfind("LOG: ", 0) == 0)
            line.erase(0, 5);
    }
}

} // namespace Host
} // namespace KEL
