#pragma once
// Which engine a browser process runs. KEL_ENGINE names it ("wpe" or "qtwebkit"); unset or
// empty, WPE WebKit wherever its program was built. The two WebKits never share a process
// (both export the same script-engine symbols): the QtWebKit program, which the host starts,
// replaces itself with the WPE program beside it, with the same process id, arguments and
// environment.

namespace KEL {

// File name of the WPE WebKit program, in the same folder as KELBrowser.
extern const char *const kWpeProgramName; // "KELBrowser-wpe"

// Called first thing in KELBrowser's main(): returns only when QtWebKit is to run here (chosen,
// or WPE asked for but not built, logged) or executing the WPE program failed (logged).
void runChosenEngine(char **argv);

} // namespace KEL
