// Runs one mode through processFrame over the benchmarks' frames, for instruction counts
// (scripts/count-instructions runs it under callgrind).
// Eight frames first (the ring and the cut search settle), then the given number counted.
// PIXELWELL_KERNELS caps the table as everywhere. The core is the Windows program's, 1280x1280;
// PIXELWELL_CAPACITY=frame makes it the frame's size instead (the counts are the same).
// MODE may be the kernel mode's kernel: kernel=ROWS or kernel=ROWS:DIVISOR (ROWS as --kernel
// takes them).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "fused_operations.h"
#include "kernel_syntax.h"
#include "kernels.h"
#include "test_picture.h"

// Only the frames after the first eight: callgrind collects inside this function.
__attribute__((noinline)) void countedFrames(pixelwell::Core& core, const std::vector<std::vector<uint8_t>>& clip,
                                             int32_t frames) {
    const auto length = static_cast<int32_t>(clip[0].size());
    for (int32_t n = 0; n < frames; ++n) pixelwell::processFrame(core, clip[n % 8].data(), length);
}

int main(int argc, char** argv) {
    using namespace pixelwell;
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s MODE|kernel=ROWS[:DIVISOR] WIDTH HEIGHT FRAMES\n", argv[0]);
        return 2;
    }
    int32_t mode = 0;
    for (const ModeInfo& info : ModeTable)
        if (std::strcmp(info.name, argv[1]) == 0) mode = info.id;
    ConvolutionKernel kernel{3, 1, {}};
    const bool kernelMode = std::strncmp(argv[1], "kernel=", 7) == 0;
    if (kernelMode) {
        std::string text = argv[1] + 7, error;
        const size_t colon = text.find(':');
        if (colon != std::string::npos) kernel.divisor = std::atoi(text.c_str() + colon + 1);
        if (!parseKernelRows(text.substr(0, colon), kernel, error) || !validKernel(kernel)) {
            std::fprintf(stderr, "%s: bad kernel %s: %s\n", argv[0], argv[1], error.c_str());
            return 2;
        }
        mode = kModeKernel;
    }
    const int32_t width = std::atoi(argv[2]), height = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    if ((!kernelMode && !modeSelectsOperation(mode)) || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        frames < 1) {
        std::fprintf(stderr, "%s: no such mode, or a size or frame count out of range\n", argv[0]);
        return 2;
    }
    std::vector<std::vector<uint8_t>> clip;
    for (uint32_t n = 0; n < 8; ++n) {
        clip.emplace_back(static_cast<size_t>(width) * height * 3);
        simcam::renderPicture(simcam::Picture::MovingShapes, width, height, n, clip.back().data());
    }
    const char* capacity = std::getenv("PIXELWELL_CAPACITY");
    const bool frameSized = capacity && std::strcmp(capacity, "frame") == 0;
    Core core(frameSized ? FrameSize{width, height} : FrameSize{kMaxSide, kMaxSide});
    setFrameGeometry(core, width, height);
    if (kernelMode) {
        setKernel(core, kernel);
        selectKernelMode(core);
    } else {
        selectProcessingMode(core, mode);
    }
    const auto length = static_cast<int32_t>(clip[0].size());
    for (int32_t n = 0; n < 8; ++n) processFrame(core, clip[n].data(), length);
    const CutValues cutsBefore = core.LastCutValues;
    const MedianGray medianBefore = core.LastMedian;
    countedFrames(core, clip, frames);
    // How often the ranked values' search counted again (filters) or the median's (binarisation).
    const CutValues& cuts = core.LastCutValues;
    const MedianGray& median = core.LastMedian;
    const uint32_t recounts = cuts.recounts - cutsBefore.recounts + median.recounts - medianBefore.recounts;
    const uint32_t full = cuts.fullCounts - cutsBefore.fullCounts + median.fullCounts - medianBefore.fullCounts;
    std::printf("%s %dx%d, %d frames counted, %s table; counted again on %u, every value on %u\n", argv[1], width,
                height, frames, core.kernels->name, recounts, full);
    return 0;
}
