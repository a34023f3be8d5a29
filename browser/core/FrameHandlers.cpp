// Handlers of the requests that put a view onto its own frame area and ask it for frames.

#include "core/CommandRoutes.h"
#include "core/HandlerSupport.h"

namespace KEL {

Reply handleSetFrameRate(Command &) {
    return Reply::with(1);
}

Reply handlePaintFrame(Command &) {
    return Reply::with(1);
}

} // namespace KEL
