// Figures for the browser process as a host sees it:
//  - time from starting KELBrowser to the first whole frame of a page, and from posting HTML
//    to its frame on an already running browser;
//  - CPU the browser spends per second on views that show a page that does not change.
// Prints figures; never fails on them.
//
//   browser_bench [--runs N] [--views N] [--seconds S]

#include "FrameCompositor.h"
#include "KELHost.h"

#include "CommandCodes.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace KEL::Host;
using Clock = std::chrono::steady_clock;

namespace {

const char *kPage = "<html><body style='margin:0;background:#246;color:#fff;font:20px sans-serif'>"
                    "<h1>Benchmark page</h1><p>Some text, a box and a list.</p>"
                    "<div style='width:300px;height:120px;background:#c84'></div>"
                    "<ul><li>one</li><li>two</li><li>three</li></ul></body></html>";

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// User + system CPU time of a process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) // state .. cmajflt
        fields >> skip;
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool showPage(Browser &browser, const std::string &view) {
    KEL_Command html = makeCommand(KEL::Code::HTML);
    setString(html, 0, view);
    putText(html, 0, std::string(kPage));
    KEL_Command reply;
    return browser.request(html, &reply) && reply.result == 1;
}

bool createView(Browser &browser, const std::string &view, int w, int h) {
    KEL_Command create = makeCommand(KEL::Code::CRVW);
    setString(create, 0, view);
    setInt(create, 0, w);
    setInt(create, 1, h);
    setInt(create, 2, 1);
    KEL_Command reply;
    return browser.request(create, &reply) && reply.result == 1;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

StartOptions quietStart() {
    StartOptions options;
    options.logFile = "/dev/null";
    return options;
}

} // namespace

int main(int argc, char **argv) {
    int runs = 5, views = 4;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (arg == "--views")
            views = std::atoi(argv[i + 1]);
        else if (arg == "--seconds")
            seconds = std::atof(argv[i + 1]);
    }
    const std::string suffix = "_bench" + std::to_string(getpid());
    setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);

    std::vector<double> cold, warm;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        Browser browser;
        FrameCompositor frames;
        frames.attach(browser);
        if (!browser.start(quietStart()) || !createView(browser, "main", 1024, 768) ||
            !showPage(browser, "main") || !browser.waitFor(KEL::Code::LDFN, nullptr, 20000)) {
            std::fprintf(stderr, "browser_bench: %s\n", browser.error().c_str());
            return 1;
        }
        cold.push_back(msSince(start));
        const auto again = Clock::now();
        showPage(browser, "main");
        browser.waitFor(KEL::Code::LDFN, nullptr, 20000);
        warm.push_back(msSince(again));
        browser.stop();
    }
    std::printf("page on screen, 1024x768, from starting the browser: median %.1f ms over %d "
                "runs\n",
                median(cold), runs);
    std::printf("page on screen, 1024x768, browser already running:   median %.1f ms\n",
                median(warm));

    Browser browser;
    FrameCompositor frames;
    frames.attach(browser);
    if (!browser.start(quietStart()))
        return 1;
    for (int v = 0; v < views; ++v) {
        const std::string name = "idle" + std::to_string(v);
        createView(browser, name, 1024, 768);
        showPage(browser, name);
        browser.waitFor(KEL::Code::LDFN, nullptr, 20000);
    }
    // Let the idle consolidation frames go out, then measure a quiet stretch.
    browser.spinUntil([] { return false; }, 1000);
    const double before = cpuSeconds(browser.pid());
    const auto start = Clock::now();
    const uint64_t deliveriesBefore = frames.deliveries();
    browser.spinUntil([] { return false; }, int(seconds * 1000));
    const double used = cpuSeconds(browser.pid()) - before;
    const double wall = msSince(start) / 1000.0;
    std::printf("idle: %d unchanged 1024x768 views cost %.1f %% of one core (%.2f %% per view), "
                "%llu deliveries in %.1f s\n",
                views, 100.0 * used / wall, 100.0 * used / wall / views,
                static_cast<unsigned long long>(frames.deliveries() - deliveriesBefore), wall);
    browser.stop();
    return 0;
}
