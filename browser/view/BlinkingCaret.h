#pragma once
// The caret of a focused text field. The off-screen scene never blinks a caret by itself;
// without this a focused text field would show no caret on the host's texture. GUI thread only.

#include <QDateTime>
#include <QRect>

class QPainter;

namespace KEL {

class BlinkingCaret {
  public:
    // Half-period of the blink.
    static constexpr qint64 kBlinkMs = 500;

    // Shown now, and for the next half-period (a resized view shows its caret at once).
    void restart();
    // Called on every paint: toggles once a half-period is over, then draws `cursor` (the
    // focused field's cursor rectangle) while visible. A null `cursor` (no field is being
    // edited) draws nothing but keeps the blink going.
    void paint(QPainter &painter, const QRect &cursor);

  private:
    bool m_visible = false;
    QDateTime m_toggledAt;
};

} // namespace KEL
