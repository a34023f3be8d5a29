// Start-up, the INIT/PING handshake, the host watch and EXIT: the browser process's life as the
// host sees it.

#include "BrowserFixture.h"

#include "CommandBuffer.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <QString>
#include <qwebkitglobal.h>

#include "CommandCodes.h"
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace KEL {
namespace Test {
namespace {

using Host::makeCommand;
using Host::setInt;

// The six names of this test's segments and locks that exist in /dev/shm.
int namesLeft() {
    int left = 0;
    for (const char *base : {kCommandSegmentName, kTextureSegmentName, kDataSegmentName}) {
        for (const std::string &name : {segmentName(base), lockName(segmentName(base))})
            left += access(("/dev/shm/" + name).c_str(), F_OK) == 0 ? 1 : 0;
    }
    return left;
}

class Handshake : public BrowserTest {
  protected:
    void TearDown() override {
        for (pid_t child : m_children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        BrowserTest::TearDown();
    }

    // A process that only waits to be killed: a stand-in host for INIT.
    pid_t startStandInHost() {
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                pause();
        }
        m_children.push_back(child);
        return child;
    }

    void endStandInHost(pid_t child) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        m_children.erase(std::remove(m_children.begin(), m_children.end(), child),
                         m_children.end());
    }

    void postInit(int32_t pid) {
        KEL_Command init = makeCommand(KEL::Code::INIT);
        setInt(init, 0, pid);
        ASSERT_NE(m_browser.post(init), 0u);
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::BOOT, nullptr, 10000));
    }

    void ping() {
        KEL_Command reply = request(makeCommand(KEL::Code::PING));
        EXPECT_EQ(reply.result, 1);
    }

    // True when the process is still running once `ms` have passed (it is not waited for).
    bool stillRunningAfter(int ms) {
        return !m_browser.spinUntil([&] { return !m_browser.running(); }, ms);
    }

    std::vector<pid_t> m_children;
};

// Guards the start-up notice and that BOOT reports the libraries actually loaded, not texts
// fixed at build time.
TEST_F(Handshake, AnnouncesItselfThenAnswersInitWithTheRuntimeVersions) {
    ASSERT_TRUE(startBrowser(true));
    KEL_Command prup, boot;
    ASSERT_TRUE(m_browser.take(KEL::Code::PRUP, &prup));
    EXPECT_EQ(prup.origin, 1u);
    EXPECT_EQ(prup.intCount, 0);
    EXPECT_EQ(prup.strCount, 0);
    ASSERT_TRUE(m_browser.take(KEL::Code::BOOT, &boot));
    EXPECT_EQ(boot.origin, 1u);
    EXPECT_EQ(boot.result, 0);
    EXPECT_EQ(boot.intCount, 1);
    EXPECT_EQ(boot.strCount, 2);
    EXPECT_EQ(boot.intArgs[0], 0);
    EXPECT_EQ(Host::getString8(boot, 0),
              m_browser.engine() == "wpe" ? KEL_WPE_VERSION : qWebKitVersion().toStdString());
    EXPECT_EQ(Host::getString8(boot, 1), std::string(qVersion()));
    // INIT itself is never answered.
    ping();
    EXPECT_TRUE(m_browser.inbox().empty());
}

// Guards against a browser that idles (or talks into nothing) when the host's segments are
// incomplete: it must neither announce itself nor linger.
TEST_F(Handshake, WithASegmentMissingItNeverAnnouncesItselfAndExitsAtOnce) {
    // The host's side of two of the three segments; the data segment is missing.
    CommandBuffer commands(HostSide);
    TextureBuffer texture(HostSide);
    ASSERT_TRUE(commands.open(segmentName(kCommandSegmentName)));
    ASSERT_TRUE(texture.open(segmentName(kTextureSegmentName)));

    std::vector<std::string> entries;
    for (char **entry = environ; *entry; ++entry)
        entries.emplace_back(*entry);
    for (const auto &[key, value] : browserEnvironment())
        entries.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (std::string &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = KEL_BROWSER_EXECUTABLE;
    char *argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << "the browser kept running without its data segment";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(browserLog().find("Cannot open the shared segments"), std::string::npos);
    EXPECT_EQ(commands.find(KEL::Code::PRUP), nullptr);
    commands.closeSegment();
    texture.closeSegment();
}

// Guards the first-ping deadline: without INIT and PING the process ends at the first tick
// more than 16 whole seconds after its start, not earlier and not never.
TEST_F(Handshake, WithoutInitOrPingItExitsAfterSixteenWholeSeconds) {
    const auto start = Clock::now();
    ASSERT_TRUE(startBrowser(false));
    EXPECT_TRUE(stillRunningAfter(14000)) << "ended after " << secondsSince(start) << " s";
    EXPECT_TRUE(m_browser.spinUntil([&] { return !m_browser.running(); }, 8000));
    const double lifetime = secondsSince(start);
    EXPECT_GE(lifetime, 16.0);
    EXPECT_LT(lifetime, 21.0);
    EXPECT_TRUE(WIFEXITED(m_browser.exitStatus()) && WEXITSTATUS(m_browser.exitStatus()) == 0);
    EXPECT_NE(browserLog().find("Neither INIT nor PING"), std::string::npos);
}

// Guards ping mode: INIT -1 still gets BOOT but names no host, PINGs keep the process alive
// past the first-ping deadline, and it ends once they stop for more than 8 whole seconds.
TEST_F(Handshake, InitMinusOneKeepsPingModeAndPingsKeepItAliveUntilTheyStop) {
    const auto start = Clock::now();
    ASSERT_TRUE(startBrowser(false));
    postInit(-1);
    while (secondsSince(start) < 19.0) {
        ping();
        ASSERT_TRUE(stillRunningAfter(1000)) << "ended while pinged, " << secondsSince(start);
    }
    ping();
    const auto lastPing = Clock::now();
    EXPECT_TRUE(stillRunningAfter(7500)) << "ended " << secondsSince(lastPing) << " s after PING";
    EXPECT_TRUE(m_browser.spinUntil([&] { return !m_browser.running(); }, 6000));
    const double silence = secondsSince(lastPing);
    EXPECT_GE(silence, 8.0);
    EXPECT_LT(silence, 12.0);
    EXPECT_NE(browserLog().find("No PING from the host"), std::string::npos);
    EXPECT_EQ(namesLeft(), 6) << "a host that only stopped pinging may still be there";
}

// Guards the host watch: the process follows the process that the latest INIT names (an
// earlier one no longer matters) and ends within about 3 s of its end.
TEST_F(Handshake, InitWithALivePidFollowsThatProcess) {
    m_sandbox = false; // the stand-in host's id names nothing inside the sandbox
    ASSERT_TRUE(startBrowser(false));
    const pid_t first = startStandInHost();
    const pid_t second = startStandInHost();
    postInit(first);
    postInit(second);

    endStandInHost(first);
    EXPECT_TRUE(stillRunningAfter(4000)) << "ended with a host that was replaced";
    const auto hostEnd = Clock::now();
    endStandInHost(second);
    EXPECT_TRUE(m_browser.spinUntil([&] { return !m_browser.running(); }, 8000));
    EXPECT_LT(secondsSince(hostEnd), 5.0);
    EXPECT_NE(browserLog().find("Host process " + std::to_string(second) + " is gone"),
              std::string::npos);
}

// Guards against a page whose script never returns: no tick runs any more, yet the process
// must not outlive its host.
TEST_F(Handshake, APageThatNeverReturnsDoesNotOutliveTheHost) {
    m_sandbox = false; // the stand-in host's id names nothing inside the sandbox
    ASSERT_TRUE(startBrowser(false));
    const pid_t host = startStandInHost();
    postInit(host);
    ASSERT_EQ(createView("stuck", 200, 200).result, 1);
    KEL_Command evaluate = viewCommand(KEL::Code::EVJS, "stuck");
    ASSERT_TRUE(Host::putText(evaluate, 0, "for (;;) {}"));
    ASSERT_NE(m_browser.post(evaluate), 0u);
    EXPECT_TRUE(stillRunningAfter(1000)) << "a busy page alone must not end the process";

    const auto hostEnd = Clock::now();
    endStandInHost(host);
    EXPECT_TRUE(m_browser.spinUntil([&] { return !m_browser.running(); }, 15000));
    EXPECT_LT(secondsSince(hostEnd), 10.0);
    // WPE WebKit runs the page's script in another process: the browser itself goes on
    // ticking and sees its host go the usual way.
    EXPECT_NE(browserLog().find(m_browser.engine() == "wpe"
                                    ? "Host process " + std::to_string(host) + " is gone"
                                    : "The page stopped responding and the host is gone"),
              std::string::npos);
}

// Guards INIT with an identifier that names no process: no watch can be set up, so the first
// host check ends the process (about 3 s after start) instead of watching nothing for ever.
TEST_F(Handshake, InitZeroEndsTheProcessAtTheFirstHostCheck) {
    const auto start = Clock::now();
    ASSERT_TRUE(startBrowser(false));
    postInit(0);
    EXPECT_TRUE(m_browser.spinUntil([&] { return !m_browser.running(); }, 8000));
    EXPECT_LT(secondsSince(start), 6.0);
    EXPECT_EQ(namesLeft(), 6) << "no process was watched, so none was seen to end";
}

// Guards EXIT's place in the tick: it is answered first, the records behind it in the same
// tick are still handled, and nothing is taken after that tick.
TEST_F(Handshake, ExitMidTickFinishesThatTickAndNothingAfter) {
    ASSERT_TRUE(startBrowser(true));
    m_browser.inbox().clear();
    CommandSegment segment;
    ASSERT_TRUE(segment.isOpen());
    std::vector<KEL_Command> batch(16, makeCommand(KEL::Code::PING));
    batch[2] = makeCommand(KEL::Code::EXIT);
    const std::vector<uint32_t> sequences = segment.postTogether(batch);

    ASSERT_TRUE(waitUntil([&] { return !m_browser.running(); }, 5000));
    EXPECT_EQ(namesLeft(), 6) << "EXIT comes from a host that is still there";
    m_browser.spinUntil([&] { return m_browser.inbox().size() >= 11; }, 1000);
    m_browser.pump();
    // BOOT goes out while the browser is still handling INIT, so on a busy machine the batch
    // can land in INIT's own tick, which then has ten places left for it instead of eleven.
    const size_t taken = m_browser.inbox().size();
    ASSERT_TRUE(taken == 11u || taken == 10u) << taken << " records answered";
    for (size_t i = 0; i < taken; ++i) {
        const KEL_Command &reply = m_browser.inbox()[i];
        EXPECT_EQ(reply.sequence, sequences[i]);
        EXPECT_EQ(reply.result, 1);
        EXPECT_EQ(Host::codeOf(reply), i == 2 ? KEL::Code::EXIT : KEL::Code::PING);
    }
    std::vector<uint32_t> unanswered;
    for (const SlotView &slot : segment.snapshot()) {
        if (slot.code == KEL::Code::PING && slot.result == 0)
            unanswered.push_back(slot.sequence);
    }
    std::sort(unanswered.begin(), unanswered.end());
    EXPECT_EQ(unanswered,
              std::vector<uint32_t>(sequences.begin() + static_cast<std::ptrdiff_t>(taken),
                                    sequences.end()));
}

// ---- Leftovers of a host that is gone -----------------------------------------------------

// What happens to the names between the host's start and its end.
enum class Meanwhile {
    Nothing,
    PageHangs,          // the GUI thread never returns: the watchdog ends the process
    NewHostStarts,      // another process calls KEL_Init (the segments reused, locks made anew)
    NamesMadeElsewhere, // all six removed and made again by someone else
};

struct LeftoverCase {
    const char *name;
    Meanwhile meanwhile;
    int namesAfter;
    const char *logLine; // why the browser ended
};

class HostGone : public Handshake, public testing::WithParamInterface<LeftoverCase> {
  protected:
    void SetUp() override {
        Handshake::SetUp();
        // The browser outlives its killed host: it comes to this process, to be reaped here.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    // A real host in a child process: KEL_Init, the browser started and sent INIT. Tells the
    // browser's pid through a pipe, then waits to be killed. Returns the host's pid.
    pid_t startHost(bool hangPage, pid_t *browser) {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        fflush(nullptr);
        const pid_t host = fork();
        if (host == 0) {
            close(fds[0]);
            int32_t pid = -1;
            if (startBrowser(true) && (!hangPage || hang()))
                pid = m_browser.pid();
            if (write(fds[1], &pid, sizeof pid) != sizeof pid)
                _exit(1);
            for (;;)
                pause();
        }
        close(fds[1]);
        int32_t pid = -1;
        const bool told = read(fds[0], &pid, sizeof pid) == sizeof pid;
        close(fds[0]);
        m_children.push_back(host);
        *browser = told ? pid : -1;
        return host;
    }

    bool hang() {
        KEL_Command view = viewCommand(KEL::Code::CRVW, "stuck");
        setInt(view, 0, 200);
        setInt(view, 1, 200);
        KEL_Command reply;
        if (!m_browser.request(view, &reply, 10000))
            return false;
        KEL_Command evaluate = viewCommand(KEL::Code::EVJS, "stuck");
        return Host::putText(evaluate, 0, "for (;;) {}") && m_browser.post(evaluate) != 0;
    }

    // Someone else takes the names over before the browser notices that its host is gone.
    void makeNamesElsewhere() {
        for (const char *base : {kCommandSegmentName, kTextureSegmentName, kDataSegmentName}) {
            for (const std::string &name : {segmentName(base), lockName(segmentName(base))}) {
                shm_unlink(("/" + name).c_str());
                const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
                ASSERT_GE(fd, 0) << name;
                close(fd);
            }
        }
    }
};

// Guards against a killed host leaving about 19.5 MB in /dev/shm for ever, and against the
// browser harming a new host under the same names: such a host reuses the segments at once,
// so the browser leaves as soon as it sees the names made anew (before it could take the new
// host's records), and it never removes names that are no longer what it opened.
TEST_P(HostGone, TheBrowserRemovesOnlyTheNamesItOpened) {
    const LeftoverCase &c = GetParam();
    pid_t browser = -1;
    const pid_t host = startHost(c.meanwhile == Meanwhile::PageHangs, &browser);
    ASSERT_GT(browser, 0) << "the host could not start its browser";
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, browser, 0));
    ASSERT_GE(pidfd, 0);
    EXPECT_EQ(namesLeft(), 6);
    pollfd ended = {pidfd, POLLIN, 0};
    const bool takeover =
        c.meanwhile == Meanwhile::NewHostStarts || c.meanwhile == Meanwhile::NamesMadeElsewhere;
    if (c.meanwhile == Meanwhile::NewHostStarts) {
        ASSERT_TRUE(KEL_Init());
    }
    if (c.meanwhile == Meanwhile::NamesMadeElsewhere)
        makeNamesElsewhere();
    if (takeover) {
        EXPECT_EQ(poll(&ended, 1, 5000), 1) << "the browser stayed on segments taken over";
    }

    endStandInHost(host);
    const bool exited = poll(&ended, 1, 30000) == 1;
    close(pidfd);
    if (!exited)
        kill(browser, SIGKILL);
    ASSERT_TRUE(exited) << "the browser outlived its host";
    // Whatever else the host started for its browser (the sandbox's bwrap) comes to this
    // process once the host is gone, and must end with the browser.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (waitpid(-1, nullptr, WNOHANG) >= 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a process of the browser's outlived it";
    EXPECT_EQ(namesLeft(), c.namesAfter);
    // On WPE WebKit a hanging page does not hold the browser, which removes its names itself.
    const char *engine = std::getenv("KEL_ENGINE"); // what the stand-in host's browser runs
    const std::string line =
        c.meanwhile == Meanwhile::PageHangs && engine && std::string(engine) == "wpe"
            ? "Removed 6 of 6 shared memory names"
            : c.logLine;
    EXPECT_NE(browserLog().find(line), std::string::npos) << line;
    if (c.meanwhile == Meanwhile::NewHostStarts)
        KEL_Shutdown();
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, HostGone,
    testing::Values(
        LeftoverCase{"Killed", Meanwhile::Nothing, 0, "Removed 6 of 6 shared memory names"},
        LeftoverCase{"KilledWhileThePageHangs", Meanwhile::PageHangs, 0,
                     "The page stopped responding"},
        LeftoverCase{"ANewHostStarts", Meanwhile::NewHostStarts, 6, "belong to another host"},
        LeftoverCase{"NamesMadeElsewhere", Meanwhile::NamesMadeElsewhere, 6,
                     "belong to another host"}),
    [](const testing::TestParamInfo<LeftoverCase> &info) { return info.param.name; });

} // namespace
} // namespace Test
} // namespace KEL
