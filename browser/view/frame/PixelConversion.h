#pragma once
// From the painted page to the texture layout the host uploads, and the equality test that
// decides whether a frame changed.
//
// Page image: Qt's ARGB32 premultiplied on a little-endian machine, so each pixel lies in memory
// as B, G, R, A; rows top first, `bytesPerLine` bytes apart (Qt pads rows to 4 bytes).
// Texture: `width` x `height` pixels of R, G, B, A, rows packed, bottom row first. Page pixel
// (column c, row r) goes to byte ((height - 1 - r) * width + c) * 4. Texture pixels outside the
// page are never written: they keep what the texture's owner put there (zero).
//
// All functions run on the caller's thread and keep no state apart from the choice of CPU path,
// made once.

#include <cstddef>
#include <cstdint>

namespace KEL {

// Read-only view of a painted page image.
struct PagePixels {
    const uint8_t *bits = nullptr;
    std::ptrdiff_t bytesPerLine = 0;
    int width = 0;
    int height = 0;
};

// A packed texture-layout buffer of width * height * 4 bytes.
struct TexturePixels {
    uint8_t *bits = nullptr;
    int width = 0;
    int height = 0;
};

// Ways to do the byte shuffle. Every path gives identical bytes; Scalar is the reference.
enum class ConversionPath { Scalar, Ssse3, Avx2 };

bool conversionPathSupported(ConversionPath path);
// The best path this CPU supports, decided on first use.
ConversionPath fastestConversionPath();
const char *conversionPathName(ConversionPath path);

// Converts the part of `page` that fits into `texture` (columns and rows beyond the texture are
// dropped). An unsupported `path` falls back to Scalar rather than faulting.
void convertPage(const PagePixels &page, const TexturePixels &texture);
void convertPage(ConversionPath path, const PagePixels &page, const TexturePixels &texture);

// Whether two frames of `bytes` bytes are identical.
bool framesEqual(const uint8_t *a, const uint8_t *b, std::size_t bytes);

// convertPage, then whether all width * height * 4 texture bytes equal `reference` (same
// layout and size). Compares each row while it is still in cache instead of walking the whole
// frame a second time, which keeps the unchanged-frame case close to a plain copy in cost.
bool convertPageAndCompare(const PagePixels &page, const TexturePixels &texture,
                           const uint8_t *reference);
bool convertPageAndCompare(ConversionPath path, const PagePixels &page,
                           const TexturePixels &texture, const uint8_t *reference);

// One page row (`pixels` B, G, R, A pixels) against the same row of a texture-layout frame:
// whether converting it would give exactly `reference`. Writes nothing, so an unchanged row
// costs two reads.
bool pageRowEquals(const uint8_t *source, const uint8_t *reference, int pixels);
bool pageRowEquals(ConversionPath path, const uint8_t *source, const uint8_t *reference,
                   int pixels);
// Converts one page row of `pixels` pixels into `target` (fastest path).
void convertPageRow(const uint8_t *source, uint8_t *target, int pixels);

} // namespace KEL
