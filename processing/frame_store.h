// The frame-processing core's fixed records: frame geometry, the frame ring, the reference
// frame, the working planes and tables, the mode, and the display surface the shell lends us.
// Every record is one global instance at its largest size; nothing is allocated per frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pixelwell {

constexpr int32_t kMaxSide = 1280;                               // widest and tallest frame
constexpr int32_t kSlotBytes = kMaxSide * kMaxSide * 3;          // 4,915,200: one 24-bit frame
constexpr int32_t kRingSlots = 8;
constexpr int32_t kPlaneCells = kMaxSide * kMaxSide;
constexpr int32_t kSurfaceStride = kMaxSide * 4;                 // 5,120 bytes per surface row
constexpr int32_t kSurfaceBytes = kSurfaceStride * kMaxSide;     // 6,553,600

// Width and height of the current frame, as the capture status reports them (taken as signed).
struct FrameSize {
    int32_t width;
    int32_t height;
};

using FrameSlot = std::array<uint8_t, kSlotBytes>;
using Plane = std::array<int32_t, kPlaneCells>;

extern FrameSize FrameGeometry;
alignas(64) extern std::array<FrameSlot, kRingSlots> FrameRing;
alignas(64) extern FrameSlot ReferenceFrame;
alignas(64) extern Plane GrayPlane;
alignas(64) extern Plane ResultPlane;
extern std::array<int32_t, 256> Histogram;
extern std::array<uint8_t, 256> LevelTable;
extern uint32_t FrameCounter;

// Per-byte sums of the eight ring slots over their first `bytes` bytes, kept by the 8-frame
// average so that each frame reads only the slot it replaces instead of all eight. They
// hold only while `frame` is the FrameCounter of the last store into the ring: any other
// store leaves them stale, and resetCore (or anything else that rewrites the ring or the
// counter) clears `valid`.
struct RingSumStamp {
    bool valid;
    uint32_t frame;
    int32_t bytes;
};
extern RingSumStamp RingSumsStamp;
// Each sum (at most 8 x 255) is kept as its eighth, which is the average drawn, in RingMeans
// and the rest (0..7) in a nibble of RingRemainders: 1.5 bytes a sum rather than 2, as the
// 8-frame average moves every sum in and out of memory each frame. Byte p's nibble is the low
// one of remainderByte(p) for p % 64 < 32 and the high one after, so that a 64-byte block's
// remainders are one 32-byte run: two vectors' bytes share each byte of it, lane for lane.
alignas(64) extern std::array<uint8_t, kSlotBytes> RingMeans;
alignas(64) extern std::array<uint8_t, kSlotBytes / 2> RingRemainders;
constexpr int32_t remainderByte(int32_t p) { return p / 64 * 32 + p % 32; }
constexpr int32_t remainderShift(int32_t p) { return p % 64 < 32 ? 0 : 4; }
// The sum of the eight slots' byte p, as the records hold it.
inline int32_t ringSum(int32_t p) {
    return RingMeans[p] * 8 + (RingRemainders[remainderByte(p)] >> remainderShift(p) & 7);
}
extern int32_t ReferencePending;
extern int32_t ProcessingMode;

// The last frame handed to the per-frame entry, and the FrameCounter of the frame the
// ReferenceFrame was taken from (0: none since start). No operation reads them: they let the
// explanation of a frame say what the operation used.
struct DeliveredFrame {
    uint32_t frame;
    int32_t mode;
    int32_t length;
};
extern DeliveredFrame LastDelivered;
extern uint32_t ReferenceTakenAt;

// Pixels of the 1280x1280 bottom-up 32-bit display bitmap, owned by whoever created it (the
// shell's DIB section, or the headless filter's buffer); null while there is none, and then
// nothing is drawn.
extern uint8_t* DisplaySurface;

// Puts every record back to its start-up contents (the surface pointer is left alone).
void resetCore();

// Index of frame row i (bottom-up) in a plane or the surface: the frame fills the last rows.
constexpr int32_t placedRow(int32_t i, int32_t height) { return kMaxSide - height + i; }

inline int32_t* planeRow(Plane& plane, int32_t i, int32_t height) {
    return plane.data() + static_cast<int32_t>(placedRow(i, height)) * kMaxSide;
}
inline uint8_t* surfaceRow(int32_t i, int32_t height) {
    return DisplaySurface + static_cast<int32_t>(placedRow(i, height)) * kSurfaceStride;
}

// Reads FrameGeometry; true when it describes a frame that can be drawn (1..1280 each way)
// and there is a surface to draw on.
bool drawableGeometry(int32_t& width, int32_t& height);

// BT.601 luma in 10-bit fixed point: the weights add up to 1024, so the result is 0..255.
constexpr int32_t grayLevel(int32_t b, int32_t g, int32_t r) {
    return (117 * b + 601 * g + 306 * r) >> 10;
}

// GrayPlane <- gray level of every pixel of the frame.
void fillGrayPlane(const uint8_t* frame);

// Writes value modulo 256 as gray into one surface pixel (fourth byte 0).
inline void putGrayPixel(uint8_t* pixel, int32_t value) {
    const auto v = static_cast<uint8_t>(value);
    pixel[0] = v;
    pixel[1] = v;
    pixel[2] = v;
    pixel[3] = 0;
}

// Draws every placed element of the plane as gray.
void showPlane(const Plane& plane);

}  // namespace pixelwell
