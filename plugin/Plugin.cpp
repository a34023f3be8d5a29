// The eleven exported functions, the two callback companions and the three frame-area functions.
// They keep the host side of the transport and nothing else; no thread, no timer. No exception
// leaves an export: each body runs inside `guarded`.

#include "KELPlugin.h"

#include "CommandBuffer.h"
#include "CommandCodes.h"
#include "DataBuffer.h"
#include "FrameArea.h"
#include "Log.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

using namespace KEL;

namespace {

CommandBuffer *g_commands = nullptr;
TextureBuffer *g_texture = nullptr;
DataBuffer *g_data = nullptr;
std::atomic<KEL_ProcessCallback> g_processCallback{nullptr};
// The companion with a user pointer; at most one of the two is set.
std::atomic<KEL_ProcessUserCallback> g_processUserCallback{nullptr};
std::atomic<void *> g_processUser{nullptr};

// Records handed to the host per KEL_Update; the rest wait for the next call.
constexpr int kRecordsPerUpdate = 11;

template <typename Result, typename Body> Result guarded(Result failure, Body body) noexcept {
    try {
        return body();
    } catch (const std::exception &error) {
        try {
            logMessage(std::string("KELPlugin: unexpected error: ") + error.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return failure;
}

template <typename Body> void guardedVoid(Body body) noexcept {
    guarded(0, [&] {
        body();
        return 0;
    });
}

template <typename Buffer> bool openBuffer(Buffer *&buffer, const char *baseName) {
    buffer = new Buffer(HostSide);
    return buffer->open(segmentName(baseName));
}

// Closes and forgets one buffer, then removes its names: a POSIX object would otherwise
// outlive both processes.
template <typename Buffer> void releaseBuffer(Buffer *&buffer) {
    if (!buffer)
        return;
    const std::string name = buffer->name();
    buffer->closeSegment();
    delete buffer;
    buffer = nullptr;
    if (!name.empty())
        SharedBuffer::removeNames(name);
}

// Payloads handed to the host in records whose slots were still taken when its callback
// returned. A host that never frees them fills the data segment silently (the browser's
// next payload simply fails), so each one still taken after kUnfreedAfter is logged: the
// first with an explanation, later ones counted at each power of ten.
struct Delivered {
    int32_t slot;
    char code[5];
    std::chrono::steady_clock::time_point at;
};
std::vector<Delivered> g_delivered; // at most one entry per slot
uint64_t g_unfreed = 0;
constexpr auto kUnfreedAfter = std::chrono::seconds(10);

void forgetSlot(int32_t slot) {
    g_delivered.erase(std::remove_if(g_delivered.begin(), g_delivered.end(),
                                     [slot](const Delivered &d) { return d.slot == slot; }),
                      g_delivered.end());
}

void notePayloads(const KEL_Command &record) {
    const CodeInfo *info = findReceivedCode(record.code);
    if (!info || !g_data)
        return;
    const int32_t count = std::min<int32_t>(record.intCount, KEL_COMMAND_INT_ARGS);
    for (int i = 0; i + 1 < count; ++i) {
        const int32_t slot = record.intArgs[i];
        if (!(info->payloads & payloadAt(i)) || slot < 0 || !g_data->inUse(slot))
            continue;
        forgetSlot(slot);
        Delivered entry{slot, {}, std::chrono::steady_clock::now()};
        std::memcpy(entry.code, record.code, 4);
        g_delivered.push_back(entry);
    }
}

void checkUnfreed() {
    if (g_delivered.empty() || !g_data)
        return;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = g_delivered.begin(); it != g_delivered.end();) {
        if (now - it->at < kUnfreedAfter) {
            ++it;
            continue;
        }
        if (g_data->inUse(it->slot)) {
            ++g_unfreed;
            bool report = g_unfreed == 1;
            for (uint64_t power = 10; power <= g_unfreed && !report; power *= 10)
                report = g_unfreed == power;
            if (g_unfreed == 1)
                logMessage(std::string("Payload not freed: the ") + it->code +
                           " payload in data slot " + std::to_string(it->slot) +
                           " is still taken 10 s after delivery; free every payload a record "
                           "names with KEL_CopyAndFree, or the data segment fills up");
            else if (report)
                logMessage("Payload not freed: " + std::to_string(g_unfreed) +
                           " payloads still taken 10 s after delivery so far");
        }
        it = g_delivered.erase(it);
    }
}

// The frame areas the host has asked for, by view name. Their calls may come from any thread;
// the lock is held only for work on this side (no call waits for the browser).
std::mutex g_frameAreasMutex;
std::map<std::u16string, std::unique_ptr<FrameAreaReader>> g_frameAreas;
bool g_frameAreasOpen = false; // between KEL_Init and KEL_Shutdown

// The view name a host passed: at most a record's 255 units before the NUL; null or longer
// names none.
bool readViewName(const uint16_t *view, std::u16string &name) {
    if (!view)
        return false;
    for (int i = 0; i < KEL_COMMAND_STR_UNITS; ++i) {
        if (view[i] == 0) {
            name.assign(reinterpret_cast<const char16_t *>(view), size_t(i));
            return i > 0;
        }
    }
    return false;
}

// The reader of a view's area, made on first use; null when the name is unusable or the
// library is not initialised. The caller holds g_frameAreasMutex.
FrameAreaReader *frameAreaOf(const uint16_t *view) {
    std::u16string name;
    if (!g_frameAreasOpen || !readViewName(view, name))
        return nullptr;
    auto it = g_frameAreas.find(name);
    if (it == g_frameAreas.end()) {
        const std::string control =
            frameControlName(reinterpret_cast<const uint16_t *>(name.data()), name.size());
        it = g_frameAreas.emplace(name, std::make_unique<FrameAreaReader>(control)).first;
    }
    return it->second.get();
}

// Lets go of every frame area and removes the names of those still mapped: the browser ends
// with its host, and a name left over would outlive both.
void releaseFrameAreas() {
    std::lock_guard<std::mutex> lock(g_frameAreasMutex);
    for (auto &entry : g_frameAreas) {
        entry.second->release();
        entry.second->removeNames();
    }
    g_frameAreas.clear();
    g_frameAreasOpen = false;
}

void releaseAll() {
    releaseFrameAreas();
    g_delivered.clear();
    releaseBuffer(g_commands);
    releaseBuffer(g_texture);
    releaseBuffer(g_data);
}

} // namespace

extern "C" {

KEL_API bool KEL_Init(void) {
    return guarded(false, [] {
        releaseAll(); // a second KEL_Init without KEL_Shutdown starts afresh
        if (openBuffer(g_commands, kCommandSegmentName) &&
            openBuffer(g_texture, kTextureSegmentName) && openBuffer(g_data, kDataSegmentName)) {
            // No browser of this host runs yet, so any frame area under these names was left
            // by one that could not remove it (killed, or hung after its host had gone).
            removeLeftoverFrameAreas();
            std::lock_guard<std::mutex> lock(g_frameAreasMutex);
            g_frameAreasOpen = true;
            return true;
        }
        // Half-way: the failing segment has removed what it made; the ones before it go too,
        // so a failed start leaves nothing in the system.
        releaseAll();
        return false;
    });
}

KEL_API void KEL_InitProcess(void) {
    guardedVoid([] {
        if (!g_commands)
            return;
        CommandPtr init(newCommand("INIT", HostSide));
        if (!init)
            return;
        init->intArgs[0] = static_cast<int32_t>(getpid());
        init->intCount = 1;
        g_commands->post(init.get());
    });
}

KEL_API void KEL_Update(void) {
    guardedVoid([] {
        // The callback may call back in, even KEL_Shutdown or KEL_SetProcessCB: both are
        // looked at again before every record.
        for (int handled = 0; handled < kRecordsPerUpdate; ++handled) {
            KEL_ProcessCallback callback = g_processCallback.load();
            KEL_ProcessUserCallback userCallback = g_processUserCallback.load();
            if (!g_commands || (!callback && !userCallback))
                return;
            if (handled == 0)
                checkUnfreed();
            CommandPtr record(g_commands->next());
            if (!record)
                return;
            if (userCallback)
                userCallback(record.get(), g_processUser.load());
            else
                callback(record.get());
            notePayloads(*record);
        }
    });
}

KEL_API int32_t KEL_PostCommand(const KEL_Command *command) {
    return guarded(0, [command] { return g_commands ? g_commands->post(command) : 0; });
}

// A UPVW dropped here leaves its frame's `pending` set, and the browser hands out no frame of
// any view while it is: the frame is released too, since nobody will ever ask for it. The two
// locks are taken one after the other, never nested.
KEL_API void KEL_ClearCommands(void) {
    guardedVoid([] {
        if (g_commands && g_commands->clearDroppingNotice(Code::UPVW) && g_texture)
            g_texture->releaseUnannounced();
    });
}

KEL_API void KEL_UpdateTexture(bool fullOnly, int32_t group, int32_t index,
                               KEL_TextureUpdate *update) {
    guardedVoid([=] {
        if (!update)
            return;
        if (!g_texture) {
            update->updated = 0;
            return;
        }
        g_texture->updateTexture(fullOnly, group, index, update);
    });
}

KEL_API int32_t KEL_AllocateAndCopy(const void *source, int32_t length) {
    return guarded(-1, [=] {
        const int32_t slot = g_data ? g_data->allocateAndCopy(source, length) : -1;
        if (slot >= 0)
            forgetSlot(slot);
        return slot;
    });
}

KEL_API bool KEL_CopyAndFree(int32_t slot, void *destination, int32_t length) {
    return guarded(false, [=] {
        if (!g_data || !g_data->copyAndFree(slot, destination, length))
            return false;
        forgetSlot(slot);
        return true;
    });
}

KEL_API void KEL_SetLogCB(KEL_LogCallback callback) {
    setLogCallback(callback);
}

KEL_API void KEL_SetProcessCB(KEL_ProcessCallback callback) {
    g_processUserCallback.store(nullptr);
    g_processCallback.store(callback);
}

KEL_API void KEL_SetLogCBWithUser(KEL_LogUserCallback callback, void *user) {
    setLogCallbackWithUser(callback, user);
}

KEL_API void KEL_SetProcessCBWithUser(KEL_ProcessUserCallback callback, void *user) {
    g_processCallback.store(nullptr);
    g_processUser.store(user);
    g_processUserCallback.store(callback);
}

KEL_API int32_t KEL_TakeFrame(const uint16_t *view, KEL_Frame *frame) {
    return guarded(-1, [=] {
        if (!frame)
            return -1;
        std::lock_guard<std::mutex> lock(g_frameAreasMutex);
        FrameAreaReader *area = frameAreaOf(view);
        return area ? area->take(*frame) : -1;
    });
}

KEL_API void KEL_ReleaseFrame(const uint16_t *view) {
    guardedVoid([=] {
        std::lock_guard<std::mutex> lock(g_frameAreasMutex);
        if (FrameAreaReader *area = frameAreaOf(view))
            area->release();
    });
}

KEL_API int32_t KEL_CopyFrame(const uint16_t *view, void *pixels, int32_t capacity,
                              KEL_Frame *frame) {
    return guarded(-1, [=] {
        if (!frame || !pixels || capacity < 0)
            return -1;
        std::lock_guard<std::mutex> lock(g_frameAreasMutex);
        FrameAreaReader *area = frameAreaOf(view);
        if (!area)
            return -1;
        area->release();
        const uint32_t lastTaken = area->lastTaken();
        const bool hadTaken = area->hasTaken();
        const int result = area->take(*frame);
        if (result != 1)
            return result;
        // The sides were checked when the frame was taken (at most 4096 each): no overflow.
        const int64_t rowBytes = int64_t(frame->width) * 4;
        const bool fits = rowBytes * frame->height <= capacity;
        if (fits) {
            const auto *from = static_cast<const uint8_t *>(frame->pixels);
            auto *to = static_cast<uint8_t *>(pixels);
            for (int32_t row = 0; row < frame->height; ++row)
                std::memcpy(to + row * rowBytes, from + int64_t(row) * frame->stride,
                            size_t(rowBytes));
        }
        area->release();
        frame->pixels = pixels;
        frame->stride = int32_t(rowBytes);
        if (!fits) {
            // Not taken after all: the host asks again with a buffer of the size it now knows.
            area->forgetTaken(lastTaken, hadTaken);
            return -1;
        }
        return 1;
    });
}

KEL_API void KEL_Shutdown(void) {
    guardedVoid([] {
        releaseAll();
        g_processCallback.store(nullptr);
        g_processUserCallback.store(nullptr);
    });
}

} // extern "C"
