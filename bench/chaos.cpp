// How the game fares when things go wrong; prints figures and never fails.
//  - browser faults while a view streams frames: SIGKILL and SIGSTOP of the browser (the longest
//    host call while it happens, the time until the views are back, frames after);
//  - host kills: a host killed outright (time until its browser ends, what stays in /dev/shm);
//  - after each kill, how many of the engine's helper processes outlived the browser (orphans);
//  - hostile records: random requests (crashes, hangs, whether PING is answered afterwards);
//  - hostile pages: deep nesting, a memory bomb, an endless loop, an alert loop (survived or
//    recovered, and how often).
//
//   chaos [--faults N] [--host-kills N] [--records N] [--memory MiB] [--only SECTION]
//   SECTION: faults, hosts, records, pages

#include "FrameCompositor.h"
#include "KELHost.h"
#include "ProcessTree.h"

#include "CommandCodes.h"
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace KEL::Host;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
    int faults = 3; // of each kind
    int hostKills = 2;
    int records = 3000;
    uint64_t memoryMiB = 1024;
    std::string only;
    std::string root; // HOME and XDG folders
};

Settings g_settings;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

StartOptions options() {
    StartOptions o;
    o.logFile = "/dev/null";
    o.memoryLimit = g_settings.memoryMiB << 20;
    const std::string &r = g_settings.root;
    o.environment = {{"HOME", r + "/home"},
                     {"XDG_DATA_HOME", r + "/data"},
                     {"XDG_CACHE_HOME", r + "/cache"},
                     {"XDG_CONFIG_HOME", r + "/config"},
                     {"XDG_RUNTIME_DIR", r + "/runtime"}};
    return o;
}

// A game's side: pumps once a frame (16 ms), times every kit call, keeps the recovery events.
class Game {
  public:
    bool start() {
        // request() looks for its reply among the records kept; a bounded inbox keeps the rest
        // from growing while the game runs.
        m_browser.subscribe(256);
        if (!m_browser.start(options())) {
            std::printf("  cannot start the browser: %s\n", m_browser.error().c_str());
            return false;
        }
        m_frames.attach(m_browser);
        m_browser.setRecoveryHandler([this](const RecoveryEvent &e) { events.push_back(e); });
        return true;
    }
    ~Game() { m_browser.stop(2000); }

    // Pumps frame by frame until `done` holds or `ms` pass; true when it held.
    bool play(
        int ms, const std::function<bool()> &done = [] { return false; }) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            const auto before = Clock::now();
            m_browser.pump();
            longestCall = std::max(longestCall, msSince(before));
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        return false;
    }

    uint32_t post(const KEL_Command &command) {
        const auto before = Clock::now();
        const uint32_t sequence = m_browser.post(command);
        longestCall = std::max(longestCall, msSince(before));
        return sequence;
    }

    bool request(const KEL_Command &command, int timeoutMs = 5000) {
        const uint32_t sequence = post(command);
        if (sequence == 0)
            return false;
        return play(timeoutMs, [&] {
            auto &in = m_browser.inbox();
            auto it = std::find_if(in.begin(), in.end(), [&](const KEL_Command &c) {
                return c.sequence == sequence && c.result != 0;
            });
            if (it == in.end())
                return false;
            in.erase(it);
            return true;
        });
    }

    bool view(const std::string &name, int side, const std::string &html) {
        KEL_Command create = makeCommand(KEL::Code::CRVW);
        setString(create, 0, name);
        setInt(create, 0, side);
        setInt(create, 1, side);
        setInt(create, 2, 1);
        m_frames.setViewSize(name, side, side);
        return request(create) && show(name, html);
    }

    bool show(const std::string &name, const std::string &html) {
        KEL_Command page = makeCommand(KEL::Code::HTML);
        setString(page, 0, name);
        return putText(page, 0, html) && request(page);
    }

    bool answersPing() { return request(makeCommand(KEL::Code::PING), 5000); }

    uint64_t frames() const { return m_frames.deliveries(); }
    Browser &browser() { return m_browser; }

    std::vector<RecoveryEvent> events;
    double longestCall = 0;

  private:
    Browser m_browser;
    FrameCompositor m_frames;
};

const char *kAnimated =
    "<html><body style='margin:0;background:#124'>"
    "<div id=b style='position:absolute;top:50px;width:100px;height:100px;background:#fc0'></div>"
    "<script>var x=0;setInterval(function(){x=(x+7)%400;"
    "document.getElementById('b').style.left=x+'px';},16);</script></body></html>";

// The engine's helper processes below `browser` (WPE WebKit's page and network processes).
std::vector<pid_t> engineProcessesBelow(pid_t browser) {
    return KEL::processesBelow(
        browser, [](const KEL::ProcessEntry &p) { return p.name.rfind("WPE", 0) == 0; });
}

// How many of `pids` still run (zombies count as gone), after giving them up to `ms`.
int stillRunning(const std::vector<pid_t> &pids, int ms) {
    int running = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    do {
        const auto processes = KEL::runningProcesses();
        running = int(std::count_if(pids.begin(), pids.end(), [&](pid_t pid) {
            const auto it = processes.find(pid);
            return it != processes.end() && it->second.state != 'Z';
        }));
        if (running == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < end);
    return running;
}

void rule() {
    std::printf("%s\n", std::string(96, '-').c_str());
}

// ---- Browser faults while streaming -------------------------------------------------------

void browserFaults() {
    std::printf("\nBrowser faults while a 512x512 view streams (recovery with default options)\n");
    rule();
    std::printf("%-6s %4s %-7s %12s %16s %18s %14s %s\n", "fault", "#", "reason", "back after",
                "frames 2 s after", "longest host call", "frames while down",
                "engine processes left");
    rule();
    Game game;
    if (!game.start() || !game.view("stream", 512, kAnimated))
        return;
    for (int signal : {SIGKILL, SIGSTOP}) {
        for (int i = 0; i < g_settings.faults; ++i) {
            game.play(1000);
            const uint64_t before = game.frames();
            game.longestCall = 0;
            const size_t seen = game.events.size();
            const std::vector<pid_t> helpers = engineProcessesBelow(game.browser().pid());
            const auto hit = Clock::now();
            kill(game.browser().pid(), signal);
            const bool back = game.play(30000, [&] { return game.events.size() > seen; });
            const double backMs = msSince(hit);
            const uint64_t at = game.frames();
            game.play(2000);
            std::printf("%-6s %4d %-7s %9.0f ms %16llu %15.2f ms %14llu %d of %zu\n",
                        signal == SIGKILL ? "KILL" : "STOP", i + 1,
                        back ? reasonName(game.events.back().reason) : "none", backMs,
                        static_cast<unsigned long long>(game.frames() - at), game.longestCall,
                        static_cast<unsigned long long>(at - before), stillRunning(helpers, 0),
                        helpers.size());
        }
    }
    rule();
    std::printf("recoveries: %d\n", game.browser().recoveries());
}

// ---- Host kills ---------------------------------------------------------------------------

// Names in /dev/shm that carry this run's suffix, and their bytes.
std::pair<int, long long> leftovers(const std::string &suffix) {
    std::pair<int, long long> found{0, 0};
    if (DIR *dir = opendir("/dev/shm")) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() < suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            struct stat info;
            if (stat(("/dev/shm/" + name).c_str(), &info) == 0) {
                ++found.first;
                found.second += info.st_size;
            }
        }
        closedir(dir);
    }
    return found;
}

void removeLeftovers(const std::string &suffix) {
    for (const char *base : {"KEL_COMMANDBUFFER", "KEL_TEXTUREBUFFER", "KEL_DATABUFFER"}) {
        for (const char *lock : {"", "_MUTEX"}) {
            const std::string name = std::string("/dev/shm/") + base + suffix + lock;
            unlink(name.c_str());
        }
    }
}

void hostKills() {
    std::printf("\nHosts killed with SIGKILL while their browser runs a page\n");
    rule();
    std::printf("%4s %22s %22s %8s\n", "#", "browser ended after", "left in /dev/shm", "orphans");
    rule();
    // Orphaned browsers come to this process, so they can be waited for and reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::string ownSuffix = getenv("KEL_SEGMENT_SUFFIX");
    for (int i = 0; i < g_settings.hostKills; ++i) {
        const std::string suffix = ownSuffix + "_h" + std::to_string(i);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        const pid_t host = fork();
        if (host == 0) {
            close(fds[0]);
            setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
            Game game;
            int32_t pid = -1;
            if (game.start() && game.view("page", 256, kAnimated))
                pid = game.browser().pid();
            if (write(fds[1], &pid, sizeof pid) != sizeof pid)
                _exit(1);
            for (;;)
                game.play(1000);
        }
        close(fds[1]);
        int32_t browser = -1;
        const bool told = read(fds[0], &browser, sizeof browser) == sizeof browser;
        close(fds[0]);
        if (!told || browser <= 0) {
            std::printf("%4d  the host could not start its browser\n", i + 1);
            kill(host, SIGKILL);
            waitpid(host, nullptr, 0);
            continue;
        }
        const std::vector<pid_t> helpers = engineProcessesBelow(browser);
        const auto hit = Clock::now();
        kill(host, SIGKILL);
        waitpid(host, nullptr, 0);
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, browser, 0));
        struct pollfd fd = {pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && poll(&fd, 1, 20000) == 1;
        const double endedMs = msSince(hit);
        if (!ended)
            kill(browser, SIGKILL);
        waitpid(browser, nullptr, 0);
        if (pidfd >= 0)
            close(pidfd);
        const auto [names, bytes] = leftovers(suffix);
        char when[32];
        std::snprintf(when, sizeof when, ended ? "%.0f ms" : "not in 20 s", endedMs);
        std::printf("%4d %22s %10d names, %5.1f MB  %d of %zu\n", i + 1, when, names, bytes / 1e6,
                    stillRunning(helpers, 2000), helpers.size());
        removeLeftovers(suffix);
    }
    rule();
}

// ---- Hostile records ----------------------------------------------------------------------

KEL_Command hostileRecord(std::mt19937 &random) {
    // LOAD and PRXY are left out: random host names would send the browser to the network.
    static const char *codes[] = {KEL::Code::INIT,
                                  KEL::Code::CRVW,
                                  KEL::Code::RMVW,
                                  KEL::Code::RSIZ,
                                  KEL::Code::HTML,
                                  KEL::Code::EVJS,
                                  KEL::Code::HFWD,
                                  KEL::Code::HBAK,
                                  KEL::Code::SCRL,
                                  KEL::Code::MSCL,
                                  KEL::Code::MPOS,
                                  KEL::Code::MPRS,
                                  KEL::Code::MREL,
                                  KEL::Code::KEYD,
                                  KEL::Code::KEYU,
                                  KEL::Code::IMES,
                                  KEL::Code::SACT,
                                  KEL::Code::SSMR,
                                  KEL::Code::SMSK,
                                  KEL::Code::DSMR,
                                  KEL::Code::ALWP,
                                  KEL::Code::SVCK,
                                  KEL::Code::CLCK,
                                  KEL::Code::AUTH,
                                  KEL::Code::ADDO,
                                  KEL::Code::SETP,
                                  KEL::Code::UPVW,
                                  KEL::Code::BOOT,
                                  KEL::Code::PRUP,
                                  "\x01\xff?x",
                                  ""};
    static const int32_t extremes[] = {INT32_MIN, -1,   0,    1,     127,     128,      255,
                                       256,       1024, 1025, 65535, 1 << 30, INT32_MAX};
    KEL_Command c = makeCommand(codes[random() % (sizeof codes / sizeof *codes)]);
    if (hasCode(c, KEL::Code::INIT))
        c = makeCommand(KEL::Code::PING); // an INIT naming another process would end the browser
    auto pick = [&]() -> int32_t {
        return random() % 2 ? extremes[random() % (sizeof extremes / sizeof *extremes)]
                            : static_cast<int32_t>(random());
    };
    c.intCount = random() % 4 ? static_cast<int32_t>(random() % 17) : pick();
    c.strCount = random() % 4 ? static_cast<int32_t>(random() % 17) : pick();
    for (int32_t &arg : c.intArgs)
        arg = pick();
    for (int s = 0; s < KEL_COMMAND_STR_ARGS; ++s) {
        const int kind = random() % 4;
        if (kind == 0)
            setString(c, s, random() % 2 ? "a" : "b"); // names of the views that exist
        else if (kind == 1)
            for (int u = 0; u < KEL_COMMAND_STR_UNITS; ++u) // unterminated, any units
                c.strArgs[s][u] = static_cast<uint16_t>(random());
    }
    c.origin = random() % 2;
    c.result = random() % 3 == 0 ? pick() : 0;
    return c;
}

void hostileRecords() {
    std::printf("\nHostile records: random requests with extreme arguments, views a and b\n");
    rule();
    Game game;
    if (!game.start() || !game.view("a", 256, kAnimated) || !game.view("b", 128, "<p>b</p>"))
        return;
    std::mt19937 random(8);
    int posted = 0, refused = 0;
    const auto begin = Clock::now();
    game.longestCall = 0;
    while (posted + refused < g_settings.records) {
        for (int k = 0; k < 40 && posted + refused < g_settings.records; ++k) {
            // Straight to the plugin: the kit must not remember these to restore them.
            const KEL_Command record = hostileRecord(random);
            (KEL_PostCommand(&record) ? posted : refused)++;
        }
        game.play(20);
    }
    game.play(1500);
    const bool ping = game.answersPing();
    int died = 0, hung = 0;
    for (const RecoveryEvent &e : game.events)
        (e.reason == RecoveryReason::Died ? died : hung)++;
    std::printf("posted %d (refused, segment full: %d) in %.1f s; browser crashes %d, hangs %d; "
                "PING answered afterwards: %s; longest host call %.2f ms\n",
                posted, refused, msSince(begin) / 1000, died, hung, ping ? "yes" : "no",
                game.longestCall);
    rule();
}

// ---- Hostile pages ------------------------------------------------------------------------

std::string nesting(int depth) {
    return "<html><body><script>var e=document.body;for(var i=0;i<" + std::to_string(depth) +
           ";i++){var d=document.createElement('div');e.appendChild(d);e=d;}"
           "e.textContent='deep';</script></body></html>";
}

void hostilePages() {
    std::printf("\nHostile pages, each in a fresh browser beside a streaming view (memory bound "
                "%llu MiB)\n",
                static_cast<unsigned long long>(g_settings.memoryMiB));
    rule();
    std::printf("%-22s %-40s %10s %6s %18s\n", "page", "outcome", "first at", KEL::Code::PING,
                "longest host call");
    rule();
    const std::pair<const char *, std::string> pages[] = {
        {"nesting 20000", nesting(20000)},
        {"nesting 100000", nesting(100000)},
        {"memory bomb", "<script>var a=[];for(;;)a.push(new Array(1e6));</script>"},
        {"endless loop", "<script>for(;;){}</script>"},
        {"alert loop", "<script>for(;;)alert('x');</script>"},
    };
    for (const auto &[name, html] : pages) {
        Game game;
        if (!game.start() || !game.view("stream", 256, kAnimated))
            continue;
        KEL_Command create = makeCommand(KEL::Code::CRVW);
        setString(create, 0, "hostile");
        setInt(create, 0, 512);
        setInt(create, 1, 512);
        game.request(create);
        game.longestCall = 0;
        const auto begin = Clock::now();
        game.show("hostile", html);
        // Quiet means: no recovery for 8 s (longer than a hang takes to be found and mended).
        auto quietSince = Clock::now();
        size_t seen = 0;
        double first = -1;
        game.play(45000, [&] {
            if (game.events.size() != seen) {
                if (seen == 0)
                    first = msSince(begin);
                seen = game.events.size();
                quietSince = Clock::now();
            }
            return !game.browser().recovering() && msSince(quietSince) > 8000;
        });
        const bool ping = game.answersPing();
        std::string outcome = "survived";
        if (!game.events.empty()) {
            int blank = 0;
            for (const RecoveryEvent &e : game.events)
                blank += e.restored && !e.pagesRestored;
            outcome = "recovered " + std::to_string(game.events.size()) + "x (" +
                      reasonName(game.events.front().reason) + ")" +
                      (blank ? ", page dropped" : "") +
                      (game.events.back().restored ? "" : ", gave up");
        }
        char at[32] = "-";
        if (first >= 0)
            std::snprintf(at, sizeof at, "%.0f ms", first);
        std::printf("%-22s %-40s %10s %6s %15.2f ms\n", name, outcome.c_str(), at,
                    ping ? "yes" : "no", game.longestCall);
    }
    rule();
}

std::string makeRoot() {
    char pattern[] = "/tmp/kel-chaos-XXXXXX";
    if (!mkdtemp(pattern))
        return "/tmp";
    const std::string root = pattern;
    for (const char *sub : {"/home", "/data", "/cache", "/config", "/runtime"})
        mkdir((root + sub).c_str(), 0700);
    return root;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char *value = argv[i + 1];
        if (flag == "--faults")
            g_settings.faults = std::atoi(value);
        else if (flag == "--host-kills")
            g_settings.hostKills = std::atoi(value);
        else if (flag == "--records")
            g_settings.records = std::atoi(value);
        else if (flag == "--memory")
            g_settings.memoryMiB = std::strtoull(value, nullptr, 10);
        else if (flag == "--only")
            g_settings.only = value;
    }
    const std::string suffix = "_chaos" + std::to_string(getpid());
    setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
    g_settings.root = makeRoot();
    KEL_SetLogCB([](const char *) {}); // lock and overrun lines are expected here
    const auto begin = Clock::now();
    auto wanted = [](const char *section) {
        return g_settings.only.empty() || g_settings.only == section;
    };
    if (wanted("faults"))
        browserFaults();
    if (wanted("hosts"))
        hostKills();
    if (wanted("records"))
        hostileRecords();
    if (wanted("pages"))
        hostilePages();
    std::printf("\nchaos took %.0f s\n", msSince(begin) / 1000);
    std::string command = "rm -rf '" + g_settings.root + "'";
    if (g_settings.root != "/tmp" && std::system(command.c_str()) != 0)
        std::printf("could not remove %s\n", g_settings.root.c_str());
    return 0;
}
