#pragma once
// Writes what a host holds of a view as a PNG through libpng.

#include "FrameCompositor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace KEL {
namespace Shot {

// The page part of a texture (view size, top row first) as straight RGBA: textures arrive
// bottom row first with premultiplied alpha, PNG wants neither.
std::vector<uint8_t> straightPage(const Host::ViewTexture &texture);

// Writes `rgba` (width * height * 4 bytes, top row first) with a compression level chosen for
// speed. False with `error` set when the file cannot be written; a half-written file is removed.
bool writePng(const std::string &path, const std::vector<uint8_t> &rgba, uint32_t width,
              uint32_t height, std::string *error);

} // namespace Shot
} // namespace KEL
