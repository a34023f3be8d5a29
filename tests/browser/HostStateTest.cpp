// The one host state that the tick keeps and the watchdog thread reads: whatever INIT, PING and
// the tick's host check left in it is what the watchdog concludes, with a real process as host.

#include "core/HostState.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using KEL::HostState;
using Verdict = HostState::Verdict;
using namespace std::chrono_literals;

// Guards against a watchdog that judges a copy of its own: each step is something the GUI
// thread does, followed by what the watchdog must conclude from the state it leaves.
TEST(HostState, TheWatchdogConcludesWhatTheTickLeft) {
    HostState state;
    const KEL::SteadyClock::time_point start = KEL::SteadyClock::now();
    EXPECT_EQ(state.hostProcessId(), -1);
    EXPECT_EQ(state.verdict(start), Verdict::Stay);
    EXPECT_EQ(state.verdict(start + 18s), Verdict::ExitKeepNames) << "no PING since the start";
    state.pinged(start + 10s);
    EXPECT_TRUE(state.wasPinged());
    EXPECT_EQ(state.verdict(start + 18s), Verdict::Stay);
    EXPECT_EQ(state.verdict(start + 20s), Verdict::ExitKeepNames) << "no PING since the last";
    EXPECT_FALSE(state.hostCheckDue(start + 2s));

    // An INIT naming no process that can be opened: gone, but its names are left alone.
    for (int32_t unusable : {0, -7}) {
        state.setHost(unusable);
        EXPECT_FALSE(state.hostAlive()) << unusable;
        EXPECT_FALSE(state.hostEnded()) << unusable;
        EXPECT_EQ(state.verdict(start), Verdict::ExitKeepNames) << unusable;
    }

    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        pause();
        _exit(0);
    }
    state.setHost(host);
    EXPECT_EQ(state.hostProcessId(), host);
    EXPECT_TRUE(state.hostAlive());
    EXPECT_EQ(state.verdict(start + 60s), Verdict::Stay) << "PING deadlines count before INIT only";

    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_EQ(state.verdict(start), Verdict::HostEnded) << "before the tick noticed";
    EXPECT_FALSE(state.hostAlive());
    EXPECT_TRUE(state.hostEnded());
    EXPECT_EQ(state.verdict(start), Verdict::HostEnded) << "after the tick closed its handle";
    state.close();
    EXPECT_EQ(state.verdict(start), Verdict::HostEnded);
}

} // namespace
