// Views on their own frame areas, with a real browser: sizes and scales as painted, the rate
// requests and their refusals, frames on request only, changed rectangles that a host can
// trust, generations when a view outgrows its area, and the names going with the view.

#include "FrameArea.h"
#include "BrowserFixture.h"
#include "CommandCodes.h"
#include "KELHost.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

namespace KEL {
namespace Test {
namespace {

std::u16string units(const std::string &text) {
    return std::u16string(text.begin(), text.end());
}

struct Rgba {
    uint8_t r, g, b, a;
    bool operator==(const Rgba &o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const Rgba &o) const { return !(*this == o); }
};
constexpr Rgba kRed{255, 0, 0, 255};
constexpr Rgba kBlue{0, 0, 255, 255};
constexpr Rgba kGreen{0, 128, 0, 255};

std::ostream &operator<<(std::ostream &out, const Rgba &c) {
    return out << "rgba(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << "," << int(c.a)
               << ")";
}

// Pixel (x, y) counted from the top, as the page has it; rows lie bottom first.
Rgba pixelAt(const KEL_Frame &frame, int x, int y) {
    const auto *row = static_cast<const uint8_t *>(frame.pixels) +
                      int64_t(frame.height - 1 - y) * frame.stride + int64_t(x) * 4;
    return Rgba{row[0], row[1], row[2], row[3]};
}

bool shmExists(const std::string &name) {
    struct stat info;
    return stat(("/dev/shm/" + name).c_str(), &info) == 0;
}

// A blue page with a red block at (10, 20), 40 x 30 page pixels, and three small boxes the
// tests recolour.
const char *const kPage =
    R"html(<html><body style="margin:0;overflow:hidden;background:rgb(0,0,255)">
<div style="position:absolute;left:10px;top:20px;width:40px;height:30px;background:rgb(255,0,0)">
</div>
<div id="b0" style="position:absolute;left:70px;top:10px;width:10px;height:10px;background:rgb(0,0,255)"></div>
<div id="b1" style="position:absolute;left:90px;top:40px;width:10px;height:10px;background:rgb(0,0,255)"></div>
<div id="b2" style="position:absolute;left:110px;top:70px;width:10px;height:10px;background:rgb(0,0,255)"></div>
</body></html>)html";

class FrameAreaTest : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
    }

    KEL_Command rate(const std::string &view, int32_t rate, int32_t scale) {
        KEL_Command command = viewCommand(Code::RATE, view);
        Host::setInt(command, 0, rate);
        Host::setInt(command, 1, scale);
        return request(command);
    }
    int32_t paintNow(const std::string &view) {
        return request(viewCommand(Code::FRAM, view)).result;
    }
    bool evaluate(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand(Code::EVJS, view);
        if (!Host::putText(command, 0, script))
            return false;
        KEL_Command reply = request(command);
        Host::takeText(reply, 0);
        return reply.result == 1;
    }
    // Takes frames until one satisfies `accept` (the newest each time); false when none does in
    // time. The frame stays held.
    bool takeUntil(const std::string &view, KEL_Frame *frame,
                   const std::function<bool(const KEL_Frame &)> &accept, int timeoutMs = 10000) {
        const std::u16string name = units(view);
        const auto *raw = reinterpret_cast<const uint16_t *>(name.c_str());
        return m_browser.spinUntil([&] { return KEL_TakeFrame(raw, frame) == 1 && accept(*frame); },
                                   timeoutMs);
    }
    std::string controlName(const std::string &view) {
        const std::u16string name = units(view);
        return frameControlName(reinterpret_cast<const uint16_t *>(name.c_str()), name.size());
    }
};

struct SizeCase {
    int32_t width, height, scale;
};

// Guards against a view painted at the wrong size or scale, or laid out at the painted size
// instead of its own: the red block must sit at its page position times the scale.
TEST_F(FrameAreaTest, FramesArePaintedAtTheViewsSizeTimesItsScale) {
    const SizeCase cases[] = {{1920, 1080, 100}, {800, 600, 150}, {640, 480, 200},
                              {4096, 64, 100},   {301, 203, 150}, {2048, 2048, 200}};
    int index = 0;
    for (const SizeCase &c : cases) {
        const std::string view = "sized" + std::to_string(index++);
        SCOPED_TRACE(view + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                     " at " + std::to_string(c.scale) + "%");
        ASSERT_EQ(createView(view, c.width, c.height).result, 1);
        ASSERT_EQ(rate(view, 30, c.scale).result, 1);
        ASSERT_TRUE(showHtml(view, kPage));
        // Odd sides at 1.5 lose the half pixel: no edge pixel is left half covered.
        const int width = c.width * c.scale / 100, height = c.height * c.scale / 100;
        const double s = c.scale / 100.0;
        KEL_Frame frame{};
        ASSERT_TRUE(takeUntil(view, &frame,
                              [&](const KEL_Frame &f) {
                                  return f.width == width && f.height == height &&
                                         pixelAt(f, int(30 * s), int(35 * s)) == kRed;
                              }))
            << "last frame " << frame.width << "x" << frame.height;
        EXPECT_EQ(frame.stride, width * 4);
        if (height > int(52 * s)) {
            EXPECT_EQ(pixelAt(frame, int(11 * s), int(21 * s)), kRed);
            EXPECT_EQ(pixelAt(frame, int(48 * s), int(48 * s)), kRed);
            EXPECT_EQ(pixelAt(frame, int(8 * s), int(35 * s)), kBlue);
            EXPECT_EQ(pixelAt(frame, int(30 * s), int(52 * s)), kBlue);
        }
        EXPECT_EQ(pixelAt(frame, width - 1, height - 1), kBlue);
        KEL_ReleaseFrame(reinterpret_cast<const uint16_t *>(units(view).c_str()));
        ASSERT_EQ(request(viewCommand(Code::RMVW, view)).result, 1);
    }
}

struct RateCase {
    const char *view; // "" for one that does not exist
    int32_t rate, scale;
    int32_t width; // of the view, when it exists
    int32_t reply;
};

// Guards against out-of-range rates and scales, or frames larger than the area allows, being
// taken on; and against FRAM answering for views without an area.
TEST_F(FrameAreaTest, RateRequestsOutOfRangeAreRefused) {
    const RateCase cases[] = {
        {"r", 0, 100, 200, 1},         {"r", 60, 100, 200, 1},   {"r", 1, 200, 200, 1},
        {"r", 61, 100, 200, -1},       {"r", -1, 100, 200, -1},  {"r", 30, 125, 200, -1},
        {"r", 30, 0, 200, -1},         {"r", 30, -150, 200, -1}, {"r", INT32_MIN, 100, 200, -1},
        {"r", 30, INT32_MAX, 200, -1}, {"", 30, 100, 0, -1},     {"r", 30, 150, 2731, -1},
        {"r", 30, 150, 2730, 1},       {"r", 30, 200, 2049, -1}, {"r", 30, 100, 4097, -1},
    };
    for (const RateCase &c : cases) {
        SCOPED_TRACE(std::string(c.view) + " rate " + std::to_string(c.rate) + " scale " +
                     std::to_string(c.scale) + " width " + std::to_string(c.width));
        const std::string view = *c.view ? c.view : "missing";
        if (*c.view) {
            ASSERT_EQ(createView(view, c.width, 100).result, 1);
        }
        EXPECT_EQ(rate(view, c.rate, c.scale).result, c.reply);
        if (*c.view) {
            ASSERT_EQ(request(viewCommand(Code::RMVW, view)).result, 1);
        }
    }
    ASSERT_EQ(createView("texture", 200, 100).result, 1);
    EXPECT_EQ(paintNow("texture"), -1);
    EXPECT_EQ(paintNow("missing"), -1);
}

// Guards against rate 0 painting on its own, FRAM not publishing, and a rate not holding the
// frames back: an animation at rate 0 gives frames only when asked, and at rate 5 no more than
// five a second (plus the first); and against an inactive view painting or never finishing a
// load.
TEST_F(FrameAreaTest, RateZeroPaintsOnlyWhenAskedAndARateCapsTheFrames) {
    const std::string animated = R"(<html><body style="margin:0"><div id="d"
        style="width:50px;height:50px"></div><script>var n = 0;
        function step() { document.getElementById('d').style.background =
          'rgb(' + (n++ % 256) + ',0,0)'; requestAnimationFrame(step); } step();</script>
        </body></html>)";
    ASSERT_EQ(createView("asked", 200, 100).result, 1);
    ASSERT_EQ(rate("asked", 0, 100).result, 1);
    ASSERT_TRUE(showHtml("asked", animated));
    const std::u16string asked = units("asked");
    const auto *askedName = reinterpret_cast<const uint16_t *>(asked.c_str());
    KEL_Frame frame{};
    // Nothing yet, or at most what the switch itself published; then nothing more.
    m_browser.spinUntil([] { return false; }, 200);
    KEL_TakeFrame(askedName, &frame);
    const uint32_t before = frame.number;
    m_browser.spinUntil([] { return false; }, 500);
    EXPECT_NE(KEL_TakeFrame(askedName, &frame), 1) << "rate 0 painted without FRAM";
    ASSERT_EQ(paintNow("asked"), 1);
    ASSERT_EQ(KEL_TakeFrame(askedName, &frame), 1) << "FRAM published no frame";
    EXPECT_GT(frame.number, before);
    EXPECT_EQ(frame.rectCount == -1 || frame.rectCount >= 0, true);

    ASSERT_EQ(createView("capped", 200, 100).result, 1);
    ASSERT_EQ(rate("capped", 5, 100).result, 1);
    ASSERT_TRUE(showHtml("capped", animated));
    const std::u16string capped = units("capped");
    const auto *cappedName = reinterpret_cast<const uint16_t *>(capped.c_str());
    ASSERT_TRUE(m_browser.spinUntil([&] { return KEL_TakeFrame(cappedName, &frame) == 1; }, 5000));
    const uint32_t first = frame.number;
    const Clock::time_point start = Clock::now();
    m_browser.spinUntil([] { return false; }, 1500);
    const double seconds = secondsSince(start);
    ASSERT_EQ(KEL_TakeFrame(cappedName, &frame), 1) << "an animation at rate 5 stopped";
    EXPECT_LE(frame.number - first, uint32_t(5 * seconds + 2));

    // The rate changes while the view runs.
    ASSERT_EQ(rate("capped", 0, 100).result, 1);
    m_browser.spinUntil([] { return false; }, 300);
    KEL_TakeFrame(cappedName, &frame);
    m_browser.spinUntil([] { return false; }, 500);
    EXPECT_NE(KEL_TakeFrame(cappedName, &frame), 1) << "still painting at rate 0";

    // An inactive view paints nothing, yet its loads finish.
    ASSERT_EQ(createView("inactive", 200, 100).result, 1);
    ASSERT_EQ(rate("inactive", 60, 100).result, 1);
    KEL_Command off = viewCommand(Code::SACT, "inactive");
    Host::setInt(off, 0, 0);
    ASSERT_EQ(request(off).result, 1);
    const std::u16string inactive = units("inactive");
    KEL_TakeFrame(reinterpret_cast<const uint16_t *>(inactive.c_str()), &frame); // before SACT
    EXPECT_TRUE(showHtml("inactive", animated)) << "no LDFN for an inactive frame-area view";
    EXPECT_NE(KEL_TakeFrame(reinterpret_cast<const uint16_t *>(inactive.c_str()), &frame), 1)
        << "an inactive view painted";
}

// Guards against rectangles that miss a change (a host uploading only them would keep stale
// pixels) and against slots that are only partly brought up to date: each frame's pixels are
// checked whole, and the previous frame plus the rectangles must give the new one.
TEST_F(FrameAreaTest, ChangedRectanglesCoverEveryChangeAndEveryFrameIsWhole) {
    ASSERT_EQ(createView("rects", 160, 100).result, 1);
    ASSERT_EQ(rate("rects", 60, 150).result, 1);
    ASSERT_TRUE(showHtml("rects", kPage));
    const std::u16string name = units("rects");
    const auto *raw = reinterpret_cast<const uint16_t *>(name.c_str());
    KEL_Frame frame{};
    ASSERT_TRUE(
        takeUntil("rects", &frame, [](const KEL_Frame &f) { return pixelAt(f, 45, 52) == kRed; }));
    std::vector<uint8_t> host(size_t(frame.stride) * frame.height);
    std::memcpy(host.data(), frame.pixels, host.size());
    uint32_t hostFrame = frame.number;
    // The host's copy: every taken frame's rectangles are copied into it, and the copy must
    // then equal the frame.
    auto apply = [&](const KEL_Frame &f) {
        EXPECT_LE(f.changesSince, hostFrame) << "rectangles that start after the host's frame";
        EXPECT_NE(f.rectCount, -1) << "a small change sent the whole frame";
        for (int i = 0; i < f.rectCount; ++i) {
            const KEL_FrameRect &r = f.rects[i];
            for (int row = r.y; row < r.y + r.height; ++row)
                std::memcpy(host.data() + size_t(row) * f.stride + size_t(r.x) * 4,
                            static_cast<const uint8_t *>(f.pixels) + size_t(row) * f.stride +
                                size_t(r.x) * 4,
                            size_t(r.width) * 4);
        }
        EXPECT_EQ(std::memcmp(host.data(), f.pixels, host.size()), 0)
            << "pixels changed outside the rectangles of frame " << f.number;
        std::memcpy(host.data(), f.pixels, host.size());
        hostFrame = f.number;
    };
    const int boxes[3][2] = {{70, 10}, {90, 40}, {110, 70}};
    bool green[3] = {false, false, false};
    auto boxPixel = [&](const KEL_Frame &f, int b) {
        return pixelAt(f, int((boxes[b][0] + 5) * 1.5), int((boxes[b][1] + 5) * 1.5));
    };
    for (int step = 0; step < 12; ++step) {
        const int box = step % 3;
        green[box] = !green[box];
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_TRUE(evaluate("rects", "document.getElementById('b" + std::to_string(box) +
                                          "').style.background = '" +
                                          (green[box] ? "rgb(0,128,0)" : "rgb(0,0,255)") + "'; 1"));
        // Every other change goes untaken for a while, as with a slow host: the next frame's
        // rectangles must reach back over it.
        if (step % 2 == 1) {
            m_browser.spinUntil([] { return false; }, 100);
            continue;
        }
        ASSERT_TRUE(takeUntil("rects", &frame, [&](const KEL_Frame &f) {
            apply(f);
            for (int b = 0; b < 3; ++b) {
                if (boxPixel(f, b) != (green[b] ? kGreen : kBlue))
                    return false;
            }
            return true;
        }));
        ASSERT_FALSE(HasFailure());
        EXPECT_EQ(pixelAt(frame, 45, 52), kRed);
        KEL_ReleaseFrame(raw);
    }
}

// Guards against a focused text field repainting the whole view for its caret's blink (60
// whole frames a second at 4096 wide) and against the caret staying drawn where it was: the
// blink arrives as small rectangles, and the host's copy built from them equals each frame.
TEST_F(FrameAreaTest, ACaretBlinksInSmallRectanglesOnAFrameArea) {
    ASSERT_EQ(createView("caret", 400, 200).result, 1);
    ASSERT_EQ(rate("caret", 30, 100).result, 1);
    ASSERT_TRUE(showHtml("caret", "<html><body style='margin:0;background:#fff'><input id=f "
                                  "style='position:absolute;left:20px;top:20px;width:200px'>"
                                  "</body></html>"));
    for (const char *code : {Code::MPRS, Code::MREL}) {
        KEL_Command click = viewCommand(code, "caret");
        Host::setInt(click, 0, 60);
        Host::setInt(click, 1, 30);
        Host::setInt(click, 2, 0);
        m_browser.post(click);
    }
    const std::u16string name = units("caret");
    const auto *raw = reinterpret_cast<const uint16_t *>(name.c_str());
    KEL_Frame frame{};
    ASSERT_TRUE(m_browser.spinUntil([&] { return KEL_TakeFrame(raw, &frame) == 1; }, 5000));
    // Settle: the click's own repaint goes first.
    m_browser.spinUntil([] { return false; }, 300);
    KEL_TakeFrame(raw, &frame);
    std::vector<uint8_t> host(static_cast<const uint8_t *>(frame.pixels),
                              static_cast<const uint8_t *>(frame.pixels) +
                                  size_t(frame.stride) * frame.height);
    uint32_t hostFrame = frame.number;
    int blinks = 0;
    const Clock::time_point start = Clock::now();
    while (secondsSince(start) < 2.0) {
        if (!m_browser.spinUntil([&] { return KEL_TakeFrame(raw, &frame) == 1; }, 1500))
            break;
        ASSERT_LE(frame.changesSince, hostFrame);
        ASSERT_NE(frame.rectCount, -1) << "the caret repainted the whole view";
        int64_t covered = 0;
        for (int i = 0; i < frame.rectCount; ++i) {
            const KEL_FrameRect &r = frame.rects[i];
            covered += int64_t(r.width) * r.height;
            for (int row = r.y; row < r.y + r.height; ++row)
                std::memcpy(host.data() + size_t(row) * frame.stride + size_t(r.x) * 4,
                            static_cast<const uint8_t *>(frame.pixels) +
                                size_t(row) * frame.stride + size_t(r.x) * 4,
                            size_t(r.width) * 4);
        }
        EXPECT_LT(covered, int64_t(frame.width) * frame.height / 10);
        ASSERT_EQ(std::memcmp(host.data(), frame.pixels, host.size()), 0);
        hostFrame = frame.number;
        blinks += covered > 0 ? 1 : 0;
    }
    EXPECT_GE(blinks, 2) << "the caret did not blink";
}

// Guards against a view that outgrows its area (SIGBUS, or frames cut off), old generations
// left behind, UPVW for frame-area views, and the texture path suffering beside them; and
// against names outliving the view.
TEST_F(FrameAreaTest, AViewGrowsIntoANewGenerationBesideATextureViewAndLeavesNoNames) {
    Host::FrameCompositor textures; // takes the texture view's frames, as its host would
    textures.attach(m_browser);
    m_browser.subscribe();
    ASSERT_EQ(createView("grow", 200, 100).result, 1);
    ASSERT_EQ(rate("grow", 30, 100).result, 1);
    // Until RATE the view was on the texture path: what it delivered there came before the
    // reply.
    m_browser.inbox().clear();
    ASSERT_EQ(createView("texture", 200, 100).result, 1);
    ASSERT_TRUE(showHtml("grow", kPage));
    const std::string control = controlName("grow");
    EXPECT_TRUE(shmExists(control));
    KEL_Frame frame{};
    ASSERT_TRUE(takeUntil("grow", &frame, [](const KEL_Frame &f) { return f.width == 200; }));
    const std::u16string name = units("grow");
    const auto *raw = reinterpret_cast<const uint16_t *>(name.c_str());
    // Held across the growth: its memory must stay readable.
    const Rgba held = pixelAt(frame, 30, 35);
    KEL_Command resize = viewCommand(Code::RSIZ, "grow");
    Host::setInt(resize, 0, 1500);
    Host::setInt(resize, 1, 1100);
    EXPECT_EQ(request(resize).result, 1) << "a frame-area view has no texture to recreate";
    KEL_Frame grown{};
    ASSERT_TRUE(takeUntil("grow", &grown, [](const KEL_Frame &f) {
        // The engine may hand over the grown view before it has painted all of it.
        return f.width == 1500 && f.height == 1100 && pixelAt(f, 30, 35) == kRed &&
               pixelAt(f, 1499, 1099) == kBlue;
    }));
    EXPECT_EQ(held, kRed);
    EXPECT_FALSE(shmExists(framePixelsName(control, 1))) << "the outgrown generation stayed";
    EXPECT_TRUE(shmExists(framePixelsName(control, 2)));
    KEL_ReleaseFrame(raw);
    // A new scale while it runs: laid out the same, painted twice as large.
    ASSERT_EQ(rate("grow", 30, 200).result, 1);
    ASSERT_TRUE(takeUntil("grow", &grown, [](const KEL_Frame &f) {
        return f.width == 3000 && f.height == 2200 && pixelAt(f, 60, 70) == kRed &&
               pixelAt(f, 18, 70) == kBlue;
    }));
    KEL_ReleaseFrame(raw);

    ASSERT_TRUE(showHtml("texture", kPage));
    ASSERT_TRUE(m_browser.spinUntil(
        [&] {
            for (const KEL_Command &record : m_browser.inbox())
                if (Host::hasCode(record, Code::UPVW) && Host::getString8(record, 0) == "texture")
                    return true;
            return false;
        },
        5000))
        << "the texture view beside the frame area got no frame";
    for (const KEL_Command &record : m_browser.inbox()) {
        if (Host::hasCode(record, Code::UPVW)) {
            EXPECT_NE(Host::getString8(record, 0), "grow") << "UPVW for a frame-area view";
        }
    }

    ASSERT_EQ(request(viewCommand(Code::RMVW, "grow")).result, 1);
    EXPECT_FALSE(shmExists(control));
    EXPECT_FALSE(shmExists(framePixelsName(control, 3)));
    // A frame finished before the removal may still be handed out; then the area is gone.
    KEL_TakeFrame(raw, &frame);
    EXPECT_EQ(KEL_TakeFrame(raw, &frame), -1) << "a removed view still gives frames";
}

} // namespace
} // namespace Test
} // namespace KEL
