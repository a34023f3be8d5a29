// Handlers of the input requests. Each is answered with 1 whether or not the view exists,
// except IMES (never answered) and a Tab key on an existing view. Input may change what the
// page shows, so every one of them requests a paint of the view it reaches.

#include "core/CommandRoutes.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "core/ProcessState.h"
#include "view/InputMapping.h"

namespace KEL {

namespace {

// A Tab on an existing view is never sent as a key: the release moves the focus on. Neither
// press nor release is answered, and the loop takes no further record this tick.
Reply handleKey(Command &command, bool press) {
    EngineView *view = addressedView(command);
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
Reply handleSetTextField(Command &command) {
    const QString text = takeTextArg(command, 0);
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        view->setTextFieldValue(
            text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0))));
    }
    return Reply::none();
}

Reply handleScroll(Command &command) {
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        view->scrollTo(command.intArgs[0], command.intArgs[1]);
    }
    return Reply::with(1);
}

// A positive amount scrolls towards the top.
Reply handleMouseScroll(Command &command) {
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        view->scrollBy(command.intArgs[0]);
    }
    return Reply::with(1);
}

// The left button is tracked for all views together: a press on one view and a release on
// another clear it all the same, and a move on any view while it is held is a left drag.
Reply handleMouseMove(Command &command) {
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        view->mouseMove(command.intArgs[0], command.intArgs[1], processState.leftButtonHeld);
    }
    return Reply::with(1);
}

Reply handleMousePress(Command &command) {
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        const Qt::MouseButton button = hostButton(command.intArgs[2]);
        if (button == Qt::LeftButton)
            processState.leftButtonHeld = true;
        view->mousePress(command.intArgs[0], command.intArgs[1], button);
    }
    return Reply::with(1);
}

Reply handleMouseRelease(Command &command) {
    if (EngineView *view = addressedView(command)) {
        view->requestPaint();
        const Qt::MouseButton button = hostButton(command.intArgs[2]);
        if (button == Qt::LeftButton)
            processState.leftButtonHeld = false;
        view->mouseRelease(command.intArgs[0], command.intArgs[1], button);
    }
    return Reply::with(1);
}

Reply handleKeyDown(Command &command) {
    return handleKey(command, true);
}

Reply handleKeyUp(Command &command) {
    return handleKey(command, false);
}

} // namespace KEL
