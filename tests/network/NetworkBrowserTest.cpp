// Networking through a real KELBrowser: a real HTTP server (TestServer.py) and a real SOCKS 5
// server (microsocks) on 127.0.0.1, each browser with its own HOME and XDG folders.

#include "BrowserFixture.h"
#include "FrameCompositor.h"
#include "TestProcess.h"

#include "network/NetworkCookieJar.h"

#include <QCoreApplication>
#include <QImage>
#include <QSettings>

#include "CommandCodes.h"
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KEL {
namespace Test {
namespace {

using Host::setInt;
using Host::setString;

size_t countLines(const std::string &text, const std::string &part) {
    std::istringstream lines(text);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(part) != std::string::npos;
    return count;
}

// The machine's host name when it resolves to loopback only: Qt sends loopback addresses past
// the proxy, but a name it does not know as loopback goes through it, and the SOCKS server
// resolves it back to this machine.
std::string loopbackHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !*name || std::string(name) == "localhost")
        return std::string();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return std::string();
    bool loopback = true;
    for (addrinfo *a = found; a; a = a->ai_next)
        loopback &=
            (ntohl(reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr.s_addr) >> 24) == 127;
    freeaddrinfo(found);
    return loopback ? name : std::string();
}

mode_t modeOf(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class NetworkTest : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        const std::string portFile = m_root + "/http.port";
        ASSERT_TRUE(m_server.start({KEL_PYTHON, KEL_TEST_SERVER, portFile, m_root + "/http.log"},
                                   m_root + "/http.out"));
        ASSERT_TRUE(waitUntil([&] { return !readFile(portFile).empty(); }, 10000))
            << readFile(m_root + "/http.out");
        m_port = std::stoi(readFile(portFile));
        ASSERT_TRUE(launch());
    }

    void TearDown() override {
        m_frames.reset();
        BrowserTest::TearDown();
    }

    // Starts the browser (again) on the same folders, with one view "net".
    bool launch() {
        m_frames = std::make_unique<Host::FrameCompositor>();
        if (!startBrowser(true))
            return false;
        m_frames->attach(m_browser);
        return createView("net", 400, 300).result == 1;
    }
    void restart() {
        m_browser.stop(5000);
        ASSERT_TRUE(launch());
    }

    std::string url(const std::string &path, const std::string &host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(m_port) + path;
    }

    // LOAD, then LDFN (which also comes for a failed load); returns the page's title.
    std::string load(const std::string &address) {
        m_browser.inbox().clear();
        KEL_Command command = viewCommand(KEL::Code::LOAD, "net");
        setString(command, 1, address);
        EXPECT_EQ(request(command).result, 1);
        EXPECT_TRUE(m_browser.waitFor(KEL::Code::LDFN, nullptr, 20000))
            << "no LDFN for " << address;
        KEL_Command evaluate = viewCommand(KEL::Code::EVJS, "net");
        EXPECT_TRUE(Host::putText(evaluate, 0, std::string("document.title")));
        return Host::utf8(Host::takeText(request(evaluate), 0));
    }

    void simple(const char *code) { EXPECT_EQ(request(Host::makeCommand(code)).result, 1); }

    void authenticate(const std::string &user, const std::string &password) {
        KEL_Command command = Host::makeCommand(KEL::Code::AUTH);
        setString(command, 0, user);
        setString(command, 1, password);
        EXPECT_EQ(request(command).result, 1);
    }

    // PRXY with the first `count` of host, user, password.
    void proxy(int32_t port, int count, const std::string &user = "",
               const std::string &password = "") {
        KEL_Command command = Host::makeCommand(KEL::Code::PRXY);
        setString(command, 0, "127.0.0.1");
        setString(command, 1, user);
        setString(command, 2, password);
        command.strCount = count;
        setInt(command, 0, port);
        EXPECT_EQ(request(command).result, 1);
    }

    std::string serverLog() const { return readFile(m_root + "/http.log"); }

    Child m_server;
    int m_port = 0;
    std::unique_ptr<Host::FrameCompositor> m_frames;
};

// Guards server authentication: nothing is sent before AUTH or for an empty pair, a wrong
// pair ends in the refusal rather than a loop, the right pair opens the page (also after a
// redirect on the same host, but not after one to another host), and a page on a loaded host
// that pulls a protected image from another host gets no credentials for it.
TEST_F(NetworkTest, CredentialsGoOnlyToTheLoadedHost) {
    const std::string good = "auth=Basic a2VsOnNlY3JldA==";
    EXPECT_EQ(load(url("/protected/a?none")), "refused");
    authenticate("", "");
    EXPECT_EQ(load(url("/protected/a?empty")), "refused");
    authenticate("kel", "wrong");
    EXPECT_EQ(load(url("/protected/a?wrong")), "refused");
    EXPECT_EQ(countLines(serverLog(), good), 0u);
    authenticate("kel", "secret");
    EXPECT_EQ(load(url("/protected/a?right")), "secret");
    EXPECT_EQ(load(url("/redirect?to=/protected/a?same")), "secret");
    EXPECT_EQ(load(url("/redirect?to=" + url("/protected/a?elsewhere", "localhost"))), "refused");
    EXPECT_GE(countLines(serverLog(), "?elsewhere host=localhost"), 1u) << "redirect not followed";
    EXPECT_EQ(countLines(serverLog(), "?elsewhere host=localhost"),
              countLines(serverLog(),
                         "?elsewhere host=localhost:" + std::to_string(m_port) + " auth=- "));

    EXPECT_EQ(load(url("/mixed?other=localhost:" + std::to_string(m_port))), "mixed");
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string log = serverLog();
            return countLines(log, "/protected/same.png") > 0 &&
                   countLines(log, "/protected/other.png") > 0;
        },
        10000))
        << serverLog();
    const std::string log = serverLog();
    EXPECT_GE(countLines(log, "/protected/same.png host=127.0.0.1:" + std::to_string(m_port) + " " +
                                  good),
              1u);
    EXPECT_EQ(countLines(log, "/protected/other.png host=localhost"),
              countLines(log, "/protected/other.png host=localhost:" + std::to_string(m_port) +
                                  " auth=- "))
        << log;
}

// Guards the disk cache: a cacheable page loaded again by a new browser process comes from the
// cache in the per-user cache location (private), not from the server.
TEST_F(NetworkTest, CacheableResourceComesFromTheDiskCache) {
    EXPECT_EQ(load(url("/cached")), "cached");
    restart();
    EXPECT_EQ(load(url("/cached")), "cached");
    EXPECT_EQ(countLines(serverLog(), "/cached "), 1u) << serverLog();
    const std::string cache = m_root + "/cache/Kelvane/Kelvane";
    EXPECT_EQ(modeOf(cache), 0700u);
    size_t files = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(cache))
        files += entry.is_regular_file();
    EXPECT_GE(files, 1u);
}

// Guards persistence: after SVCK and a restart the persistent cookie is sent and the session
// and expired ones are not; the store is private; CLCK empties jar and store.
TEST_F(NetworkTest, CookiesSurviveARestartOnlyWhenSavedAndPersistent) {
    EXPECT_EQ(load(url("/setcookies")), "set");
    EXPECT_EQ(load(url("/echo?before")), "persist=1; session=1");
    simple(KEL::Code::SVCK);
    const std::string store = m_root + "/data/Kelvane/Kelvane/cookies.ini";
    EXPECT_EQ(modeOf(store), 0600u);
    EXPECT_EQ(modeOf(m_root + "/data/Kelvane/Kelvane"), 0700u);
    restart();
    EXPECT_EQ(load(url("/echo?after")), "persist=1");

    simple(KEL::Code::CLCK);
    EXPECT_EQ(load(url("/echo?cleared")), "none");
    registerCookieListType();
    QSettings settings(QString::fromStdString(store), QSettings::IniFormat);
    const QVariant value = settings.value(QStringLiteral("cookies"));
    EXPECT_STREQ(value.typeName(), "QList<QNetworkCookie>");
    EXPECT_TRUE(value.value<QList<QNetworkCookie>>().isEmpty());
    restart();
    EXPECT_EQ(load(url("/echo?restarted")), "none");
}

// Guards page icons: the engine has a page's icon only after its load has finished and
// announces it on its own, so ICNC must follow that announcement; each distinct icon arrives
// once (not again for the same page, a reload or title changes), as a 16 x 16 PNG of the icon,
// whether the page was served or read from a file. The icon that starts each step proves that
// no repeat of the one before arrived in between.
TEST_F(NetworkTest, EachDistinctPageIconArrivesOnceAsA16PixelPng) {
    const std::string folder = m_root + "/site";
    std::filesystem::create_directories(folder);
    QImage green(16, 16, QImage::Format_RGB32);
    green.fill(qRgb(0, 255, 0));
    ASSERT_TRUE(green.save(QString::fromStdString(folder + "/icon.png"), "PNG"));
    std::ofstream(folder + "/page.html") << "<html><head><title>file</title>"
                                            "<link rel=icon href=icon.png></head></html>";
    struct Step {
        const char *name;
        std::string address;
        QRgb icon; // 0: the step brings no new icon
    };
    const Step steps[] = {
        {"served", url("/iconpage?color=ff0000"), qRgb(255, 0, 0)},
        {"served again", url("/iconpage?color=ff0000"), 0},
        {"file page", "file://" + folder + "/page.html", qRgb(0, 255, 0)},
        {"another served icon", url("/iconpage?color=0000ff"), qRgb(0, 0, 255)},
        {"the first icon again", url("/iconpage?color=ff0000"), qRgb(255, 0, 0)},
    };
    m_browser.inbox().clear();
    for (const Step &step : steps) {
        KEL_Command command = viewCommand(KEL::Code::LOAD, "net");
        setString(command, 1, step.address);
        EXPECT_EQ(request(command).result, 1);
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::LDFN, nullptr, 20000)) << step.name;
        if (!step.icon) {
            for (const char *title : {"one", "two", "three"}) {
                KEL_Command retitle = viewCommand(KEL::Code::EVJS, "net");
                ASSERT_TRUE(
                    Host::putText(retitle, 0, std::string("document.title = '") + title + "'"));
                request(retitle);
            }
            continue;
        }
        KEL_Command notice;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::ICNC, &notice, 20000)) << step.name << "\n"
                                                                        << serverLog();
        EXPECT_EQ(Host::getString8(notice, 0), "net");
        EXPECT_EQ(notice.intCount, 2);
        const std::vector<uint8_t> png = Host::takePayload(notice, 0);
        const QImage image = QImage::fromData(png.data(), int(png.size()), "PNG");
        EXPECT_EQ(image.size(), QSize(16, 16)) << step.name;
        EXPECT_EQ(image.pixel(8, 8) & 0xFFFFFF, step.icon & 0xFFFFFF) << step.name;
    }
    // The engine keeps icons only with its icon database open, in the per-user data folder.
    EXPECT_TRUE(std::filesystem::is_directory(m_root + "/data/Kelvane/Kelvane/icons"));
}

// Guards PRXY: always SOCKS 5 at strArgs[0] and the port's low 16 bits, a user name from
// strCount 2 and a password from 3; a proxy that is gone still ends the load with LDFN.
TEST_F(NetworkTest, LoadsGoThroughTheSocksProxy) {
    const std::string host = loopbackHostName();
    if (host.empty())
        GTEST_SKIP() << "the host name does not resolve to loopback only, so no address reaches "
                        "the test server through the proxy";
    if (!std::filesystem::exists(KEL_MICROSOCKS))
        GTEST_SKIP() << "microsocks is not installed (scripts/setup.sh installs it)";
    const int open = freePort();
    const int guarded = freePort();
    Child openProxy;
    Child guardedProxy;
    ASSERT_TRUE(openProxy.start({KEL_MICROSOCKS, "-i", "127.0.0.1", "-p", std::to_string(open)},
                                m_root + "/open.log"));
    ASSERT_TRUE(guardedProxy.start({KEL_MICROSOCKS, "-i", "127.0.0.1", "-p",
                                    std::to_string(guarded), "-u", "kel", "-P", "proxypass"},
                                   m_root + "/guarded.log"));
    ASSERT_TRUE(waitUntil([&] { return accepts(open) && accepts(guarded); }, 10000));
    const std::string target = "connected to " + host + ":" + std::to_string(m_port);
    auto seen = [&](const char *log) { return countLines(readFile(m_root + log), target); };

    proxy(open, 1);
    EXPECT_EQ(load(url("/page?title=open", host)), "open");
    EXPECT_GE(seen("/open.log"), 1u);

    proxy(guarded, 2, "kel");
    EXPECT_NE(load(url("/page?title=nopassword", host)), "nopassword");
    EXPECT_EQ(seen("/guarded.log"), 0u);

    proxy(65536 + guarded, 3, "kel", "proxypass");
    EXPECT_EQ(load(url("/page?title=guarded", host)), "guarded");
    EXPECT_GE(seen("/guarded.log"), 1u);
    EXPECT_EQ(countLines(serverLog(), "/page?title=guarded host=" + host), 1u);

    guardedProxy.stop();
    EXPECT_NE(load(url("/page?title=stopped", host)), "stopped");
    EXPECT_EQ(countLines(serverLog(), "title=stopped"), 0u);
    EXPECT_EQ(countLines(serverLog(), "title=nopassword"), 0u);
}

} // namespace
} // namespace Test
} // namespace KEL
