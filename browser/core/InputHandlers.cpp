// Handlers of the input requests. Each is answered with 1 whether or not the view exists,
// except IMES (never answered) and a Tab key on an existing view. Input may change what the
// page shows, so every one of them requests a paint of the view it reaches.

#include "core/BrowserContext.h"
#include "core/CommandRoutes.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "view/InputMapping.h"

namespace KEL {

namespace {

// A Tab on an existing view is never sent as a key: the release moves the focus on. Neither
// press nor release is answered, and the loop takes no further record this tick.
Reply handleKey(Request &request, bool press) {
    const Command &command = request.command;
    EngineView *view = request.view();
    if (!view)
        return Reply::with(1);
    view->requestPaint();
    if (isTabKey(command)) {
        if (!press)
            view->focusNextElement();
        return Reply::noneAndEndTick();
    }
    view->sendKey(press, command.intArgs[0], hostModifiers(command.intArgs[1]),
                  recordText(command, 1));
    return Reply::with(1);
}

} // namespace

// Setting the focused text field's value plugs in here with the text-field support.
Reply handleSetTextField(Request &request) {
    const QString text = request.text(0);
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->setTextFieldValue(
            text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0))));
    }
    return Reply::none();
}

Reply handleScroll(Request &request) {
    const Command &command = request.command;
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->scrollTo(command.intArgs[0], command.intArgs[1]);
    }
    return Reply::with(1);
}

// A positive amount scrolls towards the top.
Reply handleMouseScroll(Request &request) {
    const Command &command = request.command;
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->scrollBy(command.intArgs[0]);
    }
    return Reply::with(1);
}

// The left button is tracked for all views together: a press on one view and a release on
// another clear it all the same, and a move on any view while it is held is a left drag.
Reply handleMouseMove(Request &request) {
    const Command &command = request.command;
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->mouseMove(command.intArgs[0], command.intArgs[1], request.context.leftButtonHeld);
    }
    return Reply::with(1);
}

Reply handleMousePress(Request &request) {
    const Command &command = request.command;
    if (EngineView *view = request.view()) {
        view->requestPaint();
        const Qt::MouseButton button = hostButton(command.intArgs[2]);
        if (button == Qt::LeftButton)
            request.context.leftButtonHeld = true;
        view->mousePress(command.intArgs[0], command.intArgs[1], button);
    }
    return Reply::with(1);
}

Reply handleMouseRelease(Request &request) {
    const Command &command = request.command;
    if (EngineView *view = request.view()) {
        view->requestPaint();
        const Qt::MouseButton button = hostButton(command.intArgs[2]);
        if (button == Qt::LeftButton)
            request.context.leftButtonHeld = false;
        view->mouseRelease(command.intArgs[0], command.intArgs[1], button);
    }
    return Reply::with(1);
}

Reply handleKeyDown(Request &request) {
    return handleKey(request, true);
}

Reply handleKeyUp(Request &request) {
    return handleKey(request, false);
}

} // namespace KEL
