#include "PixelConversion.h"

#include "ConversionKernels.h"

#include <algorithm>
#include <cstring>

namespace KEL {

namespace {

using detail::RowKernels;

RowKernels scalarKernels() {
    return {detail::convertPixelsScalar, detail::convertComparePixelsScalar,
            detail::comparePixelsScalar};
}

RowKernels kernelsFor(ConversionPath path) {
    if (!conversionPathSupported(path))
        return scalarKernels();
    switch (path) {
#if defined(KEL_FRAME_X86)
    case ConversionPath::Ssse3:
        return detail::ssse3Kernels();
    case ConversionPath::Avx2:
        return detail::avx2Kernels();
#endif
    default:
        return scalarKernels();
    }
}

// Chosen once: the row functions are called per row, many times per frame.
const RowKernels &fastestKernels() {
    static const RowKernels kernels = kernelsFor(fastestConversionPath());
    return kernels;
}

// The page rows and columns that land inside the texture.
struct Extent {
    int columns;
    int rows;
};

Extent clippedExtent(const PagePixels &page, const TexturePixels &texture) {
    if (!page.bits || !texture.bits || page.width <= 0 || page.height <= 0 || texture.width <= 0 ||
        texture.height <= 0)
        return {0, 0};
    return {std::min(page.width, texture.width), std::min(page.height, texture.height)};
}

const uint8_t *pageRow(const PagePixels &page, int row) {
    return page.bits + page.bytesPerLine * row;
}

// Page row r is texture row (height - 1 - r): the texture starts with the bottom row.
std::size_t textureRowOffset(const TexturePixels &texture, int pageRowIndex) {
    return static_cast<std::size_t>(texture.height - 1 - pageRowIndex) *
           static_cast<std::size_t>(texture.width) * 4;
}

void convertWith(const RowKernels &kernels, const PagePixels &page, const TexturePixels &texture) {
    const Extent extent = clippedExtent(page, texture);
    for (int r = 0; r < extent.rows; ++r)
        kernels.convert(pageRow(page, r), texture.bits + textureRowOffset(texture, r),
                        extent.columns);
}

bool convertAndCompareWith(const RowKernels &kernels, const PagePixels &page,
                           const TexturePixels &texture, const uint8_t *reference) {
    if (!texture.bits || texture.width <= 0 || texture.height <= 0)
        return true;
    const Extent extent = clippedExtent(page, texture);
    const std::size_t rowBytes = static_cast<std::size_t>(texture.width) * 4;
    const std::size_t pageBytes = static_cast<std::size_t>(extent.columns) * 4;

    // Rows above the page sit first in memory and are never written.
    const std::size_t untouchedRows = static_cast<std::size_t>(texture.height - extent.rows);
    bool equal = framesEqual(texture.bits, reference, untouchedRows * rowBytes);

    for (int r = 0; r < extent.rows; ++r) {
        const std::size_t offset = textureRowOffset(texture, r);
        uint8_t *target = texture.bits + offset;
        if (!equal) {
            // The answer is known; the rest only needs converting.
            kernels.convert(pageRow(page, r), target, extent.columns);
            continue;
        }
        equal =
            kernels.convertCompare(pageRow(page, r), target, reference + offset, extent.columns) &&
            framesEqual(target + pageBytes, reference + offset + pageBytes, rowBytes - pageBytes);
    }
    return equal;
}

} // namespace

bool conversionPathSupported(ConversionPath path) {
    switch (path) {
    case ConversionPath::Scalar:
        return true;
#if defined(KEL_FRAME_X86)
    case ConversionPath::Ssse3:
        return detail::cpuHasSsse3();
    case ConversionPath::Avx2:
        return detail::cpuHasAvx2();
#endif
    default:
        return false;
    }
}

ConversionPath fastestConversionPath() {
    static const ConversionPath fastest = [] {
        if (conversionPathSupported(ConversionPath::Avx2))
            return ConversionPath::Avx2;
        if (conversionPathSupported(ConversionPath::Ssse3))
            return ConversionPath::Ssse3;
        return ConversionPath::Scalar;
    }();
    return fastest;
}

const char *conversionPathName(ConversionPath path) {
    switch (path) {
    case ConversionPath::Scalar:
        return "scalar";
    case ConversionPath::Ssse3:
        return "ssse3";
    case ConversionPath::Avx2:
        return "avx2";
    }
    return "unknown";
}

void convertPage(const PagePixels &page, const TexturePixels &texture) {
    convertPage(fastestConversionPath(), page, texture);
}

void convertPage(ConversionPath path, const PagePixels &page, const TexturePixels &texture) {
    convertWith(kernelsFor(path), page, texture);
}

bool framesEqual(const uint8_t *a, const uint8_t *b, std::size_t bytes) {
    // glibc's memcmp already runs at memory speed with the widest vectors the CPU has.
    return bytes == 0 || std::memcmp(a, b, bytes) == 0;
}

bool pageRowEquals(const uint8_t *source, const uint8_t *reference, int pixels) {
    return pixels <= 0 || fastestKernels().compare(source, reference, pixels);
}

bool pageRowEquals(ConversionPath path, const uint8_t *source, const uint8_t *reference,
                   int pixels) {
    return pixels <= 0 || kernelsFor(path).compare(source, reference, pixels);
}

void convertPageRow(const uint8_t *source, uint8_t *target, int pixels) {
    if (pixels > 0)
        fastestKernels().convert(source, target, pixels);
}

bool convertPageAndCompare(const PagePixels &page, const TexturePixels &texture,
                           const uint8_t *reference) {
    return convertPageAndCompare(fastestConversionPath(), page, texture, reference);
}

bool convertPageAndCompare(ConversionPath path, const PagePixels &page,
                           const TexturePixels &texture, const uint8_t *reference) {
    return convertAndCompareWith(kernelsFor(path), page, texture, reference);
}

} // namespace KEL
