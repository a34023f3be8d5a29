// Handlers of the requests that concern the process rather than one view.

#include "CommandBuffer.h"
#include "core/BrowserContext.h"
#include "core/CommandRoutes.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "core/ViewRegistry.h"
#include "view/Notice.h"

namespace KEL {

namespace {

// The versions the process actually runs with, not the ones it was built against.
void postBoot(BrowserContext &context) {
    Notice(context.notices, Code::BOOT)
        .integer(0, 0)
        .string(0, context.engine ? context.engine->version() : QString())
        .string(1, QString::fromLatin1(qVersion()))
        .post();
}

} // namespace

// A later INIT replaces the host: the previous handle is closed first. An identifier <= 0
// (other than -1) or one that cannot be opened leaves a null handle, so the first host check
// ends the process.
Reply handleInit(Request &request) {
    request.context.host.setHost(request.command.intArgs[0]);
    postBoot(request.context);
    return Reply::none();
}

Reply handlePing(Request &request) {
    request.context.host.pinged(SteadyClock::now());
    return Reply::with(1);
}

// The reply goes out before the process starts to exit; the records behind EXIT in this tick
// are still handled.
Reply handleExit(Request &) {
    return Reply::withThenExit(1);
}

Reply handleDebugPartialUpdates(Request &request) {
    request.context.debugPartialUpdates = request.command.intArgs[0] != 0;
    return Reply::with(1);
}

Reply handleAllowPopups(Request &request) {
    request.context.allowPopups = request.command.intArgs[0] != 0;
    return Reply::with(1);
}

Reply handleSaveCookies(Request &request) {
    Engine *engine = request.context.engine.get();
    if (engine)
        engine->saveCookies();
    return Reply::with(1);
}

Reply handleClearCookies(Request &request) {
    Engine *engine = request.context.engine.get();
    if (engine)
        engine->clearCookies();
    return Reply::with(1);
}

// Always SOCKS 5, for the whole process. The user name counts from strCount 2, the password
// from 3; only a pair of two non-empty strings becomes the stored credentials.
Reply handleProxy(Request &request) {
    Engine *engine = request.context.engine.get();
    const Command &command = request.command;
    if (engine)
        engine->setProxy(request.string(0),
                         static_cast<uint16_t>(static_cast<uint32_t>(command.intArgs[0]) & 0xFFFFu),
                         command.strCount >= 2 ? request.string(1) : QString(),
                         command.strCount >= 3 ? request.string(2) : QString());
    return Reply::with(1);
}

Reply handleAuthentication(Request &request) {
    Engine *engine = request.context.engine.get();
    if (engine)
        engine->setAuthentication(request.string(0), request.string(1));
    return Reply::with(1);
}

Reply handleAddObject(Request &request) {
    Engine *engine = request.context.engine.get();
    if (engine)
        engine->addObject(request.string(0), request.string(1));
    return Reply::with(1);
}

Reply handleSetProperty(Request &request) {
    Engine *engine = request.context.engine.get();
    if (!engine)
        return Reply::with(1);
    const QString object = request.string(0);
    engine->setObjectProperty(object, request.string(1), request.string(2));
    // Pages that hold the object see a new property at once, as they see a changed one.
    if (ViewRegistry *registry = request.context.viewRegistry.get())
        for (const auto &view : registry->views())
            view.second->refreshBridgeObject(object);
    return Reply::with(1);
}

} // namespace KEL
