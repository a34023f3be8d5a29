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

void ViewSurface::paint(QGraphicsScene &scene, bool always,
                        const std::function<void(QPainter &)> &overlay) {
    if (!m_needsPaint && !always && ++m_ticksSincePaint < kSafetyRepaintTicks) {
        m_frames.trackUnchangedFrame();
        return;
    }
    m_needsPaint = false;
    m_ticksSincePaint = 0;

    m_pageImage.fill(Qt::transparent);
    QPainter painter(&m_pageImage);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    scene.render(&painter, QRectF(), QRectF(), Qt::KeepAspectRatio);
    if (overlay)
        overlay(painter);
    painter.end();

    m_frames.trackFrame({m_pageImage.constBits(), m_pageImage.bytesPerLine(), m_pageImage.width(),
                         m_pageImage.height()});
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
