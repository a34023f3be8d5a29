#pragma once
// The picture one view hands the host: its scene painted into the page image, converted to the
// texture layout and tracked frame by frame (FrameTracker), and written into the texture
// segment when the view tick serves this view. It decides whether a tick paints at all.
// GUI thread only.

#include "FrameTracker.h"

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QRect>
#include <QRectF>

#include <cstdint>
#include <functional>

class QGraphicsScene;
class QPainter;

namespace KEL {

class TextureBuffer;

class ViewSurface {
  public:
    // Even with no invalidation reported, a view is repainted this often (about every ten
    // seconds), so a change that reached the page without one cannot stay off the host's
    // texture for ever. Each such paint costs a whole page; once a second it made eight idle
    // views cost about 4 % of a core.
    static constexpr int kSafetyRepaintTicks = 300;

    explicit ViewSurface(bool partialUpdates) : m_frames(partialUpdates) {}

    // (Re)allocates the page image for width x height and zeroes the frames of a texture of
    // textureWidth x textureHeight, with the update slots emptied: the first frame painted
    // afterwards differs from the last one and is delivered.
    void resize(uint32_t width, uint32_t height, uint32_t textureWidth, uint32_t textureHeight);
    bool isSized() const { return !m_pageImage.isNull() && (m_scale > 0 || m_frames.isSized()); }

    // Frame-area painting: from now on the page image is the view's size times `scale` and the
    // scene is painted scaled into it (the page keeps its layout size); frames are no longer
    // tracked for the texture segment, and what each paint covered is kept for takePainted().
    // The caller resizes afterwards.
    void paintForFrameArea(qreal scale) { m_scale = scale; }
    bool onFrameArea() const { return m_scale > 0; }
    qreal scale() const { return m_scale > 0 ? m_scale : 1.0; }
    // Frame-area painting: whether paint() painted since the last call, and what (image pixels;
    // `whole` for the whole image).
    bool takePainted(QRect *painted, bool *whole);
    const QImage &pageImage() const { return m_pageImage; }
    // Frame-area painting: whether the next paint() would paint even without `always`.
    bool paintPending() const;

    // The next paint() paints the whole page even if the scene reported no change.
    void requestPaint() { m_needsPaint = true; }
    // The scene reported these rectangles (scene coordinates, which are page pixels) as
    // changed: the next paint() repaints them, and only them unless a whole paint is due.
    void invalidate(const QList<QRectF> &rects);
    // Paints `scene` into the page image (cleared to transparent, so a transparent page
    // background shows the host through), lets `overlay` draw on top, and records the frame;
    // only when a paint was requested, `always` holds, or kSafetyRepaintTicks ticks went by
    // without one. Otherwise the frame counts as unchanged without being painted.
    // When only invalidated rectangles are due, only their bounding rectangle is cleared and
    // painted (clipped), and only its rows are compared with the last frame: an animation in
    // one corner then costs its own area, not the page's.
    void paint(QGraphicsScene &scene, bool always, const std::function<void(QPainter &)> &overlay);

    // Writes the waiting frame, whole or as rectangles, into the texture segment. False when
    // the texture lock could not be taken (the frame stays waiting).
    bool copyTo(TextureBuffer &buffer, bool debugPartialUpdates);

    FrameTracker &frames() { return m_frames; }
    const FrameTracker &frames() const { return m_frames; }

  private:
    QImage m_pageImage; // width x height, ARGB32 premultiplied; null until sized
    // The converted frames, update slots, dirty / fullFramePending / idle count and the
    // partial-updates switch.
    FrameTracker m_frames;
    // Painting is skipped while nothing on the page was invalidated: an idle view then costs
    // almost nothing.
    bool m_needsPaint = true;
    QRect m_dirtyRect; // page pixels the scene invalidated since the last paint
    // The last paint was forced (a focused field's caret): what it drew over the page is only
    // known to be gone after another whole paint.
    bool m_lastForced = false;
    int m_ticksSincePaint = 0;
    // Frame-area painting (m_scale > 0): painted as often as the view's rate says, so the
    // safety repaint goes by time there instead of by ticks.
    qreal m_scale = 0;
    QElapsedTimer m_sincePaint;
    QRect m_painted;
    bool m_paintedWhole = false;
};

} // namespace KEL
