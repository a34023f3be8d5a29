// Cost of the per-tick frame work on a 1024 x 1024 view, against a plain 4 MiB copy.
// Every figure is per frame; bytes/s counts one frame's 4 MiB per iteration.

#include "FrameTracker.h"
#include "PixelConversion.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace KEL;

constexpr int kSide = 1024;
constexpr std::size_t kFrameBytes = std::size_t(kSide) * kSide * 4;

std::vector<uint8_t> randomBytes(std::size_t count, unsigned seed) {
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < count; i += 4) {
        const uint32_t word = random();
        std::memcpy(&bytes[i], &word, 4);
    }
    return bytes;
}

// A painted page as Qt hands it over: B, G, R, A, top row first, no row padding at this width.
struct Page {
    Page() : bytes(randomBytes(kFrameBytes, 1)) {}
    PagePixels pixels() const { return {bytes.data(), kSide * 4, kSide, kSide}; }
    std::vector<uint8_t> bytes;
};

void countFrames(benchmark::State &state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}

void BM_Memcpy4MiB(benchmark::State &state) {
    const std::vector<uint8_t> source = randomBytes(kFrameBytes, 2);
    std::vector<uint8_t> target(kFrameBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kFrameBytes);
        benchmark::ClobberMemory();
    }
    countFrames(state);
}
BENCHMARK(BM_Memcpy4MiB);

void convertWithPath(benchmark::State &state, ConversionPath path) {
    if (!conversionPathSupported(path)) {
        state.SkipWithError("path not supported by this CPU");
        return;
    }
    const Page page;
    std::vector<uint8_t> texture(kFrameBytes);
    for (auto _ : state) {
        convertPage(path, page.pixels(), {texture.data(), kSide, kSide});
        benchmark::ClobberMemory();
    }
    state.SetLabel(conversionPathName(path));
    countFrames(state);
}

void BM_ConvertScalar(benchmark::State &state) {
    convertWithPath(state, ConversionPath::Scalar);
}
BENCHMARK(BM_ConvertScalar);

void BM_ConvertSsse3(benchmark::State &state) {
    convertWithPath(state, ConversionPath::Ssse3);
}
BENCHMARK(BM_ConvertSsse3);

void BM_ConvertFast(benchmark::State &state) {
    convertWithPath(state, fastestConversionPath());
}
BENCHMARK(BM_ConvertFast);

// Equal frames are the worst case: the comparison cannot stop early.
void BM_CompareEqualFrames(benchmark::State &state) {
    const std::vector<uint8_t> a = randomBytes(kFrameBytes, 3);
    const std::vector<uint8_t> b = a;
    for (auto _ : state)
        benchmark::DoNotOptimize(framesEqual(a.data(), b.data(), kFrameBytes));
    countFrames(state);
}
BENCHMARK(BM_CompareEqualFrames);

// Conversion followed by a separate whole-frame comparison, for contrast with the fused pass.
void BM_ConvertThenCompare(benchmark::State &state) {
    const Page page;
    std::vector<uint8_t> texture(kFrameBytes);
    convertPage(page.pixels(), {texture.data(), kSide, kSide});
    const std::vector<uint8_t> last = texture;
    for (auto _ : state) {
        convertPage(page.pixels(), {texture.data(), kSide, kSide});
        benchmark::DoNotOptimize(framesEqual(texture.data(), last.data(), kFrameBytes));
    }
    countFrames(state);
}
BENCHMARK(BM_ConvertThenCompare);

// What the renderer does every tick for a page that did not change: convert, compare in the
// same pass, count the idle frame.
void BM_TrackUnchangedFrame(benchmark::State &state) {
    const Page page;
    FrameTracker tracker;
    tracker.resize(kSide, kSide, kSide, kSide);
    tracker.trackFrame(page.pixels());
    for (auto _ : state)
        benchmark::DoNotOptimize(tracker.trackFrame(page.pixels()));
    state.SetLabel(conversionPathName(fastestConversionPath()));
    countFrames(state);
}
BENCHMARK(BM_TrackUnchangedFrame);

// A blinking caret: a small area changes every frame, so the scan and the slot placement run.
void BM_TrackSmallChange(benchmark::State &state) {
    Page page;
    FrameTracker tracker;
    tracker.resize(kSide, kSide, kSide, kSide);
    uint8_t shade = 0;
    for (auto _ : state) {
        ++shade;
        for (int row = 500; row < 516; ++row)
            std::memset(&page.bytes[(std::size_t(row) * kSide + 700) * 4], shade, 2 * 4);
        benchmark::DoNotOptimize(tracker.trackFrame(page.pixels()));
    }
    countFrames(state);
}
BENCHMARK(BM_TrackSmallChange);

} // namespace

BENCHMARK_MAIN();
