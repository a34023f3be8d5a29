#pragma once
#include <string>

namespace KEL {

using LogCallback = void (*)(const char *message);
using LogUserCallback = void (*)(const char *message, void *user);

// The log sink of both processes: the registered callback when there is one (only the plugin
// registers one), otherwise standard output with the prefix "LOG: ".
void logMessage(const std::string &text);
// Each setter replaces what either of them registered.
void setLogCallback(LogCallback callback);
void setLogCallbackWithUser(LogUserCallback callback, void *user);
LogCallback logCallback();

} // namespace KEL
