// The host's bridge objects in page script: ADDO / SETP, and invoke reaching the host as INVK.

#include "BrowserFixture.h"
#include "View.h"

#include "CommandCodes.h"
#include <algorithm>

namespace KEL {
namespace Test {
namespace {

using Host::setString;

class Bridge : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
        m_browser.inbox().clear();
    }

    void addObject(const std::string &name) {
        KEL_Command add = makeRequest(KEL::Code::ADDO);
        setString(add, 0, name);
        EXPECT_EQ(request(add).result, 1);
    }

    void setProperty(const std::string &object, const std::string &property,
                     const std::string &value) {
        KEL_Command set = makeRequest(KEL::Code::SETP);
        setString(set, 0, object);
        setString(set, 1, property);
        setString(set, 2, value);
        EXPECT_EQ(request(set).result, 1);
    }

    static KEL_Command makeRequest(const char *code) { return Host::makeCommand(code); }

    // Loads a page whose title is `script`'s result, once the page has its objects.
    std::string titleAfterLoad(const std::string &view, const std::string &script) {
        KEL_Command html = viewCommand(KEL::Code::HTML, view);
        EXPECT_TRUE(Host::putText(
            html, 0, "<body><script>document.title = String(" + script + ");</script></body>"));
        EXPECT_EQ(request(html).result, 1);
        KEL_Command title;
        EXPECT_TRUE(waitForTitle(&title));
        return Host::getString8(title, 1);
    }

    void runScript(const std::string &view, const std::string &script) {
        KEL_Command run = viewCommand(KEL::Code::EVJS, view);
        ASSERT_TRUE(Host::putText(run, 0, script));
        request(run);
    }
};

TEST_F(Bridge, AddingTwiceLogsOnceAndSetPropertyCreatesSilently) {
    addObject("game");
    addObject("game");
    setProperty("other", "level", "7");
    EXPECT_TRUE(waitForLog("Bridge object already exists: game", 5000));
    const std::string log = browserLog();
    EXPECT_EQ(log.find("Bridge object already exists: game"),
              log.rfind("Bridge object already exists: game"));
    EXPECT_EQ(log.find("Bridge object already exists: other"), std::string::npos);

    EXPECT_EQ(createView("v", 200, 100).result, 1);
    EXPECT_EQ(titleAfterLoad("v", "other.level"), "7");
    // Every page's copy of an object follows SETP at once.
    setProperty("other", "speed", "fast");
    m_browser.inbox().clear();
    runScript("v", "document.title = other.speed; 0");
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 1), "fast");
}

// Guards the INVK layout: arguments keep their positions, an undefined one between others is a
// hole (slot -1, length 0) counted in n, and the record names the view whose page called. The
// host kit reads them by position, so the argument after a hole is its own and its slot freed.
TEST_F(Bridge, InvokeReachesTheHostWithItsArguments) {
    addObject("game");
    EXPECT_EQ(createView("v", 200, 100).result, 1);
    EXPECT_EQ(titleAfterLoad("v", "typeof game.invoke"), "function");

    struct Case {
        std::string call;
        int32_t count;
        std::vector<std::pair<int, std::string>> texts; // slot argument, text
    };
    const std::vector<Case> cases = {
        {"game.invoke('m')", 0, {}},
        {"game.invoke('m', 'ab', 'c')", 2, {{1, "ab"}, {3, "c"}}},
        {"game.invoke('m', 'x', undefined, 'z')", 3, {{1, "x"}, {5, "z"}}},
        {"game.invoke('m', undefined, 'y')", 2, {{3, "y"}}},
        {"game.invoke('m', '')", 1, {{1, ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        m_browser.inbox().clear();
        runScript("v", c.call + "; 0");
        KEL_Command invk;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::INVK, &invk, 10000));
        EXPECT_EQ(Host::getString8(invk, 0), "game");
        EXPECT_EQ(Host::getString8(invk, 1), "m");
        EXPECT_EQ(invk.strCount, 3);
        EXPECT_EQ(Host::getString8(invk, 2), "v");
        EXPECT_EQ(invk.intArgs[0], c.count);
        EXPECT_EQ(invk.intCount, 2 * c.count + 1);
        std::vector<std::string> expected(static_cast<size_t>(c.count));
        for (const auto &text : c.texts) {
            EXPECT_EQ(invk.intArgs[text.first + 1], static_cast<int32_t>(2 * text.second.size()));
            expected[static_cast<size_t>(text.first / 2)] = text.second;
        }
        for (int k = 0; k < c.count; ++k) {
            const bool hole = std::none_of(c.texts.begin(), c.texts.end(),
                                           [k](const auto &t) { return t.first == 1 + 2 * k; });
            if (hole) {
                EXPECT_EQ(invk.intArgs[1 + 2 * k], -1) << k;
                EXPECT_EQ(invk.intArgs[2 + 2 * k], 0) << k;
            }
        }
        const Host::Invocation call = Host::takeInvocation(invk);
        EXPECT_EQ(call.arguments, expected);
        EXPECT_EQ(call.view, "v");
        for (const auto &text : c.texts) {
            std::vector<uint8_t> gone(16);
            EXPECT_FALSE(KEL_CopyAndFree(invk.intArgs[text.first], gone.data(), 0))
                << "argument slot " << text.first << " still taken";
        }
    }

    m_browser.inbox().clear();
    runScript("v", "game.invoke('" + std::string(200, 'n') + "'); 0");
    KEL_Command invk;
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::INVK, &invk, 10000));
    EXPECT_EQ(Host::getString8(invk, 1), std::string(125, 'n'));

    // Renaming changes what INVK reports; the registry keeps the old key.
    setProperty("game", "objectName", "renamed");
    m_browser.inbox().clear();
    runScript("v", "game.invoke('m'); 0");
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::INVK, &invk, 10000));
    EXPECT_EQ(Host::getString8(invk, 0), "renamed");
}

TEST_F(Bridge, AnObjectAddedLaterAppearsAtTheNextLoad) {
    EXPECT_EQ(createView("v", 200, 100).result, 1);
    EXPECT_EQ(titleAfterLoad("v", "typeof late"), "undefined");
    addObject("late");
    m_browser.inbox().clear();
    runScript("v", "document.title = 'now ' + typeof late; 0");
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 1), "now undefined");
    EXPECT_EQ(titleAfterLoad("v", "typeof late"), "object");
}

} // namespace
} // namespace Test
} // namespace KEL
