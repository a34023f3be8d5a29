#include "view/BlinkingCaret.h"

#include <QPainter>

namespace KEL {

void BlinkingCaret::restart() {
    m_visible = true;
    m_toggledAt = QDateTime::currentDateTime();
}

void BlinkingCaret::paint(QPainter &painter, const QRect &cursor) {
    const QDateTime now = QDateTime::currentDateTime();
    if (m_toggledAt.msecsTo(now) > kBlinkMs) {
        m_visible = !m_visible;
        m_toggledAt = now;
    }
    if (m_visible && !cursor.isNull())
        painter.fillRect(cursor, Qt::black);
}

} // namespace KEL
