#include "frame_store.h"

namespace pixelwell {

void fillGrayPlane(Core& core, const uint8_t* frame) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* src = frame + static_cast<size_t>(i) * width * 3;
        int32_t* dst = planeRow(core.GrayPlane, i, height);
        for (int32_t j = 0; j < width; ++j, src += 3) dst[j] = grayLevel(src[0], src[1], src[2]);
    }
}

void showPlane(Core& core, const Plane& plane) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    for (int32_t i = 0; i < height; ++i) {
        const int32_t* src = planeRow(plane, i, height);
        uint8_t* dst = surfaceRow(core, i, height);
        for (int32_t j = 0; j < width; ++j) putGrayPixel(dst + 4 * j, src[j]);
    }
}

}  // namespace pixelwell
