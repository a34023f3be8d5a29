#include "Peer.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KelTest {

SegmentEnv::SegmentEnv() {
    static int counter = 0;
    m_suffix = "_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    setenv("KEL_SEGMENT_SUFFIX", m_suffix.c_str(), 1);

    char pattern[] = "/tmp/kel-test-XXXXXX"; // mkdtemp creates it with mode 0700
    if (!mkdtemp(pattern)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return;
    }
    m_home = pattern;
    const std::pair<const char *, const char *> folders[] = {{"HOME", ""},
                                                             {"XDG_DATA_HOME", "/data"},
                                                             {"XDG_CACHE_HOME", "/cache"},
                                                             {"XDG_CONFIG_HOME", "/config"},
                                                             {"XDG_RUNTIME_DIR", "/runtime"}};
    for (const auto &[variable, folder] : folders) {
        std::string path = m_home + folder;
        mkdir(path.c_str(), 0700);
        setenv(variable, path.c_str(), 1);
    }
}

SegmentEnv::~SegmentEnv() {
    for (const char *base :
         {KEL::kCommandSegmentName, KEL::kTextureSegmentName, KEL::kDataSegmentName})
        KEL::SharedBuffer::removeNames(name(base));
    unsetenv("KEL_SEGMENT_SUFFIX");
    if (!m_home.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }
}

namespace {

struct Request {
    uint32_t op;
    int32_t a, b;
    uint32_t size;
};
struct ReplyHeader {
    int32_t status;
    uint32_t size;
};

bool writeAll(int fd, const void *data, size_t size) {
    auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Reads exactly `size` bytes; a negative timeout waits for ever (the child's side).
bool readAll(int fd, void *data, size_t size, int timeoutMs) {
    auto *p = static_cast<uint8_t *>(data);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd pfd = {fd, POLLIN, 0};
            int ready = poll(&pfd, 1, int(std::max<int64_t>(left.count(), 0)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
        }
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

// The child's side: opens segments as the browser process does and serves requests until the
// parent closes its pipe. Never returns.
void serve(int in, int out) {
    using Op = Peer::Op;
    KEL::CommandBuffer commands(KEL::BrowserSide);
    KEL::TextureBuffer texture(KEL::BrowserSide);
    KEL::DataBuffer data(KEL::BrowserSide);
    auto buffer = [&](int32_t segment) -> KEL::SharedBuffer * {
        switch (segment) {
        case CommandSegment:
            return &commands;
        case TextureSegment:
            return &texture;
        case DataSegment:
            return &data;
        }
        return nullptr;
    };

    Request request;
    while (readAll(in, &request, sizeof request, -1)) {
        std::vector<uint8_t> input(request.size);
        if (!readAll(in, input.data(), input.size(), -1))
            break;
        int32_t status = 1;
        std::vector<uint8_t> output;
        KEL::SharedBuffer *target = buffer(request.a);
        switch (request.op) {
        case Op::Open: // in the browser's order: command, texture, data
            if (request.a & CommandSegment)
                status &= commands.open(KEL::segmentName(KEL::kCommandSegmentName));
            if (request.a & TextureSegment)
                status &= texture.open(KEL::segmentName(KEL::kTextureSegmentName));
            if (request.a & DataSegment)
                status &= data.open(KEL::segmentName(KEL::kDataSegmentName));
            break;
        case Op::Post: {
            auto *record = reinterpret_cast<KEL::Command *>(input.data());
            if (record->sequence == 0) // a record of the browser's making, as newCommand does
                record->origin = KEL::BrowserSide;
            status = commands.post(record);
            break;
        }
        case Op::Next:
            if (KEL::Command *record = commands.next()) {
                output.assign(reinterpret_cast<uint8_t *>(record),
                              reinterpret_cast<uint8_t *>(record) + sizeof *record);
                free(record);
            } else {
                status = 0;
            }
            break;
        case Op::Clear:
            commands.clear();
            break;
        case Op::Find: {
            KEL::ScopedLock lock(commands.segmentLock());
            KEL::Command *found = commands.find(reinterpret_cast<const char *>(input.data()));
            status = found ? int32_t((reinterpret_cast<uint8_t *>(found) - commands.base() - 4) /
                                     KEL::kCommandSize)
                           : -1;
            break;
        }
        case Op::RemovePending:
            commands.removePending(reinterpret_cast<const char *>(input.data()));
            break;
        case Op::Alloc:
            status = data.allocateAndCopy(input.data(), int32_t(input.size()));
            break;
        case Op::CopyFree:
            output.resize(size_t(std::max(request.b, 0)));
            status = data.copyAndFree(request.a, output.data(), request.b);
            if (!status)
                output.clear();
            break;
        case Op::Write: {
            KEL::ScopedLock lock(target ? target->segmentLock() : nullptr);
            status = lock && uint64_t(uint32_t(request.b)) + request.size <= target->size();
            if (status)
                memcpy(target->base() + request.b, input.data(), request.size);
            break;
        }
        case Op::Hold:
            status = target && target->segmentLock() && target->segmentLock()->lock();
            break;
        case Op::Release:
            if (target && target->segmentLock())
                target->segmentLock()->unlock();
            break;
        }
        ReplyHeader reply = {status, uint32_t(output.size())};
        if (!writeAll(out, &reply, sizeof reply) || !writeAll(out, output.data(), output.size()))
            break;
    }
    // No destructors, no atexit: the parent's test state (and its segments) must stay as it is.
    _exit(0);
}

Peer::Peer() {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return;
    }
    fflush(nullptr); // the child must not repeat the parent's buffered output
    m_pid = fork();
    if (m_pid == 0) {
        close(down[1]);
        close(up[0]);
        serve(down[0], up[1]);
    }
    close(down[0]);
    close(up[1]);
    m_toChild = down[1];
    m_fromChild = up[0];
    if (m_pid < 0)
        ADD_FAILURE() << "fork: " << strerror(errno);
}

Peer::~Peer() {
    close(m_toChild); // the child leaves when its request pipe closes
    close(m_fromChild);
    if (m_pid <= 0)
        return;
    int status;
    if (!spinUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                   std::chrono::seconds(5))) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
}

Peer::Reply Peer::call(Op op, int32_t a, int32_t b, const void *bytes, uint32_t size) {
    Reply reply;
    Request request = {op, a, b, size};
    ReplyHeader header;
    const int timeoutMs = int(std::chrono::milliseconds(kReplyTimeout).count());
    if (!writeAll(m_toChild, &request, sizeof request) ||
        !writeAll(m_toChild, bytes, request.size) ||
        !readAll(m_fromChild, &header, sizeof header, timeoutMs)) {
        ADD_FAILURE() << "the peer process did not answer request " << op;
        return reply;
    }
    reply.bytes.resize(header.size);
    if (!readAll(m_fromChild, reply.bytes.data(), header.size, timeoutMs))
        ADD_FAILURE() << "the peer process broke off its reply to request " << op;
    else
        reply.status = header.status;
    return reply;
}

std::optional<KEL::Command> Peer::next() {
    Reply reply = call(Next, 0, 0);
    if (reply.status != 1 || reply.bytes.size() != sizeof(KEL::Command))
        return std::nullopt;
    KEL::Command record;
    memcpy(&record, reply.bytes.data(), sizeof record);
    return record;
}

std::optional<std::vector<uint8_t>> Peer::copyAndFree(int32_t slot, int32_t length) {
    Reply reply = call(CopyFree, slot, length);
    if (reply.status != 1)
        return std::nullopt;
    return reply.bytes;
}

void Peer::signal(int sig) {
    kill(m_pid, sig);
}

int Peer::reap() {
    int status = -1;
    if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid)
        m_pid = -1;
    return status;
}

KEL::Command makeCommand(const char *code, int32_t tag) {
    KEL::Command command;
    memset(&command, 0, sizeof command);
    strncpy(command.code, code, 4);
    command.intArgs[0] = tag;
    command.intCount = 1;
    return command;
}

} // namespace KelTest
