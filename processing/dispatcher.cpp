#include "dispatcher.h"

#include <cstring>

#include "fused_operations.h"
#include "kernels.h"
#include "operations.h"

namespace pixelwell {

const ModeInfo ModeTable[kModeCount] = {
    {kModeNone, "none", "no processing: frames are only counted and stored"},
    {kModeNormal, "normal", "the frame as it is"},
    {kModeInvert, "invert", "every byte inverted"},
    {kModeAverage2, "average2", "mean of the last 2 frames"},
    {kModeAverage4, "average4", "mean of the last 4 frames"},
    {kModeAverage8, "average8", "mean of the last 8 frames"},
    {kModeFrameDiff, "frame-diff", "difference to the previous frame, 127 = unchanged"},
    {kModeSimpleDiff, "simple-diff", "absolute difference to the reference frame"},
    {kModeDiff, "diff", "live pixels where they differ from the reference frame"},
    {kModeGray, "gray", "gray levels"},
    {kModeLaplacianA, "laplacian-a", "Laplacian over the four direct neighbours"},
    {kModeLaplacianB, "laplacian-b", "Laplacian over all eight neighbours"},
    {kModeLaplacianC, "laplacian-c", "product of the row and column second differences"},
    {kModeSobelX, "sobel-x", "horizontal Sobel gradient"},
    {kModeSobelY, "sobel-y", "vertical Sobel gradient"},
    {kModeLowPass3, "lowpass3", "3x3 low-pass filter"},
    {kModeHighPass3, "highpass3", "3x3 high-pass filter"},
    {kModeLowPass5, "lowpass5", "5x5 low-pass filter"},
    {kModeHighPass5, "highpass5", "5x5 high-pass filter"},
    {kModeMinimum, "min3", "3x3 minimum"},
    {kModeMaximum, "max3", "3x3 maximum"},
    {kModeMedian, "median3", "3x3 median"},
    {kModeMean, "mean3", "3x3 mean"},
    {kModeBinarize, "binarize", "black and white split at the median gray"},
};

bool modeSelectsOperation(int32_t mode) {
    for (const ModeInfo& info : ModeTable)
        if (info.id == mode) return mode != kModeNone;
    return false;
}

void selectProcessingMode(int32_t mode) {
    if (mode == kModeSimpleDiff || mode == kModeDiff) ReferencePending = 1;
    ProcessingMode = mode;
}

void storeFrame(const uint8_t* frame, int32_t length, int32_t slot) {
    if (length <= 0) return;
    // A driver buffer longer than a slot is cut rather than overrunning the ring.
    const int32_t bytes = length < kSlotBytes ? length : kSlotBytes;
    std::memcpy(FrameRing[slot & 7].data(), frame, static_cast<size_t>(bytes));
}

namespace {

// True when the buffer holds every byte the current geometry reads.
bool frameComplete(int32_t length) {
    int32_t width, height;
    if (!drawableGeometry(width, height)) return false;
    return length >= width * height * 3;
}

// Modes that do not read the ring, where their pass does not store the frame (below): the
// frame goes into the slot around the caches, so the copy neither reads the slot in first nor
// evicts the operation's data. Measured: the
// filters about 3% faster at 640x480 and 7% at 1280x1280, gray, the rank filters and the
// binarisation 5-18%; the same bytes as storeFrame.
bool storesAroundCaches(int32_t mode) {
    return kernelForMode(mode) != nullptr || mode == kModeSimpleDiff || mode == kModeDiff || mode == kModeGray ||
           (mode >= kModeMinimum && mode <= kModeMean) || mode == kModeBinarize;
}

// The 2- and 4-frame averages and the frame difference store frames whose ring the caches do
// not hold around them (ringReadBackAround).
bool streamsLargeFrame(int32_t mode, int32_t length) {
    return (mode == kModeAverage2 || mode == kModeAverage4 || mode == kModeFrameDiff) &&
           ringReadBackAround(length, LastLevelCacheBytes);
}

void streamFrame(const uint8_t* frame, int32_t length, int32_t slot) {
    if (length <= 0) return;
    const int32_t bytes = length < kSlotBytes ? length : kSlotBytes;
    kernels.streamBytes(frame, FrameRing[slot & 7].data(), bytes);
}

bool needsGrayPlane(int32_t mode) {
    return mode == kModeGray || (mode >= kModeLaplacianA && mode <= kModeMean);
}

}  // namespace

namespace {

// The plain operations, written as the operations are defined: the reference.
void runPlain(int32_t mode, const uint8_t* frame, int32_t length, int32_t slot) {
    if (needsGrayPlane(mode)) fillGrayPlane(frame);
    switch (mode) {
        case kModeNormal: showNormal(frame); break;
        case kModeInvert: showInverted(frame); break;
        case kModeAverage2: showAverage(slot, 2); break;
        case kModeAverage4: showAverage(slot, 4); break;
        case kModeAverage8: showAverage(slot, 8); break;
        case kModeFrameDiff: showFrameDifference(slot); break;
        case kModeSimpleDiff: showSimpleDifference(frame, length); break;
        case kModeDiff: showDifference(frame, length); break;
        case kModeGray: showGray(); break;
        case kModeMinimum: filterMinimum3x3(); break;
        case kModeMaximum: filterMaximum3x3(); break;
        case kModeMedian: filterMedian3x3(); break;
        case kModeMean: filterMean3x3(); break;
        case kModeBinarize: binarizeFrame(frame); break;
        default:
            if (const ConvolutionKernel* kernel = kernelForMode(mode)) runConvolution(*kernel);
            break;
    }
}

// Modes that store the frame in the ring while their one pass reads it (one read of the
// frame less): the plain copies; the gray-based modes from their gray rows' loads; the
// differences and the 2- and 4-frame averages row by row just before reading it.
bool storesWhileReading(int32_t mode) {
    return mode == kModeNormal || mode == kModeInvert || needsGrayPlane(mode) || mode == kModeBinarize ||
           mode == kModeSimpleDiff || mode == kModeDiff || mode == kModeAverage2 || mode == kModeAverage4 ||
           mode == kModeFrameDiff;
}

// True when the 8-frame average can go on from the sums of the frame just before this one:
// it then needs the slot's old bytes, and stores the frame itself.
bool ringSumsCurrent(int32_t drawnBytes) {
    return RingSumsStamp.valid && RingSumsStamp.frame == FrameCounter - 1u && RingSumsStamp.bytes == drawnBytes;
}

// The same operations in one pass each over the row kernels; `store` is the ring slot the
// frame still has to be copied into, or null.
void runFused(int32_t mode, const uint8_t* frame, int32_t length, int32_t slot, uint8_t* store) {
    switch (mode) {
        case kModeNormal: fusedNormal(frame, store); break;
        case kModeInvert: fusedInverted(frame, store); break;
        case kModeAverage2: fusedAverage(frame, slot, 2, store); break;
        case kModeAverage4: fusedAverage(frame, slot, 4, store); break;
        case kModeAverage8: fusedAverage8(frame, store); break;
        case kModeFrameDiff: fusedFrameDifference(frame, slot, store); break;
        case kModeSimpleDiff: fusedSimpleDifference(frame, length, store); break;
        case kModeDiff: fusedDifference(frame, length, store); break;
        case kModeGray: fusedGray(frame, store); break;
        case kModeMinimum:
        case kModeMaximum:
        case kModeMedian:
        case kModeMean: fusedRankFilter(frame, mode, store); break;
        case kModeBinarize: fusedBinarize(frame, store); break;
        default:
            if (const ConvolutionKernel* kernel = kernelForMode(mode)) fusedConvolution(frame, *kernel, store);
            break;
    }
}

bool handleFrame(const uint8_t* frame, int32_t length, bool plain) {
    ++FrameCounter;
    const auto slot = static_cast<int32_t>(FrameCounter & 7u);
    const int32_t mode = ProcessingMode;
    const bool selected = modeSelectsOperation(mode);
    const bool complete = frameComplete(length);
    LastDelivered = {FrameCounter, mode, length};

    // The fast path may store the frame while its operation reads it; the ring holds the
    // same bytes either way once the frame is done.
    const bool storeOnTheWay =
        !plain && selected && complete &&
        (storesWhileReading(mode) ||
         (mode == kModeAverage8 && ringSumsCurrent(FrameGeometry.width * FrameGeometry.height * 3)));
    if (!storeOnTheWay) {
        if (!plain && (storesAroundCaches(mode) || streamsLargeFrame(mode, length)))
            streamFrame(frame, length, slot);
        else
            storeFrame(frame, length, slot);
    }
    if (!selected) return false;

    // A frame the geometry does not fit is not drawn, but a pending reference is still
    // taken and the repaint still requested.
    if (!complete) {
        if (mode == kModeSimpleDiff || mode == kModeDiff) captureReference(frame, length);
        return true;
    }
    if (plain) {
        runPlain(mode, frame, length, slot);
    } else if (storeOnTheWay) {
        uint8_t* ring = FrameRing[slot].data();
        runFused(mode, frame, length, slot, ring);
        // Bytes the driver delivered beyond the frame the geometry describes.
        const int32_t drawn = FrameGeometry.width * FrameGeometry.height * 3;
        const int32_t stored = length < kSlotBytes ? length : kSlotBytes;
        if (stored > drawn) std::memcpy(ring + drawn, frame + drawn, static_cast<size_t>(stored - drawn));
    } else {
        runFused(mode, frame, length, slot, nullptr);
    }
    return true;
}

}  // namespace

bool processFrame(const uint8_t* frame, int32_t length) { return handleFrame(frame, length, false); }

bool processFramePlain(const uint8_t* frame, int32_t length) { return handleFrame(frame, length, true); }

}  // namespace pixelwell
