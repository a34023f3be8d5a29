// Figures for the browser as a game sees it, through the host kit and the real browser:
//  - from starting the process to the first delivered frame that shows the page;
//  - deliveries per second and the gaps between them for an animated page on 1, 2 and 4 views;
//  - from a press on a button that changes colour to the first delivery that shows the colour;
//  - CPU of the browser process for idle views and for an animated one;
//  - proportional memory (PSS) of the browser process with 1, 4 and 16 views;
//  - views on their own frame areas (RATE): frames per second and gaps for 4 animated
//    1024x768 views, one 1920x1080 view at rate 60 with the browser's CPU, the host's cost of
//    taking a frame, press to changed pixels, and 8 idle views.
// Prints a table and writes JSON. A figure that cannot be taken is reported as missing; the
// program never fails on a figure.
//
//   kelbench [--json PATH] [--seconds S] [--runs N] [--presses N]
//            [--only start,anim,input,idle,memory,frames]

#include "FrameCompositor.h"
#include "KELHost.h"
#include "Launcher.h"
#include "ProcessTree.h"

#include "CommandCodes.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace KEL::Host;
using Clock = std::chrono::steady_clock;

namespace {

const char *kStaticPage =
    "<html><body style='margin:0;background:#224466;color:#fff;font:20px sans-serif'>"
    "<h1>Benchmark page</h1><p>Some text, a box and a list.</p>"
    "<div style='width:300px;height:120px;background:#cc8844'></div>"
    "<ul><li>one</li><li>two</li><li>three</li></ul></body></html>";

// Two CSS animations that never stop: a box that moves and one that changes colour.
const char *kAnimatedPage =
    "<html><head><style>"
    "body{margin:0;background:#203040}"
    "@keyframes slide{from{left:0}to{left:600px}}"
    "@keyframes shade{from{background:#c04020}to{background:#20c040}}"
    "#a{position:absolute;top:100px;width:120px;height:120px;background:#e0e0e0;"
    "animation:slide 2s linear infinite alternate}"
    "#b{position:absolute;top:400px;left:300px;width:200px;height:150px;"
    "animation:shade 1s linear infinite alternate}"
    "</style></head><body><div id=a></div><div id=b></div></body></html>";

// A press flips the button between two colours.
const char *kButtonPage =
    "<html><body style='margin:0;background:#ffffff'>"
    "<button id=b style='position:absolute;left:0;top:0;width:400px;height:300px;border:0;"
    "background:rgb(200,0,0)' onmousedown='flip()'>Press</button><script>"
    "var on=false;function flip(){on=!on;document.getElementById('b').style.background="
    "on?'rgb(0,200,0)':'rgb(200,0,0)';}</script></body></html>";

constexpr uint32_t kRed = 0xC80000FFu, kGreen = 0x00C800FFu;
constexpr uint32_t kStaticBackground = 0x224466FFu;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double rank = p / 100.0 * double(values.size() - 1);
    const size_t low = size_t(rank);
    const size_t high = std::min(values.size() - 1, low + 1);
    return values[low] + (values[high] - values[low]) * (rank - double(low));
}

// User + system CPU time of a process, in seconds (fields 14 and 15 of /proc/<pid>/stat).
double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return NAN;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) // state .. cmajflt
        fields >> skip;
    long utime = 0, stime = 0;
    if (!(fields >> utime >> stime))
        return NAN;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Proportional set size in MiB, from /proc/<pid>/smaps_rollup.
double processPssMiB(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0)
            return std::atof(line.c_str() + 4) / 1024.0;
    }
    return NAN;
}

// A figure of the process and the processes below it together (those that have ended since
// the tree was read count nothing).
double treeSum(pid_t pid, double (*figure)(pid_t)) {
    double total = 0;
    for (pid_t member : KEL::processTree(pid))
        if (const double value = figure(member); !std::isnan(value))
            total += value;
    return total;
}

double cpuSeconds(pid_t pid) {
    return treeSum(pid, processCpuSeconds);
}

double pssMiB(pid_t pid) {
    return treeSum(pid, processPssMiB);
}

// One browser with its own segments, home and data directories, and every delivery taken and
// timed as it arrives.
class Rig {
  public:
    Rig(const std::string &root, int serial) : m_dir(root + "/run" + std::to_string(serial)) {
        for (const char *sub : {"/home", "/data", "/cache", "/config", "/runtime"}) {
            std::filesystem::create_directories(m_dir + sub);
            std::filesystem::permissions(m_dir + sub, std::filesystem::perms::owner_all);
        }
        m_options.logFile = m_dir + "/browser.log";
        m_options.sandboxReadable = {root}; // the pages written there
        m_options.environment = {
            {"HOME", m_dir + "/home"},
            {"XDG_DATA_HOME", m_dir + "/data"},
            {"XDG_CACHE_HOME", m_dir + "/cache"},
            {"XDG_CONFIG_HOME", m_dir + "/config"},
            {"XDG_RUNTIME_DIR", m_dir + "/runtime"},
        };
        m_browser.setNoticeHandler([this](const KEL_Command &record) { onRecord(record); });
    }
    ~Rig() { m_browser.stop(); }

    // `first` posts requests that go with INIT (the kit's pipelined start).
    bool start(std::function<void()> first = nullptr) {
        m_options.firstRequests = std::move(first);
        return m_browser.start(m_options);
    }
    void setEnvironment(const std::string &name, const std::string &value) {
        m_options.environment[name] = value;
    }
    Browser &browser() { return m_browser; }
    FrameCompositor &frames() { return m_frames; }
    pid_t pid() const { return m_browser.pid(); }

    // Posts CRVW and the page without waiting for the reply: both go in the same tick.
    bool open(const std::string &view, const std::string &address, bool partial = true) {
        KEL_Command create = makeCommand(KEL::Code::CRVW);
        setString(create, 0, view);
        setInt(create, 0, 1024);
        setInt(create, 1, 768);
        setInt(create, 2, partial ? 1 : 0);
        m_frames.setViewSize(view, 1024, 768);
        const std::optional<KEL_Command> load = makeLoad(view, address);
        return m_browser.post(create) != 0 && load && m_browser.post(*load) != 0;
    }
    bool loaded(const std::string &view) const { return m_loaded.count(view) != 0; }
    bool waitLoaded(const std::vector<std::string> &views, int timeoutMs = 20000) {
        return spin(
            [&] {
                return std::all_of(views.begin(), views.end(),
                                   [&](const std::string &v) { return loaded(v); });
            },
            timeoutMs);
    }
    // Pumps for a while (every record is handled as it arrives; the kit frees its payloads).
    bool spin(const std::function<bool()> &condition, int timeoutMs) {
        return m_browser.spinUntil(condition, timeoutMs);
    }
    void idle(int ms) {
        spin([] { return false; }, ms);
    }

    const std::vector<Clock::time_point> &deliveries(const std::string &view) {
        return m_deliveries[view];
    }
    void clearDeliveries() { m_deliveries.clear(); }
    // Called after each delivery has been applied to the view's texture.
    std::function<void(const std::string &view, Clock::time_point at)> onDelivery;

  private:
    void onRecord(const KEL_Command &record) {
        if (record.origin == 0) {
            if (record.result > 0 && hasCode(record, KEL::Code::RSIZ))
                m_frames.setViewSize(getString8(record, 0), record.intArgs[0], record.intArgs[1]);
            return;
        }
        if (hasCode(record, KEL::Code::UPVW)) {
            const std::string view = getString8(record, 0);
            m_frames.take(view);
            const Clock::time_point now = Clock::now();
            m_deliveries[view].push_back(now);
            if (onDelivery)
                onDelivery(view, now);
        } else if (hasCode(record, KEL::Code::LDFN)) {
            m_loaded.insert(getString8(record, 0));
        }
    }

    std::string m_dir;
    StartOptions m_options;
    Browser m_browser;
    FrameCompositor m_frames;
    std::set<std::string> m_loaded;
    std::map<std::string, std::vector<Clock::time_point>> m_deliveries;
};

struct Figure {
    std::string key, what, unit, goal;
    double value = NAN;
};

class Report {
  public:
    void add(const std::string &key, const std::string &what, double value, const std::string &unit,
             const std::string &goal = "") {
        m_figures.push_back({key, what, unit, goal, value});
    }
    void print() const {
        std::printf("\n%-58s %12s  %-8s %s\n", "figure", "value", "unit", "goal");
        std::printf("%s\n", std::string(96, '-').c_str());
        for (const Figure &f : m_figures) {
            if (std::isnan(f.value))
                std::printf("%-58s %12s  %-8s %s\n", f.what.c_str(), "missing", f.unit.c_str(),
                            f.goal.c_str());
            else
                std::printf("%-58s %12.2f  %-8s %s\n", f.what.c_str(), f.value, f.unit.c_str(),
                            f.goal.c_str());
        }
    }
    bool writeJson(const std::string &path, const std::map<std::string, std::string> &about) const {
        std::ofstream out(path);
        out << "{\n";
        for (const auto &[key, value] : about)
            out << "  \"" << key << "\": \"" << escaped(value) << "\",\n";
        out << "  \"figures\": {\n";
        for (size_t i = 0; i < m_figures.size(); ++i) {
            const Figure &f = m_figures[i];
            out << "    \"" << f.key << "\": {\"value\": ";
            if (std::isnan(f.value))
                out << "null";
            else
                out << f.value;
            out << ", \"unit\": \"" << escaped(f.unit) << "\", \"what\": \"" << escaped(f.what)
                << "\"}" << (i + 1 < m_figures.size() ? "," : "") << "\n";
        }
        out << "  }\n}\n";
        return bool(out);
    }

    // Every figure of `other`, named after the engine that ran it.
    void addEngine(const std::string &engine, const Report &other) {
        for (Figure f : other.m_figures) {
            f.key = engine + "." + f.key;
            f.what = "[" + engine + "] " + f.what;
            m_figures.push_back(f);
        }
    }

  private:
    static std::string escaped(const std::string &text) {
        std::string out;
        for (char c : text) {
            if (c == '"' || c == '\\')
                out += '\\';
            if (static_cast<unsigned char>(c) >= 0x20)
                out += c;
        }
        return out;
    }
    std::vector<Figure> m_figures;
};

struct Settings {
    std::string json = "kelbench.json";
    double seconds = 5;
    int runs = 5;
    int presses = 30;
    std::string only; // comma-separated parts to run (start, anim, input, idle, memory, frames)
    bool wants(const std::string &part) const {
        return only.empty() || ("," + only + ",").find("," + part + ",") != std::string::npos;
    }
};

class Bench {
  public:
    explicit Bench(const Settings &settings) : m_settings(settings) {
        char pattern[] = "/tmp/kelbench-XXXXXX";
        if (mkdtemp(pattern))
            m_root = pattern;
        m_static = writePage("static.html", kStaticPage);
        m_animated = writePage("animated.html", kAnimatedPage);
        m_button = writePage("button.html", kButtonPage);
    }
    ~Bench() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    bool ready() const { return !m_root.empty(); }

    void startUp();
    void animation();
    void input();
    void idleCpu();
    void memory();
    void frameAreas();
    Report &report() { return m_report; }

  private:
    std::string writePage(const char *name, const char *html) {
        const std::string path = m_root + "/" + name;
        std::ofstream(path) << html;
        return "file://" + path;
    }
    std::unique_ptr<Rig> newRig() {
        auto rig = std::make_unique<Rig>(m_root, m_serial++);
        if (!rig->start()) {
            std::fprintf(stderr, "kelbench: cannot start the browser: %s\n",
                         rig->browser().error().c_str());
            return nullptr;
        }
        return rig;
    }
    int windowMs() const { return int(m_settings.seconds * 1000); }

    Settings m_settings;
    std::string m_root, m_static, m_animated, m_button;
    int m_serial = 0;
    Report m_report;
};

void Bench::startUp() {
    // Cold: every run in new data and cache folders, as a game's very first start. Warm: every
    // run in the folders of a run before it (the engine's caches filled), as each later start.
    const int warmSerial = m_serial++;
    std::vector<double> toFrame, toLoaded, warmToFrame;
    for (int run = 0; run < 2 * m_settings.runs + 1; ++run) {
        const bool warm = run > m_settings.runs; // the run after the cold ones fills the folders
        const Clock::time_point start = Clock::now();
        std::optional<Clock::time_point> firstFrame;
        auto rig = std::make_unique<Rig>(m_root, run < m_settings.runs ? m_serial++ : warmSerial);
        rig->onDelivery = [&](const std::string &view, Clock::time_point at) {
            if (!firstFrame && rig->frames().pagePixel(view, 900, 700) == kStaticBackground)
                firstFrame = at;
        };
        bool opened = false;
        if (!rig->start([&] { opened = rig->open("main", m_static, false); }) || !opened ||
            !rig->waitLoaded({"main"}) || !rig->spin([&] { return bool(firstFrame); }, 5000)) {
            std::fprintf(stderr, "kelbench: start-up run %d failed: %s (loaded %d, pixel %08x)\n",
                         run, rig->browser().error().c_str(), int(rig->loaded("main")),
                         rig->frames().pagePixel("main", 900, 700));
            continue;
        }
        if (warm) {
            warmToFrame.push_back(msBetween(start, *firstFrame));
        } else if (run < m_settings.runs) {
            toFrame.push_back(msBetween(start, *firstFrame));
            toLoaded.push_back(msBetween(start, Clock::now()));
        }
    }
    m_report.add("start_to_frame_ms", "process start to first frame with content (median)",
                 percentile(toFrame, 50), "ms");
    m_report.add("start_to_frame_p95_ms", "process start to first frame with content (p95)",
                 percentile(toFrame, 95), "ms");
    m_report.add("start_to_ldfn_ms", "process start to frame and LDFN both in (median)",
                 percentile(toLoaded, 50), "ms");
    m_report.add("warm_start_to_frame_ms",
                 "process start to first frame, folders of an earlier start (median)",
                 percentile(warmToFrame, 50), "ms");
}

void Bench::animation() {
    auto rig = newRig();
    if (!rig)
        return;
    std::vector<std::string> views;
    for (int count : {1, 2, 4}) {
        while (int(views.size()) < count) {
            views.push_back("anim" + std::to_string(views.size()));
            rig->open(views.back(), m_animated);
        }
        rig->waitLoaded(views);
        rig->idle(1000);
        rig->clearDeliveries();
        const double cpuBefore = cpuSeconds(rig->pid());
        const Clock::time_point start = Clock::now();
        rig->idle(windowMs());
        const double wall = msBetween(start, Clock::now()) / 1000.0;
        const double cpu = cpuSeconds(rig->pid()) - cpuBefore;
        std::vector<double> gaps;
        size_t total = 0;
        for (const std::string &view : views) {
            const auto &times = rig->deliveries(view);
            total += times.size();
            for (size_t i = 1; i < times.size(); ++i)
                gaps.push_back(msBetween(times[i - 1], times[i]));
        }
        const std::string n = std::to_string(count);
        const std::string views_ = count == 1 ? " view" : " views";
        m_report.add("anim" + n + "_deliveries_per_s",
                     "animated page, " + n + views_ + ": deliveries/s per view",
                     double(total) / wall / count, "1/s", count == 1 ? ">= 30" : "");
        if (count > 1)
            m_report.add("anim" + n + "_total_per_s",
                         "animated page, " + n + views_ + ": deliveries/s all views",
                         double(total) / wall, "1/s");
        m_report.add("anim" + n + "_gap_p50_ms", "animated page, " + n + views_ + ": gap p50",
                     percentile(gaps, 50), "ms");
        m_report.add("anim" + n + "_gap_p95_ms", "animated page, " + n + views_ + ": gap p95",
                     percentile(gaps, 95), "ms", count == 1 ? "<= 40" : "");
        if (count == 1)
            m_report.add("cpu_anim1_percent", "CPU, one animated view", 100.0 * cpu / wall,
                         "% core", "<= 8");
    }
}

void Bench::input() {
    auto rig = newRig();
    if (!rig)
        return;
    const std::string view = "button";
    rig->open(view, m_button);
    rig->waitLoaded({view});
    rig->spin([&] { return rig->frames().pagePixel(view, 40, 40) == kRed; }, 5000);
    rig->idle(300);

    std::vector<double> latencies;
    uint32_t expected = kRed;
    std::optional<Clock::time_point> pressed, shown;
    rig->onDelivery = [&](const std::string &name, Clock::time_point at) {
        if (name == view && pressed && !shown && rig->frames().pagePixel(view, 40, 40) == expected)
            shown = at;
    };
    unsigned jitter = 12345;
    for (int press = 0; press < m_settings.presses; ++press) {
        expected = expected == kRed ? kGreen : kRed;
        shown.reset();
        KEL_Command down = makeCommand(KEL::Code::MPRS), up = makeCommand(KEL::Code::MREL);
        for (KEL_Command *c : {&down, &up}) {
            setString(*c, 0, view);
            setInt(*c, 0, 200);
            setInt(*c, 1, 150);
            setInt(*c, 2, 0);
        }
        pressed = Clock::now();
        rig->browser().post(down);
        rig->browser().post(up);
        if (rig->spin([&] { return bool(shown); }, 3000))
            latencies.push_back(msBetween(*pressed, *shown));
        else // the page is out of step with `expected` now: read it again
            expected = rig->frames().pagePixel(view, 40, 40);
        pressed.reset();
        // Presses land at varying points of the browser's tick.
        jitter = jitter * 1103515245u + 12345u;
        rig->idle(60 + int(jitter >> 16) % 50);
    }
    m_report.add("input_p50_ms", "press to changed pixels at the host, p50",
                 percentile(latencies, 50), "ms", "<= 40");
    m_report.add("input_p95_ms", "press to changed pixels at the host, p95",
                 percentile(latencies, 95), "ms", "<= 70");
}

void Bench::idleCpu() {
    auto rig = newRig();
    if (!rig)
        return;
    std::vector<std::string> views;
    for (int count : {1, 8}) {
        while (int(views.size()) < count) {
            views.push_back("idle" + std::to_string(views.size()));
            rig->open(views.back(), m_static);
        }
        rig->waitLoaded(views);
        // The idle consolidation frames go out first.
        rig->idle(1500);
        const double before = cpuSeconds(rig->pid());
        const Clock::time_point start = Clock::now();
        rig->idle(windowMs());
        const double wall = msBetween(start, Clock::now()) / 1000.0;
        const std::string n = std::to_string(count);
        m_report.add("cpu_idle" + n + "_percent",
                     "CPU, " + n + (count == 1 ? " idle view" : " idle views together"),
                     100.0 * (cpuSeconds(rig->pid()) - before) / wall, "% core",
                     count == 8 ? "<= 1.5" : "");
    }
}

void Bench::memory() {
    // WPE WebKit's views can also share one page process (KEL_PAGE_PROCESS=shared).
    const char *engine = std::getenv("KEL_ENGINE");
    const bool wpe = engine && std::string(engine) == "wpe";
    for (const bool shared : {false, true}) {
        if (shared && !wpe)
            break;
        auto rig = std::make_unique<Rig>(m_root, m_serial++);
        if (shared)
            rig->setEnvironment("KEL_PAGE_PROCESS", "shared");
        if (!rig->start()) {
            std::fprintf(stderr, "kelbench: cannot start the browser: %s\n",
                         rig->browser().error().c_str());
            return;
        }
        const std::string key = shared ? "shared_" : "";
        const std::string how = shared ? ", views sharing a page process" : "";
        std::vector<std::string> views;
        std::map<int, double> pss;
        for (int count : {1, 4, 16}) {
            while (int(views.size()) < count) {
                views.push_back("mem" + std::to_string(views.size()));
                rig->open(views.back(), m_static);
            }
            rig->waitLoaded(views, 60000);
            rig->idle(1500);
            pss[count] = pssMiB(rig->pid());
            const std::string n = std::to_string(count);
            m_report.add(key + "pss" + n + "_mib",
                         "PSS of the browser and its engine processes, " + n +
                             (count == 1 ? " view" : " views") + how,
                         pss[count], "MiB");
        }
        m_report.add(key + "pss_per_view_mib",
                     "PSS per extra idle 1024x768 view ((16 - 1) / 15)" + how,
                     (pss[16] - pss[1]) / 15.0, "MiB", "<= 12");
    }
}

// The host's side of one view on its frame area: every frame taken as soon as it is there,
// timed, and handed back at once (a host uploads from it in between).
struct AreaView {
    std::string name;
    std::u16string units;
    std::vector<Clock::time_point> frames;
    std::vector<double> takeMicroseconds; // KEL_TakeFrame + KEL_ReleaseFrame of taken frames
    KEL_Frame last{};

    explicit AreaView(std::string view) : name(std::move(view)), units(name.begin(), name.end()) {}
    const uint16_t *raw() const { return reinterpret_cast<const uint16_t *>(units.c_str()); }
    bool poll() {
        const Clock::time_point before = Clock::now();
        KEL_Frame frame{};
        if (KEL_TakeFrame(raw(), &frame) != 1)
            return false;
        last = frame;
        KEL_ReleaseFrame(raw());
        const Clock::time_point after = Clock::now();
        frames.push_back(after);
        takeMicroseconds.push_back(msBetween(before, after) * 1000.0);
        return true;
    }
    // Pixel (x, y) from the top as 0xRRGGBBAA, read from the frame last taken (still mapped; a
    // bench only).
    uint32_t pixel(int x, int y) const {
        if (!last.pixels || x >= last.width || y >= last.height)
            return 0;
        const auto *p = static_cast<const uint8_t *>(last.pixels) +
                        int64_t(last.height - 1 - y) * last.stride + int64_t(x) * 4;
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    }
};

// Creates a view on its frame area at `rate` and loads `address` into it.
bool openArea(Rig &rig, const std::string &view, int32_t width, int32_t height, int32_t rate,
              const std::string &address) {
    KEL_Command create = makeCommand(KEL::Code::CRVW);
    setString(create, 0, view);
    setInt(create, 0, width);
    setInt(create, 1, height);
    setInt(create, 2, 1);
    KEL_Command switchOver = makeCommand(KEL::Code::RATE);
    setString(switchOver, 0, view);
    setInt(switchOver, 0, rate);
    setInt(switchOver, 1, 100);
    const std::optional<KEL_Command> load = makeLoad(view, address);
    return rig.browser().post(create) != 0 && rig.browser().post(switchOver) != 0 && load &&
           rig.browser().post(*load) != 0;
}

void Bench::frameAreas() {
    // Animated views, each taken by the host as fast as it comes: frames per second, gaps,
    // CPU, and what a take costs the host.
    struct Case {
        const char *key;
        int views, width, height, rate;
    };
    const Case cases[] = {{"area4_rate60", 4, 1024, 768, 60},
                          {"area4_rate30", 4, 1024, 768, 30},
                          {"area1080_rate60", 1, 1920, 1080, 60}};
    std::vector<double> takeCosts;
    for (const Case &c : cases) {
        auto rig = newRig();
        if (!rig)
            return;
        std::vector<AreaView> views;
        std::vector<std::string> names;
        for (int i = 0; i < c.views; ++i) {
            names.push_back(std::string(c.key) + "_" + std::to_string(i));
            views.emplace_back(names.back());
            openArea(*rig, names.back(), c.width, c.height, c.rate, m_animated);
        }
        auto pollAll = [&] {
            for (AreaView &view : views)
                view.poll();
            return false;
        };
        rig->waitLoaded(names);
        rig->spin(pollAll, 1000);
        for (AreaView &view : views) {
            view.frames.clear();
            view.takeMicroseconds.clear();
        }
        const double cpuBefore = cpuSeconds(rig->pid());
        const Clock::time_point start = Clock::now();
        rig->spin(pollAll, windowMs());
        const double wall = msBetween(start, Clock::now()) / 1000.0;
        const double cpu = cpuSeconds(rig->pid()) - cpuBefore;
        std::vector<double> gaps;
        size_t total = 0;
        for (const AreaView &view : views) {
            total += view.frames.size();
            for (size_t i = 1; i < view.frames.size(); ++i)
                gaps.push_back(msBetween(view.frames[i - 1], view.frames[i]));
            takeCosts.insert(takeCosts.end(), view.takeMicroseconds.begin(),
                             view.takeMicroseconds.end());
        }
        const std::string what = std::to_string(c.views) + " animated " + std::to_string(c.width) +
                                 "x" + std::to_string(c.height) +
                                 (c.views == 1 ? " view" : " views") + " at rate " +
                                 std::to_string(c.rate);
        const bool four = c.views == 4;
        m_report.add(std::string(c.key) + "_fps", what + ": frames/s per view",
                     double(total) / wall / c.views, "1/s", four ? ">= 30" : ">= 55");
        m_report.add(std::string(c.key) + "_gap_p95_ms", what + ": gap p95", percentile(gaps, 95),
                     "ms", four ? "<= 45" : "");
        m_report.add(std::string(c.key) + "_cpu_percent", what + ": browser CPU",
                     100.0 * cpu / wall, "% core", four ? "" : "<= 35");
    }
    m_report.add("area_take_us", "host: KEL_TakeFrame + KEL_ReleaseFrame per taken frame, mean",
                 takeCosts.empty() ? NAN
                                   : std::accumulate(takeCosts.begin(), takeCosts.end(), 0.0) /
                                         double(takeCosts.size()),
                 "us", "<= 100");
    m_report.add("area_take_p95_us", "host: KEL_TakeFrame + KEL_ReleaseFrame, p95",
                 percentile(takeCosts, 95), "us");

    // Press to changed pixels, at rate 60.
    if (auto rig = newRig()) {
        AreaView view("button");
        openArea(*rig, view.name, 1024, 768, 60, m_button);
        rig->waitLoaded({view.name});
        rig->spin([&] { return view.poll() && view.pixel(40, 40) == kRed; }, 5000);
        std::vector<double> latencies;
        uint32_t expected = kRed;
        unsigned jitter = 12345;
        for (int press = 0; press < m_settings.presses; ++press) {
            expected = expected == kRed ? kGreen : kRed;
            KEL_Command down = makeCommand(KEL::Code::MPRS), up = makeCommand(KEL::Code::MREL);
            for (KEL_Command *c : {&down, &up}) {
                setString(*c, 0, view.name);
                setInt(*c, 0, 200);
                setInt(*c, 1, 150);
                setInt(*c, 2, 0);
            }
            const Clock::time_point pressed = Clock::now();
            rig->browser().post(down);
            rig->browser().post(up);
            if (rig->spin([&] { return view.poll() && view.pixel(40, 40) == expected; }, 3000))
                latencies.push_back(msBetween(pressed, view.frames.back()));
            else
                expected = view.pixel(40, 40);
            jitter = jitter * 1103515245u + 12345u;
            rig->idle(60 + int(jitter >> 16) % 50);
            view.poll();
        }
        m_report.add("area_input_p50_ms", "frame area at rate 60: press to changed pixels, p50",
                     percentile(latencies, 50), "ms", "<= 25");
        m_report.add("area_input_p95_ms", "frame area at rate 60: press to changed pixels, p95",
                     percentile(latencies, 95), "ms");
    }

    // Idle views on their frame areas at rate 60 cost (almost) nothing.
    if (auto rig = newRig()) {
        std::vector<AreaView> views;
        std::vector<std::string> names;
        for (int i = 0; i < 8; ++i) {
            names.push_back("idlearea" + std::to_string(i));
            views.emplace_back(names.back());
            openArea(*rig, names.back(), 1024, 768, 60, m_static);
        }
        auto pollAll = [&] {
            for (AreaView &view : views)
                view.poll();
            return false;
        };
        rig->waitLoaded(names, 60000);
        rig->spin(pollAll, 1500);
        const double before = cpuSeconds(rig->pid());
        const Clock::time_point start = Clock::now();
        rig->spin(pollAll, windowMs());
        const double wall = msBetween(start, Clock::now()) / 1000.0;
        m_report.add("area_idle8_cpu_percent", "CPU, 8 idle views on frame areas at rate 60",
                     100.0 * (cpuSeconds(rig->pid()) - before) / wall, "% core", "<= 1.5");
    }
}

std::string firstLine(const std::string &path, const std::string &prefix) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

} // namespace

int main(int argc, char **argv) {
    Settings settings;
    // Both engines side by side, WPE WebKit first; one where only one is built.
    std::string engineList = "wpe,qtwebkit";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--json" && value)
            settings.json = argv[++i];
        else if (arg == "--seconds" && value)
            settings.seconds = std::max(0.5, std::atof(argv[++i]));
        else if (arg == "--runs" && value)
            settings.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--presses" && value)
            settings.presses = std::max(2, std::atoi(argv[++i]));
        else if (arg == "--only" && value)
            settings.only = argv[++i];
        else if (arg == "--engines" && value)
            engineList = argv[++i];
        else {
            std::printf("usage: kelbench [--json PATH] [--seconds S] [--runs N] [--presses N]\n"
                        "                [--only start,anim,input,idle,memory,frames]\n"
                        "                [--engines wpe,qtwebkit]\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    // Own segments, so a run never meets a game or a test on this machine.
    const std::string suffix = "_kelbench" + std::to_string(getpid());
    setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);

    const std::pair<const char *, void (Bench::*)()> parts[] = {
        {"start", &Bench::startUp}, {"anim", &Bench::animation}, {"input", &Bench::input},
        {"idle", &Bench::idleCpu},  {"memory", &Bench::memory},  {"frames", &Bench::frameAreas},
    };
    Report report;
    std::set<std::string> engines;
    for (size_t from = 0; from <= engineList.size();) {
        const size_t comma = std::min(engineList.find(',', from), engineList.size());
        std::string engine = engineList.substr(from, comma - from);
        from = comma + 1;
        // What runs when this engine is asked for: WPE WebKit falls back to QtWebKit where it
        // was not built, and that is measured once.
        engine = chooseEngine(defaultBrowserPath(), engine);
        if (engine.empty() || !engines.insert(engine).second)
            continue;
        setenv("KEL_ENGINE", engine.c_str(), 1);
        Bench bench(settings);
        if (!bench.ready()) {
            std::fprintf(stderr, "kelbench: cannot make a temporary folder\n");
            return 1;
        }
        for (const auto &[name, part] : parts) {
            if (!settings.wants(name))
                continue;
            std::fprintf(stderr, "kelbench: %s: %s...\n", engine.c_str(), name);
            (bench.*part)();
        }
        report.addEngine(engine, bench.report());
    }

    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    const std::map<std::string, std::string> about = {
        {"date", date},
        {"cpu", firstLine("/proc/cpuinfo", "model name")},
        {"cores", std::to_string(sysconf(_SC_NPROCESSORS_ONLN))},
        {"load", firstLine("/proc/loadavg", "")},
    };
    std::printf("kelbench, %s, %s cores, %s\n", date, about.at("cores").c_str(),
                about.at("cpu").c_str());
    report.print();
    if (!report.writeJson(settings.json, about))
        std::fprintf(stderr, "kelbench: cannot write %s\n", settings.json.c_str());
    else
        std::printf("\nJSON: %s\n", settings.json.c_str());
    return 0;
}
