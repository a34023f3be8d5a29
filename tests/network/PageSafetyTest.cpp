// What pages may reach: the host's script objects only on pages the host trusts, no native
// members behind them, no navigation of the top page by a foreign frame, and no file outside a
// file page's folder. Pages come from two real HTTP servers on 127.0.0.1 (two origins) and
// from files.

#include "BrowserFixture.h"
#include "CommandCodes.h"
#include "TestProcess.h"

#include <cstdlib>
#include <filesystem>
#include <regex>

namespace KEL {
namespace Test {
namespace {

using Host::setString;

void writeFile(const std::string &path, const std::string &text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

class PageSafety : public ComposedBrowserTest {
  protected:
    void SetUp() override {
        ComposedBrowserTest::SetUp();
        m_www = m_root + "/www";
        writeFile(m_www + "/page.html", "<title>page</title><body>page</body>");
        writeFile(m_www + "/other.html", "<title>other</title><body>other</body>");
        for (int k = 0; k < 2; ++k) {
            const std::string log = m_root + "/http" + std::to_string(k) + ".out";
            ASSERT_TRUE(m_servers[k].start({KEL_PYTHON, "-u", "-m", "http.server", "0", "--bind",
                                            "127.0.0.1", "--directory", m_www},
                                           log));
            std::smatch match;
            const std::regex port("port ([0-9]+)");
            ASSERT_TRUE(waitUntil(
                [&] {
                    const std::string text = readFile(log);
                    return std::regex_search(text, match, port);
                },
                10000));
            m_ports[k] = std::stoi(match[1]);
        }
    }

    void launch() { startWithView("v", 300, 200); }

    std::string at(int server, const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(m_ports[server]) + "/" + path;
    }

    void addObject(const std::string &name, const std::string &allowed = "") {
        KEL_Command add = Host::makeCommand(KEL::Code::ADDO);
        setString(add, 0, name);
        setString(add, 1, allowed);
        EXPECT_EQ(request(add).result, 1);
    }

    std::string eval(const std::string &view, const std::string &script) {
        KEL_Command run = viewCommand(KEL::Code::EVJS, view);
        EXPECT_TRUE(Host::putText(run, 0, script));
        return Host::utf8(Host::takeText(request(run, 10000), 0));
    }

    // Runs `script` in the view and waits for the load it starts to end.
    void navigate(const std::string &view, const std::string &script) {
        m_browser.inbox().clear();
        eval(view, script + "; 0");
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::LDFN, nullptr, 10000)) << script;
    }

    void load(const std::string &view, const std::string &address) {
        m_browser.inbox().clear();
        KEL_Command command = viewCommand(KEL::Code::LOAD, view);
        setString(command, 1, address);
        EXPECT_EQ(request(command).result, 1);
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::LDFN, nullptr, 10000)) << address;
    }

    std::string reach(const std::string &view) {
        return eval(view, "[typeof game, typeof wide, typeof all, typeof KEL_View].join(' ')");
    }

    std::string m_www;
    Child m_servers[2];
    int m_ports[2] = {0, 0};
};

const std::string kAll = "object object object object";
const std::string kWidened = "undefined object object undefined"; // the second server's view
const std::string kOpen = "undefined undefined object undefined";

// One trust rule for every way a page can come to be shown: the host's own loads and HTML are
// trusted, pages a page leads to are trusted only when they share a host-loaded origin.
TEST_F(PageSafety, BridgeObjectsReachOnlyPagesTheHostTrusts) {
    launch();
    addObject("game");
    addObject("all", "*");
    m_browser.inbox().clear();
    addObject("wide", "http://127.0.0.1:" + std::to_string(m_ports[1]));

    load("v", at(0, "page.html"));
    EXPECT_EQ(reach("v"), kAll) << "host-loaded";
    navigate("v", "location.href = '" + at(0, "other.html") + "'");
    EXPECT_EQ(reach("v"), kAll) << "same origin by link";
    navigate("v", "location.href = '" + at(1, "page.html") + "'");
    EXPECT_EQ(reach("v"), kWidened) << "other origin by link";
    EXPECT_TRUE(waitForLog("Bridge withheld from an untrusted page: http://127.0.0.1:" +
                               std::to_string(m_ports[1]),
                           5000));

    ASSERT_TRUE(showHtml("v", "<title>html</title>"));
    EXPECT_EQ(reach("v"), kAll) << "host's HTML";
    // WPE WebKit refuses a page's own top navigation to data: (the page stays the host's).
    if (m_browser.engine() != "wpe") {
        navigate("v", "location.href = 'data:text/html,<title>data</title>'");
        EXPECT_EQ(reach("v"), kOpen) << "page leaving the host's HTML";
    }

    // A popup is a page like any other.
    EXPECT_EQ(request(Host::makeCommand(KEL::Code::ALWP)).result, 1);
    KEL_Command allow = Host::makeCommand(KEL::Code::ALWP);
    Host::setInt(allow, 0, 1);
    EXPECT_EQ(request(allow).result, 1);
    load("v", at(0, "page.html"));
    for (const auto &popup : {std::make_pair(at(0, "other.html"), kAll),
                              std::make_pair(at(1, "other.html"), kWidened)}) {
        m_browser.inbox().clear();
        eval("v", "window.open('" + popup.first + "'); 0");
        KEL_Command opened;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::POPU, &opened, 10000));
        const std::string name = Host::utf8(Host::takeText(opened, 0));
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::LDFN, nullptr, 10000));
        EXPECT_EQ(reach(name), popup.second) << "popup of " << popup.first;
    }
}

TEST_F(PageSafety, AForeignFrameCannotNavigateTheTopPage) {
    launch();
    const std::string away = at(1, "page.html");
    writeFile(m_www + "/busting.html",
              "<script>setTimeout(function () { try { top.location.href = '" + away +
                  "'; } catch (e) {} document.title = 'tried'; }, 0);</script>");
    writeFile(m_www + "/framed.html",
              "<title>framed</title><iframe src='" + at(1, "busting.html") + "'></iframe>");
    writeFile(m_www + "/own.html", "<title>own</title><iframe src='/busting.html'></iframe>");
    writeFile(m_www + "/moved.html",
              "<title>moved</title><iframe src='/page.html'></iframe><script>"
              "document.querySelector('iframe').onload = function () { this.onload = null;"
              " this.src = '" +
                  at(1, "busting.html") + "'; };</script>");
    const struct {
        const char *page;
        bool stays;
    } cases[] = {{"framed.html", true}, {"own.html", false}, {"moved.html", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.page);
        load("v", at(0, c.page));
        const bool left = waitUntil(
            [&] {
                m_browser.pump();
                return eval("v", "location.href") == away;
            },
            2000);
        EXPECT_EQ(!left, c.stays);
    }
}

TEST_F(PageSafety, PageScriptSeesOnlyTheObjectsOwnMembers) {
    launch();
    addObject("game");
    load("v", at(0, "page.html"));
    const struct {
        const char *script;
        const char *value;
    } cases[] = {
        {"typeof game.invoke", "function"},
        {"typeof game.deleteLater", "undefined"},
        {"typeof game['deleteLater()']", "undefined"},
        {"typeof game.destroyed", "undefined"},
        {"typeof game.objectName", "undefined"},
        {"typeof game.objectNameChanged", "undefined"},
        {"typeof KEL_View.handleFocusIn", "function"},
        {"typeof KEL_View.deleteLater", "undefined"},
        {"typeof KEL_View.objectName", "undefined"},
        {"Object.getOwnPropertyNames(window).filter(function (k) { return /__kel/.test(k); })"
         ".length",
         "0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(eval("v", c.script), c.value) << c.script;

    // A page cannot rename the object for the host.
    m_browser.inbox().clear();
    eval("v", "try { game.objectName = 'spoofed'; } catch (e) {} game.invoke('m'); 0");
    KEL_Command invk;
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::INVK, &invk, 10000));
    EXPECT_EQ(Host::getString8(invk, 0), "game");

    // This crashed the browser when KEL_View was the native object.
    navigate("v", "try { KEL_View.deleteLater(); } catch (e) {} location.reload()");
    EXPECT_EQ(eval("v", "typeof KEL_View.handleFocusIn"), "function");
}

TEST_F(PageSafety, FilePagesReadOnlyTheirOwnFolder) {
    const std::string files = m_root + "/files";
    writeFile(files + "/game/index.html", "<title>game</title>");
    writeFile(files + "/game/data.txt", "own");
    writeFile(files + "/game/sub/deep.txt", "deep");
    writeFile(files + "/secret.txt", "secret");
    const std::string read =
        "(function (u) { var x = new XMLHttpRequest(); try { x.open('GET', u, false); x.send();"
        " return x.status == 0 && x.responseText ? x.responseText : 'refused'; }"
        " catch (e) { return 'refused'; } })";
    const struct {
        const char *roots;
        std::string file;
        const char *value;
    } cases[] = {
        {"", files + "/game/data.txt", "own"},
        {"", files + "/game/sub/deep.txt", "deep"},
        {"", files + "/secret.txt", "refused"},
        {"", files + "/game/../secret.txt", "refused"},
        {"", files + "/game/%2e%2e/secret.txt", "refused"},
        {"/nowhere:FILES", files + "/secret.txt", "secret"},
        {"*", files + "/secret.txt", "secret"},
    };
    std::string running = "-";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file + " with roots '" + c.roots + "'");
        const std::string roots = std::regex_replace(c.roots, std::regex("FILES"), files);
        if (roots != running) {
            m_browser.stop(3000);
            setenv("KEL_FILE_ROOTS", roots.c_str(), 1);
            launch();
            unsetenv("KEL_FILE_ROOTS");
            running = roots;
            load("v", "file://" + files + "/game/index.html");
        }
        EXPECT_EQ(eval("v", read + "('file://" + c.file + "')"), c.value);
    }
    // A link out of the folder fails like a read: the page stays.
    m_browser.stop(3000);
    launch();
    load("v", "file://" + files + "/game/index.html");
    eval("v", "location.href = 'file://" + files + "/secret.txt'; 0");
    EXPECT_FALSE(waitUntil([&] { return eval("v", "document.title") != "game"; }, 1000))
        << eval("v", "location.href + ' ' + document.title + ' ' + document.body.innerText");

    // The folder of a file page the host loaded is open to its other file pages too.
    writeFile(files + "/other/page.html", "<title>other</title>");
    writeFile(files + "/other/note.txt", "note");
    load("v", "file://" + files + "/other/page.html");
    load("v", "file://" + files + "/game/index.html");
    EXPECT_EQ(eval("v", read + "('file://" + files + "/other/note.txt')"), "note");
    EXPECT_EQ(eval("v", read + "('file://" + files + "/secret.txt')"), "refused");

    // A popup of a file page is bounded by its opener's folder.
    KEL_Command allow = Host::makeCommand(KEL::Code::ALWP);
    Host::setInt(allow, 0, 1);
    EXPECT_EQ(request(allow).result, 1);
    writeFile(files + "/game/sub/popup.html", "<title>popup</title>");
    m_browser.inbox().clear();
    eval("v", "window.open('file://" + files + "/game/sub/popup.html'); 0");
    KEL_Command opened;
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::POPU, &opened, 10000));
    const std::string popup = Host::utf8(Host::takeText(opened, 0));
    EXPECT_TRUE(waitUntil([&] { return eval(popup, "document.title") == "popup"; }, 10000));
    EXPECT_EQ(eval(popup, read + "('file://" + files + "/game/data.txt')"), "own");
    EXPECT_EQ(eval(popup, read + "('file://" + files + "/secret.txt')"), "refused");
}

} // namespace
} // namespace Test
} // namespace KEL
