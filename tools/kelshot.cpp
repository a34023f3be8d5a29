// kelshot: render a page with KEL and save what the host receives as a PNG.
//
//   kelshot [--size WxH] [--html FILE | URL] [--out FILE.png] [--timeout MS] [--log FILE]
//
// The browser's own log goes to FILE (default: discarded).
//
// It drives the browser exactly as a game would (CRVW, LOAD or HTML, frames through the
// compositor, LDFN), so it doubles as a smoke test and a "time to first page" measurement.

#include "FrameCompositor.h"
#include "KELHost.h"
#include "PngWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace KEL::Host;

namespace {

int usage() {
    std::fprintf(stderr, "usage: kelshot [--size WxH] [--html FILE | URL] [--out FILE.png] "
                         "[--timeout MS] [--log FILE]\n");
    return 2;
}

// LOAD splits the address over string arguments 1.. of up to 255 units each.
KEL_Command loadCommand(const std::string &view, const std::string &url) {
    KEL_Command load = makeCommand("LOAD");
    setString(load, 0, view);
    const std::u16string address = utf16(url);
    int arg = 1;
    for (size_t pos = 0; pos < address.size() && arg < KEL_COMMAND_STR_ARGS; pos += 255)
        setString(load, arg++, address.substr(pos, 255));
    load.strCount = arg;
    return load;
}

} // namespace

int main(int argc, char **argv) {
    int width = 1024, height = 768, timeoutMs = 30000;
    std::string url, htmlFile, out = "kelshot.png", log = "/dev/null";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2)
                return usage();
        } else if (arg == "--html" && i + 1 < argc) {
            htmlFile = argv[++i];
        } else if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--log" && i + 1 < argc) {
            log = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeoutMs = std::atoi(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-') {
            url = arg;
        } else {
            return usage();
        }
    }
    if (url.empty() == htmlFile.empty())
        return usage();
    if (!std::getenv("KEL_SEGMENT_SUFFIX")) {
        const std::string suffix = "_kelshot" + std::to_string(getpid());
        setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
    }

    const auto started = std::chrono::steady_clock::now();
    Browser browser;
    FrameCompositor compositor;
    compositor.attach(browser);
    StartOptions options;
    options.logFile = log;
    if (!browser.start(options)) {
        std::fprintf(stderr, "kelshot: %s\n", browser.error().c_str());
        return 1;
    }
    KEL_Command create = makeCommand("CRVW");
    setString(create, 0, "main");
    setInt(create, 0, width);
    setInt(create, 1, height);
    setInt(create, 2, 0); // whole frames only
    KEL_Command reply;
    if (!browser.request(create, &reply) || reply.result != 1) {
        std::fprintf(stderr, "kelshot: cannot create the view\n");
        return 1;
    }
    if (!htmlFile.empty()) {
        std::ifstream in(htmlFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "kelshot: cannot read %s\n", htmlFile.c_str());
            return 1;
        }
        KEL_Command html = makeCommand("HTML");
        setString(html, 0, "main");
        if (!putText(html, 0, text.str())) {
            std::fprintf(stderr, "kelshot: page too large for the data segment\n");
            return 1;
        }
        browser.post(html);
    } else {
        browser.post(loadCommand("main", url));
    }
    // LDFN follows the delivery of the frames painted up to the end of the load.
    if (!browser.waitFor("LDFN", nullptr, timeoutMs)) {
        std::fprintf(stderr, "kelshot: the page did not finish loading in time\n");
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const ViewTexture *texture = compositor.texture("main");
    std::vector<uint8_t> page(size_t(texture->viewWidth) * texture->viewHeight * 4);
    for (uint32_t y = 0; y < texture->viewHeight; ++y) {
        const uint8_t *row = &texture->pixels[size_t(texture->height - 1 - y) * texture->width * 4];
        std::memcpy(&page[size_t(y) * texture->viewWidth * 4], row, texture->viewWidth * 4);
    }
    if (!KEL::Tools::writePng(out, page.data(), texture->viewWidth, texture->viewHeight)) {
        std::fprintf(stderr, "kelshot: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %ux%u, page on screen after %.3f s\n", out.c_str(), texture->viewWidth,
                texture->viewHeight, seconds);
    browser.stop();
    return 0;
}
