#include "view/ViewSurface.h"

#include "TextureBuffer.h"

#include <QGraphicsScene>
#include <QPainter>

namespace KEL {

void ViewSurface::resize(uint32_t width, uint32_t height, uint32_t textureWidth,
                         uint32_t textureHeight) {
    m_pageImage = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
    m_frames.resize(int(width), int(height), int(textureWidth), int(textureHeight));
    m_frames.resetUpdateSlots();
}

void ViewSurface::invalidate(const QList<QRectF> &rects) {
    // One pixel more on every side: antialiased edges may reach into the next pixel.
    for (const QRectF &rect : rects)
        m_dirtyRect |= rect.toAlignedRect().adjusted(-1, -1, 1, 1);
}

void ViewSurface::paint(QGraphicsScene &scene, bool always,
                        const std::function<void(QPainter &)> &overlay) {
    const QRect page = m_pageImage.rect();
    const QRect dirty = m_dirtyRect & page;
    m_dirtyRect = QRect();
    const bool whole =
        m_needsPaint || always || m_lastForced || ++m_ticksSincePaint >= kSafetyRepaintTicks;
    m_lastForced = always;
    if (!whole && dirty.isEmpty()) {
        m_frames.trackUnchangedFrame();
        return;
    }
    m_needsPaint = false;
    m_ticksSincePaint = 0;

    const QRect area = whole ? page : dirty;
    QPainter painter(&m_pageImage);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(area, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    if (whole) {
        scene.render(&painter, QRectF(), QRectF(), Qt::KeepAspectRatio);
    } else {
        // Same source and target: the scene is drawn unscaled, clipped to the area.
        painter.setClipRect(area);
        scene.render(&painter, QRectF(area), QRectF(area), Qt::IgnoreAspectRatio);
        painter.setClipping(false);
    }
    if (overlay)
        overlay(painter);
    painter.end();

    const PagePixels pixels{m_pageImage.constBits(), m_pageImage.bytesPerLine(),
                            m_pageImage.width(), m_pageImage.height()};
    if (whole)
        m_frames.trackFrame(pixels);
    else
        m_frames.trackFrameRows(pixels, area.top(), area.bottom() + 1);
}

bool ViewSurface::copyTo(TextureBuffer &buffer, bool debugPartialUpdates) {
    if (!buffer.base())
        return false;
    ScopedLock lock(buffer.segmentLock());
    if (!lock)
        return false;
    m_frames.deliver(textureTargetAt(buffer.base()), debugPartialUpdates);
    return true;
}

} // namespace KEL
