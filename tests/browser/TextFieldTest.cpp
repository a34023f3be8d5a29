// Text fields for on-screen keyboards: IMEI / IMEO when a text input gains or loses the focus,
// IMES filling it with exactly the host's text, and a page that cannot forge notices.

#include "BrowserFixture.h"
#include "CommandCodes.h"

namespace KEL {
namespace Test {
namespace {

class TextFields : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
        ASSERT_EQ(createView("form", 400, 300).result, 1);
        KEL_Command html = viewCommand(KEL::Code::HTML, "form");
        ASSERT_TRUE(Host::putText(
            html, 0,
            "<body style='margin:0'><input id=a style='position:absolute;left:10px;top:20px;"
            "width:100px'><input id=p type=password value=abcd style='position:absolute;"
            "left:10px;top:60px'><textarea id=t></textarea><input id=c type=checkbox></body>"));
        ASSERT_EQ(request(html).result, 1);
        ASSERT_TRUE(m_browser.spinUntil(
            [&] {
                return run("String(!!window.KEL_View && "
                           "!!document.getElementById('c'))") == "true";
            },
            10000));
        m_browser.inbox().clear();
    }

    std::string run(const std::string &script) {
        KEL_Command evaluate = viewCommand(KEL::Code::EVJS, "form");
        EXPECT_TRUE(Host::putText(evaluate, 0, script));
        const KEL_Command reply = request(evaluate);
        return Host::utf8(Host::takeText(reply, 0));
    }
};

// Guards the keyboard notices: the host learns type, text and place of the focused field.
TEST_F(TextFields, FocusOnTextInputsRaisesImeiAndImeo) {
    run("document.getElementById('a').focus()");
    KEL_Command in;
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::IMEI, &in, 5000));
    EXPECT_EQ(Host::getString8(in, 0), "form");
    EXPECT_EQ(Host::getString8(in, 1), "text");
    EXPECT_EQ(in.intArgs[0], -1);
    EXPECT_EQ(in.intArgs[1], 0);
    const std::string rect = run("var r = document.getElementById('a').getBoundingClientRect();"
                                 " [r.left, r.top, r.width, r.height].join(',')");
    EXPECT_EQ(std::to_string(in.intArgs[2]) + "," + std::to_string(in.intArgs[3]) + "," +
                  std::to_string(in.intArgs[4]) + "," + std::to_string(in.intArgs[5]),
              rect);

    run("document.getElementById('p').focus()");
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::IMEO, nullptr, 5000));
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::IMEI, &in, 5000));
    EXPECT_EQ(Host::getString8(in, 1), "password");
    EXPECT_EQ(in.intArgs[1], 8);
    EXPECT_EQ(Host::utf8(Host::takeText(in, 0)), "abcd");

    m_browser.inbox().clear();
    run("document.getElementById('t').focus(); document.getElementById('c').focus()");
    EXPECT_TRUE(m_browser.waitFor(KEL::Code::IMEO, nullptr, 5000));
    EXPECT_FALSE(m_browser.waitFor(KEL::Code::IMEI, nullptr, 500))
        << "textarea or checkbox raised IMEI";
}

// Guards the page against the host's text: IMES is data, never script.
TEST_F(TextFields, ImesSetsExactlyTheTextAndNeverRunsIt) {
    run("window.ran = 0; document.getElementById('a').focus()");
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::IMEI, nullptr, 5000));
    const std::u16string texts[] = {
        u"plain",
        u"it's \"quoted\" \\ back",
        u"</script><b>x</b>",
        u"line\u2028sep\u2029end",
        u"'); window.ran = 1; ('",
        u"\"; window.ran = 1; \"",
    };
    for (const std::u16string &text : texts) {
        KEL_Command set = viewCommand(KEL::Code::IMES, "form");
        ASSERT_TRUE(Host::putText(set, 0, text));
        ASSERT_NE(m_browser.post(set), 0u);
        EXPECT_EQ(run("document.getElementById('a').value"), Host::utf8(text));
    }
    EXPECT_EQ(run("String(window.ran)"), "0");
}

// Guards the host's view of the page: script cannot fake title, address or load notices.
TEST_F(TextFields, PageScriptCannotForgeNotices) {
    run("try { KEL_View.titleChanged('forged'); } catch (e) {}"
        "try { KEL_View.urlChanged('http://forged/'); } catch (e) {}"
        "try { KEL_View.loadFinished(true); } catch (e) {}"
        "try { KEL_View.setProgress(10); } catch (e) {}");
    EXPECT_EQ(run("typeof KEL_View.handleFocusIn"), "function");
    EXPECT_FALSE(m_browser.waitFor(KEL::Code::TITC, nullptr, 500));
    EXPECT_FALSE(m_browser.take(KEL::Code::URLC));
    EXPECT_FALSE(m_browser.take(KEL::Code::PROG));
    EXPECT_FALSE(m_browser.take(KEL::Code::LDFN));
}

} // namespace
} // namespace Test
} // namespace KEL

namespace KEL {
namespace Test {
namespace {

// Guards the on-screen keyboard's usual road: a click into a field, not script, focuses it;
// also on a page without script of its own that the host never evaluated anything in (the
// engine makes such a page's script environment, and so the field watcher, only on demand).
TEST_F(TextFields, ClickingIntoAFieldRaisesImei) {
    ASSERT_EQ(createView("plain", 400, 300).result, 1);
    KEL_Command html = viewCommand(KEL::Code::HTML, "plain");
    ASSERT_TRUE(
        Host::putText(html, 0,
                      "<title>plain</title><body style='margin:0'><input style='position:absolute;"
                      "left:10px;top:20px;width:100px'></body>"));
    ASSERT_EQ(request(html).result, 1);
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title)); // the document is in; nothing was evaluated in it
    for (const char *view : {"form", "plain"}) {
        m_browser.inbox().clear();
        for (const char *code : {KEL::Code::MPRS, KEL::Code::MREL}) {
            KEL_Command click = viewCommand(code, view);
            Host::setInt(click, 0, 30);
            Host::setInt(click, 1, 28);
            Host::setInt(click, 2, 0);
            ASSERT_EQ(request(click).result, 1);
        }
        KEL_Command in;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::IMEI, &in, 5000)) << view;
        EXPECT_EQ(Host::getString8(in, 0), view);
        EXPECT_EQ(Host::getString8(in, 1), "text");
    }
}

} // namespace
} // namespace Test
} // namespace KEL
