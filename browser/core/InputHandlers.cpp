// Handlers of the input requests. Each is answered with 1 whether or not the view exists,
// except IMES (never answered) and a Tab key on an existing view.

#include "core/CommandRoutes.h"
#include "core/HandlerSupport.h"
#include "view/WebPage.h"
#include "view/WebView.h"

#include <QWebFrame>

#include <algorithm>
#include <climits>

namespace KEL {

namespace {

constexpr int32_t kTabKey = 0x01000001; // Qt::Key_Tab

// The Tab key by code, or a key without code whose text is a tab character.
bool isTab(const Command &command) {
    return command.intArgs[0] == kTabKey || (command.intArgs[0] == 0 && command.strArgs[1][0] == 9);
}

} // namespace

// Setting the focused text field's value plugs in here with the text-field support.
Reply handleSetTextField(Command &command) {
    const QString text = takeTextArg(command, 0);
    if (WebView *view = viewToRepaint(command))
        view->setTextFieldValue(
            text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0))));
    return Reply::none();
}

Reply handleScroll(Command &command) {
    if (WebView *view = viewToRepaint(command))
        view->webPage()->mainFrame()->setScrollPosition(
            QPoint(command.intArgs[0], command.intArgs[1]));
    return Reply::with(1);
}

// A positive amount scrolls towards the top. The host's amount may be anything, so the
// difference is formed wide and held to int.
Reply handleMouseScroll(Command &command) {
    WebView *view = viewToRepaint(command);
    QWebFrame *frame = view ? view->webPage()->currentFrame() : nullptr;
    if (frame) {
        const int64_t value =
            int64_t(frame->scrollBarValue(Qt::Vertical)) - int64_t(command.intArgs[0]);
        frame->setScrollBarValue(Qt::Vertical, int(std::clamp<int64_t>(value, INT_MIN, INT_MAX)));
    }
    return Reply::with(1);
}

// Mouse events to the view's viewport plug in here with input support.
Reply handleMouseMove(Command &) {
    return Reply::with(1);
}
Reply handleMousePress(Command &) {
    return Reply::with(1);
}
Reply handleMouseRelease(Command &) {
    return Reply::with(1);
}

// A Tab on an existing view is never sent as a key: the release moves the focus on. Neither
// press nor release is answered, and the loop takes no further record this tick.
Reply handleKeyDown(Command &command) {
    if (isTab(command) && viewToRepaint(command))
        return Reply::noneAndEndTick();
    // Key press events plug in here with input support.
    return Reply::with(1);
}

Reply handleKeyUp(Command &command) {
    if (isTab(command)) {
        if (WebView *view = viewToRepaint(command)) {
            view->focusNextElement();
            return Reply::noneAndEndTick();
        }
    }
    // Key release events plug in here with input support.
    return Reply::with(1);
}

} // namespace KEL
