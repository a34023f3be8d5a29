// The browser in its sandbox, seen from outside through /proc: what it may see and do, that
// the memory bound reaches it, that a hung one is replaced only once its whole sandbox is gone,
// and that the sandbox can be turned off. (A killed host's sandboxed browser removing the names
// is HostGone in the handshake tests: the sandbox is on by default.)

#include "BrowserFixture.h"
#include "FrameCompositor.h"
#include "ProcessTree.h"

#include "CommandCodes.h"
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace KEL {
namespace Test {
namespace {

constexpr uint64_t kMemoryLimit = uint64_t(768) << 20;

std::string readText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string statusField(pid_t pid, const std::string &field) {
    std::istringstream lines(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return {};
}

std::string namespaceOf(const std::string &process, const char *kind) {
    char target[128] = {};
    const std::string link = "/proc/" + process + "/ns/" + kind;
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// The options of the topmost mount at `point` in the process's mount namespace.
std::string mountOptions(pid_t pid, const std::string &point) {
    std::istringstream lines(readText("/proc/" + std::to_string(pid) + "/mountinfo"));
    std::string options;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, mountOptions;
        fields >> id >> parent >> device >> root >> mountPoint >> mountOptions;
        if (mountPoint == point)
            options = mountOptions;
    }
    return options;
}

bool processEnded(int pidfd) {
    pollfd entry{pidfd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

// Processes whose parent is this one.
int childrenOfThisProcess() {
    return int(processesBelow(getpid(), [](const ProcessEntry &p) {
                   return p.parent == getpid();
               }).size());
}

class Sandbox : public BrowserTest {
  protected:
    void TearDown() override {
        if (m_browser.running())
            kill(m_browser.pid(), SIGKILL);
        unsetenv("KEL_SANDBOX");
        BrowserTest::TearDown();
    }

    bool start(bool sandbox = true) {
        Host::StartOptions options;
        options.browserPath = KEL_BROWSER_EXECUTABLE;
        options.environment = browserEnvironment();
        options.logFile = m_logPath;
        options.memoryLimit = kMemoryLimit;
        options.sandbox = sandbox;
        options.recovery.pingIntervalMs = 300;
        options.recovery.hangTimeoutMs = 1500;
        const bool started = m_browser.start(options);
        EXPECT_TRUE(started) << m_browser.error();
        m_frames.attach(m_browser); // frames taken, so loads finish
        return started;
    }

    std::string dataFolder() const { return m_root + "/data/Kelvane/Kelvane"; }

    // A KELBrowser that runs in this machine's root less a container's marker files, where the
    // engine confines its page processes (it never does in a container).
    std::string browserOutsideAContainer() {
        const std::string real = KEL_BROWSER_EXECUTABLE;
        const std::string folder = m_root + "/bin";
        std::filesystem::create_directories(folder);
        // Beside it, so the kit finds the WPE program there and keeps the engine.
        std::filesystem::create_symlink(real + "-wpe", folder + "/KELBrowser-wpe");
        const std::string wrapper = folder + "/KELBrowser";
        std::ofstream(wrapper) << "#!/bin/sh\n"
                                  "set -- --dev-bind /dev /dev --proc /proc --bind /tmp /tmp -- '"
                               << real
                               << "' \"$@\"\n"
                                  "for d in /*; do case $d in /proc|/dev|/tmp|/.dockerenv|"
                                  "/.flatpak-info) ;; *) set -- --bind \"$d\" \"$d\" \"$@\";; "
                                  "esac; done\n"
                                  "exec bwrap --die-with-parent \"$@\"\n";
        std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
        return wrapper;
    }

    Host::FrameCompositor m_frames;
};

struct Fact {
    const char *name;
    std::function<bool(pid_t browser, const std::string &dataFolder)> holds;
};

// Guards each promise of the sandbox, read from the browser's own process.
TEST_F(Sandbox, TheBrowserRunsConfined) {
    // A file the host sees in /tmp must not be there for the browser.
    const std::string hostFile = "/tmp/kel-sandbox-probe-" + m_suffix;
    std::ofstream(hostFile) << "host only";
    ASSERT_TRUE(start());
    ASSERT_TRUE(m_browser.sandboxed());
    const pid_t pid = m_browser.pid();
    const std::string root = "/proc/" + std::to_string(pid) + "/root";

    const Fact facts[] = {
        {"no new privileges", [](pid_t p, auto &) { return statusField(p, "NoNewPrivs") == "1"; }},
        {"no capabilities",
         [](pid_t p, auto &) { return statusField(p, "CapEff") == "0000000000000000"; }},
        {"own PID namespace",
         [](pid_t p, auto &) {
             return namespaceOf(std::to_string(p), "pid") != namespaceOf("self", "pid") &&
                    statusField(p, "NSpid").substr(statusField(p, "NSpid").rfind('\t') + 1) == "1";
         }},
        {"own user namespace",
         [](pid_t p, auto &) {
             return namespaceOf(std::to_string(p), "user") != namespaceOf("self", "user");
         }},
        {"own mount namespace",
         [](pid_t p, auto &) {
             return namespaceOf(std::to_string(p), "mnt") != namespaceOf("self", "mnt");
         }},
        {"read-only system",
         [](pid_t p, auto &) { return mountOptions(p, "/").compare(0, 3, "ro,") == 0; }},
        {"writable data folder",
         [](pid_t p, auto &data) { return mountOptions(p, data).compare(0, 3, "rw,") == 0; }},
        {"writable shared memory",
         [](pid_t p, auto &) { return mountOptions(p, "/dev/shm").compare(0, 3, "rw,") == 0; }},
        {"private /tmp",
         [&](pid_t, auto &) {
             return access(hostFile.c_str(), F_OK) == 0 &&
                    access((root + hostFile).c_str(), F_OK) != 0;
         }},
        {"memory bound on the browser itself",
         [&](pid_t p, auto &) {
             const std::string bound = std::to_string(kMemoryLimit);
             // WPE WebKit's script engine reserves more address space than any data limit
             // allows: the bound goes to the engine, which holds its page process to it.
             if (m_browser.engine() == "wpe") {
                 const std::string environment =
                     readText("/proc/" + std::to_string(p) + "/environ");
                 return environment.find(std::string("KEL_MEMORY_LIMIT=") + bound + '\0') !=
                        std::string::npos;
             }
             std::istringstream lines(readText("/proc/" + std::to_string(p) + "/limits"));
             for (std::string line; std::getline(lines, line);)
                 if (line.compare(0, 13, "Max data size") == 0)
                     return line.find(bound + " ") != std::string::npos &&
                            line.find(bound, line.find(bound) + 1) != std::string::npos;
             return false;
         }},
    };
    for (const Fact &fact : facts)
        EXPECT_TRUE(fact.holds(pid, dataFolder())) << fact.name;
    std::remove(hostFile.c_str());

    // Confined, and still a browser: it renders and keeps its data.
    ASSERT_EQ(createView("main", 128, 128).result, 1);
    // Audio makes the engine load its media plugins (WPE WebKit does only then).
    EXPECT_TRUE(showHtml("main", "<title>boxed</title><script>new AudioContext()</script>"));
    EXPECT_TRUE(waitForLog("Sandbox: on", 1000));
    // The engine's media registry is kept where it can be written, or every start rescans.
    EXPECT_TRUE(waitUntil(
        [&] {
            return access((m_root + "/cache/Kelvane/Kelvane/gstreamer-registry.bin").c_str(),
                          F_OK) == 0;
        },
        5000));
}

// Guards against an orphan: a hung sandboxed browser must be gone, with everything in its
// sandbox, before its replacement starts.
TEST_F(Sandbox, AHungBrowserIsReplacedOnlyOnceItsSandboxIsGone) {
    ASSERT_TRUE(start());
    const pid_t old = m_browser.pid();
    const int oldFd = static_cast<int>(syscall(SYS_pidfd_open, old, 0));
    ASSERT_GE(oldFd, 0);
    bool oldGoneAtRecovery = false;
    int recoveries = 0;
    m_browser.setRecoveryHandler([&](const Host::RecoveryEvent &event) {
        ++recoveries;
        EXPECT_EQ(event.reason, Host::RecoveryReason::Hung);
        oldGoneAtRecovery = processEnded(oldFd);
    });
    ASSERT_EQ(createView("stuck", 128, 128).result, 1);
    if (m_browser.engine() == "wpe") {
        // A page's script cannot hold this engine's browser: it is held from outside.
        ASSERT_EQ(kill(old, SIGSTOP), 0);
    } else {
        KEL_Command evaluate = viewCommand(KEL::Code::EVJS, "stuck");
        ASSERT_TRUE(Host::putText(evaluate, 0, "for (;;) {}"));
        ASSERT_NE(m_browser.post(evaluate), 0u);
    }

    ASSERT_TRUE(m_browser.spinUntil([&] { return recoveries > 0; }, 30000));
    close(oldFd);
    EXPECT_TRUE(oldGoneAtRecovery) << "the hung browser still ran beside its replacement";
    EXPECT_NE(m_browser.pid(), old);
    EXPECT_TRUE(m_browser.sandboxed());
    // The new sandbox's bwrap is the only process this one started that is left.
    EXPECT_EQ(childrenOfThisProcess(), 1);
}

// Guards WPE WebKit's own sandbox around each page process: on where bwrap can make it, with
// the page guards' count still shared across the page processes, and the pages working.
TEST_F(Sandbox, EachPageProcessRunsInTheEnginesOwnSandbox) {
    if (std::string(std::getenv("KEL_ENGINE") ? std::getenv("KEL_ENGINE") : "") != "wpe")
        GTEST_SKIP() << "QtWebKit runs its pages in the browser's own process";
    // The kit's sandbox stays off here: inside it a root without capabilities can make no
    // namespaces (any other user can).
    if (std::system("bwrap --unshare-pid --unshare-net --ro-bind / / /bin/true 2>/dev/null") != 0)
        GTEST_SKIP() << "bwrap cannot make namespaces on this machine";
    Host::StartOptions options;
    options.browserPath = browserOutsideAContainer();
    options.environment = browserEnvironment();
    options.logFile = m_logPath;
    options.sandbox = false;
    ASSERT_TRUE(m_browser.start(options)) << m_browser.error();
    m_frames.attach(m_browser);
    ASSERT_EQ(m_browser.engine(), "wpe");
    // Another browser's count beside this one's, made before the first page process.
    const std::string counts = m_root + "/cache/Kelvane/Kelvane/wpe/run";
    ASSERT_TRUE(std::filesystem::is_directory(counts));
    std::ofstream(counts + "/sockets-other") << "";
    ASSERT_EQ(createView("main", 128, 128).result, 1);
    ASSERT_TRUE(showHtml("main", "<title>boxed</title><body>boxed</body>"));
    EXPECT_TRUE(waitForLog("Page sandbox: on", 1000));
    // The page runs, and the guards are in its process: the 17th worker is refused.
    KEL_Command guarded = viewCommand(KEL::Code::EVJS, "main");
    ASSERT_TRUE(Host::putText(guarded, 0,
                              "var u = URL.createObjectURL(new Blob(['']));"
                              "var n = 0; try { for (; n < 20; n++) new Worker(u); } catch (e) {}"
                              "document.title + n"));
    EXPECT_EQ(Host::utf8(Host::takeText(request(guarded, 10000), 0)), "boxed16");

    const std::vector<pid_t> browsers = processesBelowNamed(m_browser.pid(), "KELBrowser");
    ASSERT_FALSE(browsers.empty());
    const std::vector<pid_t> pages = processesBelowNamed(browsers.front(), "WPEWebProcess");
    ASSERT_EQ(pages.size(), 1u);
    const std::string page = std::to_string(pages.front());
    const std::string browser = std::to_string(browsers.front());
    for (const char *kind : {"mnt", "pid"})
        EXPECT_NE(namespaceOf(page, kind), namespaceOf(browser, kind)) << kind;
    // The page guards reached the count they share with the other page processes, and only
    // that: the browser's data and other browsers' counts stay out of the page's reach.
    EXPECT_EQ(browserLog().find("socket count is out of reach"), std::string::npos);
    for (const std::string &hidden : {dataFolder(), counts + "/sockets-other"}) {
        EXPECT_EQ(access(("/proc/" + browser + "/root" + hidden).c_str(), F_OK), 0) << hidden;
        EXPECT_NE(access(("/proc/" + page + "/root" + hidden).c_str(), F_OK), 0) << hidden;
    }
}

struct WayOff {
    const char *name;
    bool option;          // StartOptions::sandbox
    const char *variable; // KEL_SANDBOX, or null
    const char *logLine;
};

class SandboxOff : public Sandbox, public testing::WithParamInterface<WayOff> {};

// Guards both switches: the browser then runs in this process's namespaces, and says so.
TEST_P(SandboxOff, TheBrowserRunsWithoutIt) {
    const WayOff &way = GetParam();
    if (way.variable)
        setenv("KEL_SANDBOX", way.variable, 1);
    ASSERT_TRUE(start(way.option));
    EXPECT_FALSE(m_browser.sandboxed());
    const std::string pid = std::to_string(m_browser.pid());
    EXPECT_EQ(namespaceOf(pid, "pid"), namespaceOf("self", "pid"));
    EXPECT_EQ(namespaceOf(pid, "mnt"), namespaceOf("self", "mnt"));
    EXPECT_TRUE(waitForLog(way.logLine, 5000)) << browserLog();
    ASSERT_EQ(createView("main", 128, 128).result, 1);
    EXPECT_TRUE(showHtml("main", "<title>open</title>"));

    // Killed, it leaves none of the engine's helper processes behind (its group is theirs).
    const pid_t group = m_browser.pid();
    ASSERT_EQ(kill(group, SIGKILL), 0);
    EXPECT_TRUE(m_browser.spinUntil(
        [&] {
            while (waitpid(-group, nullptr, WNOHANG) > 0) {
            } // those that came to this process
            return kill(-group, 0) != 0;
        },
        3000))
        << "a process of the killed browser outlived it";
}

INSTANTIATE_TEST_SUITE_P(
    Switches, SandboxOff,
    testing::Values(WayOff{"Option", false, nullptr, "Sandbox: off (turned off by the host)"},
                    WayOff{"Variable", true, "0", "Sandbox: off (turned off by KEL_SANDBOX)"}),
    [](const testing::TestParamInfo<WayOff> &info) { return info.param.name; });

} // namespace
} // namespace Test
} // namespace KEL
