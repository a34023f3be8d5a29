#pragma once
// The command code table as text, for people: `kelcodes` prints it, README.md carries it (a
// test keeps the two equal).

#include <string>

namespace KEL {
namespace Host {

// A Markdown table, one row per code in the table's order: code, direction, meaning, fields.
std::string codeTableMarkdown();

} // namespace Host
} // namespace KEL
