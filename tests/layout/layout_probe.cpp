// Reports the layout the C++ side compiles, for the C mirror in layout_test.c to check.

#include "CommandBuffer.h"
#include "DataBuffer.h"
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
}
