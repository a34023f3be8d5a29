// Recovery with a real browser: a browser that dies or hangs is replaced and the host's views
// come back by themselves; with recovery off nothing restarts.

#include "BrowserFixture.h"
#include "FrameCompositor.h"

#include "CommandCodes.h"
#include <csignal>
#include <fstream>
#include <sys/wait.h>

namespace KEL {
namespace Test {
namespace {

using Host::RecoveryEvent;
using Host::RecoveryReason;

struct Fault {
    const char *name;
    RecoveryReason reason;
    // Ends or freezes the browser; `view` shows a page.
    void (*inject)(Host::Browser &browser, const std::string &view);
    // A page's own fault: WPE WebKit stops only that page's process, and the browser goes on.
    bool pageOnly = false;
    // How long the kit waits for a PING reply before it calls the browser hung.
    int hangTimeoutMs = 1500;
};

void evaluateForever(Host::Browser &browser, const std::string &view, const char *script) {
    KEL_Command evaluate = Host::makeCommand(KEL::Code::EVJS);
    Host::setString(evaluate, 0, view);
    ASSERT_TRUE(Host::putText(evaluate, 0, std::string(script)));
    ASSERT_NE(browser.post(evaluate), 0u);
}

const Fault kFaults[] = {
    {"Killed", RecoveryReason::Died,
     [](Host::Browser &b, const std::string &) { kill(b.pid(), SIGKILL); }},
    {"Stopped", RecoveryReason::Hung,
     [](Host::Browser &b, const std::string &) { kill(b.pid(), SIGSTOP); }},
    {"EndlessScript", RecoveryReason::Hung,
     [](Host::Browser &b, const std::string &v) { evaluateForever(b, v, "for (;;) {}"); }, true},
    // The memory bound (set low here) must end the browser, not fill the machine.
    {"MemoryBomb", RecoveryReason::Died,
     [](Host::Browser &b, const std::string &v) {
         // Below the engine's threshold for sparse arrays, so every array takes its memory.
         evaluateForever(b, v, "var a = []; for (;;) a.push(new Array(9e4));");
     },
     true,
     // The script answers no PING while it fills the bound; on a loaded machine that takes
     // longer than the kit's usual wait, and the browser would rightly be called hung first.
     8000},
};

const char *kPage = "<html><body style='margin:0;background:rgb(200,0,0)'>restored</body></html>";
constexpr uint32_t kPageColour = 0xC80000FF;

class RecoveryBase : public BrowserTest {
  protected:
    void TearDown() override {
        // A browser left stopped or spinning would make stop() wait its whole time-out.
        if (m_browser.running())
            kill(m_browser.pid(), SIGKILL);
        BrowserTest::TearDown();
    }

    bool start(bool recovery, int hangTimeoutMs = 1500) {
        Host::StartOptions options;
        options.browserPath = KEL_BROWSER_EXECUTABLE;
        options.environment = browserEnvironment();
        options.sandboxReadable = {m_root};
        options.logFile = m_logPath;
        options.memoryLimit = uint64_t(512) << 20;
        options.recovery.enabled = recovery;
        options.recovery.pingIntervalMs = 300;
        options.recovery.hangTimeoutMs = hangTimeoutMs;
        const bool started = m_browser.start(options);
        EXPECT_TRUE(started) << m_browser.error();
        m_frames.attach(m_browser);
        m_browser.setRecoveryHandler([this](const RecoveryEvent &e) { m_events.push_back(e); });
        return started;
    }

    void post(const KEL_Command &command) {
        KEL_Command reply;
        ASSERT_TRUE(m_browser.request(command, &reply, 10000)) << Host::codeOf(command);
    }

    void createView(const std::string &name, int32_t side) {
        KEL_Command create = viewCommand(KEL::Code::CRVW, name);
        Host::setInt(create, 0, side);
        Host::setInt(create, 1, side);
        Host::setInt(create, 2, 1);
        post(create);
        m_frames.setViewSize(name, side, side);
    }

    // The value of `script` in `view`; empty when the view does not answer.
    std::string evaluate(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view);
        EXPECT_TRUE(Host::putText(command, 0, script));
        KEL_Command reply;
        if (!m_browser.request(command, &reply, 10000))
            return {};
        return Host::utf8(Host::takeText(reply, 0));
    }

    // Two views: HTML text, and an address (a file) in an inactive, transparent view.
    void setUpViews() {
        createView("html", 256);
        KEL_Command html = viewCommand(KEL::Code::HTML, "html");
        ASSERT_TRUE(Host::putText(html, 0, std::string(kPage)));
        post(html);
        createView("file", 128);
        const std::string path = m_root + "/page.html";
        std::ofstream(path) << "<title>From a file</title><p>file</p>";
        KEL_Command load = viewCommand(KEL::Code::LOAD, "file");
        Host::setString(load, 1, "file://" + path);
        post(load);
        for (const char *code : {KEL::Code::SMSK, KEL::Code::SACT}) {
            KEL_Command flag = viewCommand(code, "file");
            Host::setInt(flag, 0, std::string(code) == KEL::Code::SMSK ? 1 : 0);
            post(flag);
        }
        ASSERT_TRUE(m_browser.spinUntil(
            [&] { return m_frames.pagePixel("html", 200, 200) == kPageColour; }, 15000))
            << std::hex << m_frames.pagePixel("html", 200, 200) << " deliveries "
            << m_frames.deliveries();
        ASSERT_TRUE(m_browser.spinUntil(
            [&] { return evaluate("file", "document.title") == "From a file"; }, 10000));
        // Forget the pixels, so only a frame from the fresh process can bring them back.
        m_frames.setViewSize("html", 128, 128);
        m_frames.setViewSize("html", 256, 256);
    }

    Host::FrameCompositor m_frames;
    std::vector<RecoveryEvent> m_events;
};

class Recovery : public RecoveryBase,
                 public ::testing::WithParamInterface<std::tuple<Fault, bool>> {};
class CrashLoop : public RecoveryBase {};

// Guards recovery from each kind of fault: the fault is named, the views come back in a fresh
// process (frames flow, the HTML page shows again, the loaded address is loaded again), and
// with recovery off the browser is left as the fault left it.
TEST_P(Recovery, RestoresTheViewsAfterAFaultOnlyWhenOn) {
    const auto &[fault, recovery] = GetParam();
    ASSERT_TRUE(start(recovery, fault.hangTimeoutMs));
    setUpViews();
    const pid_t before = m_browser.pid();
    fault.inject(m_browser, "html");

    const bool pageOnly = fault.pageOnly && m_browser.engine() == "wpe";
    if (!recovery || pageOnly) {
        // Longer than detection and restart would take with recovery on, and than the engine
        // takes to stop a runaway page.
        EXPECT_FALSE(
            m_browser.spinUntil([&] { return !m_events.empty(); }, pageOnly ? 10000 : 4000));
        EXPECT_EQ(m_browser.recoveries(), 0);
        const bool staysUp = pageOnly || fault.reason == RecoveryReason::Hung;
        if (!staysUp) // a bomb on a loaded machine may still be filling its bound
            m_browser.spinUntil([&] { return !m_browser.running(); }, fault.hangTimeoutMs);
        EXPECT_EQ(m_browser.running(), staysUp);
        if (m_browser.running()) {
            EXPECT_EQ(m_browser.pid(), before);
        }
        if (pageOnly) {
            EXPECT_EQ(evaluate("file", "document.title"), "From a file") << "the other view";
        }
        return;
    }
    ASSERT_TRUE(m_browser.spinUntil([&] { return !m_events.empty(); }, 40000))
        << "no recovery after " << fault.name;
    const RecoveryEvent &event = m_events.front();
    EXPECT_EQ(event.reason, fault.reason);
    EXPECT_TRUE(event.restored);
    EXPECT_TRUE(event.pagesRestored);
    EXPECT_EQ(event.views, (std::vector<std::string>{"html", "file"}));
    if (fault.reason == RecoveryReason::Died) {
        EXPECT_TRUE(WIFSIGNALED(event.exitStatus));
    }
    EXPECT_NE(m_browser.pid(), before);
    EXPECT_TRUE(m_browser.running());

    EXPECT_TRUE(m_browser.spinUntil(
        [&] { return m_frames.pagePixel("html", 200, 200) == kPageColour; }, 15000))
        << "the HTML view never showed its page again";
    EXPECT_TRUE(m_browser.spinUntil(
        [&] { return evaluate("file", "document.title") == "From a file"; }, 10000));
    EXPECT_EQ(m_events.size(), 1u);
    EXPECT_EQ(m_browser.recoveries(), 1);
}

// Guards the crash-loop rule: a page that hangs every fresh process as it loads loses its page,
// and only it: the other view, created first and so replayed first, keeps showing its own.
TEST_F(CrashLoop, DropsOnlyThePageThatKeepsFailing) {
    ASSERT_TRUE(start(true));
    createView("calm", 256);
    KEL_Command calm = viewCommand(KEL::Code::HTML, "calm");
    ASSERT_TRUE(Host::putText(calm, 0, std::string(kPage)));
    post(calm);
    ASSERT_TRUE(m_browser.spinUntil(
        [&] { return m_frames.pagePixel("calm", 200, 200) == kPageColour; }, 15000));
    createView("loop", 128);
    KEL_Command loop = viewCommand(KEL::Code::HTML, "loop");
    ASSERT_TRUE(Host::putText(loop, 0, std::string("<p>spin</p><script>for (;;) {}</script>")));
    ASSERT_NE(m_browser.post(loop), 0u);

    // The first two quick recoveries bring every page back; the third finds the loop page
    // loading alone and drops it.
    ASSERT_TRUE(m_browser.spinUntil(
        [&] { return !m_events.empty() && !m_events.back().pagesRestored; }, 60000))
        << m_events.size() << " recoveries, every page restored";
    const RecoveryEvent &dropped = m_events.back();
    EXPECT_TRUE(dropped.restored);
    EXPECT_EQ(dropped.droppedPages, std::vector<std::string>{"loop"});
    EXPECT_EQ(dropped.views, (std::vector<std::string>{"calm", "loop"}));
    EXPECT_GE(m_events.size(), 3u);
    const size_t recoveries = m_events.size();

    m_frames.setViewSize("calm", 128, 128);
    m_frames.setViewSize("calm", 256, 256);
    EXPECT_TRUE(m_browser.spinUntil(
        [&] { return m_frames.pagePixel("calm", 200, 200) == kPageColour; }, 15000))
        << "the calm view lost its page";
    EXPECT_EQ(evaluate("loop", "document.body ? document.body.innerHTML : 'empty'"), "");
    // Quiet from here on: the loop is over.
    m_browser.spinUntil([] { return false; }, 3000);
    EXPECT_EQ(m_events.size(), recoveries);
}

INSTANTIATE_TEST_SUITE_P(Faults, Recovery,
                         ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "On" : "Off");
                         });

} // namespace
} // namespace Test
} // namespace KEL
