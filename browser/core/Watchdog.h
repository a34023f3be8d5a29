#pragma once
// A last resort for when the GUI thread stops ticking.
//
// Page script can run for ever (QtWebKit 5.212 never asks to interrupt it), and then no tick
// runs: the host watch and the ping deadlines would never fire, and the process would outlive
// its host, burning a core. This thread applies the same exit rules on its own, to the one host
// state the tick keeps (HostState.h), but only while the GUI thread has been stuck for a few
// seconds, so a healthy process always ends the normal way (views destroyed, segments closed).

#include "OwnNames.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace KEL {

class HostState;

class Watchdog {
  public:
    using Clock = std::chrono::steady_clock;
    // How long the GUI thread may go without a tick before the watchdog applies the rules.
    static constexpr std::chrono::seconds kStuckAfter{5};

    // Reads `host` and, when it ends the process because its host has ended, removes `names`;
    // both outlive the watchdog. The names are complete before start() and not changed while
    // the thread runs.
    Watchdog(const HostState &host, const OwnNames &names);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void start();
    void stop();

    // Called from the GUI thread at every tick.
    void ticked();

  private:
    void run();

    const HostState &m_host;
    const OwnNames &m_ownNames;
    std::atomic<int64_t> m_lastTick;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false; // under m_mutex
    std::thread m_thread;
};

} // namespace KEL
