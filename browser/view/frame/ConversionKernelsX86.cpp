// SSSE3 and AVX2 row kernels. The file is built without -m flags: each function names its
// instruction set, and PixelConversion only calls one after asking the CPU.

#include "ConversionKernels.h"

#if defined(KEL_FRAME_X86)

#include <immintrin.h>

namespace KEL {
namespace detail {

bool cpuHasSsse3() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}

bool cpuHasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

namespace {

// Swaps bytes 0 and 2 of every 4-byte pixel.
__attribute__((target("ssse3"))) inline __m128i swapRedBlue(__m128i pixels) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    return _mm_shuffle_epi8(pixels, order);
}

__attribute__((target("avx2"))) inline __m256i swapRedBlue(__m256i pixels) {
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, //
                                           2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    return _mm256_shuffle_epi8(pixels, order);
}

__attribute__((target("ssse3"))) void convertRowSsse3(const uint8_t *source, uint8_t *target,
                                                      int pixels) {
    int i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(target + i * 4), swapRedBlue(in));
    }
    convertPixelsScalar(source + i * 4, target + i * 4, pixels - i);
}

__attribute__((target("ssse3"))) bool convertCompareRowSsse3(const uint8_t *source, uint8_t *target,
                                                             const uint8_t *reference, int pixels) {
    __m128i difference = _mm_setzero_si128();
    int i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i * 4));
        const __m128i out = swapRedBlue(in);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(target + i * 4), out);
        const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i *>(reference + i * 4));
        difference = _mm_or_si128(difference, _mm_xor_si128(out, old));
    }
    const bool headEqual =
        _mm_movemask_epi8(_mm_cmpeq_epi8(difference, _mm_setzero_si128())) == 0xFFFF;
    const bool tailEqual =
        convertComparePixelsScalar(source + i * 4, target + i * 4, reference + i * 4, pixels - i);
    return headEqual && tailEqual;
}

__attribute__((target("avx2"))) void convertRowAvx2(const uint8_t *source, uint8_t *target,
                                                    int pixels) {
    int i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(source + i * 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(target + i * 4), swapRedBlue(in));
    }
    convertPixelsScalar(source + i * 4, target + i * 4, pixels - i);
}

__attribute__((target("avx2"))) bool convertCompareRowAvx2(const uint8_t *source, uint8_t *target,
                                                           const uint8_t *reference, int pixels) {
    __m256i difference = _mm256_setzero_si256();
    int i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(source + i * 4));
        const __m256i out = swapRedBlue(in);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(target + i * 4), out);
        const __m256i old =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i * 4));
        difference = _mm256_or_si256(difference, _mm256_xor_si256(out, old));
    }
    const bool headEqual = _mm256_testz_si256(difference, difference) != 0;
    const bool tailEqual =
        convertComparePixelsScalar(source + i * 4, target + i * 4, reference + i * 4, pixels - i);
    return headEqual && tailEqual;
}

// Two vectors per step with one test, so an unchanged row costs little more than reading both.
__attribute__((target("ssse3"))) bool compareRowSsse3(const uint8_t *source,
                                                      const uint8_t *reference, int pixels) {
    __m128i difference = _mm_setzero_si128();
    int i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i * 4));
        const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i *>(reference + i * 4));
        difference = _mm_or_si128(difference, _mm_xor_si128(swapRedBlue(in), old));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(difference, _mm_setzero_si128())) == 0xFFFF &&
           comparePixelsScalar(source + i * 4, reference + i * 4, pixels - i);
}

__attribute__((target("avx2"))) bool compareRowAvx2(const uint8_t *source, const uint8_t *reference,
                                                    int pixels) {
    __m256i difference = _mm256_setzero_si256();
    int i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const auto *in = reinterpret_cast<const __m256i *>(source + i * 4);
        const auto *old = reinterpret_cast<const __m256i *>(reference + i * 4);
        const __m256i a =
            _mm256_xor_si256(swapRedBlue(_mm256_loadu_si256(in)), _mm256_loadu_si256(old));
        const __m256i b =
            _mm256_xor_si256(swapRedBlue(_mm256_loadu_si256(in + 1)), _mm256_loadu_si256(old + 1));
        difference = _mm256_or_si256(difference, _mm256_or_si256(a, b));
    }
    for (; i + 8 <= pixels; i += 8) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(source + i * 4));
        const __m256i old =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i * 4));
        difference = _mm256_or_si256(difference, _mm256_xor_si256(swapRedBlue(in), old));
    }
    return _mm256_testz_si256(difference, difference) != 0 &&
           comparePixelsScalar(source + i * 4, reference + i * 4, pixels - i);
}

} // namespace

RowKernels ssse3Kernels() {
    return {convertRowSsse3, convertCompareRowSsse3, compareRowSsse3};
}
RowKernels avx2Kernels() {
    return {convertRowAvx2, convertCompareRowAvx2, compareRowAvx2};
}

} // namespace detail
} // namespace KEL

#endif
