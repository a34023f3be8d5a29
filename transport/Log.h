#pragma once
#include <string>

namespace KEL {

using LogCallback = void (*)(const char *message);

// The log sink of both processes: the registered callback when there is one (only the plugin
// registers one), otherwise standard output with the prefix "LOG: ".
void logMessage(const std::string &text);
void setLogCallback(LogCallback callback);
LogCallback logCallback();

} // namespace KEL
