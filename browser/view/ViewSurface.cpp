#include "view/ViewSurface.h"

#include "TextureBuffer.h"

#include <QGraphicsScene>
#include <QPainter>
#include <QtMath>

namespace KEL {

void ViewSurface::resize(uint32_t width, uint32_t height, uint32_t textureWidth,
                         uint32_t textureHeight) {
    if (m_scale > 0) {
        m_pageImage = QImage(qFloor(width * m_scale), qFloor(height * m_scale),
                             QImage::Format_ARGB32_Premultiplied);
        m_painted = QRect();
        m_needsPaint = true;
        return;
    }
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
    QRect dirty = m_dirtyRect & page;
    if (m_scale > 0 && !m_dirtyRect.isEmpty()) {
        // Scene pixels to image pixels: scaled, and widened to whole image pixels.
        dirty =
            QRectF(QPointF(m_dirtyRect.topLeft()) * m_scale, QSizeF(m_dirtyRect.size()) * m_scale)
                .toAlignedRect() &
            page;
    }
    m_dirtyRect = QRect();
    const bool safety =
        m_scale > 0 ? !m_sincePaint.isValid() || m_sincePaint.elapsed() >= kSafetyRepaintTicks * 33
                    : ++m_ticksSincePaint >= kSafetyRepaintTicks;
    const bool whole = m_needsPaint || always || m_lastForced || safety;
    m_lastForced = always;
    if (!whole && dirty.isEmpty()) {
        if (m_scale <= 0)
            m_frames.trackUnchangedFrame();
        return;
    }
    m_needsPaint = false;
    m_ticksSincePaint = 0;
    if (m_scale > 0)
        m_sincePaint.start();

    const QRect area = whole ? page : dirty;
    QPainter painter(&m_pageImage);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(area, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    if (m_scale > 0) {
        // The scene keeps its layout size; source and target differ by the scale exactly, so
        // a partial paint lands on the same pixels as a whole one would.
        painter.setClipRect(area);
        scene.render(&painter, QRectF(area),
                     QRectF(QPointF(area.topLeft()) / m_scale, QSizeF(area.size()) / m_scale),
                     Qt::IgnoreAspectRatio);
        painter.setClipping(false);
        painter.scale(m_scale, m_scale);
    } else if (whole) {
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
    if (m_scale > 0) {
        m_painted |= area;
        m_paintedWhole = m_paintedWhole || whole;
        return;
    }

    const PagePixels pixels{m_pageImage.constBits(), m_pageImage.bytesPerLine(),
                            m_pageImage.width(), m_pageImage.height()};
    if (whole)
        m_frames.trackFrame(pixels);
    else
        m_frames.trackFrameRows(pixels, area.top(), area.bottom() + 1);
}

bool ViewSurface::paintPending() const {
    return m_needsPaint || m_lastForced || !m_dirtyRect.isEmpty() || !m_sincePaint.isValid() ||
           m_sincePaint.elapsed() >= kSafetyRepaintTicks * 33;
}

bool ViewSurface::takePainted(QRect *painted, bool *whole) {
    if (m_painted.isEmpty())
        return false;
    *painted = m_painted;
    *whole = m_paintedWhole;
    m_painted = QRect();
    m_paintedWhole = false;
    return true;
}

bool ViewSurface::copyTo(TextureBuffer &buffer, bool debugPartialUpdates) {
    return m_frames.deliverInto(buffer, debugPartialUpdates);
}

} // namespace KEL
