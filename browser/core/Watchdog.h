#pragma once
// A last resort for when the GUI thread stops ticking.
//
// Page script can run for ever (QtWebKit 5.212 never asks to interrupt it), and then no tick
// runs: the host watch and the ping deadlines would never fire, and the process would outlive
// its host, burning a core. This thread applies the same exit rules on its own, but only while
// the GUI thread has been stuck for a few seconds, so a healthy process always ends the normal
// way (views destroyed, segments closed).

#include "OwnNames.h"
#include "core/HostWatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace KEL {

class Watchdog {
  public:
    using Clock = std::chrono::steady_clock;
    // How long the GUI thread may go without a tick before the watchdog applies the rules.
    static constexpr std::chrono::seconds kStuckAfter{5};

    Watchdog();
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    // The names to remove when the watchdog ends the process because its host has ended.
    // Before start() only.
    void setOwnNames(const OwnNames &names) { m_ownNames = names; }
    void start();
    void stop();

    // Called from the GUI thread.
    void ticked();
    void pinged();
    void hostChanged(pid_t pid);

  private:
    void run();
    enum class Verdict { Stay, ExitKeepNames, HostEnded };
    // Whether the process should end now, judged from another thread. Needs m_mutex.
    Verdict hostGone(Clock::time_point now);

    std::atomic<int64_t> m_lastTick;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    pid_t m_hostPid = -1;
    HostWatch m_host;
    bool m_pinged = false;
    Clock::time_point m_lastPing;
    OwnNames m_ownNames;
    std::thread m_thread;
};

extern Watchdog watchdog;

} // namespace KEL
