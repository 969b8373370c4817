// Where a frame lands in a core's planes and surface, the gray conversion, and the helpers
// that write gray values to the surface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace pixelwell {

// Index of frame row i (bottom-up) in a plane or the surface of `rows` rows: the frame fills
// the last rows.
constexpr int32_t placedRow(int32_t i, int32_t height, int32_t rows) { return rows - height + i; }
inline int32_t placedRow(const Core& core, int32_t i, int32_t height) {
    return placedRow(i, height, core.capacity().height);
}

inline int32_t* planeRow(Plane& plane, int32_t i, int32_t height) {
    return plane.data() + static_cast<size_t>(placedRow(i, height, plane.rows)) * plane.width;
}
inline const int32_t* planeRow(const Plane& plane, int32_t i, int32_t height) {
    return plane.data() + static_cast<size_t>(placedRow(i, height, plane.rows)) * plane.width;
}
inline uint8_t* surfaceRow(Core& core, int32_t i, int32_t height) {
    return core.DisplaySurface + static_cast<size_t>(placedRow(core, i, height)) * core.surfaceStride();
}
inline const uint8_t* surfaceRow(const Core& core, int32_t i, int32_t height) {
    return core.DisplaySurface + static_cast<size_t>(placedRow(core, i, height)) * core.surfaceStride();
}

// Reads FrameGeometry; true when it describes a frame the core can draw (1 to its capacity each
// way) and there is a surface to draw on.
inline bool drawableGeometry(const Core& core, int32_t& width, int32_t& height) {
    width = core.FrameGeometry.width;
    height = core.FrameGeometry.height;
    const FrameSize capacity = core.capacity();
    return core.DisplaySurface != nullptr && width > 0 && height > 0 && width <= capacity.width &&
           height <= capacity.height;
}

// The rows of the surface one frame is drawn into: row i of the frame at first + i x stride.
struct SurfaceRows {
    uint8_t* first;
    ptrdiff_t stride;
    uint8_t* row(int32_t i) const { return first + i * stride; }
};
inline SurfaceRows surfaceRows(Core& core, int32_t height) {
    return {surfaceRow(core, 0, height), core.surfaceStride()};
}

// BT.601 luma in 10-bit fixed point: the weights add up to 1024, so the result is 0..255.
constexpr int32_t grayLevel(int32_t b, int32_t g, int32_t r) {
    return (117 * b + 601 * g + 306 * r) >> 10;
}

// GrayPlane <- gray level of every pixel of the frame.
void fillGrayPlane(Core& core, const uint8_t* frame);

// Writes value modulo 256 as gray into one surface pixel (fourth byte 0).
inline void putGrayPixel(uint8_t* pixel, int32_t value) {
    const auto v = static_cast<uint8_t>(value);
    pixel[0] = v;
    pixel[1] = v;
    pixel[2] = v;
    pixel[3] = 0;
}

// Draws every placed element of the plane as gray.
void showPlane(Core& core, const Plane& plane);

}  // namespace pixelwell
