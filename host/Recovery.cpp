#include "Recovery.h"

#include "KELHost.h"

#include "CommandCodes.h"
#include <sys/wait.h>

namespace KEL {
namespace Host {

namespace {

using std::chrono::milliseconds;

// A recovery that follows the previous one this soon counts towards the crash-loop rule.
constexpr auto kQuickFailure = std::chrono::seconds(30);
// From the second quick recovery in a row on, the pages blamed for each are dropped.
constexpr int kQuickFailuresBeforeBlank = 2;
constexpr int kMaxFailedStarts = 3;
// A host pump that comes this long after the previous one means the host stalled.
constexpr auto kHostStall = milliseconds(500);
// Replay records posted per pump, so a large session never holds up one host frame.
constexpr int kReplayPerPump = 64;
// Within a crash loop, pages are replayed one at a time: the next waits until the last one
// has finished loading, or this long.
constexpr auto kPageGate = std::chrono::seconds(5);

bool cleanExit(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Requests that give a view a new page (its load then runs until LDFN).
bool givesPage(const KEL_Command &request) {
    return hasCode(request, KEL::Code::LOAD) || hasCode(request, KEL::Code::HTML) ||
           hasCode(request, KEL::Code::HBAK) || hasCode(request, KEL::Code::HFWD);
}

} // namespace

const char *reasonName(RecoveryReason reason) {
    return reason == RecoveryReason::Hung ? "hung" : "died";
}

// ---- Liveness -----------------------------------------------------------------------------

void Liveness::reset(Clock::time_point now) {
    m_lastAnswer = m_lastPump = now;
    m_waiting = false;
    m_sequence = 0;
}

void Liveness::pumped(Clock::time_point now) {
    const auto gap = now - m_lastPump;
    if (m_lastPump != Clock::time_point{} && gap > kHostStall) {
        m_lastAnswer += gap;
        m_waitingSince += gap;
    }
    m_lastPump = now;
}

bool Liveness::pingDue(Clock::time_point now) const {
    if (m_waiting)
        return m_sequence == 0; // try again to post the one that found the segment full
    return now - m_lastAnswer >= m_interval;
}

void Liveness::pinged(uint32_t sequence, Clock::time_point now) {
    if (!m_waiting)
        m_waitingSince = now;
    m_waiting = true;
    m_sequence = sequence;
}

bool Liveness::answered(uint32_t sequence, Clock::time_point now) {
    if (!m_waiting || sequence == 0 || sequence != m_sequence)
        return false;
    m_waiting = false;
    m_sequence = 0;
    m_lastAnswer = now;
    return true;
}

bool Liveness::hung(Clock::time_point now) const {
    return m_waiting && now - m_waitingSince >= m_hangAfter;
}

// ---- Recovery -----------------------------------------------------------------------------

void Recovery::watch(const StartOptions &options) {
    m_enabled = options.recovery.enabled;
    m_state = m_enabled ? State::Watching : State::Idle;
    m_startTimeoutMs = options.startTimeoutMs > 0 ? options.startTimeoutMs : 15000;
    m_liveness = Liveness(milliseconds(std::max(1, options.recovery.pingIntervalMs)),
                          milliseconds(std::max(1, options.recovery.hangTimeoutMs)));
    m_liveness.reset(Clock::now());
    m_session.clear();
    m_replay.clear();
    m_replaySequences.clear();
    m_count = 0;
    m_quickFailures = 0;
    m_everFinished = false;
    m_loading.clear();
    m_evaluating.clear();
    m_anyGiven = false;
}

void Recovery::stopWatching() {
    m_enabled = false;
    m_state = State::Idle;
    m_replay.clear();
    m_replaySequences.clear();
}

void Recovery::observe(const KEL_Command &request, const std::u16string *htmlText,
                       uint32_t sequence) {
    if (!m_enabled)
        return;
    m_session.observe(request, htmlText);
    const bool evaluates = hasCode(request, KEL::Code::EVJS);
    if (!evaluates && !givesPage(request))
        return;
    m_lastGiven = getString(request, 0);
    m_anyGiven = true;
    if (evaluates) {
        if (sequence != 0)
            m_evaluating[sequence] = m_lastGiven;
    } else {
        pageGiven(request);
    }
}

void Recovery::pageGiven(const KEL_Command &request) {
    if (givesPage(request))
        m_loading.insert(getString(request, 0));
}

bool Recovery::swallow(const KEL_Command &record) {
    if (m_state == State::Idle)
        return false;
    const bool reply = record.origin == 0 && record.result != 0;
    if (reply && hasCode(record, KEL::Code::EVJS))
        m_evaluating.erase(record.sequence);
    if (record.origin == 1 && record.result == 0 && hasCode(record, KEL::Code::LDFN))
        m_loading.erase(getString(record, 0));
    if (reply && hasCode(record, KEL::Code::PING) &&
        m_liveness.answered(record.sequence, Clock::now()))
        return true;
    if (reply && m_replaySequences.erase(record.sequence))
        return true;
    if (record.origin == 1 &&
        (m_state == State::WaitingForPrup || m_state == State::WaitingForBoot)) {
        if (hasCode(record, KEL::Code::PRUP))
            return m_sawPrup = true;
        if (hasCode(record, KEL::Code::BOOT))
            return m_sawBoot = true;
    }
    return false;
}

void Recovery::step() {
    if (m_state == State::Idle)
        return;
    const auto now = Clock::now();
    switch (m_state) {
    case State::Idle:
        break;
    case State::Watching:
        if (m_process.processEnded()) {
            if (cleanExit(m_process.processStatus()) || m_process.exitWasPosted())
                m_state = State::Idle; // it was told to end, or chose to
            else
                begin(RecoveryReason::Died, now);
            break;
        }
        m_liveness.pumped(now);
        if (m_liveness.hung(now)) {
            begin(RecoveryReason::Hung, now);
        } else if (m_liveness.pingDue(now)) {
            // Straight to the plugin: the kit's own PINGs are not part of the host's session.
            KEL_Command ping = makeCommand(KEL::Code::PING);
            m_liveness.pinged(static_cast<uint32_t>(KEL_PostCommand(&ping)), now);
        }
        break;
    case State::Killing:
        if (m_process.processEnded()) {
            m_status = m_process.processStatus();
            restart(now);
        }
        break;
    case State::WaitingForPrup:
    case State::WaitingForBoot:
        if (m_process.processEnded() || now >= m_deadline) {
            startFailed(now);
        } else if (m_state == State::WaitingForPrup && m_sawPrup) {
            KEL_InitProcess();
            m_state = State::WaitingForBoot;
        } else if (m_state == State::WaitingForBoot && m_sawBoot) {
            const std::vector<ReplayRecord> records = m_session.replay();
            m_replay.assign(records.begin(), records.end());
            m_state = State::Replaying;
            m_liveness.reset(now); // a page that hangs the replay is found like any hang
            replaySome(now);
        }
        break;
    case State::Replaying:
        if (m_process.processEnded()) {
            begin(RecoveryReason::Died, now);
            break;
        }
        m_liveness.pumped(now);
        if (m_liveness.hung(now)) {
            begin(RecoveryReason::Hung, now);
            break;
        }
        if (m_liveness.pingDue(now)) {
            KEL_Command ping = makeCommand(KEL::Code::PING);
            m_liveness.pinged(static_cast<uint32_t>(KEL_PostCommand(&ping)), now);
        }
        replaySome(now);
        break;
    }
}

std::vector<std::u16string> Recovery::blamed() const {
    std::set<std::u16string> names(m_loading.begin(), m_loading.end());
    for (const auto &entry : m_evaluating)
        names.insert(entry.second);
    if (names.empty() && m_anyGiven)
        names.insert(m_lastGiven);
    std::vector<std::u16string> out;
    for (const std::u16string &name : names) {
        const SessionView *view = m_session.view(name);
        if (view && (view->load || view->html || view->htmlUnknown))
            out.push_back(name);
    }
    return out;
}

void Recovery::begin(RecoveryReason reason, Clock::time_point now) {
    m_reason = reason;
    m_status = m_process.processStatus();
    m_noticed = now;
    m_failedStarts = 0;
    m_quickFailures =
        m_everFinished && now - m_lastFinished < kQuickFailure ? m_quickFailures + 1 : 0;
    m_droppedPages.clear();
    if (m_quickFailures >= kQuickFailuresBeforeBlank) {
        for (const std::u16string &name : blamed()) {
            m_session.dropPage(name);
            m_droppedPages.push_back(utf8(name));
        }
    }
    // A fresh process: nothing loads or evaluates until the replay gives the pages again.
    m_loading.clear();
    m_evaluating.clear();
    m_replay.clear();
    m_replaySequences.clear();
    m_state = State::Killing;
    m_process.killProcess(); // nothing to do for a process that has already ended
}

void Recovery::restart(Clock::time_point now) {
    m_sawPrup = m_sawBoot = false;
    if (!m_process.startAnew()) {
        startFailed(now);
        return;
    }
    m_deadline = now + milliseconds(m_startTimeoutMs);
    m_state = State::WaitingForPrup;
}

void Recovery::startFailed(Clock::time_point now) {
    if (++m_failedStarts >= kMaxFailedStarts) {
        m_process.killProcess();
        finish(false, now);
        return;
    }
    m_state = State::Killing;
    m_process.killProcess();
}

void Recovery::replaySome(Clock::time_point now) {
    // In a crash loop the pages go one at a time, so that a fault finds one page loading and
    // the blame falls on it alone, not on every page replayed in the same burst.
    const bool gated = m_quickFailures >= 1;
    for (int posted = 0; posted < kReplayPerPump && !m_replay.empty(); ++posted) {
        ReplayRecord &next = m_replay.front();
        const bool page = next.html || givesPage(next.record);
        if (page && gated && !m_loading.empty() && now - m_pageGiven < kPageGate)
            return;
        if (next.html) {
            // The payload is stored once; a record that finds the segment full keeps it.
            if (!putText(next.record, 0, *next.html))
                return; // no data slot free yet; the next pump tries again
            next.html.reset();
        }
        const uint32_t sequence = static_cast<uint32_t>(KEL_PostCommand(&next.record));
        if (sequence == 0)
            return;
        m_replaySequences.insert(sequence);
        pageGiven(next.record);
        if (page)
            m_pageGiven = now;
        m_replay.pop_front();
    }
    if (m_replay.empty())
        finish(true, now);
}

void Recovery::finish(bool restored, Clock::time_point now) {
    RecoveryEvent event;
    event.reason = m_reason;
    event.exitStatus = m_status;
    event.restored = restored;
    event.pagesRestored = restored && m_droppedPages.empty();
    event.droppedPages = m_droppedPages;
    if (restored)
        event.views = m_session.viewNames();
    event.milliseconds = std::chrono::duration<double, std::milli>(now - m_noticed).count();
    m_lastFinished = now;
    m_everFinished = true;
    if (restored) {
        ++m_count;
        m_state = State::Watching;
        m_liveness.reset(now);
    } else {
        m_state = State::Idle;
    }
    if (handler)
        handler(event);
}

} // namespace Host
} // namespace KEL
