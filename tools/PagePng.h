#pragma once
// Writes a frame of a view as a PNG through libpng.

#include <cstdint>
#include <string>
#include <vector>

namespace KEL {
namespace Shot {

// A frame (width x height pixels, rows bottom first `stride` bytes apart, premultiplied alpha)
// as straight RGBA, top row first, packed: PNG wants neither bottom-up rows nor premultiplied
// colours.
std::vector<uint8_t> straightFrame(const uint8_t *pixels, uint32_t width, uint32_t height,
                                   size_t stride);

// Writes `rgba` (width * height * 4 bytes, top row first) with a compression level chosen for
// speed. False with `error` set when the file cannot be written; a half-written file is removed.
bool writePng(const std::string &path, const std::vector<uint8_t> &rgba, uint32_t width,
              uint32_t height, std::string *error);

} // namespace Shot
} // namespace KEL
