// Hosts started the way a user starts them, with no KEL_SEGMENT_SUFFIX of the user's: two
// kelviews, two LÖVE games and a kelshot on one machine at once, each on segments of its own.

#include "Desktop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <sys/wait.h>

using namespace KEL::Test;

namespace {

constexpr int kTimeoutMs = 30000;

std::string page(const std::string &title, const std::string &colour) {
    return "<!doctype html><title>" + title + "</title><body style='background:" + colour +
           "'><p>" + title + "</p>";
}

// The host's command segment in /dev/shm: "KEL_COMMANDBUFFER_<pid>_<random>".
bool hasOwnSegment(pid_t host) {
    const std::string prefix = "KEL_COMMANDBUFFER_" + std::to_string(host) + "_";
    bool found = false;
    if (DIR *dir = opendir("/dev/shm")) {
        while (dirent *entry = readdir(dir))
            found = found || std::string(entry->d_name).rfind(prefix, 0) == 0;
        closedir(dir);
    }
    return found;
}

std::string resultOf(Program &program, const std::string &script) {
    const size_t from = program.lines().size();
    program.send("eval " + script);
    const int line = program.waitForLine("RESULT", kTimeoutMs, from);
    return line < 0 ? "<no result>" : program.lines()[size_t(line)].substr(7);
}

TEST(SideBySide, TwoKelviewsTwoGamesAndAKelshotEachKeepTheirOwnSegments) {
    for (const char *program : {"Xvfb", "xdotool", "love"}) {
        if (!haveProgram(program))
            GTEST_SKIP() << "needs " << program << " (scripts/setup.sh)";
    }
    Desktop desktop;
    ASSERT_TRUE(desktop.ok()) << "Xvfb did not start";
    // Every host chooses its own names here, as on a user's machine.
    std::map<std::string, std::string> env = desktop.environment();
    env.erase("KEL_SEGMENT_SUFFIX");
    unsetenv("KEL_SEGMENT_SUFFIX");
    const TempDir &dir = desktop.dir();

    Program first({KELVIEW_PATH, "--control", dir.write("a.html", page("First", "#f00"))}, env,
                  dir.path() + "/first.log");
    ASSERT_GE(first.waitForLine("LOADED main", kTimeoutMs), 0) << "the first kelview";
    Program second(
        {KELVIEW_PATH, "--control", "--quit-at-end", dir.write("b.html", page("Second", "#0f0"))},
        env, dir.path() + "/second.log");
    ASSERT_GE(second.waitForLine("LOADED main", kTimeoutMs), 0) << "the second kelview";

    std::map<std::string, std::string> gameEnv = env;
    gameEnv["KEL_PLUGIN_PATH"] = KEL_PLUGIN_FILE;
    gameEnv["KEL_BROWSER_PATH"] = KEL_BROWSER_FILE;
    std::vector<std::unique_ptr<Program>> games;
    for (const char *name : {"game1", "game2"}) {
        games.push_back(std::make_unique<Program>(
            std::vector<std::string>{"love", KEL_LOVE_EXAMPLE,
                                     dir.write(std::string(name) + ".html", page(name, "#00f"))},
            gameEnv, dir.path() + "/" + name + ".log"));
        ASSERT_GE(games.back()->waitForLine("LOADED", kTimeoutMs), 0) << name;
    }

    Program shot({KELSHOT_PATH, "--quiet", "--size", "256x128", "--out", dir.path() + "/shot.png",
                  "--eval", "document.title", dir.write("c.html", page("Shot", "#fff"))},
                 env, dir.path() + "/kelshot.log");
    EXPECT_GE(shot.waitForLine("\"Shot\"", kTimeoutMs), 0);
    ASSERT_TRUE(spinUntil([&] { return !shot.running(); }, kTimeoutMs));
    EXPECT_TRUE(WIFEXITED(shot.status()) && WEXITSTATUS(shot.status()) == 0) << shot.status();

    // Everyone still runs and answers on the segments it started with.
    EXPECT_TRUE(hasOwnSegment(first.pid()));
    EXPECT_TRUE(hasOwnSegment(second.pid()));
    for (auto &game : games) {
        EXPECT_TRUE(game->running());
        EXPECT_TRUE(hasOwnSegment(game->pid()));
    }
    EXPECT_EQ(resultOf(first, "document.title"), "First");
    EXPECT_EQ(resultOf(second, "document.title"), "Second");

    // At the end of its input the first goes on reporting what its page does; the second was
    // asked to quit then.
    const size_t from = first.lines().size();
    first.send("eval setTimeout(function () { document.title = 'Later'; }, 500), 1");
    first.closeInput();
    EXPECT_GE(first.waitForLine("TITLE main Later", kTimeoutMs, from), 0);
    EXPECT_TRUE(first.running());
    second.closeInput();
    ASSERT_TRUE(spinUntil([&] { return !second.running(); }, kTimeoutMs));
    EXPECT_TRUE(WIFEXITED(second.status()) && WEXITSTATUS(second.status()) == 0);
    EXPECT_FALSE(hasOwnSegment(second.pid())) << "names left behind";
}

} // namespace
