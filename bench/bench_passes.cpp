// The passes a filtered frame is made of, each alone over a 640x480 or a 1280x1280 frame's
// rows, with the table a core takes by default (PIXELWELL_KERNELS caps it): where a filter's time
// goes, next to the floor's two parts. Alone, a pass has the memory to itself; in the frame the passes
// share it, and the tally runs between the rows.
// Run: build/bench/bench/pixelwell-bench --benchmark_filter=pass/
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "kernels.h"

namespace pixelwell::bench {
namespace {

// The table a core takes by default.
const KernelTable& kernels() { return selectKernels(); }

constexpr int16_t kLaplacianA[9] = {0, -1, 0, -1, 4, -1, 0, -1, 0};

// The pass's data for one frame size, reused across iterations like a frame's would be
// across frames.
struct Planes {
    int32_t w, h;
    const uint8_t* frame = clipOf(w, h).frames[0].data();
    std::vector<uint8_t> slot = std::vector<uint8_t>(w * h * 3);
    std::vector<uint8_t> gray = std::vector<uint8_t>(w * h + 64);
    std::vector<int16_t> values = std::vector<int16_t>(w * h + 64);
    std::vector<int16_t> columns = std::vector<int16_t>(w + 64);
    Planes(int32_t width, int32_t height) : w(width), h(height) {
        for (int32_t i = 0; i < h; ++i) kernels().grayRow(frame + i * w * 3, gray.data() + i * w, w);
        // Laplacian A's values of the clip's frame: what the tally and the tone map see.
        for (int32_t i = 1; i < h - 1; ++i)
            kernels().convolve3x3Row(gray.data() + (i - 1) * w, gray.data() + i * w, gray.data() + (i + 1) * w,
                                   kLaplacianA, 1, values.data() + i * w, w);
    }
};

// The frame size of the benchmark running now, set by its registration.
struct Size {
    int32_t width, height;
} Running{640, 480};

Planes& planes() {
    static std::map<int64_t, Planes> sizes;
    return sizes.try_emplace(int64_t{Running.width} << 32 | Running.height, Running.width, Running.height)
        .first->second;
}

void finish(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * Running.width * Running.height);
    state.SetLabel(kernels().name);
}

// The floor's ring copy.
void ringCopy(benchmark::State& state) {
    Planes& p = planes();
    for (auto _ : state) {
        std::memcpy(p.slot.data(), p.frame, p.slot.size());
        benchmark::ClobberMemory();
    }
    finish(state);
}

// The floor's copy pass: the frame read, the surface written.
void copyPass(benchmark::State& state) {
    Planes& p = planes();
    uint8_t* surface = benchSurface();
    for (auto _ : state) {
        for (int32_t i = 0; i < p.h; ++i) kernels().copyRow(p.frame + i * p.w * 3, surface + i * p.w * 4, p.w);
        benchmark::ClobberMemory();
    }
    finish(state);
}

// Gray rows with the slot stored plainly from the same loads (as the filters store it at
// 640x480), over the frame's first `rows` rows again and again: all of them (from memory), or
// eight (all in the L1 cache; as fast as from memory means the pass is bound by its arithmetic).
void grayRowsOver(benchmark::State& state, int32_t rows) {
    Planes& p = planes();
    std::vector<uint8_t> row(p.w + 64);
    for (auto _ : state) {
        for (int32_t i = 0; i < p.h; ++i)
            kernels().grayCopyRow(p.frame + i % rows * p.w * 3, row.data(), p.slot.data() + i % rows * p.w * 3, p.w);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void grayRows(benchmark::State& state) { grayRowsOver(state, planes().h); }
void grayRowsInCache(benchmark::State& state) { grayRowsOver(state, 8); }

void laplacianRows(benchmark::State& state) {
    Planes& p = planes();
    const Convolve3x3Row row = kernels().convolve3x3For(kLaplacianA, 1);
    for (auto _ : state) {
        for (int32_t i = 1; i < p.h - 1; ++i)
            row(p.gray.data() + (i - 1) * p.w, p.gray.data() + i * p.w, p.gray.data() + (i + 1) * p.w,
                kLaplacianA, 1, p.values.data() + i * p.w, p.w);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void lowPass5Rows(benchmark::State& state) {
    Planes& p = planes();
    std::vector<int16_t> out(p.values.size());
    for (auto _ : state) {
        for (int32_t i = 2; i < p.h - 2; ++i) {
            const uint8_t* rows[6];
            for (int32_t k = 0; k < 6; ++k) rows[k] = p.gray.data() + std::max(0, i - 3 + k) * p.w;  // [0]: fresh
            kernels().lowPass5Row(rows, p.columns.data(), i == 2, out.data() + i * p.w, p.w);
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
        for (int32_t i = 1; i + 1 < p.h - 1; i += 2) kernels().tallyRow(p.values.data() + i * p.w, 2 * p.w, &t);
        benchmark::DoNotOptimize(t);
    }
    finish(state);
}

void toneMap(benchmark::State& state) {
    Planes& p = planes();
    uint8_t* surface = benchSurface();
    const ToneMap map{false, -1020, 2040, 100, 150, toneMultiplier(2040), toneMultiplier(50), true};
    for (auto _ : state) {
        for (int32_t i = 0; i < p.h; ++i)
            kernels().toneRow(p.values.data() + i * p.w, &map, surface + i * p.w * 4, p.w);
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
        for (const Size size : {Size{640, 480}, Size{1280, 1280}}) {
            const std::string name = "pass/" + std::string(pass.name) + "/" + std::to_string(size.width) + "x" +
                                     std::to_string(size.height);
            benchmark::RegisterBenchmark(name.c_str(), [run = pass.run, size](benchmark::State& state) {
                Running = size;
                run(state);
            })->Unit(benchmark::kMicrosecond);
        }
}

}  // namespace pixelwell::bench
