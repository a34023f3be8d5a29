#include "view/ViewInput.h"

#include "view/InputMapping.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGraphicsWebView>
#include <QKeyEvent>
#include <QMouseEvent>

namespace KEL {

// The scene rectangle equals the view's size and the view has no frame or scroll bars, so
// the mapping keeps the values; it is made all the same, so the positions stay right should
// that ever change.
QPoint ViewInput::eventPosition(int32_t x, int32_t y) const {
    return m_graphicsView.mapFromScene(QPointF(eventCoordinate(x), eventCoordinate(y)));
}

void ViewInput::sendFocusIn() {
    QFocusEvent event(QEvent::FocusIn, Qt::OtherFocusReason);
    QCoreApplication::sendEvent(m_graphicsView.viewport(), &event);
}

void ViewInput::holdMouseGrab() {
    if (m_item.scene()->mouseGrabberItem() != &m_item)
        m_item.grabMouse();
}

void ViewInput::holdKeyboardGrab() {
    if (m_keyboardGrabbed)
        return;
    m_item.grabKeyboard();
    m_keyboardGrabbed = true;
}

void ViewInput::sendMouseEvent(QEvent::Type type, int32_t x, int32_t y, Qt::MouseButton button,
                               Qt::MouseButtons buttons) {
    QMouseEvent event(type, eventPosition(x, y), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(m_graphicsView.viewport(), &event);
}

// Only the left button is tracked. This engine reads the button of a move from the buttons
// held, not from the event's button: with the left button as the event's button alone the
// page would see a plain move, never a drag. So a move while it is held carries it in both.
void ViewInput::mouseMove(int32_t x, int32_t y, bool leftButtonHeld) {
    const Qt::MouseButton button = leftButtonHeld ? Qt::LeftButton : Qt::NoButton;
    sendMouseEvent(QEvent::MouseMove, x, y, button, button);
}

// There are no double clicks: two quick presses are two single presses to the page.
void ViewInput::mousePress(int32_t x, int32_t y, Qt::MouseButton button) {
    sendFocusIn();
    holdMouseGrab();
    sendMouseEvent(QEvent::MouseButtonPress, x, y, button, button);
}

void ViewInput::mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) {
    holdMouseGrab();
    sendMouseEvent(QEvent::MouseButtonRelease, x, y, button, button);
}

void ViewInput::sendKey(QEvent::Type type, int key, Qt::KeyboardModifiers modifiers,
                        const QString &text) {
    sendFocusIn();
    holdKeyboardGrab();
    QKeyEvent event(type, key, modifiers, text, false, 1);
    QCoreApplication::sendEvent(m_graphicsView.viewport(), &event);
}

} // namespace KEL
