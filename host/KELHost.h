#pragma once
// The host kit: a small C++ layer over the plugin's C interface for hosts, tools and tests.
//
// It starts KELBrowser, matches replies to requests, builds and reads records and payloads, and
// waits for notices with a timeout. It links only libKELPlugin (never Qt). The plugin keeps
// process-wide state, so a process drives at most one Browser at a time.

#include "CommandCodes.h"
#include "KELPlugin.h"
#include "Launcher.h"
#include "Records.h"
#include "Recovery.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KEL {
namespace Host {

class View;

// ---- The browser process ------------------------------------------------------------------

// The memory bound the kit gives the browser process (RLIMIT_DATA), so that a page that
// allocates without end (a memory bomb) ends the browser, which recovery then replaces, instead
// of pushing the machine into swap. Measured here: an idle browser with a page has about 65 MB
// of data and 1.4 GiB of address space; the engine and Qt reserve large ranges up front, so an
// address-space bound (RLIMIT_AS) of 1 GiB already stops start-up, while RLIMIT_DATA counts
// only private writable memory, the part a page can make grow; at the bound the engine's next
// allocation fails and the process ends (SIGSEGV). 4 GiB leaves heavy pages ample room and
// still keeps a bomb well inside a game machine's memory.
constexpr uint64_t kDefaultMemoryLimit = uint64_t(4) << 30;

struct StartOptions {
    // Program to run; empty: $KEL_BROWSER_PATH, else ../bin/KELBrowser beside the plugin library.
    std::string browserPath;
    // The web engine: "wpe" (today's web: modern script, WebGL; the default where it is built)
    // or "qtwebkit" (the lightest start and memory); empty: KEL_ENGINE, else the default.
    std::string engine;
    // Extra environment for the browser (added to, or replacing, this process's environment).
    std::map<std::string, std::string> environment;
    // Post INIT with this process's id once the browser is up (KEL_InitProcess).
    bool sendInit = true;
    // Wait this long for PRUP (and BOOT when sendInit); 0 = do not wait.
    int startTimeoutMs = 15000;
    // Called once the process runs and its INIT waits in the command segment, before PRUP and
    // BOOT are awaited. Requests posted from here (CRVW, LOAD, ...) are handled in the
    // browser's first tick together with INIT, instead of one round trip after another; their
    // replies and notices reach the inbox as usual, after PRUP and BOOT.
    std::function<void()> firstRequests;
    // Where the browser's standard output and error go. Empty: every line it writes (without
    // the "LOG: " prefix) goes to onBrowserLine, read during pump(); without a handler, to this
    // process's standard error prefixed "KELBrowser: ". Never to this process's standard output.
    std::string logFile;
    std::function<void(const std::string &line)> onBrowserLine;
    // Segment names: unless KEL_SEGMENT_SUFFIX is set, start() gives this process a suffix of
    // its own (Launcher.h), so hosts on one machine never share segments. True: the plain
    // names "KEL_COMMANDBUFFER" etc., for a host that expects them.
    bool fixedSegmentNames = false;
    // Bound on the browser's private writable memory in bytes (see kDefaultMemoryLimit);
    // 0 = none.
    uint64_t memoryLimit = kDefaultMemoryLimit;
    // Replacing a browser that died or hung (Recovery.h). Active only with sendInit: without
    // INIT the host keeps the browser alive itself and owns its lifetime.
    RecoveryOptions recovery;
    // Run the browser in a bubblewrap sandbox where bwrap works (Sandbox.h); KEL_SANDBOX=0 in
    // this process's environment turns it off as well.
    bool sandbox = true;
    // Folders the sandboxed browser may read that it would not see: the sandbox's /tmp is
    // empty, so file pages under /tmp need their folder here.
    std::vector<std::string> sandboxReadable;
};

class Browser : private ProcessControl {
  public:
    Browser();
    ~Browser(); // stop(), then KEL_Shutdown
    Browser(const Browser &) = delete;
    Browser &operator=(const Browser &) = delete;

    // Settles the segment names (StartOptions::fixedSegmentNames), KEL_Init, then starts the
    // browser process with the same names. False with `error()` set on failure.
    bool start(const StartOptions &options = StartOptions());
    // EXIT, wait up to timeoutMs for the process to end, then SIGKILL it; KEL_Shutdown.
    // Returns true when it ended by itself.
    bool stop(int timeoutMs = 5000);
    // For a host that is about to end: EXIT and KEL_Shutdown, without waiting for the browser's
    // teardown. The browser ends by itself at its next tick; should it hang instead, it ends
    // once it sees that this process is gone (its host check, or its watchdog). The process is
    // not reaped here, so a host that goes on running calls stop() instead.
    void leave();

    // The browser's own process (inside its sandbox too); -1 once it has ended.
    pid_t pid() const { return m_pid > 0 && m_browserPid > 0 ? m_browserPid : m_pid; }
    // Whether the running browser was started in the sandbox.
    bool sandboxed() const { return m_pid > 0 && m_sandboxed; }
    // The engine the running browser was started with: "wpe" or "qtwebkit".
    const std::string &engine() const { return m_engine; }
    // Whether the process still runs (reaps it when it has ended).
    bool running();
    // Exit status (as from waitpid) once it has ended; -1 while running or never started.
    int exitStatus() const { return m_status; }
    const std::string &error() const { return m_error; }
    // The segment suffix in force since start() ("" for the plain names).
    const std::string &segmentSuffix() const { return m_suffix; }
    // Grows each time the plugin's segments are ended or made anew (start, stop, recovery): a
    // frame held under one value is gone under the next (KEL_Shutdown unmapped it).
    uint64_t segmentsEpoch() const { return m_segmentsEpoch; }

    // Posts a request; returns its sequence number (0 = segment full).
    uint32_t post(const KEL_Command &command);
    // Posts and waits for the reply with the same sequence number.
    bool request(const KEL_Command &command, KEL_Command *reply, int timeoutMs = 5000);

    // Calls KEL_Update once; each delivered record goes to the notice handler, then to a
    // request() or waitFor() waiting for it, else to the inbox when the host subscribed. The
    // payloads of a record that ends up in none of these and that the handler did not take
    // (takePayload, takeText, View::handle) are freed, so a host never strands a data slot by
    // forgetting a record. Then every View of this browser takes its newest frame from its
    // frame area (View::takeFrame), so its onFrame runs during pump() as it does for frames of
    // the texture segment.
    void pump();
    // Pumps until a record with this code arrives (from the inbox first); removes it from the
    // inbox and copies it to *out. Its payloads are then the caller's to take.
    bool waitFor(const char *code, KEL_Command *out = nullptr, int timeoutMs = 5000);
    // Pumps until `condition` holds or the time runs out; returns the condition's last value.
    bool spinUntil(const std::function<bool()> &condition, int timeoutMs);

    // The inbox: records kept for a host that wants them raw, oldest first. Off until the host
    // subscribes; it then holds at most `capacity` records, and a record arriving at a full
    // inbox pushes out the oldest, whose payloads are freed and which is counted as dropped.
    // A record stays subscribed across start() and recoveries.
    static constexpr size_t kDefaultInboxCapacity = 4096;
    void subscribe(size_t capacity = kDefaultInboxCapacity);
    void unsubscribe(); // frees the payloads of what the inbox still holds
    bool subscribed() const { return m_inboxCapacity > 0; }
    uint64_t droppedRecords() const { return m_dropped; }
    std::deque<KEL_Command> &inbox() { return m_inbox; }
    // Takes the oldest record with this code from the inbox.
    bool take(const char *code, KEL_Command *out = nullptr);
    // Called for every delivered record first (e.g. a frame compositor, or View::handle).
    void setNoticeHandler(std::function<void(const KEL_Command &)> handler) {
        m_handler = std::move(handler);
    }

    // ---- Recovery (Recovery.h) ----
    // The kit remembers what the host sets up through post() and request() (views and their
    // size, flags and last LOAD or HTML; ALWP, DSMR, AUTH, PRXY; ADDO, SETP) and gives it to a
    // fresh browser when the old one died or hung; frames then simply continue. HTML text is
    // known when its payload was stored with putText or putPayload. Records posted with
    // KEL_PostCommand directly are not seen.
    // Called from pump() once the views are back (or the kit gave up).
    void setRecoveryHandler(std::function<void(const RecoveryEvent &)> handler);
    // Whether a recovery is under way (the browser is being replaced).
    bool recovering() const;
    // Recoveries finished since start().
    int recoveries() const;
    // What the kit would restore.
    const Session &session() const;

  private:
    // What recovery may do to the process (Recovery.h).
    bool processEnded() override;
    int processStatus() const override { return m_status; }
    bool exitWasPosted() const override { return m_exitPosted; }
    void killProcess() override;
    bool startAnew() override;

    static void onRecord(const KEL_Command *command, void *user);
    void receive(const KEL_Command &command);
    void keep(const KEL_Command &record);
    bool waitForExit(int timeoutMs);
    // Closes the pidfd and shuts the plugin down (stop and leave end the same way).
    void closeProcessAndPlugin();
    // Starts the program with the options' environment, log and memory bound; opens its pidfd.
    bool spawnProcess(const StartOptions &options);
    // Hands the browser's waiting output lines on; closes the pipe (after a last read).
    void drainOutput();
    void closeOutput();
    // Ends the plugin's segments and makes them anew, for a fresh process.
    bool reinitialise();

    // A request() or waitFor() in progress: the record it waits for, once delivered.
    struct Wait {
        const char *code = nullptr; // or, with null, the reply with this sequence number
        uint32_t sequence = 0;
        std::optional<KEL_Command> record;
    };

    friend class View;
    std::vector<View *> m_views; // each registers itself for pump()

    pid_t m_pid = -1;
    int m_status = -1;
    bool m_initialised = false;
    uint64_t m_segmentsEpoch = 0;
    std::string m_error;
    std::deque<KEL_Command> m_inbox;
    size_t m_inboxCapacity = 0;
    uint64_t m_dropped = 0;
    Wait *m_wait = nullptr;
    bool m_sawPrup = false, m_sawBoot = false;
    std::function<void(const KEL_Command &)> m_handler;
    StartOptions m_options;
    int m_pidfd = -1; // the process's pidfd; -1 where the kernel has none
    int m_logFd = -1; // the browser's output, when no log file was named
    BrowserLines m_lines;
    std::string m_suffix;
    pid_t m_browserPid = -1; // in the sandbox m_pid is bwrap, this the browser itself
    bool m_sandboxed = false;
    std::string m_engine;
    int m_lifeline = -1;       // write end of the pipe whose end of file tells the browser we ended
    bool m_exitPosted = false; // the host posted EXIT: its end is no fault
    int m_callbackDepth = 0;   // inside the process callback: no segment may be remade
    std::unique_ptr<Recovery> m_recovery;
};

} // namespace Host
} // namespace KEL
