// Every mode through processFrame (ring copy included) at 320x240, 640x480 and 1280x1280, and
// the floor: the ring copy plus one pass that reads the frame and writes the surface. The modes
// run in a core as the Windows program has it (capacity 1280x1280), with the table a core takes
// by default (PIXELWELL_KERNELS caps it); the floor always with the widest table the CPU has, so
// that it is the same whichever table the modes use.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

#include "bench_frames.h"
#include "dispatcher.h"
#include "kernels.h"
#include "operations.h"
#include "test_picture.h"

namespace pixelwell::bench {

const Clip& clipOf(int32_t width, int32_t height) {
    static std::map<std::pair<int32_t, int32_t>, std::unique_ptr<Clip>> clips;
    auto& clip = clips[{width, height}];
    if (!clip) {
        clip = std::make_unique<Clip>(Clip{width, height, {}});
        for (uint32_t n = 0; n < 8; ++n) {
            clip->frames.emplace_back(static_cast<size_t>(width) * height * 3);
            simcam::renderPicture(simcam::Picture::MovingShapes, width, height, n, clip->frames.back().data());
        }
    }
    return *clip;
}

uint8_t* benchSurface() {
    alignas(64) static uint8_t surface[kSurfaceBytes];
    return surface;
}

namespace {

const int32_t kSizes[][2] = {{320, 240}, {640, 480}, {1280, 1280}};

// Eight frames first (the ring and the cut search settle), then the clip's frames timed in turn.
void timeFrames(benchmark::State& state, Core& core, const Clip& clip) {
    const auto length = static_cast<int32_t>(clip.frames[0].size());
    size_t n = 0;
    for (int k = 0; k < 8; ++k) processFrame(core, clip.frames[n++ % 8].data(), length);
    for (auto _ : state) {
        benchmark::DoNotOptimize(processFrame(core, clip.frames[n++ % 8].data(), length));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{length});
    state.SetLabel(core.kernels->name);
}

void runMode(benchmark::State& state, int32_t mode, int32_t width, int32_t height) {
    const Clip& clip = clipOf(width, height);
    Core core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
    lendSurface(core, benchSurface());
    setFrameGeometry(core, width, height);
    selectProcessingMode(core, mode);
    timeFrames(state, core, clip);
}

// Kernels of the kernel mode: custom ones whose values stay within +-2040 (the single pass in
// 16-bit lanes, or 32-bit sums for the Gaussian 5x5), and ones whose values go beyond.
struct BenchKernel {
    const char* name;
    ConvolutionKernel kernel;
};
const BenchKernel kBenchKernels[] = {
    {"sharpen3", {3, 1, {{0, -1, 0}, {-1, 5, -1}, {0, -1, 0}}}},
    {"emboss3", {3, 1, {{-2, -1, 0}, {-1, 1, 1}, {0, 1, 2}}}},
    {"gauss3", {3, 16, {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}}}},
    {"diagonal5", {5, 3, {{2, 1, 0, 0, 0}, {1, 2, 1, 0, 0}, {0, 1, 0, -1, 0}, {0, 0, -1, -2, -1}, {0, 0, 0, -1, -2}}}},
    {"gauss5", {5, 256, {{1, 4, 6, 4, 1}, {4, 16, 24, 16, 4}, {6, 24, 36, 24, 6}, {4, 16, 24, 16, 4}, {1, 4, 6, 4, 1}}}},
    {"large3", {3, 1, {{-100, -200, -100}, {0, 0, 0}, {100, 200, 100}}}},
    {"large5", {5, 7, {{900, -1000, 0, 3, 7}, {0, 0, 0, 0, 0}, {5, 5, 5, 5, 5}, {-1000, -1000, 0, 1000, 1000}, {1, 2, 3, 4, 5}}}},
};

void runKernel(benchmark::State& state, ConvolutionKernel kernel, int32_t width, int32_t height) {
    const Clip& clip = clipOf(width, height);
    Core core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
    lendSurface(core, benchSurface());
    setFrameGeometry(core, width, height);
    setKernel(core, kernel);
    selectKernelMode(core);
    timeFrames(state, core, clip);
}

void runFloor(benchmark::State& state, int32_t width, int32_t height) {
    const Clip& clip = clipOf(width, height);
    Core core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
    lendSurface(core, benchSurface());
    setFrameGeometry(core, width, height);
    const auto length = static_cast<int32_t>(clip.frames[0].size());
    const KernelTable& widest = avx2Kernels()    ? *avx2Kernels()
                                : ssse3Kernels() ? *ssse3Kernels()
                                : sse2Kernels()  ? *sse2Kernels()
                                                 : scalarKernels();
    size_t n = 0;
    for (auto _ : state) {
        const uint8_t* frame = clip.frames[n % 8].data();
        storeFrame(core, frame, length, static_cast<int32_t>(++n & 7));
        for (int32_t i = 0; i < height; ++i)
            widest.copyRow(frame + static_cast<size_t>(i) * width * 3, surfaceRow(core, i, height), width);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{length});
    state.SetLabel(widest.name);
}

}  // namespace
}  // namespace pixelwell::bench

int main(int argc, char** argv) {
    using namespace pixelwell;
    using namespace pixelwell::bench;
    for (const auto& size : kSizes) {
        const std::string suffix = "/" + std::to_string(size[0]) + "x" + std::to_string(size[1]);
        benchmark::RegisterBenchmark(("floor" + suffix).c_str(), runFloor, size[0], size[1])
            ->Unit(benchmark::kMillisecond);
        for (const ModeInfo& info : ModeTable) {
            if (info.id == kModeNone) continue;
            benchmark::RegisterBenchmark((std::string("mode/") + info.name + suffix).c_str(), runMode, info.id,
                                         size[0], size[1])
                ->Unit(benchmark::kMillisecond);
        }
        for (const BenchKernel& k : kBenchKernels)
            benchmark::RegisterBenchmark((std::string("kernel/") + k.name + suffix).c_str(), runKernel, k.kernel,
                                         size[0], size[1])
                ->Unit(benchmark::kMillisecond);
    }
    registerPassBenchmarks();
#ifdef PIXELWELL_BENCH_OPENCV
    registerOpenCvBenchmarks();
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
