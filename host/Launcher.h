#pragma once
// Finding and starting the browser program, for the host kit and the C helper (KELLaunch.h).
//
// Every browser a host starts goes through spawnBrowser: it is the one place where the final
// program, arguments and environment are put together and the process is made, so whatever
// wraps the browser (resource bounds, a sandbox) wraps it for every host alike.

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KEL {
namespace Host {

// A regular file this process may execute.
bool isExecutable(const std::string &path);
// The folder part of a path ("." when there is none).
std::string directoryOf(const std::string &path);
// The KELBrowser program: $KEL_BROWSER_PATH, else ../bin/KELBrowser (or KELBrowser) beside the
// plugin library this process loaded.
std::string defaultBrowserPath();
// This process's environment with `overrides` added or replacing entries of the same name.
std::vector<std::string> environmentWith(const std::map<std::string, std::string> &overrides);

// The segment suffix this process's plugin and browser use, settled before KEL_Init (the
// plugin reads KEL_SEGMENT_SUFFIX there). A suffix already in the environment is kept. Without
// one, unless `fixedNames`, the process gets a suffix of its own ("_<pid>_<random>") and
// puts it into its environment, so that two hosts on one machine never take each other's
// segments; with `fixedNames` the plain names are used (a suffix this function chose earlier
// is taken away again). Returns the suffix in force ("" for the plain names).
std::string settleSegmentSuffix(bool fixedNames);

// The engine a browser at `program` will run: `asked` ("wpe" or "qtwebkit"; empty: KEL_ENGINE
// of this process), with WPE WebKit the default wherever its program (KELBrowser-wpe) sits
// beside `program`, and QtWebKit where it does not.
std::string chooseEngine(const std::string &program, const std::string &asked);

struct LaunchRequest {
    // Program to run; empty: defaultBrowserPath().
    std::string program;
    // "wpe", "qtwebkit", or empty for the default (chooseEngine).
    std::string engine;
    // Added to (or replacing entries of) this process's environment.
    std::map<std::string, std::string> environment;
    // Where the browser's standard output and error go. Empty: into a pipe whose reading end
    // the caller receives (Launched::logFd), so the browser's lines never reach the host's own
    // standard output.
    std::string logFile;
    // Bound on the memory of the browser's pages in bytes; 0 = none. QtWebKit runs pages in
    // the browser itself, which gets it as RLIMIT_DATA. WPE WebKit runs them in its own web
    // processes and gets it as KEL_MEMORY_LIMIT: its script engine reserves more private
    // writable memory than that at start, and the engine stops a page over the bound itself.
    uint64_t memoryLimit = 0;
    // Run it in a bubblewrap sandbox where bwrap works (Sandbox.h); KEL_SANDBOX=0 in this
    // process's environment turns it off as well.
    bool sandbox = true;
    // Folders the sandboxed browser may read that it would not see (its /tmp is empty).
    std::vector<std::string> sandboxReadable;
};

struct Launched {
    pid_t pid = -1;        // the process spawned: bwrap in the sandbox
    pid_t browserPid = -1; // the browser itself (the same as pid without the sandbox)
    int pidfd = -1;        // the browser's pidfd; -1 where the kernel has no pidfd_open
    int logFd = -1;        // reading end of the browser's output (non-blocking), or -1
    int lifeline = -1;     // write end of the pipe whose end of file tells the browser we ended
    bool sandboxed = false;
    std::string engine; // what chooseEngine chose
};

// Starts the browser. False, with *error set, when it cannot be started.
bool spawnBrowser(const LaunchRequest &request, Launched *launched, std::string *error);

// Whether the process still runs; once it has ended it is reaped, *status (as from waitpid,
// the browser's own status in the sandbox) filled in and the pidfd closed. `block` waits for
// the end.
bool stillRunning(Launched &launched, bool block, int *status);

// Splits the browser's output into lines, as it arrives through Launched::logFd.
class BrowserLines {
  public:
    // Reads what is waiting (never blocks) and hands every complete line to `sink`, without a
    // leading "LOG: ". At the end of the output, a last unfinished line is handed on too.
    template <typename Sink> void drain(int fd, Sink &&sink) {
        std::vector<std::string> lines;
        read(fd, &lines);
        for (const std::string &line : lines)
            sink(line);
    }

  private:
    void read(int fd, std::vector<std::string> *lines);
    std::string m_partial;
};

} // namespace Host
} // namespace KEL
