// The LÖVE example in a real X server: the page on its panel in the game's window, and the
// player's click and typing reaching the page, which answers through the bridge object "game"
// whose calls the example prints.

#include "Desktop.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace KEL::Test;

namespace {

constexpr int kTimeoutMs = 30000;

// Colours at known places, a field, and every click and keystroke reported to the game.
const char *kPage = R"(<!doctype html><html><head><title>Panel test</title></head>
<body style="margin:0;background:#ffffff">
<div style="position:absolute;left:0;top:0;width:320px;height:100px;background:#ff0000"></div>
<div style="position:absolute;left:320px;top:0;width:320px;height:100px;background:#00ff00"></div>
<div id="blue" style="position:absolute;left:0;top:100px;width:320px;height:100px;background:#0000ff"></div>
<input id="field" style="position:absolute;left:20px;top:300px;width:240px;height:30px">
<script>
document.addEventListener('mousedown', function (e) {
    document.getElementById('blue').style.background = '#ffff00';
    game.invoke('clicked', String(e.clientX), String(e.clientY));
});
document.getElementById('field').addEventListener('input', function (e) {
    game.invoke('typed', e.target.value);
});
</script></body></html>)";

class LoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *program : {"Xvfb", "xdotool", "import", "love"}) {
            if (!haveProgram(program))
                GTEST_SKIP() << "needs " << program << " (scripts/setup.sh)";
        }
        m_desktop = std::make_unique<Desktop>();
        ASSERT_TRUE(m_desktop->ok()) << "Xvfb did not start";
        const std::string page = m_desktop->dir().write("page.html", kPage);
        std::map<std::string, std::string> env = m_desktop->environment();
        env["KEL_PLUGIN_PATH"] = KEL_PLUGIN_FILE;
        env["KEL_BROWSER_PATH"] = KEL_BROWSER_FILE;
        m_game = std::make_unique<Program>(std::vector<std::string>{"love", KEL_LOVE_EXAMPLE, page},
                                           env, m_desktop->dir().path() + "/love.log");
        const int panel = m_game->waitForLine("PANEL ", kTimeoutMs);
        ASSERT_GE(panel, 0) << "the example did not start KEL";
        std::istringstream(m_game->lines()[size_t(panel)].substr(6)) >> m_panelX >> m_panelY;
        ASSERT_GE(m_game->waitForLine("LOADED", kTimeoutMs), 0) << "the page did not load";
        ASSERT_TRUE(spinUntil(
            [&] {
                const std::vector<unsigned long> windows = m_desktop->windowsOf(m_game->pid());
                m_window = windows.empty() ? 0 : windows.front();
                return m_window != 0;
            },
            kTimeoutMs))
            << "no game window";
    }

    std::unique_ptr<Desktop> m_desktop;
    std::unique_ptr<Program> m_game;
    unsigned long m_window = 0;
    int m_panelX = 0, m_panelY = 0; // the page's top-left corner in the window (scale 1)
};

// Guards the texture road: frames decoded bottom-up, drawn flipped, at the panel's place.
TEST_F(LoveTest, GameWindowShowsThePageOnItsPanel) {
    struct Spot {
        int x, y; // page pixels
        uint32_t colour;
    } spots[] = {
        {160, 50, 0xFF0000}, {480, 50, 0x00FF00}, {160, 150, 0x0000FF}, {500, 300, 0xFFFFFF}};
    Image shot;
    const bool all = spinUntil(
        [&] {
            if (!m_desktop->capture(m_window, &shot))
                return false;
            for (const Spot &s : spots) {
                if (!near(shot.pixel(m_panelX + s.x, m_panelY + s.y), s.colour))
                    return false;
            }
            return true;
        },
        kTimeoutMs);
    EXPECT_TRUE(all);
    for (const Spot &s : spots)
        EXPECT_TRUE(near(shot.pixel(m_panelX + s.x, m_panelY + s.y), s.colour))
            << "page " << s.x << "," << s.y << ": " << std::hex
            << shot.pixel(m_panelX + s.x, m_panelY + s.y);
    // The scene goes on around the panel: the page is not drawn over the whole window.
    EXPECT_FALSE(near(shot.pixel(m_panelX / 2, m_panelY / 2), 0xFFFFFF));
}

// Guards the input road: screen to page coordinates, the field's IMEI turning on text input,
// keys and text through the key table, the page's answer through ADDO / INVK; and the frame
// that follows a change, uploaded as its changed rectangles, reaching the panel.
TEST_F(LoveTest, ClickAndTypingReachThePageThroughTheBridge) {
    m_desktop->click(m_window, m_panelX + 100, m_panelY + 315);
    EXPECT_GE(m_game->waitForLine("INVK game clicked 100 315", kTimeoutMs), 0)
        << "the click did not reach the page at its place";
    Image shot;
    EXPECT_TRUE(spinUntil(
        [&] {
            return m_desktop->capture(m_window, &shot) &&
                   near(shot.pixel(m_panelX + 160, m_panelY + 150), 0xFFFF00);
        },
        kTimeoutMs))
        << "the box the click recoloured: " << std::hex
        << shot.pixel(m_panelX + 160, m_panelY + 150);
    EXPECT_TRUE(near(shot.pixel(m_panelX + 160, m_panelY + 50), 0xFF0000)) << "unchanged part";
    ASSERT_GE(m_game->waitForLine("FIELD text", kTimeoutMs), 0) << "no IMEI for the field";
    m_desktop->type(m_window, "Hello love");
    EXPECT_GE(m_game->waitForLine("INVK game typed Hello love", kTimeoutMs), 0)
        << "the typed text did not reach the page";
}

} // namespace
