// Reports the layout the C++ side compiles, for the C mirror in layout_test.c to check.

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "FrameArea.h"
#include "TextureBuffer.h"

#include <cstring>

#define FIELD(T, f)                                                                                \
    { #T "." #f, offsetof(KEL::T, f), sizeof(KEL::T::f) }

namespace {
struct Field {
    const char *name;
    size_t offset, size;
};
const Field kFields[] = {
    FIELD(TextureRect, valid),
    FIELD(TextureRect, group),
    FIELD(TextureRect, index),
    FIELD(TextureRect, x),
    FIELD(TextureRect, y),
    FIELD(TextureRect, width),
    FIELD(TextureRect, height),
    FIELD(TextureHeader, pending),
    FIELD(TextureHeader, full),
    FIELD(TextureHeader, width),
    FIELD(TextureHeader, height),
    FIELD(TextureHeader, rects),
    FIELD(DataSlot, inUse),
    FIELD(DataSlot, capacity),
    FIELD(FrameControl, magic),
    FIELD(FrameControl, version),
    FIELD(FrameControl, state),
    FIELD(FrameControl, taken),
    FIELD(FrameSlot, width),
    FIELD(FrameSlot, height),
    FIELD(FrameSlot, stride),
    FIELD(FrameSlot, number),
    FIELD(FrameSlot, changesSince),
    FIELD(FrameSlot, rectCount),
    FIELD(FrameSlot, rects),
    FIELD(FramePixelsHeader, magic),
    FIELD(FramePixelsHeader, generation),
    FIELD(FramePixelsHeader, slotBytes),
    FIELD(FramePixelsHeader, frames),
    {"FrameControl", 0, sizeof(KEL::FrameControl)},
    {"FrameSlot", 0, sizeof(KEL::FrameSlot)},
    {"FramePixelsHeader", 0, sizeof(KEL::FramePixelsHeader)},
    {"TextureRect", 0, sizeof(KEL::TextureRect)},
    {"TextureHeader", 0, sizeof(KEL::TextureHeader)},
    {"DataSlot", 0, sizeof(KEL::DataSlot)},
};
} // namespace

extern "C" {

// Offset of "Type.field" (or 0 for "Type"); its size goes to *size. -1 when unknown.
long kel_probe_field(const char *name, long *size) {
    for (const Field &field : kFields)
        if (strcmp(field.name, name) == 0) {
            *size = long(field.size);
            return long(field.offset);
        }
    return -1;
}

long kel_probe_command_segment_size(void) {
    return KEL::kCommandSegmentSize;
}
long kel_probe_texture_segment_size(void) {
    return KEL::kTextureSegmentSize;
}
long kel_probe_data_segment_size(void) {
    return KEL::kDataSegmentSize;
}
long kel_probe_texture_header_offset(void) {
    return KEL::kTextureHeaderOffset;
}
long kel_probe_rect_area_offset(int area) {
    return KEL::rectAreaOffset(area);
}
long kel_probe_data_slot_offset(int slot) {
    return KEL::dataSlotOffset(slot);
}
long kel_probe_data_slot_capacity(int slot) {
    return KEL::dataSlotCapacity(slot);
}
long kel_probe_frame_control_size(void) {
    return KEL::kFrameControlSize;
}
long kel_probe_frame_pixels_offset(void) {
    return long(KEL::kFramePixelsOffset);
}
long kel_probe_frame_pixels_segment_size(int width, int height) {
    return long(KEL::framePixelsSegmentSize(KEL::frameSlotBytes(width, height)));
}
unsigned long long kel_probe_frame_state(unsigned newest, unsigned held, unsigned generation,
                                         unsigned number) {
    return KEL::packFrameState({newest, held, generation, number});
}
}
