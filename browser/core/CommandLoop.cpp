#include "core/CommandLoop.h"

#include "CommandBuffer.h"
#include "Log.h"
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
    if (reply.kind == Reply::Post)
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

Reply dispatchCommand(Command &command) {
    if (command.origin == localSide)
        return Reply::none(); // the host posted back one of our notices
    const CodeInfo *info = findReceivedCode(command.code);
    const Handler handler = findHandler(command.code);
    if (!handler)
        return traced(command, info, Reply::with(-1));
    const RequestPayloads payloads(command, info->payloads);
    return traced(command, info, handler(command));
}
void runCommandLoop(CommandBuffer &buffer) {
    for (int handled = 0; handled < kCommandsPerTick; ++handled) {
        CommandPtr command(buffer.next());
        if (!command)
            return;
        const Reply reply = dispatchCommand(*command);
        if (reply.kind == Reply::Post) {
            command->result = reply.result;
            buffer.post(command.get());
        } else if (reply.kind == Reply::SilentEndOfTick) {
            return;
        }
    }
}

} // namespace KEL
