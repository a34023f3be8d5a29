// The C helper over the launcher. Nothing may throw out of these functions: a C host cannot
// catch it.

#include "KELLaunch.h"

#include <algorithm>

#include "KELHost.h"
#include "Launcher.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>

struct KEL_Browser {
    KEL::Host::Launched process;
    KEL::Host::BrowserLines lines;
    KEL_LogCallback log = nullptr;
};

namespace {

void report(KEL_LogCallback log, const std::string &line) {
    if (log)
        log(line.c_str());
    else
        std::fprintf(stderr, "KELBrowser: %s\n", line.c_str());
}

void drain(KEL_Browser *browser) {
    browser->lines.drain(browser->process.logFd,
                         [browser](const std::string &line) { report(browser->log, line); });
}

} // namespace

extern "C" {

KEL_Browser *kel_start(const KEL_StartOptions *options) {
    try {
        KEL_StartOptions none;
        std::memset(&none, 0, sizeof none);
        const KEL_StartOptions &chosen = options ? *options : none;
        if (chosen.log)
            KEL_SetLogCB(chosen.log);
        const std::string suffix = KEL::Host::settleSegmentSuffix(chosen.fixed_segment_names);
        if (!KEL_Init()) {
            report(chosen.log, "kel_start: KEL_Init failed");
            return nullptr;
        }
        KEL::Host::LaunchRequest request;
        if (chosen.browser_path)
            request.program = chosen.browser_path;
        if (chosen.log_file)
            request.logFile = chosen.log_file;
        if (chosen.engine)
            request.engine = chosen.engine;
        request.environment["KEL_SEGMENT_SUFFIX"] = suffix;
        request.memoryLimit =
            chosen.memory_limit ? chosen.memory_limit : KEL::Host::kDefaultMemoryLimit;
        if (chosen.readable_folders) {
            const std::string folders = chosen.readable_folders;
            size_t from = 0;
            while (from <= folders.size()) {
                const size_t colon = std::min(folders.find(':', from), folders.size());
                if (colon > from)
                    request.sandboxReadable.push_back(folders.substr(from, colon - from));
                from = colon + 1;
            }
        }
        auto *browser = new KEL_Browser;
        browser->log = chosen.log;
        std::string error;
        if (!KEL::Host::spawnBrowser(request, &browser->process, &error)) {
            report(chosen.log, "kel_start: " + error);
            delete browser;
            KEL_Shutdown();
            return nullptr;
        }
        KEL_InitProcess();
        return browser;
    } catch (...) {
        return nullptr;
    }
}

void kel_update(KEL_Browser *browser) {
    try {
        if (browser)
            drain(browser);
    } catch (...) {
    }
    KEL_Update();
}

pid_t kel_pid(const KEL_Browser *browser) {
    return browser && browser->process.pid > 0 ? browser->process.browserPid : -1;
}

int kel_running(KEL_Browser *browser) {
    return browser && KEL::Host::stillRunning(browser->process, false, nullptr) ? 1 : 0;
}

int kel_stop(KEL_Browser *browser, int timeout_ms) {
    if (!browser)
        return 0;
    int endedByItself = 1;
    try {
        if (KEL::Host::stillRunning(browser->process, false, nullptr)) {
            KEL_Command exitCommand = KEL::Host::makeCommand(KEL::Code::EXIT);
            KEL_PostCommand(&exitCommand);
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            while (KEL::Host::stillRunning(browser->process, false, nullptr) &&
                   std::chrono::steady_clock::now() < deadline) {
                drain(browser);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (browser->process.pid > 0) {
                endedByItself = 0;
                // In the sandbox: the browser, and the whole sandbox with it.
                kill(browser->process.browserPid, SIGKILL);
                KEL::Host::stillRunning(browser->process, true, nullptr);
            }
        }
        drain(browser);
    } catch (...) {
    }
    if (browser->process.logFd >= 0)
        close(browser->process.logFd);
    if (browser->process.pidfd >= 0)
        close(browser->process.pidfd);
    if (browser->process.lifeline >= 0)
        close(browser->process.lifeline);
    KEL_Shutdown();
    delete browser;
    return endedByItself;
}

} // extern "C"
