#include "core/HostState.h"

#include <unistd.h>

namespace KEL {

namespace {

SteadyClock::time_point timeOf(SteadyClock::rep ticks) {
    return SteadyClock::time_point(SteadyClock::duration(ticks));
}

} // namespace

HostState::HostState()
    : m_lastPing(SteadyClock::now().time_since_epoch().count()),
      m_lastHostCheck(timeOf(m_lastPing.load())) {}

HostState::~HostState() {
    if (m_lifeline >= 0)
        ::close(m_lifeline);
}

void HostState::adoptLifeline() {
    if (m_lifeline < 0)
        m_lifeline = HostWatch::adoptLifeline();
}

void HostState::setHost(int32_t pid) {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    m_processId.store(pid, std::memory_order_release);
    m_handle.close();
    if (pid > 0)
        m_handle.open(pid, m_lifeline);
}

void HostState::pinged(SteadyClock::time_point now) {
    m_lastPing.store(now.time_since_epoch().count(), std::memory_order_release);
    m_pinged.store(true, std::memory_order_release);
}

bool HostState::pingDeadlinePassed(SteadyClock::time_point now) const {
    const bool pinged = m_pinged.load(std::memory_order_acquire);
    return KEL::pingDeadlinePassed(pinged, timeOf(m_lastPing.load(std::memory_order_acquire)), now);
}

bool HostState::hostCheckDue(SteadyClock::time_point now) {
    if (!KEL::hostCheckDue(m_lastHostCheck, now))
        return false;
    m_lastHostCheck = now;
    return true;
}

bool HostState::hostAlive() {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (hostProcessId() <= 0 || m_handle.isNull())
        return false;
    if (m_handle.running())
        return true;
    m_ended.store(true, std::memory_order_release);
    m_handle.close();
    return false;
}

void HostState::close() {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    m_handle.close();
}

HostState::Verdict HostState::verdict(SteadyClock::time_point now) const {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (hostProcessId() == -1)
        return pingDeadlinePassed(now) ? Verdict::ExitKeepNames : Verdict::Stay;
    // The tick may have seen the host end and closed the handle already.
    if (hostEnded())
        return Verdict::HostEnded;
    if (m_handle.running())
        return Verdict::Stay;
    // As on the tick: only a watched process seen to end leaves names nobody can use.
    return m_handle.isNull() ? Verdict::ExitKeepNames : Verdict::HostEnded;
}

} // namespace KEL
