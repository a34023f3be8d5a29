// Console messages and popup views through a real browser.

#include "BrowserFixture.h"
#include "FrameCompositor.h"

#include "CommandCodes.h"
#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace KEL {
namespace Test {
namespace {

class Popups : public ComposedBrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        if (HasFatalFailure())
            return;
        startWithView("main", 400, 300);
    }

    // Writes a page next to the others and returns its address.
    std::string writePage(const std::string &file, const std::string &html) {
        std::ofstream(m_root + "/" + file) << html;
        return "file://" + m_root + "/" + file;
    }

    void load(const std::string &view, const std::string &address) {
        KEL_Command command = viewCommand(KEL::Code::LOAD, view);
        Host::setString(command, 1, address);
        EXPECT_EQ(request(command).result, 1);
    }

    void click(const std::string &view, int32_t x, int32_t y) {
        for (const char *code : {KEL::Code::MPRS, KEL::Code::MREL}) {
            KEL_Command command = viewCommand(code, view);
            Host::setInt(command, 0, x);
            Host::setInt(command, 1, y);
            EXPECT_EQ(request(command).result, 1);
        }
    }

    // Takes the first notice `code` for `view` (strArgs[0]), waiting for it.
    bool takeFor(const char *code, const std::string &view, KEL_Command *out = nullptr) {
        auto &inbox = m_browser.inbox();
        return m_browser.spinUntil(
            [&] {
                auto it = std::find_if(inbox.begin(), inbox.end(), [&](const KEL_Command &c) {
                    return Host::hasCode(c, code) && Host::getString8(c, 0) == view;
                });
                if (it == inbox.end())
                    return false;
                if (out)
                    *out = *it;
                inbox.erase(it);
                return true;
            },
            10000);
    }

    // The next URLC address of `view` that is not empty (without its zero unit).
    std::string nextAddress(const std::string &view) {
        for (KEL_Command notice; takeFor(KEL::Code::URLC, view, &notice);) {
            std::u16string text = Host::takeText(notice, 0);
            if (!text.empty() && text.back() == 0)
                text.pop_back();
            if (!text.empty())
                return Host::utf8(text);
        }
        return std::string();
    }

    std::string evaluate(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view);
        EXPECT_TRUE(Host::putText(command, 0, script));
        return Host::utf8(Host::takeText(request(command), 0));
    }

    void allowPopups(int32_t on) {
        KEL_Command command = Host::makeCommand(KEL::Code::ALWP);
        Host::setInt(command, 0, on);
        EXPECT_EQ(request(command).result, 1);
    }

    std::string nextPopup() {
        KEL_Command notice;
        EXPECT_TRUE(m_browser.waitFor(KEL::Code::POPU, &notice, 10000));
        EXPECT_EQ(notice.intArgs[2], 800);
        EXPECT_EQ(notice.intArgs[3], 600);
        EXPECT_EQ(Host::getString8(notice, 0), "main") << "the view whose page opened it";
        return Host::utf8(Host::takeText(notice, 0));
    }
};

// A page that links to popup.html in a new window, and popup.html, which logs on its third line.
const char *const kOpener = "<html><body style='margin:0'><a href='popup.html' target='_blank' "
                            "style='display:block;width:200px;height:100px'>open</a></body></html>";
const char *const kPopupPage = "<html><head><title>Popup page</title></head>\n"
                               "<body style='margin:0;background:#0f0'>\n"
                               "<script>console.log('popup ' + document.title);</script>\n"
                               "</body></html>";
constexpr uint32_t kBlue = 0x0000FFFF; // RGBA as FrameCompositor::pagePixel reports it

// Guards JLOG: message, line, the source's address and the view that logged, from a page read
// from a file (a single call of a literal, which the engine may run without a frame of its own),
// a script file, an uncaught error and the page of a popup (which has its own page object).
TEST_F(Popups, ConsoleMessagesArriveWithLineAndSource) {
    const std::string page = writePage(
        "log.html", "<html>\n<body>\n\n<script>\nconsole.log('hello');\n</script></body></html>");
    const std::string popup = writePage("popup.html", kPopupPage);
    const std::string script = writePage("logs.js", "\n\nconsole.log('from a file', 2);\n");
    const std::string external = writePage("external.html", "<script src='logs.js'></script>");
    const std::string failing =
        writePage("fails.html", "<html>\n<script>\nvar a = 1;\nnosuch();\n</script></html>");
    // Half a UTF-16 pair: QtWebKit hands the unit itself over; WPE WebKit's page process, whose
    // messages are UTF-8, puts the replacement character in its place. Either way the line comes.
    const std::string broken =
        writePage("broken.html", "<script>\nconsole.log('a\\uD800b');\n</script>");
    allowPopups(1);
    struct Case {
        const char *name;
        std::function<void()> cause;
        const char *message;
        int32_t line;
        std::string source;
        const char *view;
    };
    const Case cases[] = {
        {"file page", [&] { load("main", page); }, "hello", 5, page, "main"},
        {"script file", [&] { load("main", external); }, "from a file", 3, script, "main"},
        {"uncaught error", [&] { load("main", failing); },
         "ReferenceError: Can't find variable: nosuch", 4, failing, "main"},
        {"half a surrogate pair", [&] { load("main", broken); },
         m_browser.engine() == "wpe" ? "a\xEF\xBF\xBD"
                                       "b"
                                     : "a\xED\xA0\x80"
                                       "b",
         2, broken, "main"},
        {"popup", [&] { evaluate("main", "window.open('popup.html'); 0"); }, "popup Popup page", 3,
         popup, "PopupView0"},
    };
    for (const Case &c : cases) {
        m_browser.inbox().clear();
        c.cause();
        KEL_Command notice;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::JLOG, &notice, 10000)) << c.name;
        EXPECT_EQ(notice.intCount, 5);
        EXPECT_EQ(notice.strCount, 1);
        EXPECT_EQ(Host::getString8(notice, 0), c.view) << c.name;
        EXPECT_EQ(Host::utf8(Host::takeText(notice, 0)), c.message) << c.name;
        EXPECT_EQ(notice.intArgs[2], c.line) << c.name;
        EXPECT_EQ(Host::utf8(Host::takeText(notice, 3)), c.source) << c.name;
    }
}

// Guards the new-window policy and popup views as views: with popups off a target=_blank link
// opens in the same view and no popup is made; with popups on the link and window.open make
// PopupView0 and PopupView1, and the popup's title, address, load end and frames come under
// its own name.
TEST_F(Popups, NewWindowLinksOpenInPlaceOrInNamedPopupViews) {
    const std::string opener = writePage("opener.html", kOpener);
    const std::string popup = writePage("popup.html", kPopupPage);
    load("main", opener);
    ASSERT_TRUE(takeFor(KEL::Code::LDFN, "main"));
    m_browser.inbox().clear();
    click("main", 50, 50);
    EXPECT_EQ(nextAddress("main"), popup);
    ASSERT_TRUE(takeFor(KEL::Code::LDFN, "main"));
    EXPECT_EQ(evaluate("main", "document.title"), "Popup page");
    EXPECT_FALSE(m_browser.take(KEL::Code::POPU));

    allowPopups(1);
    load("main", opener);
    ASSERT_TRUE(takeFor(KEL::Code::LDFN, "main"));
    click("main", 50, 50);
    ASSERT_EQ(nextPopup(), "PopupView0");
    m_frames.setViewSize("PopupView0", 800, 600);
    KEL_Command title;
    // The engine announces an empty title when the new document starts.
    while (takeFor(KEL::Code::TITC, "PopupView0", &title) && title.strArgs[1][0] == 0) {
    }
    EXPECT_EQ(Host::getString8(title, 1), "Popup page");
    EXPECT_EQ(nextAddress("PopupView0"), popup);
    EXPECT_TRUE(takeFor(KEL::Code::LDFN, "PopupView0"));
    // A new colour after the texture was sized here: that frame differs from every earlier one
    // and is delivered over the whole page.
    evaluate("PopupView0", "document.body.style.background = '#00f'; 0");
    EXPECT_TRUE(m_browser.spinUntil(
        [&] { return m_frames.pagePixel("PopupView0", 400, 300) == kBlue; }, 10000));
    EXPECT_EQ(evaluate("main", "document.title"), "") << "the opener stays where it was";

    evaluate("main", "window.open('popup.html'); 0");
    EXPECT_EQ(nextPopup(), "PopupView1");
    EXPECT_TRUE(takeFor(KEL::Code::LDFN, "PopupView1"));
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
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::POPC, &close, 10000));
    EXPECT_EQ(Host::getString8(close, 0), "PopupView2");
    EXPECT_EQ(Host::utf8(Host::takeText(close, 0)), "PopupView2");
    EXPECT_FALSE(m_browser.take(KEL::Code::POPC));

    EXPECT_EQ(evaluate("main", "var n = 0; for (var i = 0; i < 40; ++i)"
                               " if (window.open('about:blank')) ++n; n"),
              "30");
    EXPECT_TRUE(waitForLog("Popup refused", 5000));
}

} // namespace
} // namespace Test
} // namespace KEL
