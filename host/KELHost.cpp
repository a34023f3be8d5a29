#include "KELHost.h"

#include "RecordText.h"

#include "CommandCodes.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace KEL {
namespace Host {

// ---- Finding the program ------------------------------------------------------------------

namespace {

bool isExecutable(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string directoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

std::string defaultBrowserPath() {
    if (const char *path = std::getenv("KEL_BROWSER_PATH"); path && *path)
        return path;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&KEL_Init), &info) && info.dli_fname) {
        const std::string libDir = directoryOf(info.dli_fname);
        for (const std::string &candidate :
             {libDir + "/../bin/KELBrowser", libDir + "/KELBrowser"}) {
            if (isExecutable(candidate))
                return candidate;
        }
        return libDir + "/../bin/KELBrowser";
    }
    return "KELBrowser";
}

// ---- The browser process ------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environmentWith(const std::map<std::string, std::string> &overrides) {
    std::vector<std::string> entries;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('='));
        if (!overrides.count(key))
            entries.push_back(text);
    }
    for (const auto &[key, value] : overrides)
        entries.push_back(key + "=" + value);
    return entries;
}

// The browser's main thread needs a large stack for deeply nested pages; started with less,
// it raises its limit and executes itself once more, which loads Qt and the engine twice
// (about 25 ms). Started with the limit in place, it goes straight on. The limit only counts
// when a program image is laid out, so raising this process's soft limit around the spawn and
// restoring it afterwards changes nothing here.
constexpr rlim_t kBrowserMainStack = rlim_t(256) << 20;

class StackLimitForChild {
  public:
    StackLimitForChild() {
        if (getrlimit(RLIMIT_STACK, &m_saved) != 0 || m_saved.rlim_cur == RLIM_INFINITY ||
            m_saved.rlim_cur >= kBrowserMainStack)
            return;
        struct rlimit raised = m_saved;
        raised.rlim_cur = m_saved.rlim_max == RLIM_INFINITY
                              ? kBrowserMainStack
                              : std::min(kBrowserMainStack, m_saved.rlim_max);
        m_raised = raised.rlim_cur > m_saved.rlim_cur && setrlimit(RLIMIT_STACK, &raised) == 0;
    }
    ~StackLimitForChild() {
        if (m_raised)
            setrlimit(RLIMIT_STACK, &m_saved);
    }
    StackLimitForChild(const StackLimitForChild &) = delete;
    StackLimitForChild &operator=(const StackLimitForChild &) = delete;

  private:
    struct rlimit m_saved {};
    bool m_raised = false;
};

// The process's pidfd, or -1 where the kernel has none (then waitpid and kill serve).
int openPidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

Browser::Browser() : m_recovery(std::make_unique<Recovery>(static_cast<ProcessControl &>(*this))) {}

Browser::~Browser() {
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
        ::kill(m_pid, SIGKILL);
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
    const std::string program =
        options.browserPath.empty() ? defaultBrowserPath() : options.browserPath;
    const std::vector<std::string> environment = environmentWith(options.environment);
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.logFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t pid = -1;
    const StackLimitForChild stack;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_error = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    m_pid = pid;
    m_status = -1;
    m_pidfd = openPidfd(pid);
    // posix_spawn returns once the program runs, so the bound is in place long before any page
    // can allocate; only the dynamic loader runs without it.
    if (options.memoryLimit > 0) {
        const struct rlimit limit = {static_cast<rlim_t>(options.memoryLimit),
                                     static_cast<rlim_t>(options.memoryLimit)};
        prlimit(pid, RLIMIT_DATA, &limit, nullptr);
    }
    return true;
}

bool Browser::reinitialise() {
    if (m_initialised)
        KEL_Shutdown();
    forgetStoredPayloads();
    m_inbox.clear(); // records of the old segments name slots that are gone
    KEL_SetProcessCBWithUser(&Browser::onRecord, this); // KEL_Shutdown forgot it
    m_initialised = KEL_Init();
    return m_initialised;
}

bool Browser::running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t rc = waitpid(m_pid, &status, WNOHANG);
    if (rc == 0)
        return true;
    if (rc == m_pid)
        m_status = status;
    m_pid = -1;
    if (m_pidfd >= 0) {
        close(m_pidfd);
        m_pidfd = -1;
    }
    return false;
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
            kill(m_pid, SIGKILL);
            int status = 0;
            if (waitpid(m_pid, &status, 0) == m_pid)
                m_status = status;
            m_pid = -1;
        }
    }
    closeProcessAndPlugin();
    return endedByItself;
}

void Browser::closeProcessAndPlugin() {
    if (m_pidfd >= 0) {
        close(m_pidfd);
        m_pidfd = -1;
    }
    if (m_initialised) {
        KEL_Shutdown();
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
    KEL_Update();
    if (m_callbackDepth == 0)
        m_recovery->step();
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
