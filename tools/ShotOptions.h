#pragma once
// kelshot's command line: the option table (from which --help is generated), the exit codes
// and the parsing, kept apart from the run so they can be read and changed in one place.

#include <string>
#include <vector>

namespace KEL {
namespace Shot {

// Distinct codes so scripts can tell what went wrong without reading the message.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,      // the browser did not answer a request
    kExitBadOptions = 2,  // bad options, or an input file that cannot be read
    kExitTimedOut = 3,    // the page did not finish loading in time
    kExitNoBrowser = 4,   // the browser program is missing or cannot start
    kExitBrowserDied = 5, // the browser ended while loading or rendering
    kExitCannotWrite = 6, // the picture cannot be written
    kExitTooLarge = 7,    // page or script too large for one data slot (1 MiB)
    kExitLoadFailed = 8,  // the page could not be fetched (network error; HTTP errors are pages)
    kExitScriptError = 9, // an --eval script threw
    kExitInterrupted = 130,
};

// Largest view side, and largest painted side (view side times scale): a frame area's bound.
constexpr int kMaxShotSide = 4096;

struct Options {
    int width = 1024, height = 768;
    int scalePercent = 100; // the page is laid out at width x height and painted this much larger
    std::string address;    // what LOAD gets (a file path already made a file address)
    std::string htmlFile;   // shown with HTML instead of loading an address
    std::string out = "kelshot.png";
    std::string log = "/dev/null";
    int timeoutMs = 30000;
    int waitMs = 0;
    bool transparent = false;
    std::string engine; // "wpe", "qtwebkit", or empty for the default
    bool quiet = false;
    std::vector<std::string> scripts; // --eval, in order
};

enum class Action { Run, Help, Version, Error };

struct Parsed {
    Action action = Action::Run;
    Options options;
    std::string error; // for Action::Error
};

// `demoAddress` is what runs when neither an address, a file nor --html is given.
Parsed parseArguments(int argc, char **argv, const std::string &demoAddress);
std::string helpText();

// "file://" plus the percent-encoded absolute path; empty when the file does not exist.
std::string fileAddress(const std::string &path);

} // namespace Shot
} // namespace KEL
