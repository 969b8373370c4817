// What the operation used on the frame just processed: the numbers a lesson shows beside the
// picture (the filter values' range, the histogram and its cuts, the level table, the median
// threshold, the frames an average or a difference combined).
#pragma once

#include <array>
#include <cstdint>

#include "operations.h"

namespace pixelwell {

struct Explanation {
    uint32_t frame;   // FrameCounter of the frame explained (0: none processed yet)
    int32_t mode;     // the mode it was processed in
    bool kernelMode;  // processed in the kernel mode (mode is then kModeKernel)
    int32_t width;
    int32_t height;
    bool drawn;       // the operation drew it: a whole frame of a size that can be drawn
    const ConvolutionKernel* kernel;  // the filter's kernel (the kernel mode's as it was then), or null

    // Filters: their values' range; binarisation: the gray levels' range ({1, 0}: none).
    Range range;
    // The normalised levels counted, border pixels included, as the Histogram holds them
    // (false, and all zero, when the range is empty and nothing is counted).
    bool counted;
    std::array<int32_t, 256> histogram;
    // Filters: the stretch's two cuts, in normalised levels (-1 when nothing was counted);
    // stretched when they leave room for a stretch (low < high).
    int32_t cutLow;
    int32_t cutHigh;
    bool stretched;
    // The level each normalised level is shown at: the stretch, the binarisation's black and
    // white, or the identity where no table was applied.
    std::array<uint8_t, 256> levels;
    int32_t clippedLow;   // pixels the stretch sent to black
    int32_t clippedHigh;  // pixels the stretch sent to white
    // Binarisation: the lowest level whose cumulative count reaches half the pixels (-1: none).
    int32_t threshold;

    // Averages and the frame difference: the frames combined, newest first, by FrameCounter (a
    // number below 1 is a slot that still holds the black it started with).
    int32_t frameCount;
    std::array<int64_t, 8> frames;
    // The two reference modes: the frame the reference was taken from (0: the black of start-up).
    uint32_t reference;
};

// Explains the last frame the core was handed by processFrame (or processFramePlain) in the mode
// it was processed in; false when that mode drew nothing from it. It recomputes what the plain
// operations compute, so it takes far longer than a frame; it reads the ring and uses the
// plain operations' scratch records (GrayPlane, ResultPlane, Histogram, LevelTable), and leaves
// the ring, the counter, the reference, the mode and the surface as they were.
bool explainFrame(Core& core, Explanation& out);

}  // namespace pixelwell
