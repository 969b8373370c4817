// The operations as single passes over the frame, calling the row kernels: the same bytes
// in the surface as the plain operations of operations.h, without the full-frame
// GrayPlane and ResultPlane passes (intermediates stay in fixed row buffers). Each expects
// a drawable geometry and a frame buffer holding the whole of it. Normal and inverted
// display, given a ring slot, also store the frame into it on the way (null: stored already).
#pragma once

#include <cstdint>

#include "operations.h"

namespace pixelwell {

// The filter values of the last filtered frame's two ranked values, which give the stretch's
// cuts (fusedConvolution). A frame counts its values below a few thresholds around them, spaced
// by how far they last moved; again where that left a ranked value's level open; and all of them
// when that is not enough: only the speed depends on these, never a picture.
struct CutValues {
    int32_t low;            // the value, or the middle of the values its level was told from
    int32_t high;
    uint32_t steadyFrames;  // frames in a row whose ranked values had not moved
    uint32_t recounts;      // frames that counted again
    uint32_t fullCounts;    // frames that had to count every value
    int32_t lowSpacing;     // values between the next frame's first thresholds (0 counts as 1)
    int32_t highSpacing;
    int32_t range;          // of the last frame's values (0: none yet)
};
extern CutValues LastCutValues;

// The last binarised frame's median gray level. A frame counts its levels below four grays
// around it; again where that leaves the median within a few grays; and all of them when
// that is not enough: only the speed depends on it, never a picture.
struct MedianGray {
    int32_t gray;
    uint32_t recounts;    // frames that counted again
    uint32_t fullCounts;  // frames that had to count every gray
};
extern MedianGray LastMedian;

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

void fusedNormal(const uint8_t* frame, uint8_t* slot);
void fusedInverted(const uint8_t* frame, uint8_t* slot);
// `store`: the ring slot the frame still goes into, row by row just before each is read (then
// read from the cache), or null. 2 or 4 frames.
void fusedAverage(const uint8_t* frame, int32_t slot, int32_t count, uint8_t* store);
// 8 frames through the ring's sums (RingMeans, RingRemainders): given the ring slot the frame
// is still to go into, from the sums of the previous frame (which must be current); without,
// the frame is stored already and the sums are started over. Either way they are current
// afterwards.
void fusedAverage8(const uint8_t* frame, uint8_t* slot);
void fusedFrameDifference(const uint8_t* frame, int32_t slot, uint8_t* store);
// The reference differences: `store` as for fusedAverage.
void fusedSimpleDifference(const uint8_t* frame, int32_t length, uint8_t* store);
void fusedDifference(const uint8_t* frame, int32_t length, uint8_t* store);
// The gray-based operations, given a ring slot, store the frame into it as their gray rows
// read it (null: stored already).
void fusedGray(const uint8_t* frame, uint8_t* slot);
// Gray conversion, filter, normalisation, stretch and display.
void fusedConvolution(const uint8_t* frame, const ConvolutionKernel& kernel, uint8_t* slot);
// Modes 1441..1444.
void fusedRankFilter(const uint8_t* frame, int32_t mode, uint8_t* slot);
void fusedBinarize(const uint8_t* frame, uint8_t* slot);

}  // namespace pixelwell
