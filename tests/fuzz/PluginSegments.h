#pragma once
// The plugin's side of the transport, set up once per fuzzer process through KEL_Init, plus a
// raw writable mapping of each segment through which a fuzz input plays a hostile browser that
// writes anything anywhere. The names are removed as soon as everything is mapped, so a crash
// leaves nothing in /dev/shm.

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "FuzzCheck.h"
#include "KELPlugin.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace KelFuzz {

struct PluginSegments {
    uint8_t *commands = nullptr;
    uint8_t *texture = nullptr;
    uint8_t *data = nullptr;
    // The browser's side of the command and data segments, for its readers.
    KEL::CommandBuffer browserCommands{KEL::BrowserSide};
    KEL::DataBuffer browserData{KEL::BrowserSide};
};

inline uint8_t *mapRaw(const char *baseName, uint32_t size) {
    const std::string name = "/" + KEL::segmentName(baseName);
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0)
        return nullptr;
    void *address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return address == MAP_FAILED ? nullptr : static_cast<uint8_t *>(address);
}

inline void quietLog(const char *) {}

// Aborts (a finding) when the set-up itself fails: nothing could be fuzzed.
inline PluginSegments &pluginSegments() {
    static PluginSegments *segments = [] {
        const std::string suffix = "_fuzz" + std::to_string(getpid());
        setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
        KEL_SetLogCB(&quietLog);
        auto *made = new PluginSegments;
        if (!KEL_Init()) {
            std::fprintf(stderr, "KEL_Init failed\n");
            std::abort();
        }
        const bool browserOpen =
            made->browserCommands.open(KEL::segmentName(KEL::kCommandSegmentName)) &&
            made->browserData.open(KEL::segmentName(KEL::kDataSegmentName));
        made->commands = mapRaw(KEL::kCommandSegmentName, KEL::kCommandSegmentSize);
        made->texture = mapRaw(KEL::kTextureSegmentName, KEL::kTextureSegmentSize);
        made->data = mapRaw(KEL::kDataSegmentName, KEL::kDataSegmentSize);
        for (const char *base :
             {KEL::kCommandSegmentName, KEL::kTextureSegmentName, KEL::kDataSegmentName})
            KEL::SharedBuffer::removeNames(KEL::segmentName(base));
        if (!browserOpen || !made->commands || !made->texture || !made->data) {
            std::fprintf(stderr, "cannot map the segments\n");
            std::abort();
        }
        return made;
    }();
    return *segments;
}

} // namespace KelFuzz
