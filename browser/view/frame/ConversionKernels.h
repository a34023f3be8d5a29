#pragma once
// Row kernels behind PixelConversion: each turns `pixels` B,G,R,A pixels into R,G,B,A. The x86
// ones live in their own file so that only their functions carry SIMD target attributes.

#include <cstdint>

namespace KEL {
namespace detail {

using ConvertRowFn = void (*)(const uint8_t *source, uint8_t *target, int pixels);
// Converts like ConvertRowFn and answers whether the converted row equals `reference`.
using ConvertCompareRowFn = bool (*)(const uint8_t *source, uint8_t *target,
                                     const uint8_t *reference, int pixels);

// Whether converting `pixels` pixels of `source` would give exactly `reference`; writes nothing.
using CompareRowFn = bool (*)(const uint8_t *source, const uint8_t *reference, int pixels);

struct RowKernels {
    ConvertRowFn convert;
    ConvertCompareRowFn convertCompare;
    CompareRowFn compare;
};

// Byte by byte, so it holds on any byte order and serves as the reference.
inline void convertPixelsScalar(const uint8_t *source, uint8_t *target, int pixels) {
    for (int i = 0; i < pixels; ++i, source += 4, target += 4) {
        const uint8_t b = source[0], g = source[1], r = source[2], a = source[3];
        target[0] = r;
        target[1] = g;
        target[2] = b;
        target[3] = a;
    }
}

inline bool convertComparePixelsScalar(const uint8_t *source, uint8_t *target,
                                       const uint8_t *reference, int pixels) {
    unsigned difference = 0;
    for (int i = 0; i < pixels; ++i, source += 4, target += 4, reference += 4) {
        const uint8_t b = source[0], g = source[1], r = source[2], a = source[3];
        target[0] = r;
        target[1] = g;
        target[2] = b;
        target[3] = a;
        difference |=
            (r ^ reference[0]) | (g ^ reference[1]) | (b ^ reference[2]) | (a ^ reference[3]);
    }
    return difference == 0;
}

inline bool comparePixelsScalar(const uint8_t *source, const uint8_t *reference, int pixels) {
    unsigned difference = 0;
    for (int i = 0; i < pixels; ++i, source += 4, reference += 4)
        difference |= (source[2] ^ reference[0]) | (source[1] ^ reference[1]) |
                      (source[0] ^ reference[2]) | (source[3] ^ reference[3]);
    return difference == 0;
}

#if defined(__x86_64__) || defined(__i386__)
#define KEL_FRAME_X86 1
bool cpuHasSsse3();
bool cpuHasAvx2();
RowKernels ssse3Kernels();
RowKernels avx2Kernels();
#endif

} // namespace detail
} // namespace KEL
