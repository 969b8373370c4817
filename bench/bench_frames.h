// Camera-like input shared by the benchmarks: eight consecutive frames of the moving-shapes
// picture (mild sensor noise), so the ring and the temporal modes see real change.
#pragma once

#include <cstdint>
#include <vector>

namespace pixelwell::bench {

struct Clip {
    int32_t width;
    int32_t height;
    std::vector<std::vector<uint8_t>> frames;
};

const Clip& clipOf(int32_t width, int32_t height);

// The output bitmap the benchmarks draw into.
uint8_t* benchSurface();

void registerOpenCvBenchmarks();

// Each pass of a filtered frame alone (pass/...), not part of scripts/bench's tables.
void registerPassBenchmarks();

}  // namespace pixelwell::bench
