#pragma once
// Starting the browser inside a bubblewrap (bwrap) sandbox, and the lifeline that tells it when
// the host is gone.
//
// The sandbox gives the browser its own user, mount, PID, IPC and UTS namespaces, no
// capabilities and NoNewPrivs; the system is read-only, /tmp is empty and private, and only the
// browser's data and cache folders and /dev/shm (the segments) are writable. The network is
// shared. The browser runs as PID 1 of its namespace (--as-pid-1), so the kit knows its real
// process: the memory bound lands on it, and killing it ends everything in the sandbox at
// once, which is how a hung browser is replaced without leaving an orphan beside the new one.
//
// The lifeline is a pipe whose write end only the host holds: when the host ends, however it
// ends, the browser reads end of file and removes the segment names itself. Unlike the host's
// process id it means the same inside and outside the sandbox. bwrap's --die-with-parent is
// not used: it would kill the browser with its host, before it could remove the names.

#include <string>
#include <sys/types.h>
#include <vector>

namespace KEL {
namespace Host {

// Environment variable naming the lifeline's read end in the browser (a file descriptor
// number); the browser watches it instead of the host's process id.
constexpr const char *kLifelineVariable = "KEL_HOST_FD";
// Environment variable telling the browser, for its log, whether it runs sandboxed: "1", or
// "0" and the reason.
constexpr const char *kSandboxedVariable = "KEL_SANDBOXED";

struct SandboxSettings {
    // The kit's switch (StartOptions::sandbox).
    bool wanted = true;
    // Extra folders the page may read although the sandbox hides them (anything under /tmp).
    std::vector<std::string> readable;
};

// The folder of a file address ("file:///tmp/pages/a.html" gives "/tmp/pages"), for
// StartOptions::sandboxReadable; empty for other addresses.
std::string folderOfFileAddress(const std::string &address);

// Where bwrap is and whether it can make the namespaces here; probed once per process.
// `reason` says why not.
struct SandboxSupport {
    bool available = false;
    std::string bwrap;
    std::string reason;
};
const SandboxSupport &sandboxSupport();

// Whether KEL_SANDBOX in this process's environment turns the sandbox off ("0", "off", "no",
// "false").
bool sandboxDisabledByEnvironment();

// The browser's writable folders for an environment (entries "NAME=value"): its data and
// cache locations, as Qt computes them from XDG_DATA_HOME, XDG_CACHE_HOME and HOME for the
// organisation and application "Kelvane".
std::vector<std::string> browserDataFolders(const std::vector<std::string> &environment);

// bwrap's arguments (without the program name) for running `program` with `environment`.
// `infoFd` is where bwrap reports the sandboxed process's id. The program's own folder is
// readable too (a build tree under /tmp).
std::vector<std::string> sandboxArguments(const std::string &program,
                                          const std::vector<std::string> &environment,
                                          const std::vector<std::string> &readable, int infoFd);

// The process id from bwrap's info report ({"child-pid": N, ...}); -1 when there is none.
pid_t parseSandboxInfo(const std::string &report);

// A wait status as the browser's own: bwrap ends with 128 + N when its program was killed by
// signal N; that becomes the status of a process killed by N.
int browserWaitStatus(int bwrapStatus);

// One start of the browser: decides whether to sandbox, builds program, arguments and
// environment, and makes the lifeline. Build it, spawn `path()` with `argv()` and `envp()`
// (file descriptors not marked close-on-exec are inherited), then call `started`.
class BrowserLaunch {
  public:
    BrowserLaunch(const std::string &program, std::vector<std::string> environment,
                  const SandboxSettings &settings);
    ~BrowserLaunch();
    BrowserLaunch(const BrowserLaunch &) = delete;
    BrowserLaunch &operator=(const BrowserLaunch &) = delete;

    bool sandboxed() const { return m_sandboxed; }
    // errno for a program that cannot be run (bwrap would start and then fail), else 0.
    int programError() const { return m_programError; }
    const std::string &path() const { return m_path; }
    char *const *argv() { return m_argv.data(); }
    char *const *envp() { return m_envp.data(); }

    // After the spawn of process `spawned`: closes the ends the host must not keep and, in
    // the sandbox, waits (briefly) for bwrap to report the browser's own process id. Returns
    // that id (`spawned` without the sandbox), or -1 with `error` set.
    pid_t started(pid_t spawned, std::string *error);
    // Hands over the lifeline's write end (-1 if none); the host keeps it open while the
    // browser should run.
    int takeLifeline();

  private:
    bool m_sandboxed = false;
    int m_programError = 0;
    std::string m_path;
    std::vector<std::string> m_arguments;
    std::vector<std::string> m_environment;
    std::vector<char *> m_argv;
    std::vector<char *> m_envp;
    int m_lifeline[2] = {-1, -1};
    int m_info[2] = {-1, -1};
};

} // namespace Host
} // namespace KEL
