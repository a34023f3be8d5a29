// kelshot as a user runs it: pages served on 127.0.0.1, pictures read back with libpng, the
// exit codes and messages of every way a run can fail.

#include "KELHost.h"
#include "ShotSupport.h"

#include <gtest/gtest.h>

#include "CommandCodes.h"
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace KEL {
namespace Test {
namespace {

using Pages = std::map<std::string, std::string>;

constexpr uint32_t kRed = 0xFF0000FF, kGreen = 0x00FF00FF, kBlue = 0x0000FFFF;

// Absolutely placed boxes on a page of the given background, margins off.
std::string boxesPage(const std::string &title, const std::string &background,
                      const std::vector<std::string> &boxes) {
    std::string html = "<!DOCTYPE html><html><head><title>" + title +
                       "</title></head><body style=\"margin:0;background:" + background + "\">";
    for (const std::string &box : boxes)
        html += "<div style=\"position:absolute;" + box + "\"></div>";
    return html + "</body></html>";
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Kelshot : public ::testing::Test {
  protected:
    ShotRunner m_runner;
};

// Guards the path from texture to file: rows must be flipped to top-first, cropped to the
// view, and a plain 1024 x 768 page must compress far below the raw 3 MB.
TEST_F(Kelshot, RendersAServedPageWithItsColoursTopRowFirst) {
    PageServer server(Pages{
        {"/colours.html", boxesPage("Colours", "rgb(255,0,0)",
                                    {"left:0;top:0;width:100px;height:50px;background:rgb(0,0,255)",
                                     "right:0;bottom:0;width:80px;height:40px;"
                                     "background:rgb(0,255,0)"})}});
    const std::string address = server.address("/colours.html");
    const RunResult run = m_runner.run({address});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "") << "stdout carries only --eval values";
    EXPECT_NE(run.err.find("title: Colours\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("address: " + address + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("kelshot: loaded in "), std::string::npos)
        << "one line per load when stderr is no terminal:\n"
        << run.err;

    const std::string file = m_runner.path("run0/kelshot.png");
    const Picture picture = readPng(file);
    ASSERT_TRUE(picture.loaded);
    EXPECT_EQ(picture.width, 1024u);
    EXPECT_EQ(picture.height, 768u);
    EXPECT_EQ(picture.at(10, 10), kBlue);
    EXPECT_EQ(picture.at(99, 49), kBlue);
    EXPECT_EQ(picture.at(100, 50), kRed);
    EXPECT_EQ(picture.at(512, 400), kRed);
    EXPECT_EQ(picture.at(1020, 765), kGreen);
    EXPECT_EQ(picture.at(943, 727), kRed);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_LT(info.st_size, 100 * 1024);
}

// Guards --transparent and the un-premultiplying: nothing drawn stays alpha 0, a half-opaque
// red box comes out as full red at half alpha (premultiplied it would be dark red).
TEST_F(Kelshot, TransparentKeepsAlphaZeroWhereNothingIsDrawnAndStraightColours) {
    PageServer server(Pages{{"/clear.html", boxesPage("Clear", "transparent",
                                                      {"left:0;top:0;width:60px;height:60px;"
                                                       "background:rgba(255,0,0,0.5)",
                                                       "left:100px;top:0;width:60px;height:60px;"
                                                       "background:rgba(0,255,0,1)"})}});
    const RunResult run = m_runner.run({"--transparent", "--size", "300x200", "--out", "clear.png",
                                        server.address("/clear.html")});
    ASSERT_EQ(run.code, 0) << run.err;
    const Picture picture = readPng(m_runner.path("run0/clear.png"));
    ASSERT_TRUE(picture.loaded);
    EXPECT_EQ(picture.width, 300u);
    EXPECT_EQ(picture.height, 200u);
    EXPECT_EQ(picture.at(250, 150), 0u) << "nothing drawn: alpha 0, no colour";
    EXPECT_EQ(picture.at(120, 30), kGreen);
    const uint32_t half = picture.at(30, 30);
    EXPECT_GE(half >> 24, 0xFDu) << std::hex << half;
    EXPECT_EQ((half >> 8) & 0xFFFF, 0u) << std::hex << half;
    EXPECT_NEAR(int(half & 0xFF), 128, 2) << std::hex << half;
}

// Guards --eval (values in order on stdout, as JSON, one line each whatever they hold) and the
// LOAD split: an address far longer than one string argument arrives whole.
TEST_F(Kelshot, EvalPrintsEachValueAsJsonAndLongAddressesArriveWhole) {
    PageServer server(Pages{{"/eval.html", boxesPage("Eval page", "white", {})}});
    const std::string query(2000, 'q');
    const std::string address = server.address("/eval.html?" + query);
    const RunResult run = m_runner.run({"--quiet",
                                        "--eval",
                                        "6 * 7",
                                        "--eval",
                                        "document.title",
                                        "--eval",
                                        "location.href.length",
                                        "--eval",
                                        "({a: [1, 'x'], b: null})",
                                        "--eval",
                                        "null",
                                        "--eval",
                                        "undefined",
                                        "--eval",
                                        "'two\\nlines \\\"quoted\\\"'",
                                        "--eval",
                                        "var kept = 5",
                                        "--eval",
                                        "kept",
                                        address});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "42\n\"Eval page\"\n" + std::to_string(address.size()) +
                           "\n{\"a\":[1,\"x\"],\"b\":null}\nnull\nnull\n"
                           "\"two\\nlines \\\"quoted\\\"\"\nnull\n5\n");
    EXPECT_EQ(run.err, "") << "--quiet";
}

// Guards console output: each message reaches stderr with its source and line.
TEST_F(Kelshot, ConsoleMessagesAppearOnStderrWithSourceAndLine) {
    PageServer server(Pages{{"/console.html", "<!DOCTYPE html>\n"
                                              "<html><head><title>Console</title></head><body>\n"
                                              "<script>\n"
                                              "console.log('hello from the page');\n"
                                              "</script></body></html>\n"}});
    const std::string address = server.address("/console.html");
    const RunResult run = m_runner.run({"--size", "200x200", address});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("console: " + address + ":4: hello from the page\n"), std::string::npos)
        << run.err;
}

// Guards the one-shot rule: a page whose script keeps the engine busy for longer than a hung
// browser may take in a game is waited for within --timeout, never replaced half-way.
TEST_F(Kelshot, APageThatKeepsTheEngineBusyForSecondsIsWaitedFor) {
    PageServer server(Pages{{"/busy.html", "<!DOCTYPE html><html><head><title>Busy</title></head>"
                                           "<body><script>var end = Date.now() + 4500;"
                                           "while (Date.now() < end) {}"
                                           "document.title = 'Done';</script></body></html>"}});
    const RunResult run = m_runner.run(
        {"--size", "200x200", "--eval", "document.title", server.address("/busy.html")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "\"Done\"\n");
}

// Guards the default page: found beside the build's programs, rendered with no address.
TEST_F(Kelshot, RendersTheDemoPageWhenNoAddressIsGiven) {
    const RunResult run = m_runner.run({"--out", "demo.png"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("title: KEL demo\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("/share/kel/examples/demo.html\n"), std::string::npos) << run.err;
    const Picture picture = readPng(m_runner.path("run0/demo.png"));
    ASSERT_TRUE(picture.loaded);
    EXPECT_EQ(picture.width, 1024u);
    EXPECT_EQ(picture.height, 768u);
    // The dark page background, opaque, in the top-left corner.
    const uint32_t corner = picture.at(4, 4);
    EXPECT_EQ(corner & 0xFF, 0xFFu);
    EXPECT_LT(corner >> 24, 0x40u) << std::hex << corner;
}

// Guards the frame area's promise: a picture far larger than the texture segment's 1024 is the
// page's pixels exactly, every one of them (a canvas filled by script with a pattern that
// gives each pixel its own value, so a shifted row, a flipped picture, a stride taken wrong
// or a copy cut short all show).
TEST_F(Kelshot, ALargePictureIsThePagesPixelsExactly) {
    constexpr int kWidth = 1920, kHeight = 1080;
    const std::string page =
        "<!DOCTYPE html><html><head><title>Pixels</title><style>html,body{margin:0;"
        "overflow:hidden;background:#000}canvas{display:block}</style></head><body>"
        "<canvas id=c width=1920 height=1080></canvas><script>"
        "var c=document.getElementById('c'),g=c.getContext('2d'),d=g.createImageData(1920,1080),"
        "p=d.data;for(var y=0;y<1080;y++)for(var x=0;x<1920;x++){var i=(y*1920+x)*4;"
        "p[i]=x&255;p[i+1]=y&255;p[i+2]=((x>>8)<<4|(y>>8))&255;p[i+3]=255;}"
        "g.putImageData(d,0,0);</script></body></html>";
    PageServer server(Pages{{"/pixels.html", page}});
    const RunResult run =
        m_runner.run({"--size", "1920x1080", "--out", "large.png", server.address("/pixels.html")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("wrote large.png: 1920x1080"), std::string::npos) << run.err;
    const Picture picture = readPng(m_runner.path("run0/large.png"));
    ASSERT_TRUE(picture.loaded);
    ASSERT_EQ(picture.width, uint32_t(kWidth));
    ASSERT_EQ(picture.height, uint32_t(kHeight));
    size_t wrong = 0;
    std::string first;
    for (uint32_t y = 0; y < uint32_t(kHeight); ++y) {
        for (uint32_t x = 0; x < uint32_t(kWidth); ++x) {
            const uint32_t expected =
                (x & 255) << 24 | (y & 255) << 16 | (((x >> 8) << 4 | (y >> 8)) & 255) << 8 | 0xFF;
            if (picture.at(x, y) == expected)
                continue;
            if (wrong++ == 0) {
                std::ostringstream text;
                text << "(" << x << ", " << y << ") is " << std::hex << picture.at(x, y) << ", not "
                     << expected;
                first = text.str();
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "first: " << first;
}

// Guards --scale: the page is laid out at --size (its boxes keep their CSS pixels) and painted
// and written that much larger, so each box's edges land at their scaled places.
TEST_F(Kelshot, ScaleLaysThePageOutAtItsSizeAndPaintsItLarger) {
    PageServer server(Pages{
        {"/scaled.html", boxesPage("Scaled", "rgb(255,0,0)",
                                   {"left:0;top:0;width:100px;height:50px;background:rgb(0,0,255)",
                                    "right:0;bottom:0;width:80px;height:40px;"
                                    "background:rgb(0,255,0)"})}});
    struct Case {
        const char *scale;
        int percent;
    };
    int runIndex = 0;
    for (const Case c : {Case{"1", 100}, Case{"1.5", 150}, Case{"2", 200}}) {
        SCOPED_TRACE(c.scale);
        const RunResult run = m_runner.run({"--size", "400x300", "--scale", c.scale, "--out",
                                            "scaled.png", server.address("/scaled.html")});
        const std::string file = m_runner.path("run" + std::to_string(runIndex++) + "/scaled.png");
        ASSERT_EQ(run.code, 0) << run.err;
        const Picture picture = readPng(file);
        ASSERT_TRUE(picture.loaded);
        auto scaled = [&](int side) { return side * c.percent / 100; };
        const uint32_t w = uint32_t(scaled(400)), h = uint32_t(scaled(300));
        EXPECT_EQ(picture.width, w);
        EXPECT_EQ(picture.height, h);
        // Two painted pixels inside and outside each edge.
        const int bx = scaled(100), by = scaled(50), gx = scaled(320), gy = scaled(260);
        EXPECT_EQ(picture.at(0, 0), kBlue);
        EXPECT_EQ(picture.at(uint32_t(bx - 2), uint32_t(by - 2)), kBlue);
        EXPECT_EQ(picture.at(uint32_t(bx + 2), uint32_t(by + 2)), kRed);
        EXPECT_EQ(picture.at(uint32_t(gx - 2), uint32_t(gy - 2)), kRed);
        EXPECT_EQ(picture.at(uint32_t(gx + 2), uint32_t(gy + 2)), kGreen);
        EXPECT_EQ(picture.at(w - 1, h - 1), kGreen);
    }
}

struct FailureCase {
    const char *name;
    // "{silent}", "{refused}", "{missing}" and "{folder}" become a never-answering server, a
    // closed port, a path the server answers 404 for and a folder
    std::vector<std::string> args;
    std::map<std::string, std::string> environment;
    int code;
    std::string message;
};

// Guards every failure a user can meet: each has its own exit code and says what went wrong.
TEST_F(Kelshot, FailuresExitWithTheirOwnCodesAndMessages) {
    PageServer silent(Pages{}, true);
    const std::string big = m_runner.path("big.html");
    std::ofstream(big) << std::string(600 * 1024, 'x');
    const std::vector<FailureCase> cases = {
        {"unknown option", {"--bogus"}, {}, 2, "unknown option --bogus"},
        {"size out of range", {"--size", "50x50"}, {}, 2, "each side must be 128 to 4096"},
        {"size above 4096", {"--size", "4097x128"}, {}, 2, "each side must be 128 to 4096"},
        {"unknown scale", {"--scale", "3"}, {}, 2, "--scale wants 1, 1.5 or 2"},
        {"scaled size above 4096",
         {"--size", "3000x1000", "--scale", "1.5"},
         {},
         2,
         "--size times --scale must stay within 4096 pixels a side"},
        {"missing value", {"--out"}, {}, 2, "--out wants FILE.png"},
        {"no such file", {"nowhere.html"}, {}, 2, "no such file: nowhere.html"},
        {"unwritable output", {"--out", "/nonexistent/x.png"}, {}, 6, "cannot write"},
        {"page too large", {"--html", big}, {}, 7, "too large for the data segment"},
        {"browser missing",
         {"--timeout", "5000", "about:blank"},
         {{"KEL_BROWSER_PATH", "/nonexistent/KELBrowser"}},
         4,
         "cannot start /nonexistent/KELBrowser"},
        {"page never answers",
         {"--timeout", "1500", "{silent}"},
         {},
         3,
         "the page did not finish loading within 1500 ms"},
        {"connection refused", {"{refused}"}, {}, 8, "could not be loaded: Connection refused"},
        {"blocked port", {"http://127.0.0.1:1/"}, {}, 8, "could not be loaded: Request blocked"},
        {"an HTTP error page is a page", {"{missing}"}, {}, 0, ""},
        {"folder as --html", {"--html", "{folder}"}, {}, 2, "is a folder, not a page"},
        {"folder as FILE", {"{folder}"}, {}, 2, "is a folder, not a page"},
        {"script throws",
         {"--eval", "null.x", "about:blank"},
         {},
         9,
         "the script threw: TypeError"},
    };
    // A port that nothing listens on: bound for a number, closed again.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof any;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&any), size), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&any), &size), 0);
    close(probe);
    const std::string refused = "http://127.0.0.1:" + std::to_string(ntohs(any.sin_port)) + "/";
    PageServer server(Pages{});
    const std::string folder = m_runner.path("folder");
    mkdir(folder.c_str(), 0700);
    std::vector<FailureCase> all = cases;
    // Root reads any file, so an unreadable one can only be made for other users.
    const std::string secret = m_runner.path("secret.html");
    std::ofstream(secret) << "<p>secret";
    chmod(secret.c_str(), 0);
    if (geteuid() != 0)
        all.push_back({"unreadable FILE", {secret}, {}, 2, "cannot read " + secret});
    for (const FailureCase &c : all) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--out", m_runner.path("failure.png")};
        for (std::string arg : c.args) {
            if (arg == "{silent}")
                arg = silent.address("/slow.html");
            else if (arg == "{refused}")
                arg = refused;
            else if (arg == "{missing}")
                arg = server.address("/missing.html");
            else if (arg == "{folder}")
                arg = folder;
            args.push_back(arg);
        }
        const RunResult run = m_runner.run(args, c.environment);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

// Guards the died-while-loading path: a browser killed in the middle of a load ends the run at
// once with its own code, instead of waiting out the time-out.
TEST_F(Kelshot, ABrowserThatDiesWhileLoadingIsReported) {
    PageServer silent(Pages{}, true);
    const std::string pidFile = m_runner.path("browser.pid");
    const std::string wrapper = m_runner.path("browser.sh");
    std::ofstream(wrapper) << "#!/bin/sh\necho $$ > " << pidFile << "\nexec "
                           << KEL_BROWSER_EXECUTABLE << " \"$@\"\n";
    chmod(wrapper.c_str(), 0700);
    const auto started = std::chrono::steady_clock::now();
    const pid_t shot = m_runner.start({"--timeout", "60000", silent.address("/slow.html")},
                                      // The wrapper's $$ would be 1 in the sandbox.
                                      {{"KEL_BROWSER_PATH", wrapper}, {"KEL_SANDBOX", "0"}});
    ASSERT_GT(shot, 0);
    // The server has the page's request: the load is under way.
    ASSERT_TRUE(waitFor([&] { return silent.connections() > 0; }, 30000));
    ASSERT_FALSE(readFile(pidFile).empty());
    kill(std::stoi(readFile(pidFile)), SIGKILL);
    const RunResult run = m_runner.finish(shot);
    EXPECT_EQ(run.code, 5) << run.err;
    EXPECT_NE(run.err.find("the browser died while loading (killed by signal 9"), std::string::npos)
        << run.err;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              30.0);
}

// Guards the host kit's LOAD rule: 255 units per string argument over strArgs[1..15], and no
// request at all for an address that would arrive cut.
TEST(MakeLoad, SplitsTheAddressOverStringArgumentsAndRefusesWhatDoesNotFit) {
    struct Case {
        size_t units;
        int strCount; // 0: refused
    };
    for (const Case c : {Case{0, 1}, Case{1, 2}, Case{255, 2}, Case{256, 3},
                         Case{Host::kLoadAddressUnits, 16}, Case{Host::kLoadAddressUnits + 1, 0}}) {
        SCOPED_TRACE(c.units);
        std::string address;
        for (size_t i = 0; i < c.units; ++i)
            address.push_back(char('a' + i % 26));
        const std::optional<KEL_Command> load = Host::makeLoad("view", address);
        ASSERT_EQ(load.has_value(), c.strCount != 0);
        if (!load)
            continue;
        EXPECT_TRUE(Host::hasCode(*load, KEL::Code::LOAD));
        EXPECT_EQ(Host::getString8(*load, 0), "view");
        EXPECT_EQ(load->strCount, c.strCount);
        std::string joined;
        for (int i = 1; i < load->strCount; ++i)
            joined += Host::getString8(*load, i);
        EXPECT_EQ(joined, address);
    }
}

} // namespace
} // namespace Test
} // namespace KEL
