#pragma once
// Which engine a browser process runs. KEL_ENGINE names it ("wpe" or "qtwebkit"); unset or
// empty, WPE WebKit wherever its program was built. The two WebKits never share a process
// (both export the same script-engine symbols), so each engine is a program of its own beside
// KELBrowser, which the host starts: KELBrowser replaces itself with the chosen one, keeping its
// process id, arguments and environment. It links neither engine, so choosing costs the host
// no engine's start-up.

namespace KEL {

// File names of the engines' programs, in the same folder as KELBrowser.
extern const char *const kWpeProgramName;      // "KELBrowser-wpe"
extern const char *const kQtWebKitProgramName; // "KELBrowser-qtwebkit"

// Executes the chosen engine's program, setting KEL_ENGINE to the engine that runs. Falls back
// to QtWebKit where WPE WebKit is not built or cannot be executed (logged). Returns only when
// no engine's program could be executed (logged).
void runChosenEngine(char **argv);

} // namespace KEL
