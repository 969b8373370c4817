// The per-frame entry: count, store in the ring, run the current mode's operation.
#pragma once

#include <cstdint>

#include "frame_store.h"

namespace pixelwell {

// The menu command identifiers, which are also the processing modes.
enum Mode : int32_t {
    kModeNone = 1400,
    kModeNormal = 1401,
    kModeInvert = 1402,
    kModeAverage2 = 1403,
    kModeAverage4 = 1404,
    kModeAverage8 = 1405,
    kModeFrameDiff = 1406,
    kModeSimpleDiff = 1407,
    kModeDiff = 1408,
    kModeGray = 1409,
    kModeLaplacianA = 1411,
    kModeLaplacianB = 1412,
    kModeLaplacianC = 1413,
    kModeSobelX = 1421,
    kModeSobelY = 1422,
    kModeLowPass3 = 1431,
    kModeHighPass3 = 1432,
    kModeLowPass5 = 1433,
    kModeHighPass5 = 1434,
    kModeMinimum = 1441,
    kModeMaximum = 1442,
    kModeMedian = 1443,
    kModeMean = 1444,
    kModeBinarize = 1451,
};

struct ModeInfo {
    int32_t id;
    const char* name;         // short name used by the headless filter
    const char* description;  // what the operation shows
};

// "none" first, then the 23 operations in identifier order.
constexpr int kModeCount = 24;
extern const ModeInfo ModeTable[kModeCount];

// True when the identifier selects one of the 23 operations.
bool modeSelectsOperation(int32_t mode);

// What choosing a processing command does to the core: the mode, and a new reference for the
// two reference modes.
void selectProcessingMode(Core& core, int32_t mode);

// Chooses the kernel mode (it has no menu command and no identifier of its own): the core's
// Kernel runs through the convolution modes' procedure from the next frame on.
void selectKernelMode(Core& core);
// True while the kernel mode is the chosen one.
bool kernelModeChosen(const Core& core);
// Sets the kernel mode's kernel (size, weights and divisor), used from the next frame on; false,
// and nothing changed, for a kernel validKernel refuses.
bool setKernel(Core& core, const ConvolutionKernel& kernel);

// Copies the first length bytes of the frame into a ring slot (at most one slot's worth).
void storeFrame(Core& core, const uint8_t* frame, int32_t length, int32_t slot);

// Handles one delivered frame of length bytes; returns whether the result window should be
// repainted (whenever the mode selected an operation, even one that drew nothing).
bool processFrame(Core& core, const uint8_t* frame, int32_t length);

// The same, through the plain operations that write the GrayPlane and ResultPlane as the
// operations define them: the reference the fast path is tested against.
bool processFramePlain(Core& core, const uint8_t* frame, int32_t length);

// On a copy of a core, made after it processed `frame`: the same frame again through `mode`, as
// if that mode had been chosen just before the frame came (the ring as it then stood, the frame
// going into its own slot again, a reference mode taking it as the reference). What a frozen
// view shows when another operation is chosen; the core it was copied from does not move.
// kModeKernel here means the kernel mode, with the copy's Kernel.
bool reprocessLastFrame(Core& copy, int32_t mode, const uint8_t* frame, int32_t length);

}  // namespace pixelwell
