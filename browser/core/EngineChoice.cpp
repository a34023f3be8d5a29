#include "core/EngineChoice.h"

#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace KEL {

const char *const kWpeProgramName = "KELBrowser-wpe";

namespace {

std::string ownFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    path[length] = '\0';
    std::string folder(path);
    const std::string::size_type slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

} // namespace

void runChosenEngine(char **argv) {
    const char *value = std::getenv("KEL_ENGINE");
    const std::string asked = value ? value : "";
    if (asked == "qtwebkit")
        return;
    if (!asked.empty() && asked != "wpe")
        logMessage("Unknown engine \"" + asked +
                   "\" in KEL_ENGINE (wpe or qtwebkit): " + "running the default");
    const std::string program = ownFolder() + kWpeProgramName;
    if (access(program.c_str(), X_OK) != 0) {
        if (asked == "wpe")
            logMessage("WPE WebKit was not built here: running QtWebKit");
        return;
    }
    setenv("KEL_ENGINE", "wpe", 1);
    execv(program.c_str(), argv);
    logMessage("Cannot run " + program + ": " + std::strerror(errno) + ": running QtWebKit");
    setenv("KEL_ENGINE", "qtwebkit", 1);
}

} // namespace KEL
