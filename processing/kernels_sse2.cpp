// SSE2 row kernels, the x86-64 baseline: every 64-bit x86 CPU runs them.
#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels.h"

namespace pixelwell {

namespace {

#include "kernels_sse_v.inl"

}  // namespace
}  // namespace pixelwell

#include "kernels_simd.inl"

namespace pixelwell {

namespace {

// The tone map's two divisions as multiply-shifts (exact for these operands: see toneRow in
// kernels_avx2.cpp), in plain 32-bit arithmetic that the compiler spreads over SSE2 lanes.
void toneRow(const int16_t* values, const ToneMap* map, uint8_t* surface, int width) {
    if (map->raw) {
        scalarKernels().toneRow(values, map, surface, width);
        return;
    }
    const int32_t span = map->high - map->low;
    for (int j = 0; j < width; ++j) {
        int32_t t = values[j] - map->minimum;
        t = t < 0 ? 0 : t > map->range ? map->range : t;
        const auto level = static_cast<int32_t>((static_cast<uint32_t>(t) * map->rangeMultiplier) >> 24);
        int32_t u = level - map->low;
        u = u < 0 ? 0 : u > span ? span : u;
        const uint32_t out = (static_cast<uint32_t>(u) * map->stretchMultiplier) >> 24;
        const uint32_t pixel = out * 0x010101u;
        std::memcpy(surface + 4 * j, &pixel, 4);
    }
}

// The 24-bit shuffles (copy, invert, gray, difference) need byte shuffles that SSE2 lacks;
// there the scalar kernels are used.
KernelTable makeTable() {
    KernelTable t = sharedVectorTable("sse2");
    t.toneRow = toneRow;
    return t;
}

}  // namespace

const KernelTable* sse2Kernels() {
    static const KernelTable table = makeTable();
    return &table;
}

}  // namespace pixelwell
