#include "KELHost.h"

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
#include <thread>
#include <unistd.h>

namespace KEL {
namespace Host {

// ---- Text ---------------------------------------------------------------------------------

std::u16string utf16(const std::string &text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t cp = lead < 0x80 ? lead : (extra ? (lead & (0x3Fu >> extra)) : 0xFFFDu);
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size()) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        i += extra + 1;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string utf8(const std::u16string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// ---- Records ------------------------------------------------------------------------------

KEL_Command makeCommand(const char *code) {
    KEL_Command command;
    std::memset(&command, 0, sizeof command);
    std::strncpy(command.code, code, 4);
    return command;
}

std::string codeOf(const KEL_Command &command) {
    return std::string(command.code, strnlen(command.code, sizeof command.code));
}

bool hasCode(const KEL_Command &command, const char *code) {
    return std::strncmp(command.code, code, sizeof command.code) == 0;
}

void setString(KEL_Command &command, int index, const std::u16string &text) {
    if (index < 0 || index >= KEL_COMMAND_STR_ARGS)
        return;
    writeStringArg(command, index, text, KEL_COMMAND_STR_UNITS - 1);
    command.strCount = std::max(command.strCount, index + 1);
}

void setString(KEL_Command &command, int index, const std::string &utf8Text) {
    setString(command, index, utf16(utf8Text));
}

std::u16string getString(const KEL_Command &command, int index) {
    return readStringArg(command, index);
}

std::string getString8(const KEL_Command &command, int index) {
    return utf8(getString(command, index));
}

void setInt(KEL_Command &command, int index, int32_t value) {
    if (index < 0 || index >= KEL_COMMAND_INT_ARGS)
        return;
    command.intArgs[index] = value;
    command.intCount = std::max(command.intCount, index + 1);
}

namespace {

// Payloads stored through this kit, by data slot, until a request naming the slot is posted:
// recovery must know an HTML page's text to show it again, and a payload cannot be read back
// from the data segment without freeing it. At most one entry per slot.
std::map<int32_t, std::vector<uint8_t>> g_storedPayloads;

} // namespace

bool putPayload(KEL_Command &command, int slotArg, const void *data, int32_t length) {
    const int32_t slot = KEL_AllocateAndCopy(data, length);
    setInt(command, slotArg, slot);
    setInt(command, slotArg + 1, length);
    if (slot >= 0 && data && length > 0) {
        const auto *bytes = static_cast<const uint8_t *>(data);
        g_storedPayloads[slot].assign(bytes, bytes + length);
    }
    return slot >= 0;
}

bool putText(KEL_Command &command, int slotArg, const std::u16string &text) {
    const std::vector<uint8_t> bytes = encodeTextPayload(text, true);
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
        setInt(command, slotArg, -1);
        setInt(command, slotArg + 1, 0);
        return false;
    }
    return putPayload(command, slotArg, bytes.data(), static_cast<int32_t>(bytes.size()));
}

bool putText(KEL_Command &command, int slotArg, const std::string &utf8Text) {
    return putText(command, slotArg, utf16(utf8Text));
}

std::vector<uint8_t> takePayload(const KEL_Command &command, int slotArg) {
    if (slotArg < 0 || slotArg + 1 >= KEL_COMMAND_INT_ARGS)
        return {};
    const int32_t slot = command.intArgs[slotArg];
    const int32_t length = command.intArgs[slotArg + 1];
    // The pair comes from the other process: a length beyond the slot's capacity must not
    // size an allocation (a compromised browser could ask for 2 GiB).
    if (!plausiblePayload(slot, length))
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!KEL_CopyAndFree(slot, bytes.data(), length))
        return {};
    return bytes;
}

std::optional<KEL_Command> makeLoad(const std::string &view, const std::string &address) {
    const std::u16string units = utf16(address);
    if (units.size() > kLoadAddressUnits)
        return std::nullopt;
    constexpr size_t kPart = KEL_COMMAND_STR_UNITS - 1;
    KEL_Command load = makeCommand(KEL::Code::LOAD);
    setString(load, 0, view);
    int arg = 1;
    for (size_t pos = 0; pos < units.size(); pos += kPart)
        setString(load, arg++, units.substr(pos, kPart));
    return load;
}

namespace {

// The payload a request posted now refers to, if this kit stored it (forgotten either way:
// the slot is the receiver's from now on).
bool takeStoredText(const KEL_Command &command, std::u16string *text) {
    if (!hasCode(command, KEL::Code::HTML) && !hasCode(command, KEL::Code::EVJS) &&
        !hasCode(command, KEL::Code::IMES))
        return false;
    auto it = g_storedPayloads.find(command.intArgs[0]);
    if (it == g_storedPayloads.end())
        return false;
    const bool matches = command.intArgs[1] == static_cast<int32_t>(it->second.size());
    if (matches)
        *text = decodeTextPayload(it->second.data(), it->second.size());
    g_storedPayloads.erase(it);
    return matches;
}

} // namespace

std::u16string takeText(const KEL_Command &command, int slotArg) {
    const std::vector<uint8_t> bytes = takePayload(command, slotArg);
    return decodeTextPayload(bytes.data(), bytes.size());
}

// ---- The browser process ------------------------------------------------------------------

namespace {

// The plugin's process callback has no user pointer; one Browser per process receives.
Browser *g_receiver = nullptr;

using Clock = std::chrono::steady_clock;

} // namespace

Browser::Browser() : m_recovery(std::make_unique<Recovery>(*this)) {}

Browser::~Browser() {
    stop(3000);
    if (g_receiver == this) {
        KEL_SetProcessCB(nullptr);
        g_receiver = nullptr;
    }
}

void Browser::onRecord(const KEL_Command *command) {
    if (!g_receiver || !command)
        return;
    if (g_receiver->m_recovery->swallow(*command))
        return;
    ++g_receiver->m_callbackDepth;
    struct Leave {
        int &depth;
        ~Leave() { --depth; }
    } leave{g_receiver->m_callbackDepth};
    if (g_receiver->m_handler)
        g_receiver->m_handler(*command);
    g_receiver->m_inbox.push_back(*command);
}

bool Browser::start(const StartOptions &options) {
    m_error.clear();
    m_inbox.clear();
    m_options = options;
    m_options.firstRequests = nullptr; // a replacement process gets the session instead
    m_exitPosted = false;
    m_recovery->stopWatching();
    g_receiver = this;
    KEL_SetProcessCB(&Browser::onRecord);
    m_suffix = settleSegmentSuffix(options.fixedSegmentNames);
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
    auto has = [this](const char *code) {
        return std::any_of(m_inbox.begin(), m_inbox.end(),
                           [code](const KEL_Command &c) { return hasCode(c, code); });
    };
    if (!spinUntil([&] { return has(KEL::Code::PRUP) || !running(); }, options.startTimeoutMs) ||
        !has(KEL::Code::PRUP)) {
        m_error = "the browser process did not announce itself (no PRUP)";
        return false;
    }
    if (options.sendInit) {
        if (!spinUntil([&] { return has(KEL::Code::BOOT) || !running(); },
                       options.startTimeoutMs) ||
            !has(KEL::Code::BOOT)) {
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
    g_storedPayloads.clear();
    KEL_SetProcessCB(&Browser::onRecord); // KEL_Shutdown forgot it
    m_initialised = KEL_Init();
    return m_initialised;
}

bool Browser::running() {
    Launched process{m_pid, m_browserPid, m_pidfd, -1, -1, m_sandboxed};
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
            Launched process{m_pid, m_browserPid, m_pidfd, -1, -1, m_sandboxed};
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
        m_initialised = false;
        if (g_receiver == this)
            KEL_SetProcessCB(&Browser::onRecord); // KEL_Shutdown forgot it; keep receiving
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
    m_recovery->observe(command, known ? &text : nullptr);
    return static_cast<uint32_t>(KEL_PostCommand(&command));
}

bool Browser::request(const KEL_Command &command, KEL_Command *reply, int timeoutMs) {
    const uint32_t sequence = post(command);
    if (sequence == 0)
        return false;
    auto isReply = [sequence](const KEL_Command &c) {
        return c.sequence == sequence && c.origin == 0 && c.result != 0;
    };
    bool found = false;
    spinUntil(
        [&] {
            auto it = std::find_if(m_inbox.begin(), m_inbox.end(), isReply);
            if (it == m_inbox.end())
                return false;
            if (reply)
                *reply = *it;
            m_inbox.erase(it);
            found = true;
            return true;
        },
        timeoutMs);
    return found;
}

void Browser::pump() {
    g_receiver = this;
    drainOutput();
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
    m_inbox.erase(it);
    return true;
}

bool Browser::waitFor(const char *code, KEL_Command *out, int timeoutMs) {
    return spinUntil([&] { return take(code, out); }, timeoutMs);
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
