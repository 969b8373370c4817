#include "frames.h"

#include <algorithm>
#include <cstring>

#include "frame_store.h"

namespace pixelwell {

void flipRows(const uint8_t* in, uint8_t* out, int32_t height, size_t rowBytes) {
    for (int32_t i = 0; i < height; ++i)
        std::memcpy(out + static_cast<size_t>(height - 1 - i) * rowBytes, in + static_cast<size_t>(i) * rowBytes,
                    rowBytes);
}

void frameFromRgba(const uint8_t* rgba, uint8_t* bgr, int32_t width, int32_t height) {
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* from = rgba + static_cast<size_t>(height - 1 - i) * width * 4;
        uint8_t* to = bgr + static_cast<size_t>(i) * width * 3;
        for (int32_t x = 0; x < width; ++x) {
            to[3 * x] = from[4 * x + 2];
            to[3 * x + 1] = from[4 * x + 1];
            to[3 * x + 2] = from[4 * x];
        }
    }
}

void rgbaFromFrame(const uint8_t* bgr, uint8_t* rgba, int32_t width, int32_t height) {
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* from = bgr + static_cast<size_t>(i) * width * 3;
        uint8_t* to = rgba + static_cast<size_t>(height - 1 - i) * width * 4;
        for (int32_t x = 0; x < width; ++x) {
            to[4 * x] = from[3 * x + 2];
            to[4 * x + 1] = from[3 * x + 1];
            to[4 * x + 2] = from[3 * x];
            to[4 * x + 3] = 255;
        }
    }
}

void surfaceRegion(const Core& core, int32_t width, int32_t height, bool topDown, uint8_t* bgrx) {
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int32_t i = 0; i < height; ++i) {
        const int32_t row = topDown ? height - 1 - i : i;
        std::memcpy(bgrx + i * rowBytes, surfaceRow(core, row, height), rowBytes);
    }
}

void surfaceRegionBgr(const Core& core, int32_t width, int32_t height, uint8_t* bgr, ptrdiff_t stride) {
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* from = surfaceRow(core, height - 1 - r, height);
        uint8_t* to = bgr + r * stride;
        for (int32_t x = 0; x < width; ++x, from += 4, to += 3) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
}

void surfaceRegionRgba(const Core& core, int32_t width, int32_t height, uint8_t* rgba) {
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* from = surfaceRow(core, height - 1 - r, height);
        uint8_t* to = rgba + static_cast<size_t>(r) * width * 4;
        for (int32_t x = 0; x < width; ++x) {
            to[4 * x] = from[4 * x + 2];
            to[4 * x + 1] = from[4 * x + 1];
            to[4 * x + 2] = from[4 * x];
            to[4 * x + 3] = 255;
        }
    }
}

FrameSize fitWithin(int32_t width, int32_t height, int32_t side) { return fitWithin(width, height, {side, side}); }

FrameSize fitWithin(int32_t width, int32_t height, FrameSize box) {
    if (width <= box.width && height <= box.height) return {width, height};
    // other x side / along, to the nearest pixel: the other side at the scale that takes `along` to `side`.
    auto scaled = [](int64_t other, int64_t side, int64_t along) {
        return static_cast<int32_t>(std::max<int64_t>(1, (other * side + along / 2) / along));
    };
    // The width reaches the box first where width / height >= box.width / box.height.
    return int64_t{width} * box.height >= int64_t{height} * box.width
               ? FrameSize{box.width, scaled(height, box.width, width)}
               : FrameSize{scaled(width, box.height, height), box.height};
}

}  // namespace pixelwell
