#include "test_picture.h"

#include <cstddef>

namespace simcam {

namespace {

inline uint32_t hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

inline uint8_t clampByte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

struct Rgb {
    int32_t r, g, b;
};

// The scene in top-down coordinates (y = 0 is the top row on screen), 0..1 scaled by size.
Rgb scene(int32_t x, int32_t y, int32_t width, int32_t height, uint32_t t) {
    // Sky-to-ground gradient.
    Rgb c{40 + 120 * y / (height > 1 ? height : 1), 70 + 100 * y / (height > 1 ? height : 1),
          200 - 120 * y / (height > 1 ? height : 1)};
    const int32_t side = width < height ? width : height;
    // A bright disc travelling left to right.
    const int32_t radius = side / 6 + 1;
    const int32_t cx = static_cast<int32_t>((t * 7u + static_cast<uint32_t>(width) / 3u) % static_cast<uint32_t>(width + 2 * radius)) - radius;
    const int32_t cy = height / 3;
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) c = {250, 220, 60};
    // A dark square bobbing up and down.
    const int32_t sq = side / 5 + 1;
    const int32_t phase = static_cast<int32_t>(t % 60u);
    const int32_t sy = height / 2 + (phase < 30 ? phase : 60 - phase) * height / 120;
    const int32_t sx = width * 3 / 5;
    if (x >= sx && x < sx + sq && y >= sy && y < sy + sq) c = {30, 30, 40};
    // A thin white frame line near the left edge.
    if (x >= width / 10 && x < width / 10 + 2 && y > height / 8 && y < height * 7 / 8) c = {255, 255, 255};
    return c;
}

}  // namespace

void renderPicture(Picture picture, int32_t width, int32_t height, uint32_t frame, uint8_t* bgr) {
    if (width <= 0 || height <= 0) return;
    static constexpr Rgb kBars[8] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                     {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
    const bool still = picture == Picture::Still;
    const uint32_t t = still ? 0 : frame;
    for (int32_t i = 0; i < height; ++i) {
        const int32_t y = height - 1 - i;  // bottom-up rows
        uint8_t* out = bgr + static_cast<size_t>(i) * width * 3;
        for (int32_t x = 0; x < width; ++x, out += 3) {
            Rgb c{};
            int32_t noise = 0;
            const uint32_t seed = hash(static_cast<uint32_t>(y * 1297 + x) ^ (t * 0x9e3779b9U));
            switch (picture) {
                case Picture::ColourBars:
                    c = y < height * 3 / 4 ? kBars[x * 8 / width] : Rgb{x * 255 / width, x * 255 / width, x * 255 / width};
                    break;
                case Picture::Noise:
                    c = scene(x, y, width, height, t);
                    noise = static_cast<int32_t>(seed % 97u) - 48;
                    break;
                case Picture::MovingShapes:
                case Picture::Still:
                    c = scene(x, y, width, height, t);
                    noise = static_cast<int32_t>(seed % 9u) - 4;  // mild sensor noise
                    break;
            }
            out[0] = clampByte(c.b + noise);
            out[1] = clampByte(c.g + noise);
            out[2] = clampByte(c.r + noise);
        }
    }
}

}  // namespace simcam
