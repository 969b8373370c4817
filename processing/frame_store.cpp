#include "frame_store.h"

#include <algorithm>

#include "fused_operations.h"

namespace pixelwell {

FrameSize FrameGeometry{0, 0};
alignas(64) std::array<FrameSlot, kRingSlots> FrameRing{};
alignas(64) FrameSlot ReferenceFrame{};
alignas(64) Plane GrayPlane{};
alignas(64) Plane ResultPlane{};
std::array<int32_t, 256> Histogram{};
std::array<uint8_t, 256> LevelTable{};
uint32_t FrameCounter = 0;
RingSumStamp RingSumsStamp{false, 0, 0};
alignas(64) std::array<uint8_t, kSlotBytes> RingMeans{};
alignas(64) std::array<uint8_t, kSlotBytes / 2> RingRemainders{};
int32_t ReferencePending = 1;
int32_t ProcessingMode = 1400;
DeliveredFrame LastDelivered{0, 1400, 0};
uint32_t ReferenceTakenAt = 0;
uint8_t* DisplaySurface = nullptr;

void resetCore() {
    FrameGeometry = {0, 0};
    for (auto& slot : FrameRing) slot.fill(0);
    ReferenceFrame.fill(0);
    GrayPlane.fill(0);
    ResultPlane.fill(0);
    Histogram.fill(0);
    LevelTable.fill(0);
    FrameCounter = 0;
    RingSumsStamp.valid = false;
    ReferencePending = 1;
    ProcessingMode = 1400;
    LastDelivered = {0, 1400, 0};
    ReferenceTakenAt = 0;
    LastCutValues = {0, 0, 0, 0, 0, 0, 0, 0};
    LastMedian = {0, 0, 0};
}

bool drawableGeometry(int32_t& width, int32_t& height) {
    width = FrameGeometry.width;
    height = FrameGeometry.height;
    return DisplaySurface != nullptr && width > 0 && height > 0 && width <= kMaxSide &&
           height <= kMaxSide;
}

void fillGrayPlane(const uint8_t* frame) {
    int32_t width, height;
    if (!drawableGeometry(width, height)) return;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* src = frame + static_cast<size_t>(i) * width * 3;
        int32_t* dst = planeRow(GrayPlane, i, height);
        for (int32_t j = 0; j < width; ++j, src += 3) dst[j] = grayLevel(src[0], src[1], src[2]);
    }
}

void showPlane(const Plane& plane) {
    int32_t width, height;
    if (!drawableGeometry(width, height)) return;
    for (int32_t i = 0; i < height; ++i) {
        const int32_t* src = plane.data() + static_cast<size_t>(placedRow(i, height)) * kMaxSide;
        uint8_t* dst = surfaceRow(i, height);
        for (int32_t j = 0; j < width; ++j) putGrayPixel(dst + 4 * j, src[j]);
    }
}

}  // namespace pixelwell
