#include "BrowserFixture.h"

#include "CommandBuffer.h"
#include "SegmentNames.h"

#include "CommandCodes.h"
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace KEL {
namespace Test {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Segments -----------------------------------------------------------------------------

SegmentMapping::SegmentMapping(const char *baseName, uint32_t size, bool writable) {
    const std::string name = segmentName(baseName);
    const int fd = shm_open(("/" + name).c_str(), writable ? O_RDWR : O_RDONLY, 0);
    if (fd < 0)
        return;
    void *address =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (address == MAP_FAILED)
        return;
    m_lock.reset(SegmentLock::open(lockName(name)));
    if (!m_lock) {
        munmap(address, size);
        return;
    }
    m_base = static_cast<uint8_t *>(address);
    m_size = size;
}

SegmentMapping::~SegmentMapping() {
    if (m_base)
        munmap(m_base, m_size);
}

bool SegmentMapping::withLock(const std::function<void()> &action) {
    if (!m_lock)
        return false;
    ScopedLock lock(m_lock.get());
    if (!lock)
        return false;
    action();
    return true;
}

CommandSegment::CommandSegment() : m_mapping(kCommandSegmentName, kCommandSegmentSize, false) {}

std::vector<SlotView> CommandSegment::snapshot() {
    std::vector<SlotView> slots;
    m_mapping.withLock([&] {
        const auto *records = reinterpret_cast<const KEL_Command *>(m_mapping.base() + 4);
        for (uint32_t k = 0; k < kCommandSlots; ++k) {
            const KEL_Command &record = records[k];
            if (record.sequence == 0)
                continue;
            slots.push_back({record.sequence,
                             std::string(record.code, strnlen(record.code, sizeof record.code)),
                             record.origin, record.result});
        }
    });
    return slots;
}

std::vector<uint32_t> CommandSegment::postTogether(const std::vector<KEL_Command> &records) {
    std::vector<uint32_t> sequences;
    const bool locked = m_mapping.withLock([&] {
        for (const KEL_Command &record : records)
            sequences.push_back(static_cast<uint32_t>(KEL_PostCommand(&record)));
    });
    EXPECT_TRUE(locked) << "could not take the command segment's lock";
    return sequences;
}

// ---- Fixture ------------------------------------------------------------------------------

namespace {

std::atomic<int> g_counter{0};

std::string makeDirectory(const std::string &path) {
    std::filesystem::create_directories(path);
    chmod(path.c_str(), 0700);
    return path;
}

} // namespace

void BrowserTest::SetUp() {
    // Unique per test process and per test, so parallel ctest runs never share segments.
    m_suffix = "_bt" + std::to_string(getpid()) + "_" + std::to_string(g_counter++);
    setenv("KEL_SEGMENT_SUFFIX", m_suffix.c_str(), 1);
    char pattern[] = "/tmp/kel-browser-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    chmod(m_root.c_str(), 0700);
    for (const char *sub : {"/home", "/data", "/cache", "/config", "/runtime"})
        makeDirectory(m_root + sub);
    m_logPath = m_root + "/browser.log";
    // These tests read records raw, so they keep them (a host that uses View does not).
    m_browser.subscribe();
}

void BrowserTest::TearDown() {
    m_browser.stop(3000);
    // The plugin's shutdown removes the names; this catches tests that made segments without
    // the plugin.
    for (const char *base : {kCommandSegmentName, kTextureSegmentName, kDataSegmentName})
        SharedBuffer::removeNames(segmentName(base));
    if (HasFailure())
        std::cerr << "---- browser log ----\n" << browserLog() << "---------------------\n";
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

std::map<std::string, std::string> BrowserTest::browserEnvironment() const {
    std::map<std::string, std::string> environment = m_environment;
    environment.insert({
        {"HOME", m_root + "/home"},
        {"XDG_DATA_HOME", m_root + "/data"},
        {"XDG_CACHE_HOME", m_root + "/cache"},
        {"XDG_CONFIG_HOME", m_root + "/config"},
        {"XDG_RUNTIME_DIR", m_root + "/runtime"},
        // Empty: the browser must pick the off-screen platform by itself.
        {"QT_QPA_PLATFORM", ""},
        {"KEL_TRACE_COMMANDS", "1"},
    });
    return environment;
}

bool BrowserTest::startBrowser(bool sendInit) {
    Host::StartOptions options;
    // KEL_BROWSER_PATH lets a run wrap the browser (valgrind, strace) without rebuilding.
    const char *override = std::getenv("KEL_BROWSER_PATH");
    options.browserPath = override && *override ? override : KEL_BROWSER_EXECUTABLE;
    options.environment = browserEnvironment();
    options.sandbox = m_sandbox;
    options.sandboxReadable = {m_root}; // the tests' file pages
    options.sendInit = sendInit;
    options.logFile = m_logPath;
    options.recovery.enabled = m_recovery;
    const bool started = m_browser.start(options);
    EXPECT_TRUE(started) << m_browser.error();
    return started;
}

KEL_Command BrowserTest::request(const KEL_Command &command, int timeoutMs) {
    KEL_Command reply = Host::makeCommand("NONE");
    EXPECT_TRUE(m_browser.request(command, &reply, timeoutMs))
        << "no reply to " << Host::codeOf(command);
    return reply;
}

KEL_Command BrowserTest::viewCommand(const char *code, const std::string &view) {
    KEL_Command command = Host::makeCommand(code);
    Host::setString(command, 0, view);
    return command;
}

KEL_Command BrowserTest::createView(const std::string &name, int32_t width, int32_t height) {
    KEL_Command command = viewCommand(KEL::Code::CRVW, name);
    Host::setInt(command, 0, width);
    Host::setInt(command, 1, height);
    Host::setInt(command, 2, 1);
    return request(command);
}

bool BrowserTest::showHtml(const std::string &view, const std::string &html, int timeoutMs) {
    KEL_Command command = viewCommand(KEL::Code::HTML, view);
    return Host::putText(command, 0, html) && request(command).result == 1 &&
           m_browser.waitFor(KEL::Code::LDFN, nullptr, timeoutMs);
}

void ComposedBrowserTest::startWithView(const std::string &name, int32_t width, int32_t height) {
    ASSERT_TRUE(startBrowser(true));
    m_frames.attach(m_browser);
    m_browser.inbox().clear();
    ASSERT_EQ(createView(name, width, height).result, 1);
}

bool BrowserTest::waitForTitle(KEL_Command *notice, int timeoutMs) {
    return m_browser.spinUntil(
        [&] { return m_browser.take(KEL::Code::TITC, notice) && notice->strArgs[1][0] != 0; },
        timeoutMs);
}

std::string BrowserTest::browserLog() const {
    std::ifstream in(m_logPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool BrowserTest::waitForLog(const std::string &text, int timeoutMs) {
    return waitUntil([&] { return browserLog().find(text) != std::string::npos; }, timeoutMs);
}

} // namespace Test
} // namespace KEL
