#include "Sandbox.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace KEL {
namespace Host {

namespace {

using Clock = std::chrono::steady_clock;

// bwrap reports the process id right after making the namespaces, in a few milliseconds; a
// bwrap that cannot go on ends at once, which closes the report unwritten.
constexpr int kInfoWaitMs = 5000;

std::string lookup(const std::vector<std::string> &environment, const std::string &name) {
    const std::string prefix = name + "=";
    for (const std::string &entry : environment)
        if (entry.compare(0, prefix.size(), prefix) == 0)
            return entry.substr(prefix.size());
    return {};
}

void assign(std::vector<std::string> &environment, const std::string &name,
            const std::string &value) {
    const std::string prefix = name + "=";
    for (std::string &entry : environment) {
        if (entry.compare(0, prefix.size(), prefix) == 0) {
            entry = prefix + value;
            return;
        }
    }
    environment.push_back(prefix + value);
}

bool isDirectory(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// mkdir -p, new levels private to the user.
bool makeFolders(const std::string &path) {
    if (path.empty() || path[0] != '/')
        return false;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string level = path.substr(0, slash);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    return isDirectory(path);
}

std::string findBwrap() {
    const char *path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate =
            (end > start ? folders.substr(start, end - start) : ".") + "/bwrap";
        if (candidate[0] == '/' && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// The namespaces and privileges, shared by the probe and the real start.
const char *const kIsolation[] = {"--unshare-user", "--unshare-pid",        "--unshare-ipc",
                                  "--unshare-uts",  "--unshare-cgroup-try", "--new-session",
                                  "--as-pid-1",     "--cap-drop",           "ALL"};

// Runs bwrap with the sandbox's namespaces around /bin/true: bwrap may exist where the
// kernel or a container refuses unprivileged namespaces.
std::string probe(const std::string &bwrap) {
    std::vector<std::string> arguments = {bwrap};
    arguments.insert(arguments.end(), std::begin(kIsolation), std::end(kIsolation));
    for (const char *item : {"--ro-bind", "/", "/", "--proc", "/proc", "--", "/bin/true"})
        arguments.push_back(item);
    std::vector<char *> argv;
    for (std::string &item : arguments)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const char *const noEnvironment[] = {nullptr};
    const int rc = posix_spawn(&pid, bwrap.c_str(), &actions, nullptr, argv.data(),
                               const_cast<char *const *>(noEnvironment));
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return std::string("cannot run bwrap: ") + std::strerror(rc);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kInfoWaitMs);
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (reaped == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return "bwrap did not finish its trial run";
    }
    if (reaped != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "bwrap cannot make the namespaces here";
    return {};
}

} // namespace

std::string folderOfFileAddress(const std::string &address) {
    const std::string scheme = "file://";
    if (address.compare(0, scheme.size(), scheme) != 0)
        return {};
    std::string path;
    const std::string encoded =
        address.substr(scheme.size(), address.find_first_of("?#") - scheme.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size() && std::isxdigit(encoded[i + 1]) &&
            std::isxdigit(encoded[i + 2])) {
            path.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(encoded[i]);
        }
    }
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == std::string::npos)
        return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

const SandboxSupport &sandboxSupport() {
    static const SandboxSupport support = [] {
        SandboxSupport found;
        found.bwrap = findBwrap();
        if (found.bwrap.empty()) {
            found.reason = "bwrap not found";
            return found;
        }
        found.reason = probe(found.bwrap);
        found.available = found.reason.empty();
        return found;
    }();
    return support;
}

bool sandboxDisabledByEnvironment() {
    const char *value = std::getenv("KEL_SANDBOX");
    if (!value)
        return false;
    const std::string text(value);
    return text == "0" || text == "off" || text == "no" || text == "false";
}

std::vector<std::string> browserDataFolders(const std::vector<std::string> &environment) {
    const std::string home = lookup(environment, "HOME");
    std::vector<std::string> folders;
    const std::pair<const char *, const char *> locations[] = {{"XDG_DATA_HOME", "/.local/share"},
                                                               {"XDG_CACHE_HOME", "/.cache"}};
    for (const auto &[variable, underHome] : locations) {
        std::string base = lookup(environment, variable);
        if (base.empty() && !home.empty())
            base = home + underHome;
        if (!base.empty() && base[0] == '/')
            folders.push_back(base + "/Kelvane/Kelvane");
    }
    return folders;
}

std::vector<std::string> sandboxArguments(const std::string &program,
                                          const std::vector<std::string> &environment,
                                          const std::vector<std::string> &readable, int infoFd) {
    std::vector<std::string> arguments(std::begin(kIsolation), std::end(kIsolation));
    // Later mounts go on top of earlier ones: the read-only system, then its own /dev with the
    // shared segments, /proc of the new namespace, an empty /tmp, and last what may be read
    // or written there.
    for (const char *item : {"--ro-bind", "/", "/", "--dev", "/dev", "--bind", "/dev/shm",
                             "/dev/shm", "--proc", "/proc", "--tmpfs", "/tmp"})
        arguments.push_back(item);
    std::vector<std::string> visible = readable;
    const size_t slash = program.rfind('/');
    if (slash != std::string::npos && slash > 0)
        visible.push_back(program.substr(0, slash));
    for (const std::string &path : visible) {
        if (!path.empty() && path[0] == '/' && exists(path))
            arguments.insert(arguments.end(), {"--ro-bind", path, path});
    }
    for (const std::string &folder : browserDataFolders(environment)) {
        if (isDirectory(folder))
            arguments.insert(arguments.end(), {"--bind", folder, folder});
    }
    arguments.insert(arguments.end(), {"--info-fd", std::to_string(infoFd), "--", program});
    return arguments;
}

pid_t parseSandboxInfo(const std::string &report) {
    const std::string key = "\"child-pid\"";
    size_t at = report.find(key);
    if (at == std::string::npos)
        return -1;
    at = report.find(':', at + key.size());
    if (at == std::string::npos)
        return -1;
    ++at;
    while (at < report.size() && (report[at] == ' ' || report[at] == '\t'))
        ++at;
    long long value = 0;
    size_t digits = 0;
    while (at + digits < report.size() && report[at + digits] >= '0' &&
           report[at + digits] <= '9' && digits < 10)
        value = value * 10 + (report[at + digits++] - '0');
    if (digits == 0 || value <= 1 || value > INT32_MAX)
        return -1;
    return static_cast<pid_t>(value);
}

int browserWaitStatus(int bwrapStatus) {
    if (bwrapStatus < 0 || !WIFEXITED(bwrapStatus))
        return bwrapStatus;
    const int code = WEXITSTATUS(bwrapStatus);
    if (code > 128 && code - 128 < NSIG)
        return code - 128; // the status of a process ended by that signal (no core)
    return bwrapStatus;
}

BrowserLaunch::BrowserLaunch(const std::string &program, std::vector<std::string> environment,
                             const SandboxSettings &settings)
    : m_path(program), m_environment(std::move(environment)) {
    if (pipe2(m_lifeline, O_CLOEXEC) == 0) {
        // Only the read end goes to the browser; the write end stays with the host alone.
        fcntl(m_lifeline[0], F_SETFD, 0);
        assign(m_environment, kLifelineVariable, std::to_string(m_lifeline[0]));
    } else {
        m_lifeline[0] = m_lifeline[1] = -1;
    }

    std::string off;
    if (!settings.wanted)
        off = "turned off by the host";
    else if (sandboxDisabledByEnvironment())
        off = "turned off by KEL_SANDBOX";
    else if (!sandboxSupport().available)
        off = sandboxSupport().reason;
    if (off.empty() && pipe2(m_info, O_CLOEXEC) != 0) {
        m_info[0] = m_info[1] = -1;
        off = std::string("no pipe for bwrap: ") + std::strerror(errno);
    }
    m_sandboxed = off.empty();
    assign(m_environment, kSandboxedVariable, m_sandboxed ? "1" : "0 (" + off + ")");

    m_arguments.push_back(program);
    if (m_sandboxed && access(program.c_str(), X_OK) != 0)
        m_programError = errno;
    if (m_sandboxed) {
        fcntl(m_info[1], F_SETFD, 0);
        // GStreamer (the engine's media) keeps its plugin registry in the cache folder; where
        // it cannot write it, it scans every plugin again at each start (about half a second).
        const std::vector<std::string> folders = browserDataFolders(m_environment);
        if (folders.size() == 2 && lookup(m_environment, "GST_REGISTRY_1_0").empty() &&
            lookup(m_environment, "GST_REGISTRY").empty())
            assign(m_environment, "GST_REGISTRY_1_0", folders[1] + "/gstreamer-registry.bin");
        for (const std::string &folder : browserDataFolders(m_environment))
            makeFolders(folder);
        char *resolved = realpath(program.c_str(), nullptr);
        const std::string absolute = resolved ? resolved : program;
        std::free(resolved);
        m_path = sandboxSupport().bwrap;
        m_arguments = {m_path};
        for (std::string &item :
             sandboxArguments(absolute, m_environment, settings.readable, m_info[1]))
            m_arguments.push_back(std::move(item));
    }
    for (std::string &item : m_arguments)
        m_argv.push_back(item.data());
    m_argv.push_back(nullptr);
    for (std::string &entry : m_environment)
        m_envp.push_back(entry.data());
    m_envp.push_back(nullptr);
}

BrowserLaunch::~BrowserLaunch() {
    for (int fd : {m_lifeline[0], m_lifeline[1], m_info[0], m_info[1]})
        if (fd >= 0)
            close(fd);
}

pid_t BrowserLaunch::started(pid_t spawned, std::string *error) {
    if (m_lifeline[0] >= 0) {
        close(m_lifeline[0]);
        m_lifeline[0] = -1;
    }
    if (!m_sandboxed)
        return spawned;
    close(m_info[1]);
    m_info[1] = -1;
    std::string report;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kInfoWaitMs);
    while (report.find('}') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{m_info[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&entry, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[512];
        const ssize_t got = read(m_info[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        report.append(buffer, static_cast<size_t>(got));
    }
    const pid_t browser = parseSandboxInfo(report);
    if (browser < 0 && error)
        *error = "the sandbox did not start (bwrap's messages are in the browser's log; "
                 "KEL_SANDBOX=0 runs the browser without it)";
    return browser;
}

int BrowserLaunch::takeLifeline() {
    const int fd = m_lifeline[1];
    m_lifeline[1] = -1;
    return fd;
}

} // namespace Host
} // namespace KEL
