#include "core/EngineChoice.h"

#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace KEL {

const char *const kWpeProgramName = "KELBrowser-wpe";
const char *const kQtWebKitProgramName = "KELBrowser-qtwebkit";

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

// Returns only when the program could not be executed (logged).
void run(const std::string &program, const char *engine, char **argv) {
    setenv("KEL_ENGINE", engine, 1);
    execv(program.c_str(), argv);
    logMessage("Cannot run " + program + ": " + std::strerror(errno));
}

} // namespace

void runChosenEngine(char **argv) {
    const char *value = std::getenv("KEL_ENGINE");
    const std::string asked = value ? value : "";
    const std::string folder = ownFolder();
    if (!asked.empty() && asked != "wpe" && asked != "qtwebkit")
        logMessage("Unknown engine \"" + asked +
                   "\" in KEL_ENGINE (wpe or qtwebkit): " + "running the default");
    if (asked != "qtwebkit") {
        const std::string wpe = folder + kWpeProgramName;
        if (access(wpe.c_str(), X_OK) == 0)
            run(wpe, "wpe", argv);
        else if (asked == "wpe")
            logMessage("WPE WebKit was not built here: running QtWebKit");
    }
    run(folder + kQtWebKitProgramName, "qtwebkit", argv);
}

} // namespace KEL
