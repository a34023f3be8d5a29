#pragma once
// What the browser process knows of its host: the process INIT named, the handle that watches
// it, and the PING times that keep a process without INIT alive. One copy: the GUI thread keeps
// it (INIT, PING, the tick's host check) and the watchdog thread reads it while the GUI thread
// is stuck.
//
// Only the GUI thread writes. The numbers and flags are atomics, so the watchdog always reads
// each of them whole. The handle sits behind a mutex, since closing a descriptor that the other
// thread is polling could make it poll whatever reuses the number next; everything done under
// that mutex is a non-blocking system call (pidfd_open, a zero-timeout poll, close), so a GUI
// thread stuck in page script never holds it.

#include "core/HostLiveness.h"
#include "core/HostWatch.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace KEL {

class HostState {
  public:
    // The ping deadlines and the host-check rhythm count from now: make it at process start.
    HostState();
    ~HostState();
    HostState(const HostState &) = delete;
    HostState &operator=(const HostState &) = delete;

    // Takes the lifeline the host may have handed over (HostWatch.h); once, at start-up, before
    // any INIT.
    void adoptLifeline();
    // INIT: forgets any previous host and watches `pid`, and the lifeline if there is one. An
    // identifier <= 0 (-1 included) or a process that cannot be opened leaves no handle.
    void setHost(int32_t pid);
    // -1 until an INIT: the host keeps the process alive by PING.
    int32_t hostProcessId() const { return m_processId.load(std::memory_order_acquire); }
    // PING.
    void pinged(SteadyClock::time_point now);
    bool wasPinged() const { return m_pinged.load(std::memory_order_acquire); }
    // Before INIT: the PING deadline (HostLiveness.h) has passed.
    bool pingDeadlinePassed(SteadyClock::time_point now) const;

    // GUI thread: whether the next host check is due; a due check counts as made at `now`.
    bool hostCheckDue(SteadyClock::time_point now);
    // GUI thread: a zero-timeout check of the host INIT named. A watched host seen to end marks
    // the state ended and closes the handle; an INIT that named no process it could open says
    // nothing about the real host and only answers false.
    bool hostAlive();
    // The watched host was seen to end: the names it made are nobody's now.
    bool hostEnded() const { return m_ended.load(std::memory_order_acquire); }
    // Shutdown: lets go of the handle.
    void close();

    // Any thread: whether the process should end now, judged from this state alone.
    enum class Verdict { Stay, ExitKeepNames, HostEnded };
    Verdict verdict(SteadyClock::time_point now) const;

  private:
    std::atomic<int32_t> m_processId{-1};
    // Stored before m_pinged, read after it: a reader that sees a PING also sees its time.
    std::atomic<SteadyClock::rep> m_lastPing;
    std::atomic<bool> m_pinged{false};
    std::atomic<bool> m_ended{false};
    SteadyClock::time_point m_lastHostCheck; // GUI thread only
    int m_lifeline = -1; // set before the watchdog thread starts, then only read
    mutable std::mutex m_handleMutex;
    HostWatch m_handle; // under m_handleMutex
};

} // namespace KEL
