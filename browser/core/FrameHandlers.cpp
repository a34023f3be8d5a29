// Handlers of the requests that put a view onto its own frame area and ask it for frames.

#include "core/BrowserContext.h"
#include "core/CommandRoutes.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"

namespace KEL {

Reply handleSetFrameRate(Request &request) {
    EngineView *view = request.view();
    if (!view)
        return Reply::with(-1);
    const Command &command = request.command;
    const bool set =
        request.context.engine->setFrameRate(*view, command.intArgs[0], command.intArgs[1]);
    return Reply::with(set ? 1 : -1);
}

Reply handlePaintFrame(Request &request) {
    EngineView *view = request.view();
    const bool painted = view && request.context.engine->paintFrameNow(*view);
    return Reply::with(painted ? 1 : -1);
}

} // namespace KEL
