#include "stages.h"

#include <algorithm>
#include <cstring>

#include "dispatcher.h"

namespace pixelwell {

bool modeHasStage(int32_t mode, bool kernelMode, Stage stage) {
    const bool filter = kernelMode || kernelForMode(mode) != nullptr;
    if (stage != Stage::Gray) return filter;
    return filter || mode == kModeGray || (mode >= kModeMinimum && mode <= kModeMean);
}

uint8_t levelBeforeStretch(int32_t value, Range range) {
    const int64_t span = static_cast<int64_t>(range.maximum) - range.minimum;
    if (span <= 0) return static_cast<uint8_t>(value);  // shown unnormalised
    // As the tone mapping computes it, in 64 bits (the kernel mode's values reach +-6,375,000).
    const int64_t level = (static_cast<int64_t>(value) - range.minimum) * 255 / span;
    return static_cast<uint8_t>(std::clamp<int64_t>(level, 0, 255));
}

bool makeStages(Core& core, FrameStages& out) {
    out = FrameStages{0, 0, false, {1, 0}};
    const DeliveredFrame& last = core.LastDelivered;
    if (last.frame == 0 || !modeHasStage(last.mode, last.kernelMode, Stage::Gray)) return false;
    int32_t width, height;
    if (!drawableGeometry(core, width, height) || last.length < width * height * 3) return false;
    out.width = width;
    out.height = height;
    // The ring holds the frame's bytes as they were delivered, whichever path stored them.
    fillGrayPlane(core, core.FrameRing[last.frame & 7u].data());
    const ConvolutionKernel* kernel = last.kernelMode ? &core.LastKernel : kernelForMode(last.mode);
    if (kernel) {
        out.filtered = true;
        out.range = convolveGrayPlane(core, *kernel);
    }
    return true;
}

void copyStage(const Core& core, const FrameStages& stages, Stage stage, bool topDown, uint8_t* out) {
    const int32_t width = stages.width, height = stages.height;
    for (int32_t r = 0; r < height; ++r) {
        const int32_t i = topDown ? height - 1 - r : r;
        const int32_t* gray = planeRow(core.GrayPlane, i, height);
        const int32_t* values = planeRow(core.ResultPlane, i, height);
        uint8_t* row = out + static_cast<size_t>(r) * width * stageBytes(stage);
        switch (stage) {
            case Stage::Gray:
                for (int32_t j = 0; j < width; ++j) row[j] = static_cast<uint8_t>(gray[j]);
                break;
            case Stage::Values: std::memcpy(row, values, static_cast<size_t>(width) * 4); break;
            case Stage::Levels:
                for (int32_t j = 0; j < width; ++j) row[j] = levelBeforeStretch(values[j], stages.range);
                break;
        }
    }
}

}  // namespace pixelwell
