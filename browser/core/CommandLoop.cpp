#include "core/CommandLoop.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "Log.h"
#include "core/BrowserContext.h"
#include "core/CommandRoutes.h"
#include "core/HandlerSupport.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace KEL {

namespace {

// KEL_TRACE_COMMANDS=1 logs every record the loop takes, named from the catalogue.
bool tracing() {
    static const bool on = [] {
        const char *value = std::getenv("KEL_TRACE_COMMANDS");
        return value && *value && std::string(value) != "0";
    }();
    return on;
}

void trace(const Command &command, const CodeInfo *info, const Reply &reply) {
    std::string code(command.code, strnlen(command.code, 4));
    std::string line = "Command " + code + " #" + std::to_string(command.sequence) + " (" +
                       (info ? info->meaning : "unknown code") + ")";
    if (reply.kind == Reply::Post || reply.kind == Reply::PostThenExit)
        line += " -> " + std::to_string(reply.result);
    else
        line += " -> no reply";
    logMessage(line);
}

Reply traced(const Command &command, const CodeInfo *info, const Reply &reply) {
    if (tracing())
        trace(command, info, reply);
    return reply;
}

} // namespace

// A request's payloads leave the data buffer before its handler runs (RequestPayloads), so
// the pairs that named them are cleared in the record: a reply must never name a slot that
// is no longer the host's to take, or a host taking "its" reply payload would free whatever
// it stored there since. A handler that answers with a payload (EVJS) fills the pair anew.
Reply dispatchCommand(BrowserContext &context, Command &command) {
    if (command.origin == BrowserSide)
        return Reply::none(); // the host posted back one of our notices
    const CodeInfo *info = findReceivedCode(command.code);
    const Handler handler = info ? handlerFor(*info) : nullptr;
    if (!handler)
        return traced(command, info, Reply::with(-1));
    const RequestPayloads payloads(context.dataBuffer.get(), command, info->payloads);
    for (int slotArg = 0; slotArg + 1 < kIntArgCount; ++slotArg) {
        if (info->payloads & (1u << slotArg)) {
            command.intArgs[slotArg] = -1;
            command.intArgs[slotArg + 1] = 0;
        }
    }
    Request request{context, command, payloads};
    return traced(command, info, handler(request));
}

void runCommandLoop(BrowserContext &context) {
    if (!context.commandBuffer)
        return;
    CommandBuffer &buffer = *context.commandBuffer;
    for (int handled = 0; handled < kCommandsPerTick; ++handled) {
        CommandPtr command(buffer.next());
        if (!command)
            return;
        const Reply reply = dispatchCommand(context, *command);
        if (reply.kind == Reply::Post || reply.kind == Reply::PostThenExit) {
            command->result = reply.result;
            buffer.post(command.get());
            if (reply.kind == Reply::PostThenExit)
                context.requestExit();
        } else if (reply.kind == Reply::SilentEndOfTick) {
            return;
        }
    }
}

} // namespace KEL
