// Handlers of the requests that concern the process rather than one view.

#include "CommandBuffer.h"
#include "core/CommandRoutes.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "core/KELApplication.h"
#include "core/ProcessState.h"
#include "core/ViewRegistry.h"
#include "core/Watchdog.h"
#include "view/Notice.h"

namespace KEL {

namespace {

// The versions the process actually runs with, not the ones it was built against.
void postBoot() {
    Notice(processState.notices, Code::BOOT)
        .integer(0, 0)
        .string(0, processState.engine ? processState.engine->version() : QString())
        .string(1, QString::fromLatin1(qVersion()))
        .post();
}

} // namespace

// A later INIT replaces the host: the previous handle is closed first. An identifier <= 0
// (other than -1) or one that cannot be opened leaves a null handle, so the first host check
// ends the process.
Reply handleInit(Command &command) {
    processState.hostProcessId = command.intArgs[0];
    processState.hostProcess.close();
    if (processState.hostProcessId > 0)
        processState.hostProcess.open(processState.hostProcessId);
    watchdog.hostChanged(processState.hostProcessId);
    postBoot();
    return Reply::none();
}

Reply handlePing(Command &) {
    processState.lastPing = SteadyClock::now();
    processState.pinged = true;
    watchdog.pinged();
    return Reply::with(1);
}

// The reply goes out before the process starts to exit; the records behind EXIT in this tick
// are still handled.
Reply handleExit(Command &) {
    return Reply::withThenExit(1);
}

Reply handleDebugPartialUpdates(Command &command) {
    processState.debugPartialUpdates = command.intArgs[0] != 0;
    return Reply::with(1);
}

Reply handleAllowPopups(Command &command) {
    processState.allowPopups = command.intArgs[0] != 0;
    return Reply::with(1);
}

Reply handleSaveCookies(Command &) {
    if (processState.engine)
        processState.engine->saveCookies();
    return Reply::with(1);
}

Reply handleClearCookies(Command &) {
    if (processState.engine)
        processState.engine->clearCookies();
    return Reply::with(1);
}

// Always SOCKS 5, for the whole process. The user name counts from strCount 2, the password
// from 3; only a pair of two non-empty strings becomes the stored credentials.
Reply handleProxy(Command &command) {
    if (processState.engine)
        processState.engine->setProxy(
            stringArg(command, 0),
            static_cast<uint16_t>(static_cast<uint32_t>(command.intArgs[0]) & 0xFFFFu),
            command.strCount >= 2 ? stringArg(command, 1) : QString(),
            command.strCount >= 3 ? stringArg(command, 2) : QString());
    return Reply::with(1);
}

Reply handleAuthentication(Command &command) {
    if (processState.engine)
        processState.engine->setAuthentication(stringArg(command, 0), stringArg(command, 1));
    return Reply::with(1);
}

Reply handleAddObject(Command &command) {
    if (processState.engine)
        processState.engine->addObject(stringArg(command, 0), stringArg(command, 1));
    return Reply::with(1);
}

Reply handleSetProperty(Command &command) {
    if (!processState.engine)
        return Reply::with(1);
    const QString object = stringArg(command, 0);
    processState.engine->setObjectProperty(object, stringArg(command, 1), stringArg(command, 2));
    // Pages that hold the object see a new property at once, as they see a changed one.
    if (processState.viewRegistry)
        for (const auto &view : processState.viewRegistry->views())
            view.second->refreshBridgeObject(object);
    return Reply::with(1);
}

} // namespace KEL
