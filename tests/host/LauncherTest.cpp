// The launcher's rules that need no browser: which segment names a host ends up with, and how
// the browser's output becomes lines.

#include "Launcher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using KEL::Host::settleSegmentSuffix;

std::string suffixInEnvironment() {
    const char *value = std::getenv("KEL_SEGMENT_SUFFIX");
    return value ? value : "<unset>";
}

TEST(Launcher, SegmentNamesAreTheHostsOwnUnlessTheUserOrTheHostChoseOthers) {
    unsetenv("KEL_SEGMENT_SUFFIX");
    // Nothing chosen: a suffix of this process's own, handed to the plugin by the environment.
    const std::string own = settleSegmentSuffix(false);
    EXPECT_EQ(own.rfind("_" + std::to_string(getpid()) + "_", 0), 0u) << own;
    EXPECT_GT(own.size(), std::to_string(getpid()).size() + 2);
    EXPECT_EQ(suffixInEnvironment(), own);
    EXPECT_EQ(settleSegmentSuffix(false), own) << "stays the same for the process";
    // The host asks for the plain names: its own suffix goes away again.
    EXPECT_EQ(settleSegmentSuffix(true), "");
    EXPECT_EQ(suffixInEnvironment(), "<unset>");
    // A suffix the user set wins over both.
    setenv("KEL_SEGMENT_SUFFIX", "_mine", 1);
    EXPECT_EQ(settleSegmentSuffix(false), "_mine");
    EXPECT_EQ(settleSegmentSuffix(true), "_mine");
    EXPECT_EQ(suffixInEnvironment(), "_mine");
    unsetenv("KEL_SEGMENT_SUFFIX");
}

TEST(Launcher, BrowserOutputBecomesLinesWithoutTheLogPrefix) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    KEL::Host::BrowserLines reader;
    std::vector<std::string> lines;
    auto collect = [&lines](const std::string &line) { lines.push_back(line); };
    const std::string first = "LOG: Creating Web View: main\nQt says th";
    ASSERT_EQ(write(ends[1], first.data(), first.size()), ssize_t(first.size()));
    reader.drain(ends[0], collect);
    EXPECT_EQ(lines, std::vector<std::string>{"Creating Web View: main"});
    const std::string rest = "is\nLOG: last, unfinished";
    ASSERT_EQ(write(ends[1], rest.data(), rest.size()), ssize_t(rest.size()));
    reader.drain(ends[0], collect);
    EXPECT_EQ(lines.back(), "Qt says this");
    close(ends[1]); // the browser ended: its last words count too
    reader.drain(ends[0], collect);
    EXPECT_EQ(lines, (std::vector<std::string>{"Creating Web View: main", "Qt says this",
                                               "last, unfinished"}));
    close(ends[0]);
}

} // namespace
