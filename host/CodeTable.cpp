#include "CodeTable.h"

#include "CommandCodes.h"

namespace KEL {
namespace Host {

std::string codeTableMarkdown() {
    std::string out = "| Code | Sent by | Meaning | Fields and reply |\n|---|---|---|---|\n";
    for (const CodeInfo &info : kCodeTable) {
        out += "| `";
        out += info.code;
        out += "` | ";
        out += info.direction == Direction::Request ? "host" : "browser";
        out += " | ";
        out += info.meaning;
        out += " | ";
        out += info.fields;
        out += " |\n";
    }
    return out;
}

} // namespace Host
} // namespace KEL
