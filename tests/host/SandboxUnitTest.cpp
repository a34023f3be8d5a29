// The sandbox's pure parts: bwrap's report, its exit status, the browser's writable folders
// and the order of the mounts.

#include "Sandbox.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace KEL {
namespace Host {
namespace {

TEST(SandboxInfo, ReadsOnlyAPlausibleChildPid) {
    const struct {
        const char *report;
        pid_t pid;
    } cases[] = {
        {"{\n    \"child-pid\": 14458,\n    \"mnt-namespace\": 4026532174\n}", 14458},
        {"{\"child-pid\":7}", 7},
        {"{\"child-pid\": 1}", -1}, // our own namespace's init is never the browser
        {"{\"child-pid\": }", -1},
        {"{\"child-pid\": 99999999999}", -1},
        {"{\"pid-namespace\": 4026532175}", -1},
        {"", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseSandboxInfo(c.report), c.pid) << c.report;
}

TEST(SandboxInfo, BwrapsSignalExitBecomesTheBrowsersSignal) {
    const int killed = browserWaitStatus(W_EXITCODE(128 + SIGKILL, 0));
    EXPECT_TRUE(WIFSIGNALED(killed));
    EXPECT_EQ(WTERMSIG(killed), SIGKILL);
    for (int status : {W_EXITCODE(0, 0), W_EXITCODE(1, 0), W_EXITCODE(128, 0), SIGSEGV, -1})
        EXPECT_EQ(browserWaitStatus(status), status) << status;
}

TEST(SandboxFolders, OfAFileAddressIsItsDecodedFolder) {
    const struct {
        const char *address;
        const char *folder;
    } cases[] = {
        {"file:///tmp/pages/a.html", "/tmp/pages"},
        {"file:///tmp/my%20pages/a.html?x=/y#z", "/tmp/my pages"},
        {"file:///a.html", "/"},
        {"file://relative/a.html", ""},
        {"http://127.0.0.1/tmp/a.html", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(folderOfFileAddress(c.address), c.folder) << c.address;
}

// The empty /tmp must not hide the folders bound into it, so they come after it.
TEST(SandboxArguments, BindFoldersOnTopOfTheEmptyTmp) {
    const std::string data = ::testing::TempDir() + "kel-sandbox-args/data";
    ASSERT_EQ(system(("mkdir -p " + data + "/Kelvane/Kelvane").c_str()), 0);
    const std::vector<std::string> arguments = sandboxArguments(
        "/bin/KELBrowser", {"XDG_DATA_HOME=" + data}, {"/nonexistent-folder", "/etc"}, 9);
    auto at = [&](const std::string &item) {
        return std::find(arguments.begin(), arguments.end(), item) - arguments.begin();
    };
    const auto end = static_cast<long>(arguments.size());
    EXPECT_LT(at("--tmpfs"), at("/etc"));
    EXPECT_LT(at("/etc"), at(data + "/Kelvane/Kelvane"));
    EXPECT_EQ(at("/nonexistent-folder"), end) << "bwrap fails on a missing source";
    EXPECT_LT(at("/bin"), end) << "the program's own folder";
    EXPECT_EQ(arguments[arguments.size() - 4], "--info-fd");
    EXPECT_EQ(arguments[arguments.size() - 3], "9");
    EXPECT_EQ(arguments.back(), "/bin/KELBrowser");
    EXPECT_EQ(at("--die-with-parent"), end) << "a killed host would take the names' cleaner along";
    EXPECT_LT(at("--as-pid-1"), end);
}

} // namespace
} // namespace Host
} // namespace KEL
