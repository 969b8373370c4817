// The operations as single passes over the frame, calling the row kernels: the same bytes
// in the surface as the plain operations of operations.h, without the full-frame
// GrayPlane and ResultPlane passes (intermediates stay in the core's scratch rows). Each expects
// a drawable geometry and a frame buffer holding the whole of it. Normal and inverted
// display, given a ring slot, also store the frame into it on the way (null: stored already).
#pragma once

#include <cstdint>

#include "operations.h"

namespace pixelwell {

// Frames of this many bytes and more are stored into their slot around the caches.
constexpr int32_t kStreamedRingFrame = 2 << 20;

// Whether the modes that read the ring back store a frame of `bytes` around the caches: from
// kStreamedRingFrame on, where eight of them are more than a last-level cache of `cacheBytes`
// holds (or its size is unknown, 0), so the slot is read back from memory frames later
// whatever the store (streaming then 7-15% faster at 1280x1280). Rings the cache holds are
// read back from it: streaming them cost up to 60% at 320x240, and 25% for the 4-frame
// average at 1280x1280 with a 260 MB cache.
constexpr bool ringReadBackAround(int64_t bytes, int64_t cacheBytes) {
    return bytes >= kStreamedRingFrame && (cacheBytes <= 0 || 8 * bytes > cacheBytes);
}

void fusedNormal(Core& core, const uint8_t* frame, uint8_t* slot);
void fusedInverted(Core& core, const uint8_t* frame, uint8_t* slot);
// `store`: the ring slot the frame still goes into, row by row just before each is read (then
// read from the cache), or null. 2 or 4 frames.
void fusedAverage(Core& core, const uint8_t* frame, int32_t slot, int32_t count, uint8_t* store);
// 8 frames through the ring's sums (RingMeans, RingRemainders): given the ring slot the frame
// is still to go into, from the sums of the previous frame (which must be current); without,
// the frame is stored already and the sums are started over. Either way they are current
// afterwards.
void fusedAverage8(Core& core, const uint8_t* frame, uint8_t* slot);
void fusedFrameDifference(Core& core, const uint8_t* frame, int32_t slot, uint8_t* store);
// The reference differences: `store` as for fusedAverage.
void fusedSimpleDifference(Core& core, const uint8_t* frame, int32_t length, uint8_t* store);
void fusedDifference(Core& core, const uint8_t* frame, int32_t length, uint8_t* store);
// The gray-based operations, given a ring slot, store the frame into it as their gray rows
// read it (null: stored already).
void fusedGray(Core& core, const uint8_t* frame, uint8_t* slot);
// Gray conversion, filter, normalisation, stretch and display, for any valid kernel: in 16-bit
// lanes where they hold the kernel's sums and values (kernelFitsLanes), else wideConvolution.
void fusedConvolution(Core& core, const uint8_t* frame, const ConvolutionKernel& kernel, uint8_t* slot);
// Whether every value of the kernel over gray levels (after the divisor) lies within
// kFilterValueMin .. kFilterValueMax: what the single pass's 16-bit values, tally and tone map
// hold (its sums may need 32 bits: KernelPlan). True for the nine modes' kernels.
bool kernelFitsLanes(const ConvolutionKernel& kernel);
// The same for kernels whose sums or values go beyond that, in 32-bit values.
void wideConvolution(Core& core, const uint8_t* frame, const ConvolutionKernel& kernel, uint8_t* slot);
// Modes 1441..1444.
void fusedRankFilter(Core& core, const uint8_t* frame, int32_t mode, uint8_t* slot);
void fusedBinarize(Core& core, const uint8_t* frame, uint8_t* slot);

}  // namespace pixelwell
