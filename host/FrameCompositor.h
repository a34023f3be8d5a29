#pragma once
// Keeps one host-side texture per view and applies the browser's frame deliveries to it.
//
// Textures have the browser's layout: power-of-two sides (128..1024), 4 bytes per pixel
// R G B A (premultiplied alpha), bottom row first. A host uploads `pixels` as they are (for
// OpenGL: glTexSubImage2D with GL_RGBA / GL_UNSIGNED_BYTE; the page's top row is the last
// memory row, which is what OpenGL's bottom-left origin expects).

#include "FrameTaking.h"
#include "KELHost.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace KEL {
namespace Host {

struct ViewTexture {
    uint32_t viewWidth = 0, viewHeight = 0; // the page's size, clamped like the browser does
    uint32_t width = 0, height = 0;         // the texture's size
    std::vector<uint8_t> pixels;            // width * height * 4 bytes
    uint64_t wholeFrames = 0;               // deliveries received, by kind
    uint64_t partialFrames = 0;
    uint64_t rectangles = 0;
};

class FrameCompositor {
  public:
    // Watches the browser's records: replies to CRVW and RSIZ size the view's texture, a reply
    // to RMVW drops it, and every UPVW is taken at once (so frames keep flowing). Replaces the
    // browser's notice handler.
    void attach(Browser &browser);

    // Creates or resizes the texture of a view of this page size (zeroed when its size changes).
    void setViewSize(const std::string &view, int32_t width, int32_t height);
    void removeView(const std::string &view);

    // Copies the waiting delivery of `view` out of the texture segment into its texture: the
    // whole frame if one waits, else each rectangle, group 1 index 1 last (which releases the
    // segment). A view without a texture still releases the segment.
    Delivery take(const std::string &view);

    const ViewTexture *texture(const std::string &view) const;
    // RGBA of page pixel (x, y), counted from the page's top-left corner.
    uint32_t pagePixel(const std::string &view, uint32_t x, uint32_t y) const;

    uint64_t deliveries() const { return m_deliveries; }

  private:
    std::map<std::string, ViewTexture> m_views;
    FrameTaker m_taker;
    uint64_t m_deliveries = 0;
};

} // namespace Host
} // namespace KEL
