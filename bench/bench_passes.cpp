// The passes a filtered frame is made of, each alone over a 640x480 frame's rows, with the
// table chosen at start-up (PIXELWELL_KERNELS caps it): where a filter's time goes, next to
// the floor's two parts. Alone, a pass has the memory to itself; in the frame the passes
// share it, and the tally runs between the rows.
// Run: build/bench/bench/pixelwell-bench --benchmark_filter=pass/
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "kernels.h"

namespace pixelwell::bench {
namespace {

constexpr int32_t kWidth = 640, kHeight = 480;
constexpr int16_t kLaplacianA[9] = {0, -1, 0, -1, 4, -1, 0, -1, 0};

// The pass's data, reused across iterations like a frame's would be across frames.
struct Planes {
    std::vector<uint8_t> slot = std::vector<uint8_t>(kWidth * kHeight * 3);
    std::vector<uint8_t> gray = std::vector<uint8_t>(kWidth * kHeight + 64);
    std::vector<int16_t> values = std::vector<int16_t>(kWidth * kHeight + 64);
    std::vector<int16_t> columns = std::vector<int16_t>(kWidth + 64);
    Planes() {
        const Clip& clip = clipOf(kWidth, kHeight);
        for (int32_t i = 0; i < kHeight; ++i)
            kernels.grayRow(clip.frames[0].data() + i * kWidth * 3, gray.data() + i * kWidth, kWidth);
        // Laplacian A's values of the clip's frame: what the tally and the tone map see.
        for (int32_t i = 1; i < kHeight - 1; ++i)
            kernels.convolve3x3Row(gray.data() + (i - 1) * kWidth, gray.data() + i * kWidth,
                                   gray.data() + (i + 1) * kWidth, kLaplacianA, 1, values.data() + i * kWidth, kWidth);
    }
};

Planes& planes() {
    static Planes p;
    return p;
}

void finish(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
    state.SetLabel(kernels.name);
}

// The floor's ring copy.
void ringCopy(benchmark::State& state) {
    const uint8_t* frame = clipOf(kWidth, kHeight).frames[0].data();
    Planes& p = planes();
    for (auto _ : state) {
        std::memcpy(p.slot.data(), frame, p.slot.size());
        benchmark::ClobberMemory();
    }
    finish(state);
}

// The floor's copy pass: the frame read, the surface written.
void copyPass(benchmark::State& state) {
    const uint8_t* frame = clipOf(kWidth, kHeight).frames[0].data();
    uint8_t* surface = benchSurface();
    for (auto _ : state) {
        for (int32_t i = 0; i < kHeight; ++i) kernels.copyRow(frame + i * kWidth * 3, surface + i * kWidth * 4, kWidth);
        benchmark::ClobberMemory();
    }
    finish(state);
}

// Gray rows with the slot stored from the same loads, as the filters make them at this size,
// over the frame's first `rows` rows again and again: all of them (from memory), or eight (all
// in the L1 cache; as fast as from memory means the pass is bound by its arithmetic).
void grayRowsOver(benchmark::State& state, int32_t rows) {
    const uint8_t* frame = clipOf(kWidth, kHeight).frames[0].data();
    Planes& p = planes();
    std::vector<uint8_t> row(kWidth + 64);
    for (auto _ : state) {
        for (int32_t i = 0; i < kHeight; ++i)
            kernels.grayCopyRow(frame + i % rows * kWidth * 3, row.data(), p.slot.data() + i % rows * kWidth * 3,
                                kWidth);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void grayRows(benchmark::State& state) { grayRowsOver(state, kHeight); }
void grayRowsInCache(benchmark::State& state) { grayRowsOver(state, 8); }

void laplacianRows(benchmark::State& state) {
    Planes& p = planes();
    const Convolve3x3Row row = kernels.convolve3x3For(kLaplacianA, 1);
    for (auto _ : state) {
        for (int32_t i = 1; i < kHeight - 1; ++i)
            row(p.gray.data() + (i - 1) * kWidth, p.gray.data() + i * kWidth, p.gray.data() + (i + 1) * kWidth,
                kLaplacianA, 1, p.values.data() + i * kWidth, kWidth);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void lowPass5Rows(benchmark::State& state) {
    Planes& p = planes();
    std::vector<int16_t> out(p.values.size());
    for (auto _ : state) {
        for (int32_t i = 2; i < kHeight - 2; ++i) {
            const uint8_t* rows[6];
            for (int32_t k = 0; k < 6; ++k) rows[k] = p.gray.data() + std::max(0, i - 3 + k) * kWidth;  // [0]: fresh
            kernels.lowPass5Row(rows, p.columns.data(), i == 2, out.data() + i * kWidth, kWidth);
        }
        benchmark::ClobberMemory();
    }
    finish(state);
}

// A steady frame's tally (two thresholds around each ranked value), two rows a call.
void tally(benchmark::State& state) {
    Planes& p = planes();
    for (auto _ : state) {
        ValueTally t{};
        t.count = 4;
        const int16_t thresholds[4] = {-60, -59, 60, 61};
        std::memcpy(t.thresholds, thresholds, sizeof thresholds);
        t.minimum = INT16_MAX;
        t.maximum = INT16_MIN;
        for (int32_t i = 1; i + 1 < kHeight - 1; i += 2) kernels.tallyRow(p.values.data() + i * kWidth, 2 * kWidth, &t);
        benchmark::DoNotOptimize(t);
    }
    finish(state);
}

void toneMap(benchmark::State& state) {
    Planes& p = planes();
    uint8_t* surface = benchSurface();
    const ToneMap map{false, -1020, 2040, 100, 150, toneMultiplier(2040), toneMultiplier(50), true};
    for (auto _ : state) {
        for (int32_t i = 0; i < kHeight; ++i)
            kernels.toneRow(p.values.data() + i * kWidth, &map, surface + i * kWidth * 4, kWidth);
        benchmark::ClobberMemory();
    }
    finish(state);
}

}  // namespace

void registerPassBenchmarks() {
    const struct {
        const char* name;
        void (*run)(benchmark::State&);
    } passes[] = {{"ring-copy", ringCopy},
                  {"copy-pass", copyPass},
                  {"gray-rows", grayRows},
                  {"gray-rows-in-cache", grayRowsInCache},
                  {"laplacian-a-rows", laplacianRows},
                  {"lowpass5-rows", lowPass5Rows},
                  {"tally", tally},
                  {"tone-map", toneMap}};
    for (const auto& pass : passes)
        benchmark::RegisterBenchmark((std::string("pass/") + pass.name + "/640x480").c_str(), pass.run)
            ->Unit(benchmark::kMicrosecond);
}

}  // namespace pixelwell::bench
