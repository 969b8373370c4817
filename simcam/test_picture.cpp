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

inline Rgb mix(Rgb a, Rgb b, int32_t k, int32_t n) {  // a + (b - a) * k / n
    return {a.r + (b.r - a.r) * k / n, a.g + (b.g - a.g) * k / n, a.b + (b.b - a.b) * k / n};
}

// A triangle wave 0..span..0 over a period of 2*span frames.
inline int32_t bounce(uint32_t t, int32_t span) {
    if (span <= 0) return 0;
    const int32_t p = static_cast<int32_t>(t % static_cast<uint32_t>(2 * span));
    return p < span ? p : 2 * span - p;
}

// Where the moving things are in frame t, in pixels of a width x height picture.
struct Layout {
    int32_t w, h, side;
    int32_t horizon;              // sky above, ground below
    int32_t ballX, ballY, ballR;  // shaded ball rolling across the sky
    int32_t boxX, boxY, boxS;     // red box bouncing on the ground
    int32_t triX, triY, triS;     // white triangle, still
    int32_t chkX, chkY, chkS;     // checkerboard panel, still
    int32_t bars;                 // x of the thin bars (1, 2, 4 pixels wide), still
};

Layout layout(int32_t w, int32_t h, uint32_t t) {
    Layout l{};
    l.w = w;
    l.h = h;
    l.side = w < h ? w : h;
    l.horizon = h * 3 / 5;
    l.ballR = l.side / 7 + 1;
    const int32_t travel = w + 2 * l.ballR;
    l.ballX = static_cast<int32_t>((t * static_cast<uint32_t>(w > 160 ? w / 160 : 1) * 3u +
                                    static_cast<uint32_t>(w) / 4u) % static_cast<uint32_t>(travel)) - l.ballR;
    l.ballY = h / 4 + bounce(t, 20) * h / 200;
    l.boxS = l.side / 6 + 1;
    l.boxX = w * 11 / 20 + bounce(t, 45) * w / 150;
    l.boxY = l.horizon + (h - l.horizon - l.boxS) / 2 - bounce(t * 2, 15) * h / 120;
    l.triS = l.side / 5 + 1;
    l.triX = w / 8;
    l.triY = l.horizon + (h - l.horizon) / 6;
    l.chkS = l.side / 4 + 1;
    l.chkX = w - l.chkS - w / 20;
    l.chkY = h / 16;
    l.bars = w / 3;
    return l;
}

// The scene in top-down coordinates (y = 0 is the top row on screen).
Rgb scene(const Layout& l, int32_t x, int32_t y) {
    Rgb c;
    if (y < l.horizon) {  // sky: deep blue at the top to pale near the horizon
        c = mix({30, 60, 170}, {200, 220, 240}, y, l.horizon);
    } else {              // ground: green, lighter towards the viewer and to the right
        const int32_t d = y - l.horizon, span = l.h - l.horizon;
        c = mix({70, 110, 50}, {150, 180, 90}, d, span > 0 ? span : 1);
        c = mix(c, {170, 160, 110}, x, 2 * l.w);
    }
    // Checkerboard panel with a dark frame: sharp edges in both directions.
    if (x >= l.chkX && x < l.chkX + l.chkS && y >= l.chkY && y < l.chkY + l.chkS) {
        const int32_t fx = x - l.chkX, fy = y - l.chkY, cell = l.chkS / 6 + 1;
        if (fx < 3 || fy < 3 || fx >= l.chkS - 3 || fy >= l.chkS - 3) c = {40, 40, 40};
        else c = ((fx / cell + fy / cell) & 1) ? Rgb{235, 235, 235} : Rgb{25, 25, 25};
    }
    // Thin vertical bars of 1, 2 and 4 pixels: the minimum and maximum filters erase or widen them.
    if (y > l.horizon / 5 && y < l.horizon * 4 / 5) {
        const int32_t bx = x - l.bars;
        if ((bx >= 0 && bx < 1) || (bx >= 8 && bx < 10) || (bx >= 18 && bx < 22)) c = {255, 255, 255};
    }
    // Shaded ball: a smooth radial gradient inside a sharp outline.
    const int32_t dx = x - l.ballX, dy = y - l.ballY, r2 = l.ballR * l.ballR;
    const int32_t d2 = dx * dx + dy * dy;
    if (d2 <= r2) {
        const int32_t hx = dx + l.ballR / 3, hy = dy + l.ballR / 3;  // highlight up and left
        const int32_t h2 = hx * hx + hy * hy;
        const int32_t k = h2 < 4 * r2 ? h2 : 4 * r2;
        c = mix({255, 240, 150}, {200, 90, 10}, k, 4 * r2);
    }
    // White triangle, apex up.
    const int32_t ty = y - l.triY;
    if (ty >= 0 && ty < l.triS) {
        const int32_t half = ty / 2 + 1, mid = l.triX + l.triS / 2;
        if (x >= mid - half && x < mid + half) c = {245, 245, 245};
    }
    // Red box with a darker bottom edge.
    if (x >= l.boxX && x < l.boxX + l.boxS && y >= l.boxY && y < l.boxY + l.boxS)
        c = y >= l.boxY + l.boxS * 4 / 5 ? Rgb{130, 20, 30} : Rgb{210, 40, 50};
    return c;
}

// SMPTE-style bars: seven 75% bars, a row of reversed blue bars, a gray ramp with black and
// white patches, and a small marker gliding along the ramp so that the picture is live.
Rgb bars(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t t) {
    static constexpr Rgb kTop[7] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                    {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
    static constexpr Rgb kMid[7] = {{0, 0, 191},     {19, 19, 19}, {191, 0, 191}, {19, 19, 19},
                                    {0, 191, 191}, {19, 19, 19}, {191, 191, 191}};
    const int32_t i = x * 7 / w;
    if (y < h * 2 / 3) return kTop[i];
    if (y < h * 3 / 4) return kMid[i];
    if (y < h * 7 / 8) {
        const int32_t g = x * 255 / (w > 1 ? w - 1 : 1);
        const int32_t mx = bounce(t * 4, w - 8);
        if (x >= mx && x < mx + 8 && y >= h * 3 / 4 + 4 && y < h * 7 / 8 - 4) return {255, 60, 60};
        return {g, g, g};
    }
    if (x < w / 4) return {0, 33, 76};
    if (x < w / 2) return {255, 255, 255};
    if (x < w * 3 / 4) return {50, 0, 106};
    return {16, 16, 16};
}

}  // namespace

void renderPicture(Picture picture, int32_t width, int32_t height, uint32_t frame, uint8_t* bgr) {
    if (width <= 0 || height <= 0) return;
    const bool still = picture == Picture::Still;
    // The still is one fixed moment of the scene, with the shapes well apart.
    const uint32_t t = still ? 30 : frame;
    const Layout l = layout(width, height, t);
    for (int32_t i = 0; i < height; ++i) {
        const int32_t y = height - 1 - i;  // bottom-up rows
        uint8_t* out = bgr + static_cast<size_t>(i) * width * 3;
        for (int32_t x = 0; x < width; ++x, out += 3) {
            Rgb c{};
            int32_t noise = 0;
            const uint32_t seed = hash(static_cast<uint32_t>(y * 1297 + x) ^ (t * 0x9e3779b9U));
            switch (picture) {
                case Picture::ColourBars:
                    c = bars(x, y, width, height, frame);
                    break;
                case Picture::Noise:
                    c = scene(l, x, y);
                    // Grain plus scattered black and white specks, which the median removes.
                    noise = static_cast<int32_t>(seed % 41u) - 20;
                    if (seed >> 26 == 0) c = {0, 0, 0};
                    else if (seed >> 26 == 1) c = {255, 255, 255};
                    break;
                case Picture::MovingShapes:
                case Picture::Still:
                    c = scene(l, x, y);
                    noise = static_cast<int32_t>(seed % 3u) - 1;  // mild sensor noise: the filters stretch it
                    break;
            }
            out[0] = clampByte(c.b + noise);
            out[1] = clampByte(c.g + noise);
            out[2] = clampByte(c.r + noise);
        }
    }
}

}  // namespace simcam
