// A host on the C++ host kit: show a page, wait until it has loaded, print the colour of the
// view's top-left pixel, read straight from the frame the kit holds in shared memory, and its
// title. Against an installed SDK:
//     c++ -std=c++17 kit_host.cpp $(pkg-config --cflags --libs kel) -o kit_host
// or in CMake: find_package(KEL) and target_link_libraries(kit_host PRIVATE KEL::Host).
#include "KELHost.h"
#include "View.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    const std::string html =
        argc > 1 ? argv[1] : "<title>kit</title><body style='margin:0;background:#2a6'>";
    // The plugin's own lines (without a callback they go to standard output).
    KEL_SetLogCB([](const char *line) { std::fprintf(stderr, "kel: %s\n", line); });
    KEL::Host::Browser browser;
    KEL::Host::StartOptions options;
    options.onBrowserLine = [](const std::string &line) {
        std::fprintf(stderr, "browser: %s\n", line.c_str());
    };
    if (!browser.start(options)) {
        std::fprintf(stderr, "cannot start the browser: %s\n", browser.error().c_str());
        return 1;
    }
    KEL::Host::View view(browser, "main");
    bool loaded = false;
    view.onLoaded = [&] { loaded = true; };
    browser.setNoticeHandler([&](const KEL_Command &record) {
        if (!view.handle(record) && KEL::Host::isFrameNotice(record))
            KEL::Host::releaseFrame();
    });
    view.create(256, 128);
    view.showHtml(html);
    // pump() hands the view its records and takes its newest frame.
    const bool shown = browser.spinUntil([&] { return loaded && view.frame() != nullptr; }, 15000);
    if (!shown) {
        std::fprintf(stderr, "the page did not finish loading\n");
        return 1;
    }
    // Rows count from the bottom, so the page's top row is the frame's last.
    const KEL_Frame *frame = view.frame();
    const uint8_t *pixel =
        static_cast<const uint8_t *>(frame->pixels) + size_t(frame->height - 1) * frame->stride;
    std::printf("title %s pixel %d %d %d segments %s\n", view.title().c_str(), pixel[0], pixel[1],
                pixel[2], browser.segmentSuffix().c_str());
    browser.stop();
    return 0;
}
