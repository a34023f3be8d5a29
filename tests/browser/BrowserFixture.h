#pragma once
// Integration-test support: a real KELBrowser started through the host kit, with its own
// segment suffix and its own HOME / XDG directories, and direct read access to the shared
// segments for checks the host interface cannot make (what still waits in the command segment,
// the texture header).

#include "FrameCompositor.h"
#include "KELHost.h"
#include "SegmentLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KEL {
namespace Test {

using Clock = std::chrono::steady_clock;

// Polls `condition` every millisecond without touching the plugin, until it holds or the time
// runs out; returns its last value.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
double secondsSince(Clock::time_point start);

// Records in the command segment, as seen under its lock.
struct SlotView {
    uint32_t sequence;
    std::string code;
    uint32_t origin;
    int32_t result;
};

// A second mapping of one segment, made in the test process without the transport's
// host-side opening (which would zero it), plus its inter-process lock.
class SegmentMapping {
  public:
    SegmentMapping(const char *baseName, uint32_t size, bool writable);
    ~SegmentMapping();
    SegmentMapping(const SegmentMapping &) = delete;
    SegmentMapping &operator=(const SegmentMapping &) = delete;

    bool isOpen() const { return m_base != nullptr; }
    uint8_t *base() const { return m_base; }
    // Runs `action` with the segment's lock held; false when the lock could not be taken.
    bool withLock(const std::function<void()> &action);

  private:
    uint8_t *m_base = nullptr;
    uint32_t m_size = 0;
    std::unique_ptr<SegmentLock> m_lock;
};

class CommandSegment {
  public:
    CommandSegment();
    bool isOpen() const { return m_mapping.isOpen(); }
    // Every occupied slot, in slot order.
    std::vector<SlotView> snapshot();
    // Posts the records through the plugin while holding the segment lock (the lock is
    // recursive and the plugin takes it again on this thread), so the browser's command loop
    // finds either none or all of them. Returns their sequence numbers.
    std::vector<uint32_t> postTogether(const std::vector<KEL_Command> &records);

  private:
    SegmentMapping m_mapping;
};

class BrowserTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts KELBrowser (PRUP awaited; INIT sent and BOOT awaited when sendInit).
    bool startBrowser(bool sendInit = true);
    // The environment the browser gets: own HOME / XDG directories, headless by default.
    std::map<std::string, std::string> browserEnvironment() const;

    // Posts and waits for the reply; fails the test when none comes.
    KEL_Command request(const KEL_Command &command, int timeoutMs = 5000);
    // A request naming a view in strArgs[0].
    static KEL_Command viewCommand(const char *code, const std::string &view);
    KEL_Command createView(const std::string &name, int32_t width, int32_t height);
    // Shows `html` in the view and waits for its LDFN; false when either fails.
    bool showHtml(const std::string &view, const std::string &html, int timeoutMs = 10000);

    // The next TITC notice with a non-empty title (the engine announces an empty title when a
    // new document starts).
    bool waitForTitle(KEL_Command *notice, int timeoutMs = 10000);

    // Everything the browser has written to its standard output and error so far.
    std::string browserLog() const;
    bool waitForLog(const std::string &text, int timeoutMs);

    // The host kit's recovery (on by default); a test that drops the kit's PING replies, as
    // KEL_ClearCommands does, turns it off before the browser starts.
    bool m_recovery = true;
    // The host kit's sandbox (on by default); tests of a host that names another process by
    // its id turn it off, since such an id means nothing in the sandbox's PID namespace.
    bool m_sandbox = true;
    // Added to browserEnvironment() for the next start, over its defaults.
    std::map<std::string, std::string> m_environment;
    std::string m_suffix;
    std::string m_root; // temporary directory holding the HOME and XDG directories and the log
    std::string m_logPath;
    Host::Browser m_browser;
};

// A browser with one view whose frames are composed into m_frames, as a host shows them.
class ComposedBrowserTest : public BrowserTest {
  protected:
    // Starts the browser with INIT, attaches m_frames, clears the inbox and creates the view.
    void startWithView(const std::string &name, int32_t width, int32_t height);

    Host::FrameCompositor m_frames;
};

} // namespace Test
} // namespace KEL
