#pragma once
// What the page process's extension (ConsoleExtension.cpp) and the view agree on: one view
// message per console message, named kConsoleRelayMessage, with the text, the line and the
// address of the script as a GVariant of kConsoleRelayType.

namespace KEL {

constexpr const char *kConsoleRelayMessage = "kel-console";
constexpr const char *kConsoleRelayType = "(sus)";
// The folder beside the browser program that holds the extension.
constexpr const char *kWpeExtensionFolder = "wpe-extensions";

} // namespace KEL
