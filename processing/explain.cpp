#include "explain.h"

#include "dispatcher.h"

namespace pixelwell {

namespace {

int32_t framesCombined(int32_t mode) {
    switch (mode) {
        case kModeAverage2: return 2;
        case kModeAverage4: return 4;
        case kModeAverage8: return 8;
        case kModeFrameDiff: return 2;
        default: return 1;
    }
}

void explainStretch(const Core& core, Explanation& out, int32_t pixels) {
    const StretchCuts cuts = stretchCuts(core, pixels);
    out.cutLow = cuts.low;
    out.cutHigh = cuts.high;
    out.stretched = cuts.low < cuts.high;
    if (!out.stretched) return;
    out.levels = core.LevelTable;
    for (int32_t level = 0; level <= 255; ++level) {
        if (level <= cuts.low) out.clippedLow += core.Histogram[level];
        if (level >= cuts.high) out.clippedHigh += core.Histogram[level];
    }
}

void explainThreshold(const Core& core, Explanation& out, int32_t pixels) {
    out.levels = core.LevelTable;
    int32_t sum = 0;
    for (int32_t level = 0; level <= 255; ++level) {
        sum += core.Histogram[level];
        if (sum >= pixels / 2) {
            out.threshold = level;
            return;
        }
    }
}

}  // namespace

bool explainFrame(Core& core, Explanation& out) {
    out = Explanation{};
    out.frame = core.LastDelivered.frame;
    out.mode = core.LastDelivered.mode;
    out.kernelMode = core.LastDelivered.kernelMode;
    out.range = {1, 0};
    out.cutLow = out.cutHigh = out.threshold = -1;
    for (int32_t level = 0; level <= 255; ++level) out.levels[level] = static_cast<uint8_t>(level);
    out.kernel = out.kernelMode ? &core.LastKernel : kernelForMode(out.mode);
    out.frameCount = framesCombined(out.mode);
    for (int32_t n = 0; n < out.frameCount; ++n) out.frames[n] = static_cast<int64_t>(out.frame) - n;
    out.reference = core.ReferenceTakenAt;

    int32_t width, height;
    out.drawn = out.frame > 0 && (out.kernelMode || modeSelectsOperation(out.mode)) && drawableGeometry(core, width, height) &&
                core.LastDelivered.length >= width * height * 3;
    if (!out.drawn) return false;
    out.width = width;
    out.height = height;
    const int32_t pixels = width * height;
    // The ring holds the frame's bytes as they were delivered, whichever path stored them.
    const uint8_t* frame = core.FrameRing[out.frame & 7u].data();
    if (out.kernel) {
        fillGrayPlane(core, frame);
        out.range = convolveGrayPlane(core, *out.kernel);
        out.counted = toneMapPlane(core, core.ResultPlane, width, height, out.range.minimum, out.range.maximum);
        if (out.counted) explainStretch(core, out, pixels);
    } else if (out.mode == kModeBinarize) {
        out.range = binarizeGrayPlane(core, frame, width, height);
        out.counted = out.range.maximum > out.range.minimum;
        if (out.counted) explainThreshold(core, out, pixels);
    }
    if (out.counted) out.histogram = core.Histogram;
    return true;
}

}  // namespace pixelwell
