#include "FrameCompositor.h"

#include "TextureSize.h"

#include "CommandCodes.h"
#include <algorithm>
#include <cstring>

namespace KEL {
namespace Host {

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
    ++m_deliveries;
    auto it = m_views.find(view);
    if (it == m_views.end())
        return m_taker.take(nullptr, 0, 0);
    ViewTexture &texture = it->second;
    const Delivery delivery =
        m_taker.take(texture.pixels.data(), int32_t(texture.width), int32_t(texture.height));
    if (delivery.whole) {
        ++texture.wholeFrames;
    } else {
        ++texture.partialFrames;
        texture.rectangles += static_cast<uint64_t>(delivery.rectangles);
    }
    return delivery;
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
