#pragma once
// Test support shared by the transport and plugin tests: a private segment environment per test
// and a forked stand-in for the browser process that drives the transport as side 1.

#include "Command.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KelTest {

// Gives the calling test its own KEL_SEGMENT_SUFFIX and its own home and XDG folders (mode
// 0700), so parallel tests never meet; removes the segment names and the folders afterwards.
class SegmentEnv {
  public:
    SegmentEnv();
    ~SegmentEnv();
    SegmentEnv(const SegmentEnv &) = delete;
    SegmentEnv &operator=(const SegmentEnv &) = delete;

    const std::string &suffix() const { return m_suffix; }
    // Full name of a segment ("KEL_COMMANDBUFFER" + suffix) and its path under /dev/shm.
    std::string name(const char *base) const { return base + m_suffix; }
    static std::string shmPath(const std::string &name) { return "/dev/shm/" + name; }

  private:
    std::string m_suffix;
    std::string m_home;
};

enum Segment : uint32_t { CommandSegment = 1, TextureSegment = 2, DataSegment = 4 };
constexpr uint32_t kAllSegments = CommandSegment | TextureSegment | DataSegment;

// A child process that opens the segments the way the browser process does (side 1) and
// runs transport operations on request over a pipe, so every assertion stays in the parent.
// Calls block until the child answers; a child that does not answer within kReplyTimeout fails
// the test instead of hanging it.
class Peer {
  public:
    static constexpr std::chrono::seconds kReplyTimeout{10};

    Peer();
    ~Peer(); // stops the child (killing it when it does not leave) and reaps it

    bool open(uint32_t segments = kAllSegments) {
        return call(Open, int32_t(segments)).status == 1;
    }
    // A record with sequence 0 is posted as the browser's own (origin 1); others as given.
    int32_t post(const KEL::Command &command) {
        return call(Post, 0, 0, &command, sizeof command).status;
    }
    std::optional<KEL::Command> next();
    void clear() { call(Clear); }
    // Slot index of the first match, or -1.
    int find(const char *code) { return call(Find, 0, 0, code, uint32_t(strlen(code) + 1)).status; }
    void removePending(const char *code) {
        call(RemovePending, 0, 0, code, uint32_t(strlen(code) + 1));
    }
    int32_t allocateAndCopy(const std::vector<uint8_t> &bytes) {
        return call(Alloc, 0, 0, bytes.data(), uint32_t(bytes.size())).status;
    }
    // The collected bytes, or nothing when copyAndFree returned false.
    std::optional<std::vector<uint8_t>> copyAndFree(int32_t slot, int32_t length);
    // Writes into a segment under its lock, as the browser's frame writer does.
    bool write(Segment segment, uint32_t offset, const void *bytes, uint32_t size) {
        return call(Write, int32_t(segment), int32_t(offset), bytes, size).status == 1;
    }
    // Takes a segment lock and keeps it until release(); returns once the lock is held.
    bool hold(Segment segment) { return call(Hold, int32_t(segment)).status == 1; }
    bool release(Segment segment) { return call(Release, int32_t(segment)).status == 1; }

    pid_t pid() const { return m_pid; }
    void signal(int sig);
    // Waits for the child to end (after a kill); returns its wait status.
    int reap();

  private:
    enum Op : uint32_t {
        Open,
        Post,
        Next,
        Clear,
        Find,
        RemovePending,
        Alloc,
        CopyFree,
        Write,
        Hold,
        Release
    };
    struct Reply {
        int32_t status = INT32_MIN; // INT32_MIN: the child did not answer
        std::vector<uint8_t> bytes;
    };
    Reply call(Op op, int32_t a = 0, int32_t b = 0, const void *bytes = nullptr, uint32_t size = 0);
    friend void serve(int in, int out); // the child's side, in Peer.cpp

    pid_t m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
};

// A zeroed record with the code and intArgs[0] = tag, made as a host would make it.
KEL::Command makeCommand(const char *code, int32_t tag = 0);

// Polls `condition` until it holds or `timeout` passes.
template <typename F> bool spinUntil(F condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

} // namespace KelTest
