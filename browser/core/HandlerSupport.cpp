#include "core/HandlerSupport.h"

#include "core/CommandText.h"
#include "core/Notice.h"
#include "core/ProcessState.h"
#include "core/ViewRegistry.h"
#include "view/WebView.h"

#include "DataBuffer.h"

namespace KEL {

QString stringArg(const Command &command, int index) {
    return fromU16(readStringArg(command, index));
}

WebView *addressedView(const Command &command) {
    ViewRegistry *registry = processState.viewRegistry.get();
    WebView *view = registry ? registry->findView(stringArg(command, 0)) : nullptr;
    // What a command does to a page shows in the same tick's frame, before the engine's own
    // repaint notice would arrive.
    if (view)
        view->requestPaint();
    return view;
}

QString takeTextArg(const Command &command, int slotArg) {
    DataBuffer *data = processState.dataBuffer.get();
    if (!data || slotArg < 0 || slotArg + 1 >= kIntArgCount)
        return QString();
    return fromU16(takeTextPayload(*data, command.intArgs[slotArg], command.intArgs[slotArg + 1]));
}

} // namespace KEL
