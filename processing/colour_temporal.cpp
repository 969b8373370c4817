// Normal, inverted, averaged, differenced and gray display.
#include <cstring>

#include "operations.h"

namespace pixelwell {

namespace {

// Runs rowOp(sourceOffset, surfaceRow, width) for every frame row, bottom row first.
template <typename RowOp>
void forEachRow(Core& core, RowOp rowOp) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    for (int32_t i = 0; i < height; ++i)
        rowOp(static_cast<size_t>(i) * width * 3, surfaceRow(core, i, height), width);
}

inline void putPixel(uint8_t* out, int32_t b, int32_t g, int32_t r) {
    out[0] = static_cast<uint8_t>(b);
    out[1] = static_cast<uint8_t>(g);
    out[2] = static_cast<uint8_t>(r);
    out[3] = 0;
}

inline int32_t absDiff(int32_t a, int32_t b) { return a > b ? a - b : b - a; }

}  // namespace

void showNormal(Core& core, const uint8_t* frame) {
    forEachRow(core, [frame](size_t offset, uint8_t* out, int32_t width) {
        const uint8_t* src = frame + offset;
        for (int32_t j = 0; j < width; ++j, src += 3, out += 4) putPixel(out, src[0], src[1], src[2]);
    });
}

void showInverted(Core& core, const uint8_t* frame) {
    forEachRow(core, [frame](size_t offset, uint8_t* out, int32_t width) {
        const uint8_t* src = frame + offset;
        for (int32_t j = 0; j < width; ++j, src += 3, out += 4)
            putPixel(out, 255 - src[0], 255 - src[1], 255 - src[2]);
    });
}

void showAverage(Core& core, int32_t slot, int32_t count) {
    const int32_t shift = count == 2 ? 1 : count == 4 ? 2 : 3;
    const uint8_t* slots[8];
    for (int32_t k = 0; k < count; ++k) slots[k] = core.FrameRing[(slot + 8 - k) & 7].data();
    forEachRow(core, [&](size_t offset, uint8_t* out, int32_t width) {
        for (int32_t j = 0; j < width; ++j, out += 4) {
            for (int32_t c = 0; c < 3; ++c) {
                int32_t sum = 0;
                for (int32_t k = 0; k < count; ++k) sum += slots[k][offset + 3 * j + c];
                out[c] = static_cast<uint8_t>(sum >> shift);
            }
            out[3] = 0;
        }
    });
}

void showFrameDifference(Core& core, int32_t slot) {
    const uint8_t* cur = core.FrameRing[slot & 7].data();
    const uint8_t* prev = core.FrameRing[(slot + 7) & 7].data();
    forEachRow(core, [=](size_t offset, uint8_t* out, int32_t width) {
        const uint8_t* c = cur + offset;
        const uint8_t* p = prev + offset;
        for (int32_t j = 0; j < width; ++j, c += 3, p += 3, out += 4)
            // 8-bit arithmetic: the difference wraps modulo 256.
            putPixel(out, (c[0] - p[0] + 127) & 255, (c[1] - p[1] + 127) & 255,
                     (c[2] - p[2] + 127) & 255);
    });
}

void captureReference(Core& core, const uint8_t* frame, int32_t length) {
    if (core.ReferencePending != 1) return;
    // A buffer longer than the reference is cut rather than overrunning it.
    const int32_t slotBytes = core.slotBytes();
    if (length > 0)
        std::memcpy(core.ReferenceFrame.data(), frame, static_cast<size_t>(length < slotBytes ? length : slotBytes));
    core.ReferencePending = 0;
    core.ReferenceTakenAt = core.FrameCounter;
}

namespace {

bool holdsWholeFrame(const Core& core, int32_t length) {
    int32_t width, height;
    return drawableGeometry(core, width, height) && length >= width * height * 3;
}

}  // namespace

void showSimpleDifference(Core& core, const uint8_t* frame, int32_t length) {
    captureReference(core, frame, length);
    if (!holdsWholeFrame(core, length)) return;
    const uint8_t* reference = core.ReferenceFrame.data();
    forEachRow(core, [frame, reference](size_t offset, uint8_t* out, int32_t width) {
        const uint8_t* c = frame + offset;
        const uint8_t* r = reference + offset;
        for (int32_t j = 0; j < width; ++j, c += 3, r += 3, out += 4)
            putPixel(out, absDiff(c[0], r[0]), absDiff(c[1], r[1]), absDiff(c[2], r[2]));
    });
}

void showDifference(Core& core, const uint8_t* frame, int32_t length) {
    captureReference(core, frame, length);
    if (!holdsWholeFrame(core, length)) return;
    const uint8_t* reference = core.ReferenceFrame.data();
    forEachRow(core, [frame, reference](size_t offset, uint8_t* out, int32_t width) {
        const uint8_t* c = frame + offset;
        const uint8_t* r = reference + offset;
        for (int32_t j = 0; j < width; ++j, c += 3, r += 3, out += 4) {
            const int32_t db = absDiff(c[0], r[0]);
            const int32_t dg = absDiff(c[1], r[1]);
            const int32_t dr = absDiff(c[2], r[2]);
            // floor(sqrt(sum)) >= 19 exactly when sum >= 361.
            if (db * db + dg * dg + dr * dr <= 360)
                putPixel(out, db, dg, dr);
            else
                putPixel(out, c[0], c[1], c[2]);
        }
    });
}

void showGray(Core& core) { showPlane(core, core.GrayPlane); }

}  // namespace pixelwell
