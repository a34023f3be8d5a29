// Handlers of the requests that create, switch, size and navigate one view. A request that
// names no view is answered like a handled one (RMVW excepted); the dispatcher frees any
// payload it carries. A request whose effect shows on the page calls requestPaint(), so the
// effect is in this tick's frame before the engine's own repaint notice would arrive.

#include "RecordText.h"
#include "core/BrowserContext.h"
#include "core/CommandRoutes.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "core/HandlerSupport.h"
#include "core/ViewRegistry.h"
#include "view/Notice.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"

#include <QUrl>

#include <algorithm>

namespace KEL {

Reply handleCreateView(Request &request) {
    ViewRegistry *registry = request.context.viewRegistry.get();
    if (!registry)
        return Reply::with(-1);
    const Command &command = request.command;
    EngineView *view = registry->createView(request.string(0), command.intArgs[0],
                                            command.intArgs[1], command.intArgs[2] != 0);
    return Reply::with(view ? 1 : -1);
}

Reply handleRemoveView(Request &request) {
    EngineView *view = request.view();
    if (!view)
        return Reply::with(-1);
    request.context.viewRegistry->removeView(view);
    return Reply::with(1);
}

// 2 tells the host to recreate its texture at the new power-of-two size. A new size repaints
// the view by itself (setViewSize), as do SACT and SMSK; SSMR changes nothing that is shown.
Reply handleResize(Request &request) {
    const Command &command = request.command;
    EngineView *view = request.view();
    const bool textureChanged =
        view && view->setViewSize(static_cast<uint32_t>(command.intArgs[0]),
                                  static_cast<uint32_t>(command.intArgs[1]));
    return Reply::with(textureChanged ? 2 : 1);
}

Reply handleSetActive(Request &request) {
    if (EngineView *view = request.view())
        view->setActive(request.command.intArgs[0] != 0);
    return Reply::with(1);
}

Reply handleSetPartialUpdates(Request &request) {
    if (EngineView *view = request.view())
        view->setPartialUpdates(request.command.intArgs[0] != 0);
    return Reply::with(1);
}

Reply handleSetTransparent(Request &request) {
    if (EngineView *view = request.view())
        view->setTransparentBackground(request.command.intArgs[0] != 0);
    return Reply::with(1);
}

// The address may be split over strArgs[1..strCount-1] (longer than one string slot); with
// strCount <= 1 it is empty. strCount comes from the host, so it is held to the record. The
// host chose this address, so its server may receive the AUTH credentials.
Reply handleLoad(Request &request) {
    EngineView *view = request.view();
    if (!view)
        return Reply::with(1);
    view->requestPaint();
    const int parts = std::min(request.command.strCount, int32_t(kStrArgCount));
    QString address;
    for (int i = 1; i < parts; ++i)
        address += request.string(i);
    const QUrl url(address, QUrl::TolerantMode);
    request.context.engine->trustServer(url);
    view->loadUrl(url);
    return Reply::with(1);
}

Reply handleForward(Request &request) {
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->goForward();
    }
    return Reply::with(1);
}

Reply handleBack(Request &request) {
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->goBack();
    }
    return Reply::with(1);
}

Reply handleHtml(Request &request) {
    if (EngineView *view = request.view()) {
        view->requestPaint();
        view->showHostHtml(request.text(0));
    }
    return Reply::with(1);
}

namespace {

struct PendingEvaluation {
    Command record;
    bool answered = false;
    bool handlerReturned = false;
};

// A reply that could not be posted frees its value's slot: nobody would ever take it.
void postLateReply(BrowserContext &context, Command &record) {
    CommandBuffer *commands = context.commandBuffer.get();
    if (commands && !context.exiting && commands->post(&record) != 0)
        return;
    if (DataBuffer *data = context.dataBuffer.get())
        takeTextPayload(*data, record.intArgs[0], record.intArgs[1]);
}

} // namespace

// The result goes back as a text payload in place of the script's; for a missing view the
// host's own arguments come back unchanged. An engine whose pages run in another process
// answers once the page has run the script: the reply is posted then, and the command loop
// goes on meanwhile.
Reply handleEvaluate(Request &request) {
    EngineView *view = request.view();
    if (!view)
        return Reply::with(1);
    view->requestPaint();
    auto pending = std::make_shared<PendingEvaluation>();
    pending->record = request.command;
    // The context outlives every view, and so every answer a view can still give.
    BrowserContext &context = request.context;
    view->evaluate(request.text(0), [pending, &context](const QString &value) {
        if (pending->answered)
            return;
        int32_t length = 0;
        int32_t slot = -1;
        if (DataBuffer *data = context.dataBuffer.get())
            slot = storeTextPayload(*data, toU16(value), &length);
        pending->record.intArgs[0] = slot;
        pending->record.intArgs[1] = length;
        pending->record.result = 1;
        pending->answered = true;
        if (pending->handlerReturned)
            postLateReply(context, pending->record);
    });
    pending->handlerReturned = true;
    if (!pending->answered)
        return Reply::none();
    request.command = pending->record;
    return Reply::with(1);
}

} // namespace KEL
