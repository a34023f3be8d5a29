#include "KELHost.h"

#include "View.h"

#include "Launcher.h"
#include "RecordText.h"

#include "CommandCodes.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace KEL {
namespace Host {

// ---- The browser process ------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

Browser::Browser() : m_recovery(std::make_unique<Recovery>(static_cast<ProcessControl &>(*this))) {}

Browser::~Browser() {
    for (View *view : m_views)
        view->m_browserGone = true;
    stop(3000);
    unsubscribe();
    KEL_SetProcessCBWithUser(nullptr, nullptr);
}

void Browser::onRecord(const KEL_Command *command, void *user) {
    if (user && command)
        static_cast<Browser *>(user)->receive(*command);
}

void Browser::receive(const KEL_Command &command) {
    if (m_recovery->swallow(command)) {
        freePayloads(command);
        return;
    }
    if (command.origin == 1 && command.result == 0) {
        m_sawPrup = m_sawPrup || hasCode(command, KEL::Code::PRUP);
        m_sawBoot = m_sawBoot || hasCode(command, KEL::Code::BOOT);
    }
    TakenSlots taken;
    {
        ++m_callbackDepth;
        struct Leave {
            int &depth;
            ~Leave() { --depth; }
        } leave{m_callbackDepth};
        if (m_handler)
            m_handler(command);
    }
    // What the handler took is gone: a kept copy no longer names it.
    KEL_Command record = command;
    const uint16_t pairs = payloadPairs(record);
    const std::vector<int32_t> &took = taken.slots();
    for (int i = 0; i + 1 < KEL_COMMAND_INT_ARGS; ++i) {
        if ((pairs & (1u << i)) &&
            std::find(took.begin(), took.end(), record.intArgs[i]) != took.end())
            record.intArgs[i] = -1;
    }
    if (m_wait && !m_wait->record &&
        (m_wait->code
             ? hasCode(record, m_wait->code)
             : record.sequence == m_wait->sequence && record.origin == 0 && record.result != 0)) {
        m_wait->record = record;
        return;
    }
    if (subscribed()) {
        keep(record);
        return;
    }
    freePayloads(record);
}

void Browser::keep(const KEL_Command &record) {
    while (!m_inbox.empty() && m_inbox.size() >= m_inboxCapacity) {
        freePayloads(m_inbox.front());
        m_inbox.pop_front();
        ++m_dropped;
    }
    m_inbox.push_back(record);
}

void Browser::subscribe(size_t capacity) {
    m_inboxCapacity = std::max<size_t>(1, capacity);
    while (m_inbox.size() > m_inboxCapacity) {
        freePayloads(m_inbox.front());
        m_inbox.pop_front();
        ++m_dropped;
    }
}

void Browser::unsubscribe() {
    m_inboxCapacity = 0;
    for (const KEL_Command &record : m_inbox)
        freePayloads(record);
    m_inbox.clear();
}

bool Browser::processEnded() {
    if (m_pidfd >= 0 && m_pid > 0) {
        struct pollfd fd = {m_pidfd, POLLIN, 0};
        if (poll(&fd, 1, 0) == 0)
            return false; // cheaper than a wait, and exact: readable once the process ended
    }
    return !running();
}

void Browser::killProcess() {
    if (m_pid <= 0)
        return;
    if (m_pidfd < 0 || syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0) != 0)
        ::kill(pid(), SIGKILL); // in the sandbox: the browser, and the sandbox with it
}

bool Browser::startAnew() {
    return reinitialise() && spawnProcess(m_options);
}

bool Browser::start(const StartOptions &options) {
    m_error.clear();
    m_inbox.clear(); // the old segments' records: their slots are gone with them
    m_sawPrup = m_sawBoot = false;
    m_options = options;
    m_options.firstRequests = nullptr; // a replacement process gets the session instead
    m_exitPosted = false;
    m_recovery->stopWatching();
    KEL_SetProcessCBWithUser(&Browser::onRecord, this);
    m_suffix = settleSegmentSuffix(options.fixedSegmentNames);
    ++m_segmentsEpoch;
    if (!KEL_Init()) {
        m_error = "KEL_Init failed (see the log)";
        return false;
    }
    m_initialised = true;
    if (!spawnProcess(options))
        return false;

    if (options.startTimeoutMs <= 0) {
        if (options.sendInit) {
            KEL_InitProcess();
            m_recovery->watch(options);
        }
        return true;
    }
    // INIT can wait in the segment before the browser has opened it: the browser reads it in
    // its first tick, so the start-up costs no round trip for PRUP.
    if (options.sendInit) {
        KEL_InitProcess();
        if (options.firstRequests)
            options.firstRequests();
    }
    if (!spinUntil([&] { return m_sawPrup || !running(); }, options.startTimeoutMs) || !m_sawPrup) {
        m_error = "the browser process did not announce itself (no PRUP)";
        return false;
    }
    if (options.sendInit) {
        if (!spinUntil([&] { return m_sawBoot || !running(); }, options.startTimeoutMs) ||
            !m_sawBoot) {
            m_error = "the browser process did not answer INIT (no BOOT)";
            return false;
        }
        m_recovery->watch(options);
    }
    return true;
}

bool Browser::spawnProcess(const StartOptions &options) {
    closeOutput();
    LaunchRequest request;
    request.program = options.browserPath;
    request.engine = options.engine;
    request.environment = options.environment;
    // The suffix the plugin's segments carry, handed on explicitly: the browser must open
    // exactly those, whatever the options' environment says.
    request.environment["KEL_SEGMENT_SUFFIX"] = m_suffix;
    request.logFile = options.logFile;
    request.memoryLimit = options.memoryLimit;
    request.sandbox = options.sandbox;
    request.sandboxReadable = options.sandboxReadable;
    Launched launched;
    if (!spawnBrowser(request, &launched, &m_error))
        return false;
    m_pid = launched.pid;
    m_pidfd = launched.pidfd;
    m_logFd = launched.logFd;
    m_status = -1;
    m_sandboxed = launched.sandboxed;
    m_engine = launched.engine;
    m_browserPid = launched.browserPid;
    if (m_lifeline >= 0)
        close(m_lifeline);
    m_lifeline = launched.lifeline;
    return true;
}

void Browser::drainOutput() {
    if (m_logFd < 0)
        return;
    m_lines.drain(m_logFd, [this](const std::string &line) {
        if (m_options.onBrowserLine)
            m_options.onBrowserLine(line);
        else
            std::fprintf(stderr, "KELBrowser: %s\n", line.c_str());
    });
}

void Browser::closeOutput() {
    if (m_logFd < 0)
        return;
    drainOutput();
    close(m_logFd);
    m_logFd = -1;
}

bool Browser::reinitialise() {
    if (m_initialised)
        KEL_Shutdown();
    ++m_segmentsEpoch;
    forgetStoredPayloads();
    m_inbox.clear(); // records of the old segments name slots that are gone
    KEL_SetProcessCBWithUser(&Browser::onRecord, this); // KEL_Shutdown forgot it
    m_initialised = KEL_Init();
    return m_initialised;
}

bool Browser::running() {
    Launched process{m_pid, m_browserPid, m_pidfd, -1, -1, m_sandboxed, m_engine};
    const bool runs = stillRunning(process, false, &m_status);
    m_pid = process.pid;
    m_pidfd = process.pidfd;
    return runs;
}

bool Browser::waitForExit(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Browser::stop(int timeoutMs) {
    m_recovery->stopWatching();
    bool endedByItself = true;
    if (running()) {
        KEL_Command exitCommand = makeCommand(KEL::Code::EXIT);
        post(exitCommand);
        endedByItself = waitForExit(timeoutMs);
        if (!endedByItself && m_pid > 0) {
            kill(pid(), SIGKILL); // in the sandbox: the browser, and with it the sandbox
            Launched process{m_pid, m_browserPid, m_pidfd, -1, -1, m_sandboxed, m_engine};
            stillRunning(process, true, &m_status);
            m_pid = process.pid;
            m_pidfd = process.pidfd;
        }
    }
    closeProcessAndPlugin();
    return endedByItself;
}

void Browser::closeProcessAndPlugin() {
    closeOutput();
    if (m_pidfd >= 0) {
        close(m_pidfd);
        m_pidfd = -1;
    }
    if (m_lifeline >= 0) {
        close(m_lifeline); // the browser sees its host go
        m_lifeline = -1;
    }
    if (m_initialised) {
        KEL_Shutdown();
        ++m_segmentsEpoch;
        m_initialised = false;
        KEL_SetProcessCBWithUser(&Browser::onRecord, this); // KEL_Shutdown forgot it
    }
}

void Browser::leave() {
    m_recovery->stopWatching();
    if (running())
        post(makeCommand(KEL::Code::EXIT));
    m_pid = -1;
    closeProcessAndPlugin();
}

uint32_t Browser::post(const KEL_Command &command) {
    std::u16string text;
    const bool known = takeStoredText(command, &text);
    if (hasCode(command, KEL::Code::EXIT))
        m_exitPosted = true;
    const auto sequence = static_cast<uint32_t>(KEL_PostCommand(&command));
    m_recovery->observe(command, known ? &text : nullptr, sequence);
    return sequence;
}

bool Browser::request(const KEL_Command &command, KEL_Command *reply, int timeoutMs) {
    const uint32_t sequence = post(command);
    if (sequence == 0)
        return false;
    Wait wait;
    wait.sequence = sequence;
    Wait *outer = std::exchange(m_wait, &wait);
    spinUntil([&] { return wait.record.has_value(); }, timeoutMs);
    m_wait = outer;
    if (!wait.record)
        return false;
    if (reply)
        *reply = *wait.record;
    else
        freePayloads(*wait.record);
    return true;
}

void Browser::pump() {
    KEL_SetProcessCBWithUser(&Browser::onRecord, this);
    drainOutput();
    KEL_Update();
    if (m_callbackDepth == 0)
        m_recovery->step();
    // By index: a view's onFrame may create or destroy views.
    for (size_t i = 0; i < m_views.size(); ++i)
        m_views[i]->takeFrame();
}

void Browser::setRecoveryHandler(std::function<void(const RecoveryEvent &)> handler) {
    m_recovery->handler = std::move(handler);
}

bool Browser::recovering() const {
    return m_recovery->busy();
}

int Browser::recoveries() const {
    return m_recovery->count();
}

const Session &Browser::session() const {
    return m_recovery->session();
}

bool Browser::take(const char *code, KEL_Command *out) {
    auto it = std::find_if(m_inbox.begin(), m_inbox.end(),
                           [code](const KEL_Command &c) { return hasCode(c, code); });
    if (it == m_inbox.end())
        return false;
    if (out)
        *out = *it;
    else
        freePayloads(*it);
    m_inbox.erase(it);
    return true;
}

bool Browser::waitFor(const char *code, KEL_Command *out, int timeoutMs) {
    KEL_Command found;
    if (!take(code, &found)) {
        Wait wait;
        wait.code = code;
        Wait *outer = std::exchange(m_wait, &wait);
        spinUntil([&] { return wait.record.has_value(); }, timeoutMs);
        m_wait = outer;
        if (!wait.record)
            return false;
        found = *wait.record;
    }
    if (out)
        *out = found;
    else
        freePayloads(found);
    return true;
}

bool Browser::spinUntil(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pump();
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace Host
} // namespace KEL
