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

void selectProcessingMode(Core& core, int32_t mode) {
    if (mode == kModeSimpleDiff || mode == kModeDiff) core.ReferencePending = 1;
    core.ProcessingMode = mode;
    core.KernelModeChosen = false;
}

void selectKernelMode(Core& core) {
    core.ProcessingMode = kModeKernel;
    core.KernelModeChosen = true;
}

bool kernelModeChosen(const Core& core) { return core.KernelModeChosen && core.ProcessingMode == kModeKernel; }

bool setKernel(Core& core, const ConvolutionKernel& kernel) {
    if (!validKernel(kernel)) return false;
    core.Kernel = kernel;
    return true;
}

void storeFrame(Core& core, const uint8_t* frame, int32_t length, int32_t slot) {
    if (length <= 0) return;
    // A driver buffer longer than a slot is cut rather than overrunning the ring.
    const int32_t slotBytes = core.slotBytes();
    const int32_t bytes = length < slotBytes ? length : slotBytes;
    std::memcpy(core.FrameRing[slot & 7].data(), frame, static_cast<size_t>(bytes));
}

namespace {

// The kernel the operation `op` filters with: a convolution mode's, the core's for the kernel
// mode, or null.
const ConvolutionKernel* kernelOf(const Core& core, int32_t op) {
    return op == kModeKernel ? &core.Kernel : kernelForMode(op);
}

// True when the buffer holds every byte the current geometry reads.
bool frameComplete(const Core& core, int32_t length) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return false;
    return length >= width * height * 3;
}

// Modes that do not read the ring, where their pass does not store the frame (below): the
// frame goes into the slot around the caches, so the copy neither reads the slot in first nor
// evicts the operation's data. Measured: the
// filters about 3% faster at 640x480 and 7% at 1280x1280, gray, the rank filters and the
// binarisation 5-18%; the same bytes as storeFrame.
bool storesAroundCaches(int32_t mode) {
    return kernelForMode(mode) != nullptr || mode == kModeKernel || mode == kModeSimpleDiff || mode == kModeDiff || mode == kModeGray ||
           (mode >= kModeMinimum && mode <= kModeMean) || mode == kModeBinarize;
}

// The 2- and 4-frame averages and the frame difference store frames whose ring the caches do
// not hold around them (ringReadBackAround).
bool streamsLargeFrame(const Core& core, int32_t mode, int32_t length) {
    return (mode == kModeAverage2 || mode == kModeAverage4 || mode == kModeFrameDiff) &&
           ringReadBackAround(length, core.LastLevelCacheBytes);
}

void streamFrame(Core& core, const uint8_t* frame, int32_t length, int32_t slot) {
    if (length <= 0) return;
    const int32_t slotBytes = core.slotBytes();
    const int32_t bytes = length < slotBytes ? length : slotBytes;
    core.kernels->streamBytes(frame, core.FrameRing[slot & 7].data(), bytes);
}

bool needsGrayPlane(int32_t mode) {
    return mode == kModeGray || (mode >= kModeLaplacianA && mode <= kModeMean) || mode == kModeKernel;
}

}  // namespace

namespace {

// The plain operations, written as the operations are defined: the reference.
void runPlain(Core& core, int32_t mode, const uint8_t* frame, int32_t length, int32_t slot) {
    if (needsGrayPlane(mode)) fillGrayPlane(core, frame);
    switch (mode) {
        case kModeNormal: showNormal(core, frame); break;
        case kModeInvert: showInverted(core, frame); break;
        case kModeAverage2: showAverage(core, slot, 2); break;
        case kModeAverage4: showAverage(core, slot, 4); break;
        case kModeAverage8: showAverage(core, slot, 8); break;
        case kModeFrameDiff: showFrameDifference(core, slot); break;
        case kModeSimpleDiff: showSimpleDifference(core, frame, length); break;
        case kModeDiff: showDifference(core, frame, length); break;
        case kModeGray: showGray(core); break;
        case kModeMinimum: filterMinimum3x3(core); break;
        case kModeMaximum: filterMaximum3x3(core); break;
        case kModeMedian: filterMedian3x3(core); break;
        case kModeMean: filterMean3x3(core); break;
        case kModeBinarize: binarizeFrame(core, frame); break;
        default:
            if (const ConvolutionKernel* kernel = kernelOf(core, mode)) runConvolution(core, *kernel);
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
bool ringSumsCurrent(const Core& core, int32_t drawnBytes) {
    const RingSumStamp& stamp = core.RingSumsStamp;
    return stamp.valid && stamp.frame == core.FrameCounter - 1u && stamp.bytes == drawnBytes;
}

// The same operations in one pass each over the row kernels; `store` is the ring slot the
// frame still has to be copied into, or null.
void runFused(Core& core, int32_t mode, const uint8_t* frame, int32_t length, int32_t slot, uint8_t* store) {
    switch (mode) {
        case kModeNormal: fusedNormal(core, frame, store); break;
        case kModeInvert: fusedInverted(core, frame, store); break;
        case kModeAverage2: fusedAverage(core, frame, slot, 2, store); break;
        case kModeAverage4: fusedAverage(core, frame, slot, 4, store); break;
        case kModeAverage8: fusedAverage8(core, frame, store); break;
        case kModeFrameDiff: fusedFrameDifference(core, frame, slot, store); break;
        case kModeSimpleDiff: fusedSimpleDifference(core, frame, length, store); break;
        case kModeDiff: fusedDifference(core, frame, length, store); break;
        case kModeGray: fusedGray(core, frame, store); break;
        case kModeMinimum:
        case kModeMaximum:
        case kModeMedian:
        case kModeMean: fusedRankFilter(core, frame, mode, store); break;
        case kModeBinarize: fusedBinarize(core, frame, store); break;
        default:
            if (const ConvolutionKernel* kernel = kernelOf(core, mode)) fusedConvolution(core, frame, *kernel, store);
            break;
    }
}

bool handleFrame(Core& core, const uint8_t* frame, int32_t length, bool plain) {
    const uint32_t counter = ++core.FrameCounter;
    const auto slot = static_cast<int32_t>(counter & 7u);
    // The operation: kModeKernel only while the kernel mode is chosen; that number chosen as any
    // other selects nothing, as none does.
    const bool kernelMode = kernelModeChosen(core);
    const int32_t mode = kernelMode ? kModeKernel : core.ProcessingMode == kModeKernel ? kModeNone : core.ProcessingMode;
    const bool selected = kernelMode || modeSelectsOperation(mode);
    const bool complete = frameComplete(core, length);
    core.LastDelivered = {counter, core.ProcessingMode, length, kernelMode};
    if (kernelMode) core.LastKernel = core.Kernel;
    // The bytes the operation reads (only a drawable geometry's product is taken: others may overflow).
    const int32_t drawn = complete ? core.FrameGeometry.width * core.FrameGeometry.height * 3 : 0;

    // The fast path may store the frame while its operation reads it; the ring holds the
    // same bytes either way once the frame is done.
    const bool storeOnTheWay = !plain && selected && complete &&
                               (storesWhileReading(mode) || (mode == kModeAverage8 && ringSumsCurrent(core, drawn)));
    if (!storeOnTheWay) {
        if (!plain && (storesAroundCaches(mode) || streamsLargeFrame(core, mode, length)))
            streamFrame(core, frame, length, slot);
        else
            storeFrame(core, frame, length, slot);
    }
    if (!selected) return false;

    // A frame the geometry does not fit is not drawn, but a pending reference is still
    // taken and the repaint still requested.
    if (!complete) {
        if (mode == kModeSimpleDiff || mode == kModeDiff) captureReference(core, frame, length);
        return true;
    }
    if (plain) {
        runPlain(core, mode, frame, length, slot);
    } else if (storeOnTheWay) {
        uint8_t* ring = core.FrameRing[slot].data();
        runFused(core, mode, frame, length, slot, ring);
        // Bytes the driver delivered beyond the frame the geometry describes.
        const int32_t slotBytes = core.slotBytes();
        const int32_t stored = length < slotBytes ? length : slotBytes;
        if (stored > drawn) std::memcpy(ring + drawn, frame + drawn, static_cast<size_t>(stored - drawn));
    } else {
        runFused(core, mode, frame, length, slot, nullptr);
    }
    return true;
}

}  // namespace

bool processFrame(Core& core, const uint8_t* frame, int32_t length) { return handleFrame(core, frame, length, false); }

bool processFramePlain(Core& core, const uint8_t* frame, int32_t length) {
    return handleFrame(core, frame, length, true);
}

bool reprocessLastFrame(Core& copy, int32_t mode, const uint8_t* frame, int32_t length) {
    // One count back, so that the frame brings the counter to its own value again and lands in
    // the slot it already fills; the 8-frame average's sums then count that slot afresh.
    --copy.FrameCounter;
    copy.RingSumsStamp.valid = false;
    if (mode == kModeKernel)
        selectKernelMode(copy);
    else
        selectProcessingMode(copy, mode);
    return processFrame(copy, frame, length);
}

}  // namespace pixelwell
