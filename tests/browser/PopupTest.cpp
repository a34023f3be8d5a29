// Console messages and popup views through a real browser.

#include "BrowserFixture.h"

#include <string>
#include <vector>

namespace KEL {
namespace Test {
namespace {

class Popups : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(startBrowser(true));
        m_browser.inbox().clear();
        ASSERT_EQ(createView("main", 400, 300).result, 1);
    }

    std::string evaluate(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand("EVJS", view);
        EXPECT_TRUE(Host::putText(command, 0, script));
        return Host::utf8(Host::takeText(request(command), 0));
    }

    void allowPopups(int32_t on) {
        KEL_Command command = Host::makeCommand("ALWP");
        Host::setInt(command, 0, on);
        EXPECT_EQ(request(command).result, 1);
    }

    std::string nextPopup() {
        KEL_Command notice;
        EXPECT_TRUE(m_browser.waitFor("POPU", &notice, 10000));
        EXPECT_EQ(notice.intArgs[2], 800);
        EXPECT_EQ(notice.intArgs[3], 600);
        return Host::utf8(Host::takeText(notice, 0));
    }
};

// Guards JLOG: message, line and source from a page and from a popup.
TEST_F(Popups, ConsoleMessagesArriveWithLineAndSource) {
    evaluate("main", "console.log('hello')");
    KEL_Command notice;
    ASSERT_TRUE(m_browser.waitFor("JLOG", &notice, 10000));
    EXPECT_EQ(Host::utf8(Host::takeText(notice, 0)), "hello");
    EXPECT_EQ(notice.intCount, 5);
    allowPopups(1);
    evaluate("main", "window.open('about:blank').console.log('from popup')");
    EXPECT_EQ(nextPopup(), "PopupView0");
    ASSERT_TRUE(m_browser.waitFor("JLOG", &notice, 10000));
    EXPECT_EQ(Host::utf8(Host::takeText(notice, 0)), "from popup");
}

// Guards the popup switch, names, collisions, POPC and the limit.
TEST_F(Popups, OpensNamedPopupsOnlyWhenAllowed) {
    EXPECT_EQ(evaluate("main", "String(!window.open('about:blank'))"), "true");
    allowPopups(1);
    EXPECT_EQ(evaluate("main", "w0 = window.open('about:blank'); 'ok'"), "ok");
    EXPECT_EQ(nextPopup(), "PopupView0");
    EXPECT_EQ(createView("PopupView1", 300, 200).result, 1);
    EXPECT_EQ(evaluate("main", "w1 = window.open('about:blank'); 'ok'"), "ok");
    EXPECT_EQ(nextPopup(), "PopupView2") << "a host view's name is passed over";
    evaluate("main", "window.close()");
    evaluate("PopupView2", "window.close()");
    KEL_Command close;
    ASSERT_TRUE(m_browser.waitFor("POPC", &close, 10000));
    EXPECT_EQ(Host::utf8(Host::takeText(close, 0)), "PopupView2");
    EXPECT_FALSE(m_browser.take("POPC"));

    EXPECT_EQ(evaluate("main", "var n = 0; for (var i = 0; i < 40; ++i)"
                               " if (window.open('about:blank')) ++n; n"),
              "30");
    EXPECT_TRUE(waitForLog("Popup refused", 5000));
}

} // namespace
} // namespace Test
} // namespace KEL
