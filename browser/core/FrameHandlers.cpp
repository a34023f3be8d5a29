// Handlers of the requests that put a view onto its own frame area and ask it for frames.

#include "core/CommandRoutes.h"
#include "core/FramePacing.h"
#include "core/HandlerSupport.h"
#include "core/ProcessState.h"
#include "core/ViewRegistry.h"
#include "view/WebView.h"

namespace KEL {

Reply handleSetFrameRate(Command &command) {
    WebView *view = addressedView(command);
    if (!view)
        return Reply::with(-1);
    const bool set = processState.viewRegistry->framePacing().setRate(*view, command.intArgs[0],
                                                                      command.intArgs[1]);
    return Reply::with(set ? 1 : -1);
}

Reply handlePaintFrame(Command &command) {
    WebView *view = addressedView(command);
    const bool painted = view && processState.viewRegistry->framePacing().paintNow(*view);
    return Reply::with(painted ? 1 : -1);
}

} // namespace KEL
