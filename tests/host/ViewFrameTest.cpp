// The host kit's View against a real browser: frames of its frame area reach the host without a
// copy, the pieces it hands out always rebuild the browser's frame exactly (changed rectangles
// when they suffice, the whole frame when not), the texture path is still there beside it, a
// refused frame area leaves the view on the texture, and a recovery brings the frame area back.

#include "BrowserFixture.h"
#include "View.h"

#include "CommandCodes.h"
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

namespace KEL {
namespace Test {
namespace {

constexpr uint32_t kRed = 0xFF0000FF, kGreen = 0x00FF00FF, kBlue = 0x0000FFFF;

const char *kBoxPage = "<html><body style='margin:0;background:rgb(255,0,0)'>"
                       "<div id=b style='position:absolute;left:10px;top:10px;width:20px;"
                       "height:20px;background:rgb(0,0,255)'></div></body></html>";

// RGBA of page pixel (x, y) in painted pixels, rows bottom first `stride` bytes apart.
uint32_t pixelOf(const uint8_t *pixels, int32_t height, size_t stride, int32_t x, int32_t y) {
    const uint8_t *p = pixels + size_t(height - 1 - y) * stride + size_t(x) * 4;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// What a host builds from the pieces: its own texture, and what it saw of them.
struct HostTexture {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    int wholePieces = 0, rectanglePieces = 0, sizes = 0;
    bool piecesInFrame = true; // every piece lay within the frame the view held

    void attach(Host::View &view) {
        view.onTextureSize = [this](int32_t w, int32_t h) {
            width = w;
            height = h;
            pixels.assign(size_t(w) * size_t(h) * 4, 0);
            ++sizes;
        };
        view.onFrame = [this, &view](const Host::FramePiece &piece) {
            const KEL_Frame *frame = view.frame();
            const auto *base = frame ? static_cast<const uint8_t *>(frame->pixels) : nullptr;
            const uint8_t *last = piece.pixels + size_t(piece.height - 1) * size_t(piece.pitch) +
                                  size_t(piece.width) * 4;
            if (!base || piece.pixels < base ||
                last > base + size_t(frame->stride) * size_t(frame->height))
                piecesInFrame = false;
            (piece.whole ? wholePieces : rectanglePieces)++;
            for (int32_t i = 0; i < piece.height; ++i)
                std::memcpy(&pixels[(size_t(piece.row + i) * size_t(width) + size_t(piece.x)) * 4],
                            piece.pixels + size_t(i) * size_t(piece.pitch),
                            size_t(piece.width) * 4);
        };
    }

    // Whether this texture is the frame, row by row.
    bool matches(const KEL_Frame &frame) const {
        if (frame.width != width || frame.height != height)
            return false;
        for (int32_t row = 0; row < height; ++row) {
            if (std::memcmp(&pixels[size_t(row) * size_t(width) * 4],
                            static_cast<const uint8_t *>(frame.pixels) +
                                size_t(row) * size_t(frame.stride),
                            size_t(width) * 4) != 0)
                return false;
        }
        return true;
    }
};

class ViewFrames : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
    }

    void route(std::vector<Host::View *> views) {
        m_browser.setNoticeHandler([this, views](const KEL_Command &record) {
            if (Host::isFrameNotice(record))
                ++m_frameNotices;
            if (record.origin == 0 && Host::hasCode(record, KEL::Code::RATE))
                ++m_rateReplies[Host::getString8(record, 0)];
            for (Host::View *view : views) {
                if (view->handle(record))
                    return;
            }
            if (Host::isFrameNotice(record))
                Host::releaseFrame();
        });
    }

    // Pumps (which takes every view's newest frame) until `condition` holds; with
    // `explicitTakes` the loop also takes frames itself, as a host that chooses the moment does.
    // Every new frame is checked against the host's texture built from the pieces.
    bool frameLoop(Host::View &view, HostTexture &host, const std::function<bool()> &condition,
                   bool explicitTakes = false, int timeoutMs = 10000) {
        return m_browser.spinUntil(
            [&] {
                if (explicitTakes)
                    view.takeFrame();
                const KEL_Frame *frame = view.frame();
                if (frame && (!m_checkedAny || frame->number != m_checked)) {
                    m_checkedAny = true;
                    m_checked = frame->number;
                    ++m_framesTaken;
                    if (!host.matches(*frame))
                        ++m_mismatches;
                }
                return condition();
            },
            timeoutMs);
    }

    uint32_t framePixel(const Host::View &view, int32_t x, int32_t y) const {
        const KEL_Frame *frame = view.frame();
        if (!frame || x >= frame->width || y >= frame->height)
            return 0;
        return pixelOf(static_cast<const uint8_t *>(frame->pixels), frame->height,
                       size_t(frame->stride), x, y);
    }

    void evaluate(Host::View &view, const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view.name());
        ASSERT_TRUE(Host::putText(command, 0, script));
        KEL_Command reply;
        ASSERT_TRUE(m_browser.request(command, &reply));
        Host::takeText(reply, 0);
    }

    // Posts EVJS without waiting for its reply (whose payload the next pump frees).
    void script(Host::View &view, const std::string &text) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view.name());
        ASSERT_TRUE(Host::putText(command, 0, text));
        ASSERT_NE(m_browser.post(command), 0u);
    }

    int m_frameNotices = 0, m_framesTaken = 0, m_mismatches = 0;
    uint32_t m_checked = 0;
    bool m_checkedAny = false;
    std::map<std::string, int> m_rateReplies; // by view
};

// Guards the frame loop, driven by pump() alone: whatever happened between two takes (one
// change, changes whose frames the host never took, a resize, a new scale), the pieces applied
// to the host's texture give the frame exactly; changed rectangles are used when they suffice,
// and every piece points into the frame held in shared memory (no copy). The kept copy
// (keepCopy) is the frame too.
TEST_F(ViewFrames, AppliedPiecesRebuildEveryFrameExactly) {
    Host::ViewOptions options;
    options.keepCopy = true;
    Host::View view(m_browser, "area", options);
    HostTexture host;
    host.attach(view);
    bool loaded = false;
    view.onLoaded = [&] { loaded = true; };
    route({&view});
    view.create(300, 200);
    view.showHtml(kBoxPage);
    ASSERT_TRUE(frameLoop(view, host, [&] { return loaded && framePixel(view, 15, 15) == kBlue; }))
        << std::hex << framePixel(view, 15, 15);
    EXPECT_EQ(view.path(), Host::FramePath::Area);
    EXPECT_EQ(host.wholePieces, 1) << "the first frame is whole";

    struct Step {
        const char *name;
        std::function<void()> act;
        int32_t width, height; // painted size afterwards
        int32_t probeX, probeY;
        uint32_t colour;
        bool rectanglesOnly; // the frame that shows it comes as changed rectangles
    };
    const Step steps[] = {
        {"one change",
         [&] { evaluate(view, "document.getElementById('b').style.background='rgb(0,255,0)'"); },
         300, 200, 15, 15, kGreen, true},
        {"frames the host never took",
         [&] {
             // Posted, not awaited: no pump, so the frames they cause are never taken.
             script(view, "document.getElementById('b').style.background='rgb(0,0,255)'");
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             script(view, "document.getElementById('b').style.left='100px'");
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
         },
         300, 200, 105, 15, kBlue, false},
        {"resize", [&] { view.resize(400, 250); }, 400, 250, 390, 240, kRed, false},
        {"scale 2", [&] { view.setRate(60, 200); }, 800, 500, 210, 30, kBlue, false},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        const int wholeBefore = host.wholePieces;
        step.act();
        ASSERT_TRUE(frameLoop(view, host,
                              [&] {
                                  const KEL_Frame *frame = view.frame();
                                  return frame && frame->width == step.width &&
                                         frame->height == step.height &&
                                         framePixel(view, step.probeX, step.probeY) == step.colour;
                              }))
            << std::hex << framePixel(view, step.probeX, step.probeY);
        if (step.rectanglesOnly) {
            EXPECT_EQ(host.wholePieces, wholeBefore);
        }
        EXPECT_EQ(host.width, step.width);
        EXPECT_EQ(view.textureWidth(), step.width);
        EXPECT_EQ(view.paintedHeight(), step.height);
        EXPECT_TRUE(host.matches(*view.frame()));
        const std::vector<uint8_t> &copy = view.texture();
        ASSERT_EQ(copy.size(), size_t(step.width) * size_t(step.height) * 4);
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), host.pixels.begin()));
    }
    EXPECT_GT(host.rectanglePieces, 0);
    EXPECT_EQ(m_mismatches, 0) << "of " << m_framesTaken << " frames taken";
    EXPECT_TRUE(host.piecesInFrame);
    EXPECT_EQ(m_frameNotices, 0) << "a frame-area view gets no UPVW";

    // The engine may paint the last step again a little later (WPE WebKit does after a scale
    // change): "nothing newer" means something only once its frames have stopped.
    for (int quiet = 0, round = 0; quiet < 15 && round < 500; ++round) {
        quiet = view.takeFrame() ? 0 : quiet + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    view.releaseFrame();
    EXPECT_EQ(view.frame(), nullptr);
    EXPECT_FALSE(view.takeFrame()) << "nothing newer than the frame taken last";
}

// Guards the choice of path: a view asked onto the texture segment gets its frames there as
// before (UPVW, a power-of-two texture, copied, no RATE), next to a frame-area view that never
// uses it (one RATE, with its creation).
TEST_F(ViewFrames, TheTexturePathStaysBesideTheFrameArea) {
    Host::ViewOptions texture;
    texture.path = Host::FramePath::Texture;
    Host::View old(m_browser, "old", texture), area(m_browser, "area");
    HostTexture oldHost, areaHost;
    oldHost.attach(old);
    areaHost.attach(area);
    route({&old, &area});
    old.create(300, 200);
    area.create(300, 200);
    old.showHtml(kBoxPage);
    area.showHtml(kBoxPage);
    auto oldPixel = [&](int32_t x, int32_t y) {
        return oldHost.pixels.empty() ? 0u
                                      : pixelOf(oldHost.pixels.data(), oldHost.height,
                                                size_t(oldHost.width) * 4, x, y);
    };
    ASSERT_TRUE(frameLoop(area, areaHost,
                          [&] {
                              old.takeFrame();
                              return oldPixel(15, 15) == kBlue && framePixel(area, 15, 15) == kBlue;
                          }))
        << std::hex << oldPixel(15, 15) << " " << framePixel(area, 15, 15);
    EXPECT_EQ(old.path(), Host::FramePath::Texture);
    EXPECT_EQ(old.textureWidth(), 512);
    EXPECT_EQ(old.textureHeight(), 256);
    EXPECT_EQ(old.frame(), nullptr);
    EXPECT_FALSE(old.takeFrame());
    EXPECT_GT(m_frameNotices, 0);
    EXPECT_EQ(area.textureWidth(), 300);
    EXPECT_EQ(area.textureHeight(), 200);
    EXPECT_EQ(m_mismatches, 0);
    EXPECT_EQ(m_rateReplies, (std::map<std::string, int>{{"area", 1}}));
}

// Guards the fallback: a frame area the browser refuses (painted sides above 4096) leaves the
// view on the texture segment, where the view then takes its frames, so it still shows.
TEST_F(ViewFrames, ARefusedFrameAreaLeavesTheViewOnTheTexture) {
    Host::ViewOptions options;
    options.scalePercent = 200;
    Host::View view(m_browser, "wide", options);
    HostTexture host;
    host.attach(view);
    route({&view});
    view.create(3000, 200);
    view.showHtml(kBoxPage);
    ASSERT_TRUE(m_browser.spinUntil(
        [&] {
            view.takeFrame();
            return !host.pixels.empty() && pixelOf(host.pixels.data(), host.height,
                                                   size_t(host.width) * 4, 15, 15) == kBlue;
        },
        10000));
    EXPECT_EQ(view.path(), Host::FramePath::Texture);
    EXPECT_EQ(view.width(), 1024);
    EXPECT_EQ(view.textureWidth(), 1024);
}

class ViewRecovery : public ViewFrames {
  protected:
    void SetUp() override { BrowserTest::SetUp(); }
};

// Guards recovery on the frame area: a frame held in the old browser's segments is gone with
// them (frame() says so instead of pointing into unmapped memory), and the fresh browser puts
// the view back on its frame area (RATE replayed), whose frames then show the page again.
TEST_F(ViewRecovery, AReplacedBrowserPaintsTheViewIntoItsFrameAreaAgain) {
    ASSERT_TRUE(startBrowser(true));
    Host::View view(m_browser, "area");
    HostTexture host;
    host.attach(view);
    route({&view});
    int recoveries = 0;
    m_browser.setRecoveryHandler([&](const Host::RecoveryEvent &event) {
        EXPECT_TRUE(event.restored);
        ++recoveries;
    });
    view.create(200, 150);
    view.showHtml(kBoxPage);
    ASSERT_TRUE(frameLoop(view, host, [&] { return framePixel(view, 15, 15) == kBlue; }));
    const uint32_t before = view.frameNumber();
    EXPECT_GT(before, 0u);

    kill(m_browser.pid(), SIGKILL);
    ASSERT_TRUE(m_browser.spinUntil([&] { return recoveries > 0; }, 30000));
    EXPECT_EQ(view.frame(), nullptr) << "the frame went with the old segments";
    const int wholeBefore = host.wholePieces;
    ASSERT_TRUE(frameLoop(
        view, host, [&] { return framePixel(view, 15, 15) == kBlue; }, 15000))
        << "no frame from the fresh browser's frame area";
    EXPECT_EQ(view.path(), Host::FramePath::Area);
    EXPECT_GT(host.wholePieces, wholeBefore) << "the fresh browser's first frame is whole";
    EXPECT_EQ(m_mismatches, 0);
    EXPECT_EQ(m_frameNotices, 0);
}

} // namespace
} // namespace Test
} // namespace KEL
