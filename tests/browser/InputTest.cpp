// Mouse and keyboard input through a real browser, checked by what the page's own script saw
// (read back with EVJS) and, for the click, by the pixels of the next frame.

#include "BrowserFixture.h"
#include "FrameCompositor.h"

#include "CommandCodes.h"
#include <sstream>
#include <string>
#include <vector>

namespace KEL {
namespace Test {
namespace {

using Host::setInt;
using Host::setString;

constexpr int32_t kKeyTab = 0x01000001;
constexpr int32_t kKeyBackspace = 0x01000003;
constexpr int32_t kKeyReturn = 0x01000004;
constexpr int32_t kKeyLeft = 0x01000012;
constexpr int32_t kKeyRight = 0x01000014;

// Page pixels as FrameCompositor::pagePixel reports them: R, G, B, A from the high byte down.
constexpr uint32_t kRed = 0xFF0000FF;
constexpr uint32_t kGreen = 0x00FF00FF;

// A page whose script records every mouse and key event it gets in `seen`.
const char *const kRecorder =
    "<html><body style='margin:0;overflow:hidden'>"
    "<div id='box' style='position:absolute;left:20px;top:20px;width:100px;height:60px;"
    "background:#f00' onclick=\"this.style.background='#0f0'\"></div>"
    "<input id='first' style='position:absolute;left:20px;top:120px;width:200px'>"
    "<input id='second' style='position:absolute;left:20px;top:160px;width:200px'>"
    "<textarea id='area' style='position:absolute;left:20px;top:200px'></textarea>"
    "<script>var seen = [];"
    "['mousedown','mousemove','mouseup','click','dblclick'].forEach(function(t) {"
    "  document.addEventListener(t, function(e) { seen.push(t + ':' + e.which + ':' + e.detail); "
    "});"
    "});"
    "document.addEventListener('keydown', function(e) {"
    "  seen.push('keydown:' + (e.metaKey ? 'M' : '') + (e.shiftKey ? 'S' : '') +"
    "            (e.ctrlKey ? 'C' : '') + (e.altKey ? 'A' : '')); });"
    "</script></body></html>";

class Input : public ComposedBrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        if (HasFatalFailure())
            return;
        startWithView("in", 400, 300);
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(showHtml("in", kRecorder));
    }

    std::string evaluate(const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, "in");
        EXPECT_TRUE(Host::putText(command, 0, script));
        const KEL_Command reply = request(command);
        return Host::utf8(Host::takeText(reply, 0));
    }

    // Takes the events the page recorded so far, joined by spaces.
    std::string seen() { return evaluate("var s = seen.join(' '); seen = []; s"); }

    static KEL_Command mouse(const char *code, int32_t x, int32_t y, int32_t button = 0) {
        KEL_Command command = viewCommand(code, "in");
        setInt(command, 0, x);
        setInt(command, 1, y);
        setInt(command, 2, button);
        return command;
    }

    static KEL_Command key(const char *code, int32_t keyCode, int32_t modifiers,
                           const std::u16string &text) {
        KEL_Command command = viewCommand(code, "in");
        setInt(command, 0, keyCode);
        setInt(command, 1, modifiers);
        setString(command, 1, text);
        return command;
    }

    void send(const KEL_Command &command) { EXPECT_EQ(request(command).result, 1); }

    void click(int32_t x, int32_t y) {
        send(mouse(KEL::Code::MPRS, x, y));
        send(mouse(KEL::Code::MREL, x, y));
    }

    // A key press and release, as a host sends a typed key.
    void type(int32_t keyCode, const std::u16string &text, int32_t modifiers = 0) {
        send(key(KEL::Code::KEYD, keyCode, modifiers, text));
        send(key(KEL::Code::KEYU, keyCode, modifiers, text));
    }
};

// Guards the click path (focus, grab, press, release reach the item through the viewport): the
// handler runs and its effect is in the next frame.
TEST_F(Input, ClickRunsTheHandlerAndTheNextFrameShowsIt) {
    ASSERT_TRUE(
        m_browser.spinUntil([&] { return m_frames.pagePixel("in", 70, 50) == kRed; }, 10000));
    click(70, 50);
    EXPECT_TRUE(
        m_browser.spinUntil([&] { return m_frames.pagePixel("in", 70, 50) == kGreen; }, 10000));
    EXPECT_EQ(seen(), "mousedown:1:1 mouseup:1:1 click:1:1");
}

// Guards the button table and the left-button tracking that a move reports: which = button + 1
// in the page, 0 for a move without the left button.
TEST_F(Input, MouseSequencesArriveAsThePageExpects) {
    struct Case {
        const char *name;
        std::vector<KEL_Command> commands;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {"left drag",
         {mouse(KEL::Code::MPRS, 30, 30, 0), mouse(KEL::Code::MPOS, 60, 40),
          mouse(KEL::Code::MREL, 60, 40, 0), mouse(KEL::Code::MPOS, 70, 40)},
         "mousedown:1:1 mousemove:1:0 mouseup:1:1 click:1:1 mousemove:0:0"},
        {"any other value is the left button",
         {mouse(KEL::Code::MPRS, 30, 30, 77), mouse(KEL::Code::MPOS, 40, 40),
          mouse(KEL::Code::MREL, 40, 40, -5)},
         "mousedown:1:1 mousemove:1:0 mouseup:1:1 click:1:1"},
        {"right press then move carries no button",
         {mouse(KEL::Code::MPRS, 30, 30, 1), mouse(KEL::Code::MPOS, 50, 50),
          mouse(KEL::Code::MREL, 50, 50, 1)},
         "mousedown:3:1 mousemove:0:0 mouseup:3:1"},
        {"middle button",
         {mouse(KEL::Code::MPRS, 30, 30, 2), mouse(KEL::Code::MREL, 30, 30, 2)},
         "mousedown:2:1 mouseup:2:1 click:2:1"},
        {"two quick presses are two single clicks",
         {mouse(KEL::Code::MPRS, 30, 30), mouse(KEL::Code::MREL, 30, 30),
          mouse(KEL::Code::MPRS, 30, 30), mouse(KEL::Code::MREL, 30, 30)},
         "mousedown:1:1 mouseup:1:1 click:1:1 mousedown:1:1 mouseup:1:1 click:1:1"},
    };
    for (const Case &c : cases) {
        seen();
        for (const KEL_Command &command : c.commands)
            send(command);
        EXPECT_EQ(seen(), c.expected) << c.name;
    }
}

// Guards the right button where the engine would open a menu of its own: the page's listeners
// (early or late) see the contextmenu event with its default untouched, and the mouse keeps
// reaching the page afterwards.
TEST_F(Input, ARightClickLeavesThePageItsMenuEventAndTheMouse) {
    evaluate("document.addEventListener('contextmenu', function (e) {"
             "  seen.push('menu:' + e.defaultPrevented); });"
             "window.addEventListener('contextmenu', function (e) {"
             "  seen.push('menu:' + e.defaultPrevented); }); 0");
    const char *const pages[] = {"the event bubbles", "the page stops it at its target"};
    for (const char *page : pages) {
        SCOPED_TRACE(page);
        seen();
        send(mouse(KEL::Code::MPRS, 30, 30, 1));
        send(mouse(KEL::Code::MREL, 30, 30, 1));
        click(30, 30);
        std::istringstream events(seen());
        std::string mouseEvents;
        for (std::string event; events >> event;) {
            if (event.rfind("menu:", 0) == 0)
                EXPECT_EQ(event, "menu:false"); // an engine without a menu sends none
            else
                mouseEvents += (mouseEvents.empty() ? "" : " ") + event;
        }
        EXPECT_EQ(mouseEvents, "mousedown:3:1 mouseup:3:1 mousedown:1:1 mouseup:1:1 click:1:1");
        evaluate("document.getElementById('box').addEventListener('contextmenu', function (e) {"
                 "  e.stopPropagation(); }); 0");
    }
}

// Guards key events: key 0 with a text types it, Qt key codes with their texts edit a field as
// on a desktop, and the modifier bits arrive each as its own modifier.
TEST_F(Input, TypingEditsTheFocusedField) {
    click(100, 130); // into #first
    type(0, u"h");
    type(0x49, u"i"); // Key_I
    type(0x20, u" ");
    type(0x34, u"4"); // Key_4
    type(0x32, u"2");
    type(kKeyBackspace, u"\b");
    type(kKeyLeft, u"");
    type(kKeyLeft, u"");
    type(0x58, u"X", 2); // Shift+X
    type(kKeyRight, u"");
    type(kKeyRight, u"");
    type(0x21, u"!");
    EXPECT_EQ(evaluate("document.activeElement.id"), "first");
    EXPECT_EQ(evaluate("document.getElementById('first').value"), "hiX 4!");

    click(40, 210); // into the text area: Enter is a line break
    type(0x41, u"a");
    type(kKeyReturn, u"\r");
    type(0x42, u"b");
    EXPECT_EQ(evaluate("escape(document.getElementById('area').value)"), "a%0Ab");

    struct Case {
        int32_t bits;
        const char *expected;
    };
    const Case cases[] = {{1, "keydown:M"},         {2, "keydown:S"},    {4, "keydown:C"},
                          {8, "keydown:A"},         {6, "keydown:SC"},   {15, "keydown:MSCA"},
                          {0x7FFFFFF0, "keydown:"}, {-1, "keydown:MSCA"}};
    for (const Case &c : cases) {
        seen();
        // Key_F1: types nothing (a modifier key itself would toggle its own flag)
        send(key(KEL::Code::KEYD, 0x01000030, c.bits, u""));
        send(key(KEL::Code::KEYU, 0x01000030, c.bits, u""));
        EXPECT_EQ(seen(), c.expected) << "modifier bits " << c.bits;
    }
}

// Guards the Tab rule: the release moves focus to the next field, neither press nor release is
// answered, and the field's text is left alone.
TEST_F(Input, TabReleaseMovesFocusWithoutAnAnswer) {
    click(100, 130);
    type(0x41, u"a");
    m_browser.inbox().clear();
    EXPECT_NE(m_browser.post(key(KEL::Code::KEYD, kKeyTab, 0, u"\t")), 0u);
    EXPECT_NE(m_browser.post(key(KEL::Code::KEYU, kKeyTab, 0, u"\t")), 0u);
    EXPECT_EQ(request(Host::makeCommand(KEL::Code::PING)).result, 1);
    EXPECT_EQ(evaluate("document.activeElement.id"), "second");
    EXPECT_EQ(evaluate("document.getElementById('first').value"), "a");
    m_browser.pump();
    EXPECT_FALSE(m_browser.take(KEL::Code::KEYD));
    EXPECT_FALSE(m_browser.take(KEL::Code::KEYU));
}

// Guards the host's freedom: whatever MPRS, MREL and KEYD/KEYU carry (extreme positions and
// buttons, undefined key codes, every modifier bit, a text filling its slot without a zero
// unit) is taken without harm.
TEST_F(Input, TakesAnyInputAsItComes) {
    const int32_t extremes[] = {INT32_MIN, -1, 0, 1 << 30, INT32_MAX};
    for (int32_t v : extremes) {
        send(mouse(KEL::Code::MPRS, v, -v, v));
        send(mouse(KEL::Code::MPOS, v, v));
        send(mouse(KEL::Code::MREL, -v, v, v));
    }
    click(100, 130);
    KEL_Command full = key(KEL::Code::KEYD, 0x7FFFFFFF, -1, u"");
    for (int i = 0; i < KEL_COMMAND_STR_UNITS; ++i)
        full.strArgs[1][i] = u'z';
    send(full);
    for (int32_t code : {INT32_MIN, -1, 0x01FFFFFF, 0x41})
        type(code, u"\xD800", INT32_MIN); // a lone surrogate as text
    EXPECT_EQ(evaluate("1 + 1"), "2") << "the page still answers";
    EXPECT_EQ(browserLog().find("grabber"), std::string::npos) << "a grab was taken twice";
}

} // namespace
} // namespace Test
} // namespace KEL
