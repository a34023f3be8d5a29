// kelshot: render a page with KEL and save what the host receives as a PNG.
//
// It drives the browser exactly as a game would (CRVW, RATE, SMSK, LOAD or HTML, LDFN, EVJS,
// the view's frames taken from its frame area), so it doubles as a smoke test and a "time to
// first page" measurement. Run `kelshot --help` for the options and exit codes.

#include "KELHost.h"
#include "Launcher.h"
#include "PagePng.h"
#include "Sandbox.h"
#include "ShotOptions.h"
#include "View.h"

#include "CommandCodes.h"
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef KEL_VERSION
#define KEL_VERSION "unknown"
#endif

using namespace KEL::Host;
using namespace KEL::Shot;

namespace {

const char *const kView = "main";
const char16_t *const kView16 = u"main";
// The largest data slot; HTML and EVJS texts travel in one slot as UTF-16 with a zero unit.
constexpr size_t kLargestPayload = 1u << 20;
constexpr int kRequestTimeoutMs = 10000;

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int) {
    g_interrupted = 1;
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Page texts reach the terminal: control characters (escape sequences) become '?'.
std::string printable(const std::string &text) {
    std::string out = text;
    for (char &c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7F)
            c = '?';
    }
    return out;
}

// The demo page lies in share/kel/examples beside the bin folder, in the build tree and in
// an installed prefix alike.
std::string demoAddress() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    exe[n] = 0;
    const std::string page = directoryOf(exe) + "/../share/kel/examples/demo.html";
    return access(page.c_str(), R_OK) == 0 ? fileAddress(page) : std::string();
}

// Fails early rather than after a 30 s load.
bool outputWritable(const std::string &path, std::string *error) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode) || access(path.c_str(), W_OK) != 0) {
            *error = "cannot write " + path + (S_ISDIR(info.st_mode) ? ": it is a folder" : "");
            return false;
        }
        return true;
    }
    const std::string dir = directoryOf(path);
    if (access(dir.c_str(), W_OK) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string describeEnd(int status) {
    if (status >= 0 && WIFSIGNALED(status))
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    if (status >= 0 && WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

class Shot {
  public:
    explicit Shot(const Options &options)
        : m_options(options), m_terminal(isatty(STDERR_FILENO) && !options.quiet) {}
    int run();

  private:
    enum class Wait { Done, TimedOut, Died, Interrupted };

    int prepare();
    int start();
    // CRVW, SMSK when asked, then LOAD or HTML; the sequence number of CRVW goes to
    // *createSequence.
    int postFirstRequests(uint32_t *createSequence);
    int showPage();
    int checkLoad();
    int evaluate(const std::string &script);
    int finalFrame();
    void takeFrame();
    int writePicture();
    int fail(int code, const std::string &message);
    int failWait(Wait wait, const std::string &what);

    Wait pumpUntil(const std::function<bool()> &condition, int timeoutMs);
    Wait request(const KEL_Command &command, KEL_Command *reply);
    void drain();
    void handle(const KEL_Command &record);
    void onConsole(const KEL_Command &record);
    void drawProgress();
    void clearProgress();
    void say(const std::string &line);

    Options m_options;
    bool m_terminal;
    std::u16string m_html;
    Browser m_browser;
    // The newest frame of the view, held in its frame area (no copy) from one take to the next.
    KEL_Frame m_frame{};
    bool m_haveFrame = false;
    Clock::time_point m_started = Clock::now(), m_loadStarted;
    uint32_t m_awaited = 0;
    uint32_t m_rateSequence = 0;
    int32_t m_rateResult = 0;
    bool m_gotReply = false;
    KEL_Command m_reply{};
    int m_progress = 0;
    bool m_barShown = false;
    int m_loadsFinished = 0;
    double m_firstPageSeconds = 0;
    std::string m_title, m_address;
};

int Shot::fail(int code, const std::string &message) {
    clearProgress();
    std::fprintf(stderr, "kelshot: %s\n", message.c_str());
    return code;
}

int Shot::failWait(Wait wait, const std::string &what) {
    switch (wait) {
    case Wait::Done:
        return kExitOk;
    case Wait::Interrupted:
        return fail(kExitInterrupted, "interrupted");
    case Wait::Died:
        return fail(kExitBrowserDied,
                    "the browser died " + what + " (" + describeEnd(m_browser.exitStatus()) + ")");
    case Wait::TimedOut:
        break;
    }
    return fail(kExitFailed, "the browser did not answer " + what);
}

void Shot::say(const std::string &line) {
    if (m_options.quiet)
        return;
    clearProgress();
    std::fprintf(stderr, "%s\n", printable(line).c_str());
    drawProgress();
}

void Shot::drawProgress() {
    if (!m_terminal || m_loadStarted == Clock::time_point() || m_loadsFinished > 0)
        return;
    constexpr int kWidth = 30;
    const int filled = m_progress * kWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(kWidth - filled), '.').c_str(), m_progress);
    std::fflush(stderr);
    m_barShown = true;
}

void Shot::clearProgress() {
    if (m_barShown)
        std::fprintf(stderr, "\r\033[K");
    m_barShown = false;
}

// The reply awaited by request() is kept; every other record is handled here and dropped with
// whatever payloads it names and the handling did not take (by the code table), so addresses,
// icons and console texts never pile up in the data segment.
void Shot::drain() {
    auto &inbox = m_browser.inbox();
    while (!inbox.empty()) {
        const KEL_Command record = inbox.front();
        inbox.pop_front();
        if (record.origin == 0 && record.result != 0 && record.sequence == m_rateSequence &&
            m_rateSequence != 0)
            m_rateResult = record.result;
        if (record.origin == 0 && record.result != 0 && m_awaited != 0 &&
            record.sequence == m_awaited) {
            m_reply = record;
            m_gotReply = true;
            continue;
        }
        const TakenSlots taken;
        if (record.origin == 1)
            handle(record);
        freePayloads(record, taken.slots());
    }
    takeFrame();
}

// Each take hands the previous frame back, so the browser always has slots to paint into.
void Shot::takeFrame() {
    KEL_Frame frame{};
    if (KEL_TakeFrame(reinterpret_cast<const uint16_t *>(kView16), &frame) == 1) {
        m_frame = frame;
        m_haveFrame = true;
    }
}

void Shot::handle(const KEL_Command &record) {
    if (hasCode(record, KEL::Code::PROG)) {
        m_progress = std::max(0, std::min(100, record.intArgs[0]));
        drawProgress();
    } else if (hasCode(record, KEL::Code::TITC)) {
        if (std::string title = getString8(record, 1); !title.empty())
            m_title = title;
    } else if (hasCode(record, KEL::Code::URLC)) {
        m_address = utf8(takeText(record, 0));
    } else if (hasCode(record, KEL::Code::JLOG)) {
        onConsole(record);
    } else if (hasCode(record, KEL::Code::LDFN)) {
        if (m_loadsFinished++ == 0)
            m_firstPageSeconds = secondsSince(m_started);
        clearProgress();
        if (!m_terminal && !m_options.quiet)
            std::fprintf(stderr, "kelshot: loaded in %.3f s\n", secondsSince(m_loadStarted));
    }
}

// Message in intArgs[0..1], line in [2], source in [3..4].
void Shot::onConsole(const KEL_Command &record) {
    const std::string message = utf8(takeText(record, 0));
    const std::string source = utf8(takeText(record, 3));
    say("console: " + (source.empty() ? std::string("(page)") : source) + ":" +
        std::to_string(record.intArgs[2]) + ": " + message);
}

Shot::Wait Shot::pumpUntil(const std::function<bool()> &condition, int timeoutMs) {
    Wait result = Wait::TimedOut;
    m_browser.spinUntil(
        [&] {
            drain();
            if (condition())
                result = Wait::Done;
            else if (g_interrupted)
                result = Wait::Interrupted;
            else if (!m_browser.running())
                result = Wait::Died;
            return result != Wait::TimedOut;
        },
        timeoutMs);
    return result;
}

Shot::Wait Shot::request(const KEL_Command &command, KEL_Command *reply) {
    m_gotReply = false;
    m_awaited = m_browser.post(command);
    if (m_awaited == 0)
        return Wait::TimedOut;
    const Wait wait = pumpUntil([this] { return m_gotReply; }, kRequestTimeoutMs);
    m_awaited = 0;
    if (reply)
        *reply = m_reply;
    return wait;
}

// Everything that can be checked without the browser is, so mistakes cost no start-up.
int Shot::prepare() {
    std::string error;
    if (!outputWritable(m_options.out, &error))
        return fail(kExitCannotWrite, error);
    if (!m_options.htmlFile.empty()) {
        struct stat info {};
        if (stat(m_options.htmlFile.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return fail(kExitBadOptions, m_options.htmlFile + " is a folder, not a page");
        std::ifstream in(m_options.htmlFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in)
            return fail(kExitBadOptions, "cannot read " + m_options.htmlFile);
        m_html = utf16(text.str());
        if ((m_html.size() + 1) * 2 > kLargestPayload)
            return fail(kExitTooLarge, m_options.htmlFile + " is too large for the data segment (" +
                                           std::to_string((m_html.size() + 1) * 2) +
                                           " bytes as UTF-16, at most 1048576)");
    }
    for (const std::string &script : m_options.scripts) {
        if ((utf16(script).size() + 1) * 2 > kLargestPayload)
            return fail(kExitTooLarge, "an --eval script is too large for the data segment");
    }
    if (!m_options.address.empty() && !makeLoad(kView, m_options.address))
        return fail(kExitBadOptions, "the address is longer than " +
                                         std::to_string(kLoadAddressUnits) + " UTF-16 units");
    return kExitOk;
}

// Standard output carries --eval values and nothing else, so the plugin's own lines (a lock
// that timed out, a full segment) go to standard error, like every other diagnostic.
bool g_pluginLines = true;

void onPluginLine(const char *line) {
    if (g_pluginLines)
        std::fprintf(stderr, "kelshot: %s\n", line);
}

int Shot::start() {
    g_pluginLines = !m_options.quiet;
    KEL_SetLogCB(&onPluginLine);
    // Each run gets segments of its own (the kit's rule) unless the caller chose a suffix.
    // The view is on its frame area from its first tick: no UPVW is expected, but one that
    // comes is released so it never holds the segment.
    m_browser.setNoticeHandler([](const KEL_Command &record) {
        if (isFrameNotice(record))
            releaseFrame();
    });
    m_browser.subscribe(); // drain() reads every record
    StartOptions options;
    options.engine = m_options.engine;
    options.logFile = m_options.log;
    // The sandbox's /tmp is empty: a page file there is shown from its own folder.
    options.sandboxReadable = {folderOfFileAddress(m_options.address)};
    // One picture, one browser: a page that keeps the engine busy for seconds (a long layout,
    // a heavy script) is waited for up to --timeout, not taken for a hang and replaced, and a
    // browser that dies ends the run with its own exit code.
    options.recovery.enabled = false;
    // The view and its page are asked for with INIT, so the browser creates the view and starts
    // loading in its very first tick.
    int posted = kExitOk;
    uint32_t createSequence = 0;
    options.firstRequests = [&] { posted = postFirstRequests(&createSequence); };
    if (!m_browser.start(options))
        return fail(kExitNoBrowser, m_browser.error());
    if (posted != kExitOk)
        return posted;
    m_gotReply = false;
    m_awaited = createSequence;
    const Wait wait = pumpUntil([this] { return m_gotReply; }, kRequestTimeoutMs);
    m_awaited = 0;
    if (wait != Wait::Done)
        return failWait(wait, "when asked for a view");
    if (m_reply.result != 1)
        return fail(kExitFailed, "the browser refused to create the view");
    // RATE was posted right after CRVW: its reply is next.
    const Wait rated = pumpUntil([this] { return m_rateResult != 0; }, kRequestTimeoutMs);
    if (rated != Wait::Done)
        return failWait(rated, "when asked for a frame area");
    if (m_rateResult != 1)
        return fail(kExitFailed, "the browser refused the view's frame area");
    return kExitOk;
}

int Shot::postFirstRequests(uint32_t *createSequence) {
    KEL_Command create = makeCommand(KEL::Code::CRVW);
    setString(create, 0, kView);
    setInt(create, 0, m_options.width);
    setInt(create, 1, m_options.height);
    setInt(create, 2, 0);
    *createSequence = m_browser.post(create);
    if (*createSequence == 0)
        return fail(kExitFailed, "the command segment is full");
    // Its own frame area, in the same tick: sizes up to 4096 and a scale factor. The rate only
    // bounds how often an animated page is painted while kelshot waits; the picture is the frame
    // of the loaded page, or one painted on request after scripts and a wait.
    KEL_Command rate = makeCommand(KEL::Code::RATE);
    setString(rate, 0, kView);
    setInt(rate, 0, 60);
    setInt(rate, 1, m_options.scalePercent);
    m_rateSequence = m_browser.post(rate);
    if (m_rateSequence == 0)
        return fail(kExitFailed, "the command segment is full");
    if (m_options.transparent) {
        KEL_Command mask = makeCommand(KEL::Code::SMSK);
        setString(mask, 0, kView);
        setInt(mask, 0, 1);
        if (m_browser.post(mask) == 0)
            return fail(kExitFailed, "the command segment is full");
    }
    KEL_Command page;
    if (!m_options.htmlFile.empty()) {
        page = makeCommand(KEL::Code::HTML);
        setString(page, 0, kView);
        if (!putText(page, 0, m_html))
            return fail(kExitTooLarge, "no data slot is free for the page");
    } else {
        page = *makeLoad(kView, m_options.address);
    }
    m_loadStarted = Clock::now();
    if (m_browser.post(page) == 0)
        return fail(kExitFailed, "the command segment is full");
    return kExitOk;
}

int Shot::showPage() {
    drawProgress();
    const Wait wait = pumpUntil([this] { return m_loadsFinished > 0; }, m_options.timeoutMs);
    if (wait == Wait::TimedOut)
        return fail(kExitTimedOut, "the page did not finish loading within " +
                                       std::to_string(m_options.timeoutMs) + " ms (at " +
                                       std::to_string(m_progress) + "%)");
    return failWait(wait, "while loading");
}

// The browser hands back a script's value as text, so an object, null and a thrown error would
// all look alike (an empty line). The script therefore runs inside a wrapper that turns its
// value into JSON (one line whatever it holds) or reports what it threw: "V" or "E" first.
std::string jsonWrapped(const std::string &script) {
    std::u16string quoted = u"\"";
    for (const char16_t unit : utf16(script)) {
        if (unit == u'"' || unit == u'\\' || unit < 0x20 || unit == 0x2028 || unit == 0x2029) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(unit));
            quoted += utf16(escaped);
        } else {
            quoted += unit;
        }
    }
    quoted += u"\"";
    // Indirect eval runs the script in the page's global scope, as EVJS itself would.
    return "(function(){var v;try{v=(0,eval)(" + utf8(quoted) +
           ");}catch(e){return 'E'+String(e);}"
           "var t=typeof v;if(t==='undefined'||t==='function'||t==='symbol')return 'Vnull';"
           "try{return 'V'+JSON.stringify(v);}catch(e){return 'V'+JSON.stringify(String(v));}})()";
}

int Shot::evaluate(const std::string &script) {
    KEL_Command command = makeCommand(KEL::Code::EVJS);
    setString(command, 0, kView);
    const std::string wrapped = jsonWrapped(script);
    if ((utf16(wrapped).size() + 1) * 2 > kLargestPayload)
        return fail(kExitTooLarge, "an --eval script is too large for the data segment");
    if (!putText(command, 0, wrapped))
        return fail(kExitTooLarge, "no data slot is free for the script");
    KEL_Command reply;
    if (Wait wait = request(command, &reply); wait != Wait::Done)
        return failWait(wait, "when running a script");
    const std::string value = utf8(takeText(reply, 0));
    if (value.rfind('E', 0) == 0)
        return fail(kExitScriptError, "the script threw: " + printable(value.substr(1)));
    std::fprintf(stdout, "%s\n", value.empty() ? "null" : value.c_str() + 1);
    std::fflush(stdout);
    return kExitOk;
}

// A load the network could not serve (refused, unknown host, blocked port, TLS failure) ends
// in the engine's own error page, which reaches the host like any page. Its shape is fixed:
// "Failed to load URL" and a "QtNetwork Error N" or "WebKit Error N" line (a port the engine
// refuses); QtNetwork errors 201 to 299 are answers from the server (404 and the like), whose
// pages count as pages.
int Shot::checkLoad() {
    if (!m_options.htmlFile.empty())
        return kExitOk;
    KEL_Command command = makeCommand(KEL::Code::EVJS);
    setString(command, 0, kView);
    const char *probe =
        "(function(){var p=document.querySelector('body>pre');var a=document.querySelector("
        "'body>p');if(!p||!a||a.textContent.indexOf('Failed to load URL')!==0)return '';"
        "var m=/^(QtNetwork|WebKit) Error (\\d+)$/.exec(p.textContent);if(!m)return '';"
        "var n=+m[2];if(m[1]==='QtNetwork'&&n>=201&&n<=299)return '';"
        "return document.title+' ('+m[1]+' error '+n+')';})()";
    if (!putText(command, 0, std::string(probe)))
        return fail(kExitTooLarge, "no data slot is free for a script");
    KEL_Command reply;
    if (Wait wait = request(command, &reply); wait != Wait::Done)
        return failWait(wait, "when checking the load");
    const std::string failure = utf8(takeText(reply, 0));
    if (failure.empty())
        return kExitOk;
    return fail(kExitLoadFailed, "the page could not be loaded: " + printable(failure));
}

// FRAM paints the page as it is now and publishes the frame before it replies, so the take
// that follows the reply finds it.
int Shot::finalFrame() {
    KEL_Command paint = makeCommand(KEL::Code::FRAM);
    setString(paint, 0, kView);
    KEL_Command reply;
    if (Wait wait = request(paint, &reply); wait != Wait::Done)
        return failWait(wait, "when asked for a frame");
    if (reply.result != 1)
        return fail(kExitFailed, "the browser has no frame area for the view");
    takeFrame();
    return kExitOk;
}

int Shot::writePicture() {
    if (!m_haveFrame)
        return fail(kExitFailed, "the browser delivered no frame of the page");
    const uint32_t width = uint32_t(m_frame.width), height = uint32_t(m_frame.height);
    const std::vector<uint8_t> rgba = straightFrame(static_cast<const uint8_t *>(m_frame.pixels),
                                                    width, height, size_t(m_frame.stride));
    KEL_ReleaseFrame(reinterpret_cast<const uint16_t *>(kView16));
    m_haveFrame = false;
    std::string error;
    const auto started = Clock::now();
    if (!writePng(m_options.out, rgba, width, height, &error))
        return fail(kExitCannotWrite, error);
    if (m_options.quiet)
        return kExitOk;
    struct stat info {};
    stat(m_options.out.c_str(), &info);
    if (!m_title.empty())
        say("title: " + m_title);
    if (!m_address.empty())
        say("address: " + m_address);
    char line[512];
    std::snprintf(
        line, sizeof line, "wrote %s: %ux%u, %lld KB; page on screen after %.3f s, PNG in %.3f s",
        m_options.out.c_str(), width, height, static_cast<long long>((info.st_size + 1023) / 1024),
        m_firstPageSeconds, secondsSince(started));
    say(line);
    return kExitOk;
}

int Shot::run() {
    int code = prepare();
    if (code == kExitOk)
        code = start();
    if (code == kExitOk)
        code = showPage();
    if (code == kExitOk)
        code = checkLoad();
    for (size_t i = 0; code == kExitOk && i < m_options.scripts.size(); ++i)
        code = evaluate(m_options.scripts[i]);
    if (code == kExitOk && m_options.waitMs > 0) {
        const Wait wait = pumpUntil([] { return false; }, m_options.waitMs);
        if (wait != Wait::TimedOut)
            code = failWait(wait, "while waiting");
    }
    // Without scripts or a wait the frame is complete already: the LDFN of a frame-area view
    // follows the first frame published after the load ended, and drain() took it.
    if (code == kExitOk && (!m_options.scripts.empty() || m_options.waitMs > 0 || !m_haveFrame))
        code = finalFrame();
    if (code == kExitOk)
        code = writePicture();
    // A healthy browser tears itself down after EXIT while this process ends; one that failed
    // is waited for (and killed if need be), so nothing of it stays behind.
    if (code == kExitOk)
        m_browser.leave();
    else
        m_browser.stop();
    return code;
}

} // namespace

int main(int argc, char **argv) {
    const Parsed parsed = parseArguments(argc, argv, demoAddress());
    switch (parsed.action) {
    case Action::Help:
        std::fputs(helpText().c_str(), stdout);
        return kExitOk;
    case Action::Version:
        std::printf("kelshot %s\nengine: %s\n", KEL_VERSION,
                    KEL::Host::chooseEngine(KEL::Host::defaultBrowserPath(), "").c_str());
        return kExitOk;
    case Action::Error:
        std::fprintf(stderr, "kelshot: %s\n(kelshot --help lists the options)\n",
                     parsed.error.c_str());
        return kExitBadOptions;
    case Action::Run:
        break;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return Shot(parsed.options).run();
}
