/*
 * The records and segment layouts, written down once more as plain C from the documented
 * tables, compared with the public header (compiled here as C11) and with what the C++ side
 * compiles (layout_probe.cpp). Guards against a field moved, padded or resized on one side only,
 * which would corrupt every record and frame between the two processes.
 */
#include "KELPlugin.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

struct MirrorCommand {
    uint32_t sequence;
    char code[8];
    uint32_t origin;
    int32_t intArgs[16];
    int32_t intCount;
    uint16_t strArgs[16][256];
    int32_t strCount;
    int32_t result;
    uint8_t reserved[12];
};
struct MirrorTextureUpdate { /* 64-bit: the pointer is 8 bytes and 8-aligned */
    int32_t updated;
    void *pixels;
    int32_t x, y, width, height;
};
struct MirrorTextureRect {
    uint8_t valid;
    uint8_t reserved[3];
    int32_t group, index, x, y, width, height;
};
struct MirrorTextureHeader {
    uint8_t pending, full, reserved[2];
    uint32_t width, height;
    struct MirrorTextureRect rects[4];
};
struct MirrorDataSlot {
    uint8_t inUse, reserved[3];
    uint32_t capacity;
};

struct MirrorFrameRect {
    int32_t x, y, width, height;
};
struct MirrorFrame { /* 64-bit: the pointer first */
    const void *pixels;
    int32_t width, height, stride;
    uint32_t number, changesSince;
    int32_t rectCount;
    struct MirrorFrameRect rects[16];
};
struct MirrorFrameControl {
    uint32_t magic, version;
    uint64_t state; /* newest slot bits 0-1, held slot 2-3, generation 4-31, number 32-63 */
    uint64_t taken;
    uint8_t reserved[104];
};
struct MirrorFrameSlot {
    int32_t width, height, stride;
    uint32_t number, changesSince;
    int32_t rectCount;
    struct MirrorFrameRect rects[16];
};
struct MirrorFramePixelsHeader {
    uint32_t magic, generation;
    uint64_t slotBytes;
    struct MirrorFrameSlot frames[3];
};

long kel_probe_field(const char *name, long *size);
long kel_probe_command_segment_size(void);
long kel_probe_texture_segment_size(void);
long kel_probe_data_segment_size(void);
long kel_probe_texture_header_offset(void);
long kel_probe_rect_area_offset(int area);
long kel_probe_data_slot_offset(int slot);
long kel_probe_data_slot_capacity(int slot);
long kel_probe_frame_control_size(void);
long kel_probe_frame_pixels_offset(void);
long kel_probe_frame_pixels_segment_size(int width, int height);
unsigned long long kel_probe_frame_state(unsigned newest, unsigned held, unsigned generation,
                                         unsigned number);

static int failures;

static void expect(long actual, long expected, const char *what, int line) {
    if (actual != expected) {
        fprintf(stderr, "layout_test.c:%d: %s is %ld, expected %ld\n", line, what, actual,
                expected);
        ++failures;
    }
}
#define EXPECT(actual, expected) expect((long)(actual), (long)(expected), #actual, __LINE__)
#define MEMBER_SIZE(T, f) sizeof(((T *)0)->f)

/* A public type's field: mirror and header agree, and both sit where the table says. */
#define PUBLIC_FIELD(T, M, f, offset, size)                                                        \
    do {                                                                                           \
        EXPECT(offsetof(M, f), offset);                                                            \
        EXPECT(MEMBER_SIZE(M, f), size);                                                           \
        EXPECT(offsetof(T, f), offset);                                                            \
        EXPECT(MEMBER_SIZE(T, f), size);                                                           \
    } while (0)

/* A segment type known only to C++: mirror and probe agree with the table. */
static void shared_field(const char *name, long mirrorOffset, long mirrorSize, long offset,
                         long size, int line) {
    long probedSize = -1;
    long probedOffset = kel_probe_field(name, &probedSize);
    expect(mirrorOffset, offset, name, line);
    expect(mirrorSize, size, name, line);
    expect(probedOffset, offset, name, line);
    expect(probedSize, size, name, line);
}
#define SHARED_FIELD(T, M, f, offset, size)                                                        \
    shared_field(#T "." #f, offsetof(struct M, f), MEMBER_SIZE(struct M, f), offset, size, __LINE__)
#define SHARED_TYPE(T, M, size) shared_field(#T, 0, sizeof(struct M), 0, size, __LINE__)

static void records(void) {
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, sequence, 0, 4);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, code, 4, 8);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, origin, 12, 4);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, intArgs, 16, 64);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, intCount, 80, 4);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, strArgs, 84, 8192);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, strCount, 8276, 4);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, result, 8280, 4);
    PUBLIC_FIELD(KEL_Command, struct MirrorCommand, reserved, 8284, 12);
    EXPECT(sizeof(struct MirrorCommand), 8296);
    EXPECT(sizeof(KEL_Command), 8296);
    EXPECT(MEMBER_SIZE(KEL_Command, strArgs[0]), 512);

    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, updated, 0, 4);
    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, pixels, 8, 8);
    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, x, 16, 4);
    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, y, 20, 4);
    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, width, 24, 4);
    PUBLIC_FIELD(KEL_TextureUpdate, struct MirrorTextureUpdate, height, 28, 4);
    EXPECT(sizeof(KEL_TextureUpdate), 32);
    EXPECT(sizeof(bool), 1);

    PUBLIC_FIELD(KEL_FrameRect, struct MirrorFrameRect, x, 0, 4);
    PUBLIC_FIELD(KEL_FrameRect, struct MirrorFrameRect, y, 4, 4);
    PUBLIC_FIELD(KEL_FrameRect, struct MirrorFrameRect, width, 8, 4);
    PUBLIC_FIELD(KEL_FrameRect, struct MirrorFrameRect, height, 12, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, pixels, 0, 8);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, width, 8, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, height, 12, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, stride, 16, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, number, 20, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, changesSince, 24, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, rectCount, 28, 4);
    PUBLIC_FIELD(KEL_Frame, struct MirrorFrame, rects, 32, 256);
    EXPECT(sizeof(KEL_Frame), 288);
    EXPECT(KEL_FRAME_MAX_RECTS, 16);
    EXPECT(KEL_FRAME_MAX_SIDE, 4096);
}

static void segmentTypes(void) {
    SHARED_FIELD(TextureRect, MirrorTextureRect, valid, 0, 1);
    SHARED_FIELD(TextureRect, MirrorTextureRect, group, 4, 4);
    SHARED_FIELD(TextureRect, MirrorTextureRect, index, 8, 4);
    SHARED_FIELD(TextureRect, MirrorTextureRect, x, 12, 4);
    SHARED_FIELD(TextureRect, MirrorTextureRect, y, 16, 4);
    SHARED_FIELD(TextureRect, MirrorTextureRect, width, 20, 4);
    SHARED_FIELD(TextureRect, MirrorTextureRect, height, 24, 4);
    SHARED_TYPE(TextureRect, MirrorTextureRect, 28);
    SHARED_FIELD(TextureHeader, MirrorTextureHeader, pending, 0, 1);
    SHARED_FIELD(TextureHeader, MirrorTextureHeader, full, 1, 1);
    SHARED_FIELD(TextureHeader, MirrorTextureHeader, width, 4, 4);
    SHARED_FIELD(TextureHeader, MirrorTextureHeader, height, 8, 4);
    SHARED_FIELD(TextureHeader, MirrorTextureHeader, rects, 12, 112);
    SHARED_TYPE(TextureHeader, MirrorTextureHeader, 124);
    SHARED_FIELD(DataSlot, MirrorDataSlot, inUse, 0, 1);
    SHARED_FIELD(DataSlot, MirrorDataSlot, capacity, 4, 4);
    SHARED_TYPE(DataSlot, MirrorDataSlot, 8);
    SHARED_FIELD(FrameControl, MirrorFrameControl, magic, 0, 4);
    SHARED_FIELD(FrameControl, MirrorFrameControl, version, 4, 4);
    SHARED_FIELD(FrameControl, MirrorFrameControl, state, 8, 8);
    SHARED_FIELD(FrameControl, MirrorFrameControl, taken, 16, 8);
    SHARED_TYPE(FrameControl, MirrorFrameControl, 128);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, width, 0, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, height, 4, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, stride, 8, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, number, 12, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, changesSince, 16, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, rectCount, 20, 4);
    SHARED_FIELD(FrameSlot, MirrorFrameSlot, rects, 24, 256);
    SHARED_TYPE(FrameSlot, MirrorFrameSlot, 280);
    SHARED_FIELD(FramePixelsHeader, MirrorFramePixelsHeader, magic, 0, 4);
    SHARED_FIELD(FramePixelsHeader, MirrorFramePixelsHeader, generation, 4, 4);
    SHARED_FIELD(FramePixelsHeader, MirrorFramePixelsHeader, slotBytes, 8, 8);
    SHARED_FIELD(FramePixelsHeader, MirrorFramePixelsHeader, frames, 16, 840);
    SHARED_TYPE(FramePixelsHeader, MirrorFramePixelsHeader, 856);
}

static void segments(void) {
    static const struct {
        int first, count;
        long capacity, offset;
    } classes[] = {{0, 1, 1048576, 2040},    {1, 2, 524288, 1050616},  {3, 4, 262144, 2099192},
                   {7, 8, 131072, 3147768},  {15, 16, 65536, 4196344}, {31, 32, 32768, 5244920},
                   {63, 64, 16384, 6293496}, {127, 128, 8192, 7342072}};
    static const long rectAreas[] = {4194304, 5242880, 6291456, 6553600};
    int c, j, area;

    EXPECT(kel_probe_command_segment_size(), 512L * 8296 + 4);
    EXPECT(kel_probe_command_segment_size(), 4247556);
    EXPECT(kel_probe_data_segment_size(), 8390648);
    EXPECT(kel_probe_texture_segment_size(), 6815868);
    EXPECT(kel_probe_texture_header_offset(), 6815744);
    for (area = 0; area < 4; ++area)
        EXPECT(kel_probe_rect_area_offset(area), rectAreas[area]);
    EXPECT(255 * sizeof(struct MirrorDataSlot), 2040);
    for (c = 0; c < 8; ++c) {
        for (j = 0; j < classes[c].count; ++j) {
            int slot = classes[c].first + j;
            EXPECT(kel_probe_data_slot_capacity(slot), classes[c].capacity);
            EXPECT(kel_probe_data_slot_offset(slot), classes[c].offset + j * classes[c].capacity);
        }
    }
}

static void frameAreas(void) {
    EXPECT(kel_probe_frame_control_size(), 4096);
    EXPECT(kel_probe_frame_pixels_offset(), 4096);
    /* Three frames of whole pages after the header page. */
    EXPECT(kel_probe_frame_pixels_segment_size(1, 1), 4096 + 3 * 4096);
    EXPECT(kel_probe_frame_pixels_segment_size(1920, 1080), 4096 + 3 * 8294400L);
    EXPECT(kel_probe_frame_pixels_segment_size(4096, 4096), 4096 + 3 * 67108864L);
    if (kel_probe_frame_state(2, 1, 0x0abcdef1u, 0xfffffffeu) != 0xfffffffeabcdef16ull) {
        fprintf(stderr, "layout_test.c: the frame state word is packed differently\n");
        ++failures;
    }
    if (kel_probe_frame_state(3, 3, 0, 1) != 0x10000000full) {
        fprintf(stderr, "layout_test.c: \"no slot\" is packed differently\n");
        ++failures;
    }
}

int main(void) {
    records();
    segmentTypes();
    segments();
    frameAreas();
    if (failures)
        fprintf(stderr, "%d layout mismatches\n", failures);
    else
        printf("layout: records, segment types and segment tables agree\n");
    return failures ? 1 : 0;
}
