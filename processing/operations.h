// The processing operations, written as the operations are defined (the single-pass versions
// of fused_operations.h are tested against them). Each reads its core's FrameGeometry itself and
// draws the whole frame into the display surface's top-left corner; an undrawable geometry or a
// missing surface draws nothing.
#pragma once

#include <cstdint>

#include "frame_store.h"

namespace pixelwell {

// --- colour and temporal -------------------------------------------------------------------
void showNormal(Core& core, const uint8_t* frame);
void showInverted(Core& core, const uint8_t* frame);
// Mean of the current slot and the count - 1 slots before it (count 2, 4 or 8), rounded down.
void showAverage(Core& core, int32_t slot, int32_t count);
// (current - previous + 127) modulo 256 per channel.
void showFrameDifference(Core& core, int32_t slot);
// Takes the incoming frame as the new reference when one is pending.
void captureReference(Core& core, const uint8_t* frame, int32_t length);
// |current - reference| per channel; length is the delivered buffer length, used for the
// reference copy, and the frame is drawn only when it holds the whole geometry.
void showSimpleDifference(Core& core, const uint8_t* frame, int32_t length);
// Small differences (distance <= 18) drawn as themselves, larger ones as the live pixel.
void showDifference(Core& core, const uint8_t* frame, int32_t length);
void showGray(Core& core);

// --- tone mapping ---------------------------------------------------------------------------
struct Range {
    int32_t minimum;
    int32_t maximum;
};

// Maps [minimum, maximum] onto 0..255, stretches the contrast (5 % tails) and shows the plane.
void normalizeResultPlane(Core& core, Plane& plane, int32_t minimum, int32_t maximum);
// The same without showing it: the levels counted in the Histogram and, where the cuts allow a
// stretch, the LevelTable applied. False when the range is empty and nothing was counted.
bool toneMapPlane(Core& core, Plane& plane, int32_t width, int32_t height, int32_t minimum, int32_t maximum);
// Gray conversion, normalisation and a black/white split at the median level.
void binarizeFrame(Core& core, const uint8_t* frame);
// The same without showing the GrayPlane; returns the gray range it normalised ({1, 0}: none).
Range binarizeGrayPlane(Core& core, const uint8_t* frame, int32_t width, int32_t height);
// The stretch's lower and upper cut for the Histogram of pixelCount levels (5 % tails).
struct StretchCuts {
    int32_t low;
    int32_t high;
};
StretchCuts stretchCuts(const Core& core, int32_t pixelCount);
// LevelTable <- the contrast stretch for the Histogram of pixelCount levels (5 % tails);
// false, and the table untouched, when the two cuts meet or cross.
bool buildStretchTable(Core& core, int32_t pixelCount);
// LevelTable <- 255 from the first level at which half the pixelCount is reached, else 0.
void buildMedianTable(Core& core, int32_t pixelCount);

// --- convolution ----------------------------------------------------------------------------
// ResultPlane <- the kernel over the GrayPlane, border cells 0; the range of interior values
// ({1, 0} when there is none).
Range convolveGrayPlane(Core& core, const ConvolutionKernel& kernel);
// The kernel of a convolution mode (1411..1434), or null.
const ConvolutionKernel* kernelForMode(int32_t mode);
// The convolution mode whose kernel this is (size, the weights within it, divisor), or 0.
int32_t modeOfKernel(const ConvolutionKernel& kernel);
// True for a kernel the kernel mode takes: size 3 or 5, weights within +-kMaxKernelWeight (those
// outside the size 0), divisor 1..kMaxKernelDivisor.
bool validKernel(const ConvolutionKernel& kernel);
// The smallest and largest filter value (after the divisor) the kernel can give over gray
// levels 0..255.
Range kernelValueRange(const ConvolutionKernel& kernel);
// convolveGrayPlane followed by normalizeResultPlane.
void runConvolution(Core& core, const ConvolutionKernel& kernel);

// --- rank and mean --------------------------------------------------------------------------
void filterMinimum3x3(Core& core);
void filterMaximum3x3(Core& core);
void filterMedian3x3(Core& core);
void filterMean3x3(Core& core);

}  // namespace pixelwell
