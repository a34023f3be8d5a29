#pragma once
// When the browser process may conclude that its host is gone, as one pure rule that the tick
// and the watchdog thread both apply, so the two can never disagree by a rounding.
//
// Before INIT names a host process, the host keeps the browser alive with PING: the process
// ends once more than 16 whole seconds have passed since its start without any PING, or more
// than 8 whole seconds since the last one. Seconds are counted whole (8.9 s is 8) on the
// monotonic clock, so a wall-clock change moves no deadline.

#include <chrono>
#include <cstdint>

namespace KEL {

using SteadyClock = std::chrono::steady_clock;

constexpr int64_t kPingGraceSeconds = 8;
constexpr int64_t kFirstPingGraceSeconds = 16;
// Whole seconds between two checks of a known host process.
constexpr int64_t kHostCheckSeconds = 2;

constexpr int64_t wholeSecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

// `lastPing` is the process start while no PING has come.
constexpr bool pingDeadlinePassed(bool pinged, SteadyClock::time_point lastPing,
                                  SteadyClock::time_point now) {
    return wholeSecondsBetween(lastPing, now) >
           (pinged ? kPingGraceSeconds : kFirstPingGraceSeconds);
}

constexpr bool hostCheckDue(SteadyClock::time_point lastCheck, SteadyClock::time_point now) {
    return wholeSecondsBetween(lastCheck, now) > kHostCheckSeconds;
}

} // namespace KEL
