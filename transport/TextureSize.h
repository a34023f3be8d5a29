#pragma once
// View and texture sides. A view side is clamped to 128..1024 pixels; its texture side is the
// smallest power of two that holds it, because hosts upload into power-of-two textures.

#include "TextureBuffer.h"

#include <cstdint>

namespace KEL {

constexpr uint32_t kMinViewSide = 128;
constexpr uint32_t kMaxViewSide = kMaxTextureSide;

// The comparison is unsigned on purpose: a negative side from the host counts as huge and
// becomes 1024 rather than 128.
constexpr int clampViewSide(int side) {
    const auto value = static_cast<uint32_t>(side);
    if (value < kMinViewSide)
        return static_cast<int>(kMinViewSide);
    if (value > kMaxViewSide)
        return static_cast<int>(kMaxViewSide);
    return side;
}

// Texture side for a view side (clamped first): 128, 256, 512 or 1024.
constexpr int textureSideFor(int viewSide) {
    const int side = clampViewSide(viewSide);
    int texture = 1;
    while (texture < side)
        texture *= 2;
    return texture;
}

static_assert(textureSideFor(100) == 128 && textureSideFor(129) == 256, "texture side");
static_assert(textureSideFor(1024) == 1024 && textureSideFor(2000) == 1024, "texture side");
static_assert(textureSideFor(-1) == 1024, "negative sides clamp as unsigned");

} // namespace KEL
