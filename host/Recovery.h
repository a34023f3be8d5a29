#pragma once
// Recovery: the host kit replaces a browser process that died or hung and restores what the
// host had set up, so a game never loses its web views to a sick page or browser.
//
// Policy (all of it lives here):
// - Died: the process ended by a signal or with a non-zero exit code. A process that exits with
//   code 0 ended on purpose (EXIT, a ping deadline, an INIT that names no host); restarting it
//   would fight whoever asked for that, so it is left ended.
// - Hung: the kit posts a PING every second (PING is answered even after INIT) and a process
//   that leaves one unanswered for 3 s while it is alive is hung: an endless script, a stopped
//   process, a dead lock. It is killed with SIGKILL (through its pidfd, so a recycled process
//   id can never be hit) and then treated as died. Time in which the host itself did not pump
//   is not counted, so a game that stalls for a while does not kill a healthy browser.
// - Restart: the segments are made anew (KEL_Shutdown, KEL_Init), which drops everything the
//   old process left half done (a frame it never finished, records nobody will answer, data
//   slots nobody will free); then a fresh process is started and the Session replayed.
// - A page that takes every fresh process down with it (a memory bomb, an endless loop on
//   load) would make the kit restart for ever. When a recovery follows the previous one within
//   30 s for the second time in a row, the pages blamed for that fault are dropped from the
//   session: those views come back without their pages (sizes and flags kept; the host may
//   load them again), every other view keeps its page. Each further quick recovery drops the
//   pages blamed for it in turn; 30 s of quiet resets the count.
//   Blame, for one fault: the views whose page had not finished loading (no LDFN since it was
//   given, by the host or by a replay) and the views with a script evaluation (EVJS) still
//   unanswered; when there are none, the view the host last gave a page or script (LOAD,
//   HTML, HBAK, HFWD, EVJS). A page that brings the process down while it loads, or a script
//   that never returns, is so found at once; a page that crashes later, on its own, is found
//   when it was the last one the host touched, and otherwise only after the innocent
//   candidates have gone. Within a crash loop (from the second quick recovery on) the replay
//   gives the pages one at a time, each once the one before has finished loading (or after
//   5 s), and watches for hangs while it does, so the next fault finds only its own page
//   loading.
// - A fresh process that does not come up (no PRUP/BOOT within the start time-out) is killed
//   and another started, three times at most; then the kit gives up and says so.
// Everything runs inside Browser::pump() (no thread, nothing blocks for long): a hang is found
// and a restart driven only while the host pumps, and each pump does a bounded step of it.

#include "KELPlugin.h"
#include "Session.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace KEL {
namespace Host {

struct StartOptions;

// What recovery needs from the owner of the browser process (the host kit's Browser).
class ProcessControl {
  public:
    // Whether the process has ended (reaping it).
    virtual bool processEnded() = 0;
    // Its wait status once it has ended; -1 before.
    virtual int processStatus() const = 0;
    // The host posted EXIT: its end is no fault.
    virtual bool exitWasPosted() const = 0;
    // SIGKILL, through the pidfd where there is one (a recycled process id is never hit).
    virtual void killProcess() = 0;
    // Makes the segments anew and starts a fresh process; false when either failed.
    virtual bool startAnew() = 0;

  protected:
    ~ProcessControl() = default;
};

struct RecoveryOptions {
    bool enabled = true;
    int pingIntervalMs = 1000;
    int hangTimeoutMs = 3000;
};

enum class RecoveryReason { Died, Hung };
const char *reasonName(RecoveryReason reason); // "died", "hung"

// Handed to the recovery handler once a fresh process has been given the host's state (or the
// kit gave up). Called from Browser::pump(), on the host's thread.
struct RecoveryEvent {
    RecoveryReason reason = RecoveryReason::Died;
    int exitStatus = -1;            // wait status of the replaced process (after the kill if hung)
    bool restored = false;          // false: no fresh process came up; the kit stopped trying
    bool pagesRestored = false;     // false: some views came back without their pages
    std::vector<std::string> views; // views restored, in creation order (UTF-8)
    std::vector<std::string> droppedPages; // views whose page the crash-loop rule dropped now
    double milliseconds = 0; // from noticing the fault to the state being posted again
};

// The ping rule as plain code over a clock, so it can be checked without a process.
class Liveness {
  public:
    using Clock = std::chrono::steady_clock;

    Liveness(std::chrono::milliseconds interval, std::chrono::milliseconds hangAfter)
        : m_interval(interval), m_hangAfter(hangAfter) {}
    // A fresh process: nothing outstanding, the first PING due one interval from now.
    void reset(Clock::time_point now);
    // Called at every pump; a long gap since the previous one (the host stalled) is not held
    // against the browser.
    void pumped(Clock::time_point now);
    bool pingDue(Clock::time_point now) const;
    // `sequence` 0: the PING could not be posted (segment full); the wait counts all the same.
    void pinged(uint32_t sequence, Clock::time_point now);
    // True when `sequence` answers the outstanding PING (which then no longer waits).
    bool answered(uint32_t sequence, Clock::time_point now);
    bool hung(Clock::time_point now) const;

  private:
    std::chrono::milliseconds m_interval, m_hangAfter;
    Clock::time_point m_lastAnswer{}, m_waitingSince{}, m_lastPump{};
    bool m_waiting = false;
    uint32_t m_sequence = 0;
};

// Browser's recovery machinery (internal to the kit; Browser owns one).
class Recovery {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Recovery(ProcessControl &process) : m_process(process) {}

    // After a successful start with INIT: watch this process.
    void watch(const StartOptions &options);
    // stop(): watch no more (a recovery under way is dropped).
    void stopWatching();
    // Every request the host posts, with the sequence number it got; `htmlText` is an HTML
    // request's text when known.
    void observe(const KEL_Command &request, const std::u16string *htmlText, uint32_t sequence);
    // A delivered record that belongs to the kit (its PINGs, the replay, a fresh process's
    // PRUP and BOOT): true means the host never sees it.
    bool swallow(const KEL_Command &record);
    // One bounded step, after each KEL_Update of a pump.
    void step();

    bool busy() const { return m_state != State::Idle && m_state != State::Watching; }
    int count() const { return m_count; }
    Session &session() { return m_session; }
    std::function<void(const RecoveryEvent &)> handler;

  private:
    enum class State { Idle, Watching, Killing, WaitingForPrup, WaitingForBoot, Replaying };

    void begin(RecoveryReason reason, Clock::time_point now);
    void restart(Clock::time_point now);
    void startFailed(Clock::time_point now);
    void replaySome(Clock::time_point now);
    void finish(bool restored, Clock::time_point now);
    // The views blamed for the fault that just happened (see the crash-loop rule).
    std::vector<std::u16string> blamed() const;
    void pageGiven(const KEL_Command &request);

    ProcessControl &m_process;
    State m_state = State::Idle;
    bool m_enabled = false;
    int m_startTimeoutMs = 15000;
    Liveness m_liveness{std::chrono::milliseconds(1000), std::chrono::milliseconds(3000)};
    Session m_session;

    RecoveryReason m_reason = RecoveryReason::Died;
    int m_status = -1;
    Clock::time_point m_noticed{}, m_deadline{}, m_lastFinished{};
    bool m_everFinished = false;
    int m_quickFailures = 0;
    std::vector<std::string> m_droppedPages;
    // For blame, in the current process: views whose page has not finished loading, script
    // evaluations not yet answered (sequence -> view), the view last given a page or script.
    std::set<std::u16string> m_loading;
    std::map<uint32_t, std::u16string> m_evaluating;
    std::u16string m_lastGiven;
    bool m_anyGiven = false;
    Clock::time_point m_pageGiven{}; // the replay's last page

    int m_failedStarts = 0;
    bool m_sawPrup = false, m_sawBoot = false;
    std::deque<ReplayRecord> m_replay;
    std::set<uint32_t> m_replaySequences;
    int m_count = 0;
};

} // namespace Host
} // namespace KEL
