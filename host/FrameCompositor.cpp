#include "FrameCompositor.h"

#include "TextureSize.h"

#include "CommandCodes.h"
#include <algorithm>
#include <cstring>

namespace KEL {
namespace Host {

namespace {
constexpr uint32_t kMaxSide = kMaxTextureSide;
const size_t kLargestBlock = rectAreaSize(0);
} // namespace

void FrameCompositor::attach(Browser &browser) {
    browser.setNoticeHandler([this](const KEL_Command &record) {
        if (record.origin == 0 && record.result > 0) {
            if (hasCode(record, KEL::Code::CRVW) || hasCode(record, KEL::Code::RSIZ))
                setViewSize(getString8(record, 0), record.intArgs[0], record.intArgs[1]);
            else if (hasCode(record, KEL::Code::RMVW))
                removeView(getString8(record, 0));
        } else if (record.origin == 1 && hasCode(record, KEL::Code::UPVW)) {
            take(getString8(record, 0));
        }
    });
}

void FrameCompositor::setViewSize(const std::string &view, int32_t width, int32_t height) {
    ViewTexture &texture = m_views[view];
    // The same rules as the browser's, so the texture always matches what it delivers.
    texture.viewWidth = uint32_t(clampViewSide(width));
    texture.viewHeight = uint32_t(clampViewSide(height));
    const uint32_t w = uint32_t(textureSideFor(width)), h = uint32_t(textureSideFor(height));
    if (w != texture.width || h != texture.height) {
        texture.width = w;
        texture.height = h;
        texture.pixels.assign(size_t(w) * h * 4, 0);
    }
}

void FrameCompositor::removeView(const std::string &view) {
    m_views.erase(view);
}

Delivery FrameCompositor::take(const std::string &view) {
    Delivery delivery;
    ++m_deliveries;
    auto it = m_views.find(view);
    ViewTexture *texture = it == m_views.end() ? nullptr : &it->second;

    KEL_TextureUpdate update{};
    if (texture) {
        update.pixels = texture->pixels.data();
        update.width = static_cast<int32_t>(texture->width);
        update.height = static_cast<int32_t>(texture->height);
    } else {
        // Unknown view: copy into scratch so the segment is released all the same.
        m_scratch.resize(size_t(kMaxSide) * kMaxSide * 4);
        update.pixels = m_scratch.data();
        update.width = update.height = static_cast<int32_t>(kMaxSide);
    }
    KEL_UpdateTexture(true, 0, 0, &update);
    if (update.updated) {
        delivery.whole = true;
        if (texture)
            ++texture->wholeFrames;
        return delivery;
    }
    m_block.resize(kLargestBlock);
    for (int group = 0; group < 2; ++group) {
        for (int index = 0; index < 2; ++index) {
            KEL_TextureUpdate rect{};
            rect.pixels = m_block.data();
            KEL_UpdateTexture(false, group, index, &rect);
            if (!rect.updated)
                continue;
            ++delivery.rectangles;
            if (texture)
                applyRectangle(*texture, rect, m_block);
        }
    }
    if (texture) {
        ++texture->partialFrames;
        texture->rectangles += static_cast<uint64_t>(delivery.rectangles);
    }
    return delivery;
}

// A block's rows are bottom row first like the texture; (x, y) is its top-left corner counted
// from the texture's top edge, so it may reach past the top (y < 0) or the right edge.
void FrameCompositor::applyRectangle(ViewTexture &texture, const KEL_TextureUpdate &update,
                                     const std::vector<uint8_t> &block) {
    const int64_t texW = texture.width, texH = texture.height;
    const int64_t w = update.width, h = update.height;
    if (w <= 0 || h <= 0 || w * h * 4 > static_cast<int64_t>(block.size()))
        return;
    const int64_t firstRow = texH - update.y - h; // memory row of block row 0
    const int64_t x0 = std::max<int64_t>(0, update.x);
    const int64_t x1 = std::min<int64_t>(texW, int64_t(update.x) + w);
    if (x0 >= x1)
        return;
    for (int64_t i = 0; i < h; ++i) {
        const int64_t row = firstRow + i;
        if (row < 0 || row >= texH)
            continue;
        std::memcpy(&texture.pixels[size_t((row * texW + x0) * 4)],
                    &block[size_t((i * w + (x0 - update.x)) * 4)], size_t((x1 - x0) * 4));
    }
}

const ViewTexture *FrameCompositor::texture(const std::string &view) const {
    auto it = m_views.find(view);
    return it == m_views.end() ? nullptr : &it->second;
}

uint32_t FrameCompositor::pagePixel(const std::string &view, uint32_t x, uint32_t y) const {
    const ViewTexture *t = texture(view);
    if (!t || x >= t->width || y >= t->height)
        return 0;
    const uint8_t *p = &t->pixels[(size_t(t->height - 1 - y) * t->width + x) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

} // namespace Host
} // namespace KEL
