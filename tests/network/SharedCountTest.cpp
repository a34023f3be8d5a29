// The browser-wide socket count of the WPE engine's web processes, with real processes sharing
// one count file: the bound holds across them, and a process that ends (however it ends) no
// longer counts.

#include "wpe/extension/SharedCount.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace KEL {
namespace Test {
namespace {

class SharedCountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kel-count-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_folder = pattern;
        m_path = m_folder + "/sockets";
        const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, SharedCount::kFileSize), 0);
        ::close(fd);
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    // A process that takes `count` from the file, reports how many it got through a pipe and
    // ends when the pipe back to it closes (or at once when `stay` is false).
    pid_t taker(int count, int limit, bool stay, int report[2], int hold[2]) {
        const pid_t pid = fork();
        if (pid == 0) {
            SharedCount shared;
            char got = 0;
            if (shared.open(m_path.c_str()))
                for (int i = 0; i < count; ++i)
                    got += shared.take(limit);
            if (write(report[1], &got, 1) != 1)
                _exit(2);
            char ignored;
            if (stay)
                while (read(hold[0], &ignored, 1) > 0) {
                }
            _exit(0);
        }
        return pid;
    }

    std::string m_folder;
    std::string m_path;
};

TEST_F(SharedCountTest, TheBoundHoldsAcrossProcessesAndEndedOnesGiveBack) {
    SharedCount mine;
    ASSERT_TRUE(mine.open(m_path.c_str()));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(mine.take(5));

    int report[2], hold[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t other = taker(10, 5, true, report, hold);
    ASSERT_GT(other, 0);
    char got = 0;
    ASSERT_EQ(read(report[0], &got, 1), 1);
    EXPECT_EQ(got, 2) << "the other process gets only what is left of the bound";
    EXPECT_EQ(mine.total(), 5);
    EXPECT_FALSE(mine.take(5));

    // Killed without a word: its two no longer count.
    kill(other, SIGKILL);
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_EQ(mine.total(), 3);
    EXPECT_TRUE(mine.take(5));
    mine.give(4);
    EXPECT_EQ(mine.total(), 0);

    // A new process starts from nothing in whichever counter it claims.
    const pid_t next = taker(7, 5, false, report, hold);
    ASSERT_EQ(read(report[0], &got, 1), 1);
    EXPECT_EQ(got, 5);
    waitpid(next, &status, 0);
    EXPECT_EQ(mine.total(), 0);
    for (int fd : {report[0], report[1], hold[0], hold[1]})
        ::close(fd);
}

TEST_F(SharedCountTest, WithoutItsFileAProcessCountsAlone) {
    for (const std::string &path : {m_folder + "/missing", m_folder + "/short"}) {
        SCOPED_TRACE(path);
        if (path.find("short") != std::string::npos) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(ftruncate(fd, 8), 0);
            ::close(fd);
        }
        SharedCount alone;
        EXPECT_FALSE(alone.open(path.c_str()));
        EXPECT_TRUE(alone.take(2));
        EXPECT_TRUE(alone.take(2));
        EXPECT_FALSE(alone.take(2));
        alone.give(1);
        EXPECT_EQ(alone.total(), 1);
    }
}

} // namespace
} // namespace Test
} // namespace KEL
