// The plugin library driven the way a host drives it: loaded with dlopen, called through dlsym.
// A forked Peer plays the browser process on the same segments.

#include "DataBuffer.h"
#include "KELPlugin.h"
#include "Peer.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <gtest/gtest.h>

#include "CommandCodes.h"
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace KelTest;

namespace {

using Bytes = std::vector<uint8_t>;
const char *const kBaseNames[] = {"KEL_COMMANDBUFFER", "KEL_TEXTUREBUFFER", "KEL_DATABUFFER"};

struct PluginApi {
    decltype(&KEL_Init) Init;
    decltype(&KEL_InitProcess) InitProcess;
    decltype(&KEL_Update) Update;
    decltype(&KEL_PostCommand) PostCommand;
    decltype(&KEL_ClearCommands) ClearCommands;
    decltype(&KEL_UpdateTexture) UpdateTexture;
    decltype(&KEL_AllocateAndCopy) AllocateAndCopy;
    decltype(&KEL_CopyAndFree) CopyAndFree;
    decltype(&KEL_SetLogCB) SetLogCB;
    decltype(&KEL_SetProcessCB) SetProcessCB;
    decltype(&KEL_Shutdown) Shutdown;
    decltype(&KEL_SetLogCBWithUser) SetLogCBWithUser;
    decltype(&KEL_SetProcessCBWithUser) SetProcessCBWithUser;
};

std::vector<std::string> logLines;
std::vector<KEL_Command> received;
void collectLog(const char *message) {
    logLines.push_back(message);
}
void collectRecord(const KEL_Command *record) {
    received.push_back(*record);
}

// Everything a call writes to standard output, which must be flushed by the call itself.
template <typename F> std::string captureStdout(F call) {
    fflush(stdout);
    int saved = dup(1), pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return "pipe failed";
    dup2(pipeEnds[1], 1);
    close(pipeEnds[1]);
    call();
    dup2(saved, 1);
    close(saved);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, size_t(n));
    close(pipeEnds[0]);
    return text;
}

Bytes fileBytes(const std::string &name) {
    std::ifstream file(SegmentEnv::shmPath(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

class PluginTest : public testing::Test {
  protected:
    void SetUp() override {
        handle = dlopen(KEL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        resolve(api.Init, "KEL_Init");
        resolve(api.InitProcess, "KEL_InitProcess");
        resolve(api.Update, "KEL_Update");
        resolve(api.PostCommand, "KEL_PostCommand");
        resolve(api.ClearCommands, "KEL_ClearCommands");
        resolve(api.UpdateTexture, "KEL_UpdateTexture");
        resolve(api.AllocateAndCopy, "KEL_AllocateAndCopy");
        resolve(api.CopyAndFree, "KEL_CopyAndFree");
        resolve(api.SetLogCB, "KEL_SetLogCB");
        resolve(api.SetProcessCB, "KEL_SetProcessCB");
        resolve(api.Shutdown, "KEL_Shutdown");
        resolve(api.SetLogCBWithUser, "KEL_SetLogCBWithUser");
        resolve(api.SetProcessCBWithUser, "KEL_SetProcessCBWithUser");
        ASSERT_FALSE(HasFailure());
        logLines.clear();
        received.clear();
        api.SetLogCB(&collectLog);
        api.SetProcessCB(&collectRecord);
    }
    void TearDown() override {
        if (!handle || !api.Shutdown || !api.SetLogCB)
            return;
        api.Shutdown();
        api.SetLogCB(nullptr);
        dlclose(handle);
    }
    template <typename F> void resolve(F &function, const char *name) {
        function = reinterpret_cast<F>(dlsym(handle, name));
        EXPECT_NE(function, nullptr) << name << " is not exported";
    }
    int32_t post(const char *code, int32_t tag = 0) {
        KEL_Command command = makeCommand(code, tag);
        return api.PostCommand(&command);
    }
    std::vector<std::string> allNames() const {
        std::vector<std::string> names;
        for (const char *base : kBaseNames)
            names.insert(names.end(), {env.name(base), KEL::lockName(env.name(base))});
        return names;
    }
    static bool exists(const std::string &name) {
        struct stat info;
        return stat(SegmentEnv::shmPath(name).c_str(), &info) == 0;
    }

    SegmentEnv env;
    void *handle = nullptr;
    PluginApi api = {};
};

// Guards against a host crashing by calling too early or too late.
TEST_F(PluginTest, ExportsAreHarmlessBeforeInitAndAfterShutdown) {
    for (bool initialisedBefore : {false, true}) {
        SCOPED_TRACE(initialisedBefore ? "after KEL_Shutdown" : "before KEL_Init");
        if (initialisedBefore) {
            ASSERT_TRUE(api.Init());
            api.Shutdown();
            api.SetProcessCB(&collectRecord);
        }
        EXPECT_EQ(post(KEL::Code::LOAD), 0);
        api.InitProcess();
        api.Update();
        api.ClearCommands();
        uint32_t pixel = 0;
        KEL_TextureUpdate update = {1, &pixel, 0, 0, 1, 1};
        api.UpdateTexture(false, 1, 1, &update);
        EXPECT_EQ(update.updated, 0);
        EXPECT_EQ(api.AllocateAndCopy(&pixel, 4), -1);
        EXPECT_FALSE(api.CopyAndFree(254, &pixel, 4));
        api.Shutdown();
        EXPECT_TRUE(received.empty());
        for (const std::string &name : allNames())
            EXPECT_FALSE(exists(name)) << name;
    }
}

// Guards against segments readable by other users, and names that outlive the host.
TEST_F(PluginTest, InitCreatesOwnerOnlyNamesAndShutdownRemovesThem) {
    mode_t saved = umask(0);
    ASSERT_TRUE(api.Init());
    umask(saved);
    for (const std::string &name : allNames()) {
        struct stat info;
        ASSERT_EQ(stat(SegmentEnv::shmPath(name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
        EXPECT_EQ(info.st_uid, geteuid()) << name;
    }
    api.Shutdown();
    for (const std::string &name : allNames())
        EXPECT_FALSE(exists(name)) << name;
}

// Guards against the browser never learning which process to watch.
TEST_F(PluginTest, InitProcessPostsOneInitRecordWithTheHostsProcessId) {
    ASSERT_TRUE(api.Init());
    api.InitProcess();
    Peer browser;
    ASSERT_TRUE(browser.open());
    std::optional<KEL::Command> init = browser.next();
    ASSERT_TRUE(init);
    EXPECT_EQ(memcmp(init->code, "INIT\0\0\0\0", 8), 0);
    EXPECT_EQ(init->sequence, 1u);
    EXPECT_EQ(init->origin, 0u);
    EXPECT_EQ(init->intCount, 1);
    EXPECT_EQ(init->intArgs[0], getpid());
    EXPECT_EQ(init->strCount, 0);
    EXPECT_EQ(init->result, 0);
    EXPECT_FALSE(browser.next());
}

// Guards against the host being unable to match replies with its requests.
TEST_F(PluginTest, RequestsAreNumberedFromOneAndRepliesComeBackWithTheirNumber) {
    ASSERT_TRUE(api.Init());
    EXPECT_EQ(post(KEL::Code::LOAD, 10), 1);
    EXPECT_EQ(post(KEL::Code::EVJS, 20), 2);
    Peer browser;
    ASSERT_TRUE(browser.open());
    for (int k = 0; k < 2; ++k) {
        KEL::Command request = *browser.next();
        request.result = 1;
        browser.post(request);
    }
    api.Update();
    ASSERT_EQ(received.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(received[k].sequence, uint32_t(k + 1));
        EXPECT_EQ(received[k].intArgs[0], 10 * (k + 1));
        EXPECT_EQ(received[k].origin, 0u);
        EXPECT_EQ(received[k].result, 1);
    }
}

// Guards against losing records without a callback and against one poll draining everything.
TEST_F(PluginTest, UpdateDeliversElevenRecordsPerCallAndNoneWithoutCallback) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    for (int tag = 0; tag < 12; ++tag)
        browser.post(makeCommand(KEL::Code::PROG, tag));
    api.SetProcessCB(nullptr);
    api.Update();
    api.SetProcessCB(&collectRecord);
    for (size_t expected : {11u, 12u, 12u}) {
        api.Update();
        EXPECT_EQ(received.size(), expected);
    }
    ASSERT_EQ(received.size(), 12u);
    for (int tag = 0; tag < 12; ++tag)
        EXPECT_EQ(received[tag].intArgs[0], tag);
}

// Guards against KEL_Update holding the command lock while the host's callback runs, which
// would stall the browser (and any post from the callback on another thread).
TEST_F(PluginTest, ProcessCallbackRunsWithoutTheCommandLockAndMayPost) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    browser.post(makeCommand(KEL::Code::INVK));
    static Peer *peer;
    static PluginApi *library;
    static int32_t browserPosted, hostPosted;
    peer = &browser;
    library = &api;
    api.SetProcessCB([](const KEL_Command *) {
        KEL_Command answer = makeCommand(KEL::Code::SETP);
        hostPosted = library->PostCommand(&answer);
        browserPosted = peer->post(makeCommand(KEL::Code::PROG));
    });
    api.Update();
    EXPECT_GT(hostPosted, 0);
    EXPECT_GT(browserPosted, 0) << "the browser could not post while the callback ran";
}

// Guards against KEL_Update using a buffer that a host released from its callback, as a host
// does when a notice tells it to tear down.
TEST_F(PluginTest, HostMayShutDownFromTheProcessCallback) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    browser.post(makeCommand(KEL::Code::PROG));
    browser.post(makeCommand(KEL::Code::PROG));
    static PluginApi *library;
    library = &api;
    api.SetProcessCB([](const KEL_Command *) { library->Shutdown(); });
    fflush(nullptr);
    pid_t host = fork(); // a crash here must not take the test's clean-up with it
    if (host == 0) {
        api.Update();
        _exit(post(KEL::Code::LOAD) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(host, &status, 0);
    bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(clean) << "the host process "
                       << (WIFSIGNALED(status)
                               ? std::string("died: ") + strsignal(WTERMSIG(status))
                               : "exited with " + std::to_string(WEXITSTATUS(status)));
}

// Guards against silent overruns, a line for every refused post, and unflushed or unprefixed
// output.
TEST_F(PluginTest, OverrunIsReportedOnceThroughTheLogCallbackOrOnStandardOutput) {
    ASSERT_TRUE(api.Init());
    for (int k = 0; k < 512; ++k)
        ASSERT_GT(post(KEL::Code::LOAD), 0);
    std::string line = "CommandBuffer overrun: " + env.name("KEL_COMMANDBUFFER");
    EXPECT_EQ(post(KEL::Code::LOAD), 0);
    EXPECT_EQ(logLines, std::vector<std::string>{line});

    EXPECT_EQ(post(KEL::Code::LOAD), 0);
    EXPECT_EQ(logLines.size(), 1u) << "a full segment is reported once, then counted";

    // The next overrun after the segment had room again is reported anew.
    api.ClearCommands();
    for (int k = 0; k < 512; ++k)
        ASSERT_GT(post(KEL::Code::LOAD), 0);
    EXPECT_EQ(logLines.size(), 2u);
    EXPECT_EQ(logLines.back(), line + ": 2 records refused while it was full");
    api.SetLogCB(nullptr);
    int32_t result = -1;
    EXPECT_EQ(captureStdout([&] { result = post(KEL::Code::LOAD); }), "LOG: " + line + "\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(logLines.size(), 2u);
}

// Guards the callbacks with a user pointer: each receives the pointer it was registered with,
// each setter replaces what the other of its kind set, and KEL_Shutdown forgets both process
// callbacks.
TEST_F(PluginTest, CallbacksWithAUserPointerReceiveItAndReplaceThePlainOnes) {
    struct Host {
        std::vector<std::string> lines;
        std::vector<int32_t> tags;
    } host;
    const auto onRecord = [](const KEL_Command *record, void *user) {
        static_cast<Host *>(user)->tags.push_back(record->intArgs[0]);
    };
    const auto onLog = [](const char *line, void *user) {
        static_cast<Host *>(user)->lines.push_back(line);
    };
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    api.SetProcessCBWithUser(onRecord, &host);
    api.SetLogCBWithUser(onLog, &host);
    browser.post(makeCommand(KEL::Code::PROG, 7));
    api.Update();
    for (int k = 0; k < 513; ++k)
        post(KEL::Code::LOAD);
    EXPECT_EQ(host.tags, std::vector<int32_t>{7});
    EXPECT_EQ(host.lines.size(), 1u);
    EXPECT_TRUE(received.empty() && logLines.empty()) << "the plain callbacks still ran";

    // The plain setters take over again.
    api.SetProcessCB(&collectRecord);
    api.SetLogCB(&collectLog);
    api.ClearCommands();
    browser.post(makeCommand(KEL::Code::PROG, 8));
    api.Update();
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(host.tags.size(), 1u);

    api.SetProcessCBWithUser(onRecord, &host);
    api.Shutdown();
    ASSERT_TRUE(api.Init());
    Peer fresh;
    ASSERT_TRUE(fresh.open());
    fresh.post(makeCommand(KEL::Code::PROG, 9));
    api.Update();
    EXPECT_EQ(host.tags.size(), 1u) << "KEL_Shutdown kept the process callback";
}

// Guards against a host wedging the channel with records that neither side would take.
TEST_F(PluginTest, PostCommandRefusesAnOriginOtherThanTheTwoSidesAndLogsOnce) {
    ASSERT_TRUE(api.Init());
    for (uint32_t origin : {2u, 0xFFFFFFFFu}) {
        KEL_Command command = makeCommand(KEL::Code::LOAD);
        command.origin = origin;
        EXPECT_EQ(api.PostCommand(&command), 0) << origin;
    }
    EXPECT_EQ(logLines.size(), 1u);
    EXPECT_EQ(post(KEL::Code::LOAD), 1);
}

// Guards against payload corruption and against negative lengths reaching memcpy.
TEST_F(PluginTest, PayloadsRoundTripAndNegativeLengthsAreRefused) {
    ASSERT_TRUE(api.Init());
    Bytes payload(3000), out(3000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 31);
    int32_t slot = api.AllocateAndCopy(payload.data(), 3000);
    ASSERT_GE(slot, 0);
    EXPECT_FALSE(api.CopyAndFree(slot, out.data(), -1));
    EXPECT_TRUE(api.CopyAndFree(slot, out.data(), 3000));
    EXPECT_EQ(out, payload);
    EXPECT_FALSE(api.CopyAndFree(slot, out.data(), 3000));
    EXPECT_EQ(api.AllocateAndCopy(payload.data(), -1), -1);
}

// Guards against a data segment that fills up without a word: the first refusal is explained,
// later ones are only counted (at each power of ten), and a payload the host received but
// never freed is named once it has stayed taken for 10 s.
TEST_F(PluginTest, AFullDataSegmentAndUnfreedPayloadsAreLoggedOnceThenCounted) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    const int32_t url = browser.allocateAndCopy(Bytes(64, 1));
    ASSERT_GE(url, 0);
    KEL::Command notice = makeCommand(KEL::Code::URLC, url);
    notice.intArgs[1] = 64;
    notice.intCount = 2;
    ASSERT_GT(browser.post(notice), 0);
    api.Update(); // the host looks at the URLC and leaves its payload where it is
    ASSERT_EQ(received.size(), 1u);

    Bytes small(100);
    while (api.AllocateAndCopy(small.data(), 100) >= 0) {
    }
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(api.AllocateAndCopy(small.data(), 100), -1);
    ASSERT_EQ(logLines.size(), 2u);
    EXPECT_EQ(logLines[0].rfind("DataBuffer full: " + env.name("KEL_DATABUFFER") +
                                    ": no free slot for 100 bytes",
                                0),
              0u)
        << logLines[0];
    EXPECT_NE(logLines[1].find("10 payloads refused so far"), std::string::npos) << logLines[1];
    Bytes huge((1 << 20) + 1);
    EXPECT_EQ(api.AllocateAndCopy(huge.data(), int32_t(huge.size())), -1);
    EXPECT_EQ(logLines.size(), 2u) << "too large for any slot is not a full segment";

    sleep(11);
    api.Update();
    ASSERT_EQ(logLines.size(), 3u);
    EXPECT_NE(logLines[2].find("the URLC payload in data slot " + std::to_string(url)),
              std::string::npos)
        << logLines[2];
}

// Guards against KEL_UpdateTexture not reaching the segment the browser writes.
TEST_F(PluginTest, UpdateTextureCopiesTheFrameTheBrowserWrote) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    Bytes frame(8 * 8 * 4), out(frame.size());
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i + 1);
    KEL::TextureHeader header = {};
    header.pending = header.full = 1;
    header.width = header.height = 8;
    ASSERT_TRUE(browser.write(TextureSegment, 0, frame.data(), uint32_t(frame.size())));
    ASSERT_TRUE(browser.write(TextureSegment, KEL::kTextureHeaderOffset, &header, sizeof header));

    KEL_TextureUpdate update = {0, out.data(), 0, 0, 8, 8};
    api.UpdateTexture(true, 0, 0, &update);
    EXPECT_EQ(update.updated, 1);
    EXPECT_EQ(out, frame);
    EXPECT_EQ(fileBytes(env.name("KEL_TEXTUREBUFFER"))[KEL::kTextureHeaderOffset], 0) << "pending";
}

// Guards against stale requests or replies surviving a clear, in either direction.
TEST_F(PluginTest, ClearCommandsDropsBothDirectionsAndRestartsNumbering) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    post(KEL::Code::LOAD);
    post(KEL::Code::LOAD);
    KEL::Command reply = *browser.next();
    reply.result = 1;
    browser.post(reply);
    browser.post(makeCommand(KEL::Code::PROG));
    api.ClearCommands();
    api.Update();
    EXPECT_TRUE(received.empty());
    EXPECT_FALSE(browser.next());
    EXPECT_EQ(post(KEL::Code::LOAD), 1);
}

// Guards against a clear that drops a frame's UPVW leaving the frame's pending flag set for
// ever, and against a clear releasing a frame whose UPVW the host has already taken (it is
// about to copy it). `full` stays, so the browser can tell a whole frame went untaken.
TEST_F(PluginTest, ClearCommandsReleasesOnlyAFrameWhoseNoticeItDrops) {
    ASSERT_TRUE(api.Init());
    Peer browser;
    ASSERT_TRUE(browser.open());
    KEL::TextureHeader header = {};
    header.pending = header.full = 1;
    const std::string texture = env.name("KEL_TEXTUREBUFFER");
    for (bool noticeTaken : {false, true}) {
        SCOPED_TRACE(noticeTaken ? "UPVW taken" : "UPVW waiting");
        ASSERT_TRUE(
            browser.write(TextureSegment, KEL::kTextureHeaderOffset, &header, sizeof header));
        KEL::Command notice = makeCommand(KEL::Code::UPVW);
        ASSERT_NE(browser.post(notice), 0);
        if (noticeTaken)
            api.Update();
        api.ClearCommands();
        EXPECT_EQ(fileBytes(texture)[KEL::kTextureHeaderOffset], noticeTaken ? 1 : 0);
        EXPECT_EQ(fileBytes(texture)[KEL::kTextureHeaderOffset + 1], 1) << "full";
    }
}

// Guards against records, payloads or frames of an earlier run reaching the next one, whether
// it was shut down or crashed and left its segments behind.
TEST_F(PluginTest, InitGivesZeroedSegmentsAfterShutdownAndOverLeftovers) {
    auto expectZeroed = [&] {
        Bytes commands = fileBytes(env.name("KEL_COMMANDBUFFER"));
        Bytes texture = fileBytes(env.name("KEL_TEXTUREBUFFER"));
        Bytes data = fileBytes(env.name("KEL_DATABUFFER"));
        ASSERT_EQ(commands.size(), 4247556u);
        ASSERT_EQ(texture.size(), 6815868u);
        ASSERT_EQ(data.size(), 8390648u);
        Bytes expected(commands.size());
        expected[0] = 1; // nextSequence
        EXPECT_TRUE(commands == expected) << "command segment not fresh";
        EXPECT_TRUE(texture == Bytes(texture.size())) << "texture segment not fresh";
        expected.assign(data.size(), 0);
        for (int slot = 0; slot < KEL::kDataSlots; ++slot) {
            uint32_t capacity = KEL::dataSlotCapacity(slot);
            memcpy(&expected[8 * slot + 4], &capacity, 4);
        }
        EXPECT_TRUE(data == expected) << "data segment not fresh";
    };
    auto dirty = [&](Peer &browser) {
        browser.post(makeCommand(KEL::Code::PROG));
        browser.allocateAndCopy(Bytes(100, 1));
        uint8_t ones[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        browser.write(TextureSegment, KEL::kTextureHeaderOffset, ones, sizeof ones);
        browser.write(TextureSegment, 0, ones, sizeof ones);
    };

    ASSERT_TRUE(api.Init());
    post(KEL::Code::LOAD);
    Peer first;
    ASSERT_TRUE(first.open());
    dirty(first);
    api.Shutdown();
    ASSERT_TRUE(api.Init());
    expectZeroed();
    api.Shutdown();

    // A host that crashed: its segments and locks stay behind, dirtied by the browser.
    fflush(nullptr);
    pid_t host = fork();
    if (host == 0)
        _exit(api.Init() ? 0 : 1);
    int status = -1;
    waitpid(host, &status, 0);
    ASSERT_EQ(status, 0);
    Peer second;
    ASSERT_TRUE(second.open());
    dirty(second);
    int fd = shm_open(env.name("KEL_COMMANDBUFFER").c_str(), O_RDWR, 0); // an older layout
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
    ASSERT_TRUE(api.Init());
    expectZeroed();
}

// Guards against using an object that another user prepared under our name, and against a
// failed start leaving the segments and locks it made behind (the squatter's object stays).
TEST_F(PluginTest, InitRefusesAnExistingSegmentThatOthersCanReadAndLeavesNothingOfItsOwn) {
    for (const char *base : kBaseNames) {
        SCOPED_TRACE(base);
        std::string name = env.name(base);
        int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
        ASSERT_GE(fd, 0);
        fchmod(fd, 0644);
        close(fd);
        logLines.clear();
        EXPECT_FALSE(api.Init());
        EXPECT_TRUE(std::any_of(
            logLines.begin(), logLines.end(),
            [&](const std::string &line) { return line.find(name) != std::string::npos; }))
            << "no log line names " << name;
        for (const std::string &other : allNames())
            EXPECT_EQ(exists(other), other == name) << other;
        EXPECT_EQ(post(KEL::Code::LOAD), 0);
        api.Shutdown();
        shm_unlink(name.c_str());
    }
}

} // namespace
