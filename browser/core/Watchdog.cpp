#include "core/Watchdog.h"

#include "FrameArea.h"

#include "core/HostState.h"

#include <unistd.h>

namespace KEL {

namespace {

using Clock = Watchdog::Clock;

constexpr std::chrono::milliseconds kCheckEvery{500};

int64_t ticksOf(Clock::time_point when) {
    return when.time_since_epoch().count();
}

// No stdio here: the stuck GUI thread may hold its lock.
void exitStuck(const char *line) {
    const ssize_t ignored = write(STDOUT_FILENO, line, __builtin_strlen(line));
    (void)ignored;
    _exit(0);
}

} // namespace

Watchdog::Watchdog(const HostState &host, const OwnNames &names)
    : m_host(host), m_ownNames(names), m_lastTick(ticksOf(Clock::now())) {}

Watchdog::~Watchdog() {
    stop();
}

void Watchdog::start() {
    if (m_thread.joinable())
        return;
    ticked();
    m_thread = std::thread([this] { run(); });
}

void Watchdog::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void Watchdog::ticked() {
    m_lastTick.store(ticksOf(Clock::now()), std::memory_order_relaxed);
}

void Watchdog::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, kCheckEvery, [this] { return m_stopping; })) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point lastTick(Clock::duration(m_lastTick.load()));
        if (now - lastTick <= kStuckAfter)
            continue;
        const HostState::Verdict verdict = m_host.verdict(now);
        if (verdict == HostState::Verdict::HostEnded) {
            m_ownNames.removeStillOwn();
            madeFrameAreaNames().removeStillOwn();
        }
        if (verdict != HostState::Verdict::Stay)
            exitStuck("LOG: The page stopped responding and the host is gone: exiting\n");
    }
}

} // namespace KEL
