// The host kit against a real browser: a reply never makes the host free a slot that is not
// its own, records nobody took give their slots back, the inbox keeps to its bound, and a View
// hears its own page's console messages and bridge calls.

#include "BrowserFixture.h"
#include "View.h"

#include "CommandCodes.h"
#include <set>

namespace KEL {
namespace Test {
namespace {

class HostKit : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
        m_frames.attach(m_browser); // frames keep flowing (LDFN waits for them)
        ASSERT_EQ(createView("live", 256, 256).result, 1);
    }

    KEL_Command evaluation(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view);
        EXPECT_TRUE(Host::putText(command, 0, script));
        return command;
    }

    // Slots the EVJS replies that reach the notice handler name, in arrival order.
    void watchResultSlots() {
        m_resultSlots.clear();
        m_browser.setNoticeHandler([this](const KEL_Command &record) {
            if (record.origin == 0 && Host::hasCode(record, KEL::Code::EVJS))
                m_resultSlots.push_back(record.intArgs[0]);
            else if (Host::isFrameNotice(record))
                Host::releaseFrame();
        });
    }

    std::vector<int32_t> m_resultSlots;
    Host::FrameCompositor m_frames;
};

// A request for a view that does not exist is answered after the browser took its payload; a
// host that then takes "the reply's payload", as View does for EVJS, must not free the slot it
// has since filled for a live view's request, or that view would show nothing.
TEST_F(HostKit, AReplyForAMissingViewNamesNoSlotOfTheHosts) {
    const KEL_Command missing = evaluation("missing", "'never run'");
    const int32_t spentSlot = missing.intArgs[0];
    KEL_Command reply;
    ASSERT_TRUE(m_browser.request(missing, &reply));
    EXPECT_EQ(reply.intArgs[0], -1);
    EXPECT_EQ(reply.intArgs[1], 0);

    // The live view's page goes into the slot the browser freed (the data segment hands out
    // the highest free slot of the class), and only then does the host handle the old reply.
    KEL_Command html = viewCommand(KEL::Code::HTML, "live");
    ASSERT_TRUE(Host::putText(html, 0, std::string("<title>live page</title><p>shown</p>")));
    EXPECT_EQ(html.intArgs[0], spentSlot) << "the case needs the slot to be reused";
    Host::View view(m_browser, "missing");
    std::string value = "unset";
    view.onResult = [&](uint32_t, const std::string &v) { value = v; };
    EXPECT_TRUE(view.handle(reply));
    EXPECT_EQ(value, "");

    ASSERT_EQ(request(html).result, 1);
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 1), "live page");
}

// Records nobody keeps give their payloads back at once; a subscribed inbox keeps at most its
// capacity, pushing out (and freeing) the oldest.
TEST_F(HostKit, RecordsNobodyKeepsAndRecordsPushedOutFreeTheirSlots) {
    struct Case {
        const char *name;
        size_t capacity; // 0: not subscribed
        size_t kept;
    };
    for (const Case &c : {Case{"unsubscribed", 0, 0}, Case{"bounded", 4, 4}}) {
        SCOPED_TRACE(c.name);
        m_browser.unsubscribe();
        if (c.capacity)
            m_browser.subscribe(c.capacity);
        const uint64_t droppedBefore = m_browser.droppedRecords();
        watchResultSlots();
        constexpr int kRequests = 10;
        for (int i = 0; i < kRequests; ++i)
            ASSERT_NE(m_browser.post(evaluation("live", "'value " + std::to_string(i) + "'")), 0u);
        ASSERT_TRUE(m_browser.spinUntil([&] { return m_resultSlots.size() == kRequests; }, 10000));
        EXPECT_EQ(m_browser.inbox().size(), c.kept);
        EXPECT_EQ(m_browser.droppedRecords() - droppedBefore, c.capacity ? kRequests - c.kept : 0);
        std::set<int32_t> kept;
        for (const KEL_Command &record : m_browser.inbox())
            kept.insert(record.intArgs[0]);
        // A kept record's payload is still there to be taken once; any other one is gone. A slot
        // freed with a dropped record may have carried a later reply too: each slot counts once.
        for (int32_t slot : std::set<int32_t>(m_resultSlots.begin(), m_resultSlots.end()))
            EXPECT_EQ(KEL_CopyAndFree(slot, nullptr, 0), kept.count(slot) == 1) << slot;
        m_browser.setNoticeHandler(nullptr);
        m_browser.unsubscribe();
        m_browser.subscribe();
    }
}

// JLOG and INVK say which view's page logged or called, and a View takes them like its other
// notices.
TEST_F(HostKit, AViewHearsItsOwnPagesConsoleAndBridgeCalls) {
    KEL_Command add = Host::makeCommand(KEL::Code::ADDO);
    Host::setString(add, 0, std::string("game"));
    ASSERT_EQ(request(add).result, 1);
    ASSERT_EQ(createView("other", 128, 128).result, 1);
    Host::View live(m_browser, "live"), other(m_browser, "other");
    std::vector<std::string> heard;
    for (Host::View *view : {&live, &other}) {
        view->onConsoleMessage = [&heard, view](const Host::ConsoleMessage &m) {
            heard.push_back(view->name() + " log " + m.message + " from " + m.view);
        };
        view->onInvocation = [&heard, view](const Host::Invocation &call) {
            std::string line = view->name() + " call " + call.method + " from " + call.view;
            for (const std::string &argument : call.arguments)
                line += " [" + argument + "]";
            heard.push_back(line);
        };
    }
    m_browser.setNoticeHandler([&](const KEL_Command &record) {
        if (!live.handle(record) && !other.handle(record) && Host::isFrameNotice(record))
            Host::releaseFrame();
    });
    ASSERT_TRUE(showHtml("live", "<script>console.log('hi'); game.invoke('m', undefined, 'x');"
                                 "</script>"));
    ASSERT_TRUE(m_browser.spinUntil([&] { return heard.size() >= 2; }, 10000));
    EXPECT_EQ(heard,
              (std::vector<std::string>{"live log hi from live", "live call m from live [] [x]"}));
    m_browser.setNoticeHandler(nullptr);
}

} // namespace
} // namespace Test
} // namespace KEL
