#pragma once
// Host input for one view, sent synchronously to its graphics view's viewport, which passes it
// through the scene to the web view item. Positions are view pixels from the top-left corner.
// Presses and keys bring the focus in first; moves and releases do not. GUI thread only.

#include <QEvent>
#include <QPoint>
#include <QString>
#include <Qt>

#include <cstdint>

class QGraphicsView;
class QGraphicsWebView;

namespace KEL {

class ViewInput {
  public:
    // Both outlive this object.
    ViewInput(QGraphicsWebView &item, QGraphicsView &graphicsView)
        : m_item(item), m_graphicsView(graphicsView) {}

    // A move reports the left button while `leftButtonHeld` (process-wide, kept by the caller).
    void mouseMove(int32_t x, int32_t y, bool leftButtonHeld);
    void mousePress(int32_t x, int32_t y, Qt::MouseButton button);
    void mouseRelease(int32_t x, int32_t y, Qt::MouseButton button);
    // KeyPress or KeyRelease with the key code as it came, never auto-repeated, count 1.
    void sendKey(QEvent::Type type, int key, Qt::KeyboardModifiers modifiers, const QString &text);

  private:
    QPoint eventPosition(int32_t x, int32_t y) const;
    void sendFocusIn();
    void sendMouseEvent(QEvent::Type type, int32_t x, int32_t y, Qt::MouseButton button,
                        Qt::MouseButtons buttons);
    // Grabbing again while the item holds the grab only makes Qt warn on every event.
    void holdMouseGrab();
    void holdKeyboardGrab();

    QGraphicsWebView &m_item;
    QGraphicsView &m_graphicsView;
    // The item is alone in its scene and never hidden, so once taken the keyboard grab stays.
    bool m_keyboardGrabbed = false;
};

} // namespace KEL
