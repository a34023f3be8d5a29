// Handlers of the requests that put a view onto its own frame area and ask it for frames.

#include "core/CommandRoutes.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "core/ProcessState.h"

namespace KEL {

Reply handleSetFrameRate(Command &command) {
    EngineView *view = addressedView(command);
    if (!view)
        return Reply::with(-1);
    const bool set =
        processState.engine->setFrameRate(*view, command.intArgs[0], command.intArgs[1]);
    return Reply::with(set ? 1 : -1);
}

Reply handlePaintFrame(Command &command) {
    EngineView *view = addressedView(command);
    const bool painted = view && processState.engine->paintFrameNow(*view);
    return Reply::with(painted ? 1 : -1);
}

} // namespace KEL
