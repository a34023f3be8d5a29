// kelview in a real X server: what it shows, what typing through the server reaches, how the
// window's size reaches the page, popups in windows of their own.

#include "Desktop.h"

#include <gtest/gtest.h>

#include <memory>
#include <sys/wait.h>

using namespace KEL::Test;

namespace {

constexpr int kTimeoutMs = 30000;

const char *kPage = R"(<!doctype html><html><head><title>Colours</title></head>
<body style="margin:0;background:#ffffff">
<div style="position:absolute;left:0;top:0;width:200px;height:100px;background:#ff0000"></div>
<div style="position:absolute;left:200px;top:0;width:200px;height:100px;background:#00ff00"></div>
<div style="position:absolute;left:0;top:100px;width:200px;height:100px;background:#0000ff"></div>
<input id="field" style="position:absolute;left:20px;top:300px;width:240px;height:30px">
<textarea id="area" style="position:absolute;left:20px;top:400px;width:240px;height:60px">
</textarea></body></html>)";

class KelviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveProgram("Xvfb") || !haveProgram("xdotool") || !haveProgram("import"))
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick's import (scripts/setup.sh)";
        m_desktop = std::make_unique<Desktop>();
        ASSERT_TRUE(m_desktop->ok()) << "Xvfb did not start";
        const std::string page = m_desktop->dir().write("page.html", kPage);
        m_viewer = std::make_unique<Program>(
            std::vector<std::string>{KELVIEW_PATH, "--control", page}, m_desktop->environment(),
            m_desktop->dir().path() + "/kelview.log");
        const int window = m_viewer->waitForLine("WINDOW main ", kTimeoutMs);
        ASSERT_GE(window, 0) << "kelview opened no window";
        m_window = std::stoul(m_viewer->lines()[size_t(window)].substr(12));
        ASSERT_GE(m_viewer->waitForLine("LOADED main", kTimeoutMs), 0) << "the page did not load";
    }

    // Evaluates script in the main view and returns its value.
    std::string evaluate(const std::string &script) {
        const size_t from = m_viewer->lines().size();
        m_viewer->send("eval " + script);
        const int line = m_viewer->waitForLine("RESULT", kTimeoutMs, from);
        return line < 0 ? "<no result>" : m_viewer->lines()[size_t(line)].substr(6 + 1);
    }

    std::unique_ptr<Desktop> m_desktop;
    std::unique_ptr<Program> m_viewer;
    unsigned long m_window = 0;
};

TEST_F(KelviewTest, WindowShowsThePageColoursInPlace) {
    struct Spot {
        int x, y;
        uint32_t colour;
    } spots[] = {
        {100, 50, 0xFF0000}, {300, 50, 0x00FF00}, {100, 150, 0x0000FF}, {600, 500, 0xFFFFFF}};
    Image shot;
    bool all = spinUntil(
        [&] {
            if (!m_desktop->capture(m_window, &shot))
                return false;
            for (const Spot &s : spots) {
                if (!near(shot.pixel(s.x, s.y), s.colour))
                    return false;
            }
            return true;
        },
        kTimeoutMs);
    EXPECT_TRUE(all);
    for (const Spot &s : spots)
        EXPECT_TRUE(near(shot.pixel(s.x, s.y), s.colour))
            << std::hex << "at " << std::dec << s.x << "," << s.y << ": " << std::hex
            << shot.pixel(s.x, s.y) << " instead of " << s.colour;
}

// Typing reaches every editable element, not only the text inputs that raise IMEI.
TEST_F(KelviewTest, ClickingAFieldAndTypingPutsTheTextIntoThePage) {
    struct Case {
        const char *id;
        int x, y;
        bool raisesImei;
    } cases[] = {{"field", 100, 315, true}, {"area", 100, 430, false}};
    for (const Case &c : cases) {
        const size_t from = m_viewer->lines().size();
        m_desktop->click(m_window, c.x, c.y);
        const std::string focused = "document.activeElement.id";
        EXPECT_TRUE(spinUntil([&] { return evaluate(focused) == c.id; }, kTimeoutMs)) << c.id;
        if (c.raisesImei) {
            EXPECT_GE(m_viewer->waitForLine("FIELD main text", kTimeoutMs, from), 0)
                << "no IMEI for the clicked field";
        }
        m_desktop->type(m_window, "Hello kel");
        std::string value;
        const std::string script = std::string("document.getElementById('") + c.id + "').value";
        spinUntil([&] { return (value = evaluate(script)) == "Hello kel"; }, kTimeoutMs);
        EXPECT_EQ(value, "Hello kel") << c.id;
    }
}

TEST_F(KelviewTest, ResizingTheWindowChangesThePageWidth) {
    m_desktop->run("xdotool windowsize " + std::to_string(m_window) + " 600 500");
    std::string width;
    spinUntil(
        [&] {
            width = evaluate("window.innerWidth");
            return width == "600";
        },
        kTimeoutMs);
    EXPECT_EQ(width, "600");
}

TEST_F(KelviewTest, PopupOpensASecondWindowAndClosesIt) {
    m_viewer->send("eval var popup = window.open('about:blank', 'p', 'width=300,height=200'); 1");
    ASSERT_GE(m_viewer->waitForLine("POPUP ", kTimeoutMs), 0) << "no popup announced";
    EXPECT_TRUE(
        spinUntil([&] { return m_desktop->windowsOf(m_viewer->pid()).size() == 2; }, kTimeoutMs));
    m_viewer->send("eval popup.close(); 1");
    EXPECT_GE(m_viewer->waitForLine("POPC ", kTimeoutMs), 0) << "no popup closing announced";
    EXPECT_TRUE(
        spinUntil([&] { return m_desktop->windowsOf(m_viewer->pid()).size() == 1; }, kTimeoutMs));
}

// The control commands besides eval: load an address, quit.
TEST_F(KelviewTest, ControlLoadsAnAddressAndQuits) {
    const std::string other =
        m_desktop->dir().write("other.html", "<title>Other page</title><p>other</p>");
    const size_t from = m_viewer->lines().size();
    m_viewer->send("load " + other);
    EXPECT_GE(m_viewer->waitForLine("TITLE main Other page", kTimeoutMs, from), 0);
    EXPECT_GE(m_viewer->waitForLine("LOADED main", kTimeoutMs, from), 0);
    m_viewer->send("quit");
    ASSERT_TRUE(spinUntil([&] { return !m_viewer->running(); }, kTimeoutMs));
    EXPECT_TRUE(WIFEXITED(m_viewer->status()) && WEXITSTATUS(m_viewer->status()) == 0);
}

} // namespace
