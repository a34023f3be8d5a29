// The browser must survive whatever a host posts: random records of every code, with random
// counts, strings, sizes and payload references, some of them real payloads cut short.

#include "BrowserFixture.h"
#include "FrameCompositor.h"

#include "CommandCodes.h"
#include <climits>
#include <random>

namespace KEL {
namespace Test {
namespace {

using Host::makeCommand;
using Host::setInt;
using Host::setString;

class Robustness : public BrowserTest {};

// Codes a host can send. INIT and EXIT are left out (they end the process by design), and LOAD
// only ever gets local addresses, since tests never reach the network.
const char *const kCodes[] = {
    KEL::Code::CRVW, KEL::Code::RMVW, KEL::Code::SCRL, KEL::Code::SVCK, KEL::Code::CLCK,
    KEL::Code::LOAD, KEL::Code::HFWD, KEL::Code::HBAK, KEL::Code::IMES, KEL::Code::HTML,
    KEL::Code::EVJS, KEL::Code::SACT, KEL::Code::KEYD, KEL::Code::KEYU, KEL::Code::MPOS,
    KEL::Code::RSIZ, KEL::Code::MPRS, KEL::Code::MREL, KEL::Code::MSCL, KEL::Code::SETP,
    KEL::Code::ADDO, KEL::Code::SSMR, KEL::Code::SMSK, KEL::Code::DSMR, KEL::Code::PING,
    KEL::Code::ALWP, KEL::Code::AUTH, KEL::Code::UPVW, KEL::Code::PRUP, "ZZZZ"};
const char *const kViews[] = {"a", "b", "", "missing"};
const int32_t kEdgeInts[] = {0, 1, -1, 2, 127, 128, 1024, 1025, 65535, INT_MAX, INT_MIN, 254, 255};

class RecordMaker {
  public:
    explicit RecordMaker(uint32_t seed) : m_random(seed) {}

    KEL_Command next() {
        KEL_Command record = makeCommand(kCodes[pick(std::size(kCodes))]);
        setString(record, 0, std::string(kViews[pick(std::size(kViews))]));
        for (int i = 0; i < KEL_COMMAND_INT_ARGS; ++i)
            record.intArgs[i] = integer();
        const std::string code = Host::codeOf(record);
        if (code == KEL::Code::HTML || code == KEL::Code::EVJS || code == KEL::Code::IMES)
            payload(record);
        if (code == KEL::Code::LOAD)
            setString(record, 1, std::string(pick(2) ? "about:blank" : "file:///nonexistent"));
        else if (pick(3) == 0)
            randomUnits(record, 1 + int(pick(KEL_COMMAND_STR_ARGS - 1)));
        // Counts that lie, beyond the arrays included.
        record.intCount = pick(4) ? int32_t(pick(17)) : integer();
        record.strCount = pick(4) ? int32_t(pick(17)) : integer();
        if (code == KEL::Code::KEYD || code == KEL::Code::KEYU) // Tab often, it ends the tick
            record.intArgs[0] = pick(3) ? 0x01000001 : integer();
        if (code == KEL::Code::RMVW || code == KEL::Code::CRVW) // keep the set of views small
            setString(record, 0, std::string(kViews[pick(2)]));
        return record;
    }

  private:
    uint32_t pick(size_t n) { return uint32_t(m_random() % n); }
    int32_t integer() {
        return pick(2) ? kEdgeInts[pick(std::size(kEdgeInts))] : int32_t(m_random());
    }
    void randomUnits(KEL_Command &record, int index) {
        for (int i = 0; i < KEL_COMMAND_STR_UNITS; ++i) // possibly with no zero unit at all
            record.strArgs[index][i] = uint16_t(m_random());
    }
    // A real payload, often without its zero unit or with an odd or lying length.
    void payload(KEL_Command &record) {
        std::vector<uint8_t> bytes(pick(600));
        for (uint8_t &b : bytes)
            b = uint8_t(pick(4) ? 'x' : m_random());
        const int32_t slot = KEL_AllocateAndCopy(bytes.data(), int32_t(bytes.size()));
        record.intArgs[0] = pick(5) ? slot : integer();
        record.intArgs[1] = pick(3) ? int32_t(bytes.size()) : integer();
    }

    std::mt19937 m_random;
};

// Guards the whole request path against malformed input: nothing a host posts may crash or
// hang the browser. Fixed seeds keep a failure reproducible.
// Guards script interruption: a script the host runs that never ends is stopped with its page,
// the browser answers PING meanwhile (the kit never takes it for hung), the host gets its
// reply and a JLOG saying why, and the view shows pages again afterwards. QtWebKit cannot
// interrupt a running script.
TEST_F(Robustness, ARunawayScriptIsStoppedWhileTheBrowserAnswers) {
    ASSERT_TRUE(startBrowser());
    if (m_browser.engine() != "wpe")
        GTEST_SKIP() << "QtWebKit cannot interrupt a running script";
    Host::FrameCompositor frames;
    frames.attach(m_browser);
    EXPECT_EQ(createView("v", 200, 100).result, 1);
    ASSERT_TRUE(showHtml("v", "<title>before</title>"));
    const pid_t browser = m_browser.pid();
    m_browser.inbox().clear();

    KEL_Command endless = viewCommand(KEL::Code::EVJS, "v");
    ASSERT_TRUE(Host::putText(endless, 0, "for (;;) {} 1"));
    const auto start = Clock::now();
    const KEL_Command reply = request(endless, 20000);
    EXPECT_EQ(reply.result, 1);
    EXPECT_EQ(Host::utf8(Host::takeText(reply, 0)), "");
    EXPECT_GE(secondsSince(start), 4.0);
    EXPECT_EQ(request(Host::makeCommand(KEL::Code::PING)).result, 1);
    EXPECT_EQ(m_browser.pid(), browser) << "the browser was replaced";
    EXPECT_EQ(m_browser.recoveries(), 0);
    KEL_Command why;
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::JLOG, &why, 5000));
    EXPECT_NE(Host::utf8(Host::takeText(why, 0)).find("stopped"), std::string::npos);

    // The page's own script: a timer that never returns.
    m_browser.inbox().clear();
    ASSERT_TRUE(showHtml("v", "<title>timer</title><script>setTimeout(() => { for (;;) {} }, "
                              "200);</script>"));
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::JLOG, &why, 20000));
    EXPECT_NE(Host::utf8(Host::takeText(why, 0)).find("stopped"), std::string::npos);
    EXPECT_EQ(m_browser.pid(), browser) << "the browser was replaced";

    ASSERT_TRUE(showHtml("v", "<title>after</title>"));
    KEL_Command sum = viewCommand(KEL::Code::EVJS, "v");
    ASSERT_TRUE(Host::putText(sum, 0, "document.title + (1 + 1)"));
    EXPECT_EQ(Host::utf8(Host::takeText(request(sum, 10000), 0)), "after2");
}

TEST_F(Robustness, SurvivesThousandsOfMalformedRecords) {
    // Without recovery a crash cannot hide behind a replacement, and a browser that is only
    // slow (every view WPE WebKit makes starts a page process) is not taken for a hung one.
    m_recovery = false;
    ASSERT_TRUE(startBrowser(true));
    const pid_t browser = m_browser.pid();
    Host::FrameCompositor frames;
    frames.attach(m_browser);
    ASSERT_EQ(createView("a", 300, 200).result, 1);
    ASSERT_EQ(createView("b", 200, 300).result, 1);

    RecordMaker maker(20261208);
    for (int batch = 0; batch < 30; ++batch) {
        for (int i = 0; i < 50; ++i)
            m_browser.post(maker.next());
        // Let the loop drain at its eleven records a tick, taking frames and payloads meanwhile.
        m_browser.spinUntil([] { return false; }, 170);
        m_browser.inbox().clear();
        ASSERT_TRUE(m_browser.running()) << "batch " << batch << "\n" << browserLog();
    }
    m_browser.spinUntil([] { return false; }, 1500);
    m_browser.inbox().clear();
    const KEL_Command pong = request(makeCommand(KEL::Code::PING), 15000);
    EXPECT_EQ(pong.result, 1) << browserLog();
    EXPECT_TRUE(m_browser.running());
    EXPECT_EQ(m_browser.pid(), browser);
}

} // namespace
} // namespace Test
} // namespace KEL
