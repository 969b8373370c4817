// Plane normalisation with contrast stretch, and binarisation at the median gray level.
#include "operations.h"

namespace pixelwell {

namespace {

// Maps every value of the frame area onto 0..255 through [minimum, minimum + range] and
// counts the levels. A value outside the range (the filters' zero border) is clamped, so the
// histogram is never indexed outside 0..255.
void normalizeAndCount(Core& core, Plane& plane, int32_t width, int32_t height, int32_t minimum,
                       int64_t range) {
    auto& histogram = core.Histogram;
    histogram.fill(0);
    for (int32_t i = 0; i < height; ++i) {
        int32_t* row = planeRow(plane, i, height);
        for (int32_t j = 0; j < width; ++j) {
            // 64-bit product: identical to 32-bit arithmetic for every filter value, and safe
            // for any plane a caller may hand in.
            int64_t level = (static_cast<int64_t>(row[j]) - minimum) * 255 / range;
            if (level < 0) level = 0;
            if (level > 255) level = 255;
            row[j] = static_cast<int32_t>(level);
            ++histogram[static_cast<size_t>(level)];
        }
    }
}

void applyLevelTable(Core& core, Plane& plane, int32_t width, int32_t height) {
    const auto& levels = core.LevelTable;
    for (int32_t i = 0; i < height; ++i) {
        int32_t* row = planeRow(plane, i, height);
        for (int32_t j = 0; j < width; ++j) row[j] = levels[static_cast<uint8_t>(row[j])];
    }
}

}  // namespace

StretchCuts stretchCuts(const Core& core, int32_t pixelCount) {
    const auto& histogram = core.Histogram;
    const int32_t tail = pixelCount / 20;
    int32_t low = 0;
    int32_t sum = 0;
    for (int32_t level = 0; level <= 255; ++level) {
        sum += histogram[level];
        if (sum < tail) low = level;
    }
    // The upper running sum deliberately starts at 255 and never visits level 0: this
    // keeps the stretch of the pictures users know.
    int32_t high = 255;
    sum = 255;
    for (int32_t level = 255; level >= 1; --level) {
        sum += histogram[level];
        if (sum < tail) high = level;
    }
    return {low, high};
}

bool buildStretchTable(Core& core, int32_t pixelCount) {
    const auto [low, high] = stretchCuts(core, pixelCount);
    auto& table = core.LevelTable;
    if (low >= high) return false;
    for (int32_t level = 0; level <= 255; ++level) {
        if (level <= low)
            table[level] = 0;
        else if (level >= high)
            table[level] = 255;
        else
            table[level] = static_cast<uint8_t>(255 * (level - low) / (high - low));
    }
    return true;
}

void buildMedianTable(Core& core, int32_t pixelCount) {
    const auto& histogram = core.Histogram;
    const int32_t median = pixelCount / 2;
    int32_t sum = 0;
    for (int32_t level = 0; level <= 255; ++level) {
        sum += histogram[level];
        core.LevelTable[level] = sum >= median ? 255 : 0;
    }
}

bool toneMapPlane(Core& core, Plane& plane, int32_t width, int32_t height, int32_t minimum, int32_t maximum) {
    const int64_t range = static_cast<int64_t>(maximum) - minimum;
    if (range <= 0) return false;
    normalizeAndCount(core, plane, width, height, minimum, range);
    if (buildStretchTable(core, width * height)) applyLevelTable(core, plane, width, height);
    return true;
}

void normalizeResultPlane(Core& core, Plane& plane, int32_t minimum, int32_t maximum) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    toneMapPlane(core, plane, width, height, minimum, maximum);
    showPlane(core, plane);
}

Range binarizeGrayPlane(Core& core, const uint8_t* frame, int32_t width, int32_t height) {
    int32_t minimum = 1;
    int32_t maximum = 0;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* src = frame + static_cast<size_t>(i) * width * 3;
        int32_t* dst = planeRow(core.GrayPlane, i, height);
        for (int32_t j = 0; j < width; ++j, src += 3) {
            const int32_t g = grayLevel(src[0], src[1], src[2]);
            dst[j] = g;
            if (minimum > maximum)
                minimum = maximum = g;
            else if (g > maximum)
                maximum = g;
            else if (g < minimum)
                minimum = g;
        }
    }

    const int32_t range = maximum - minimum;
    if (range > 0) {
        normalizeAndCount(core, core.GrayPlane, width, height, minimum, range);
        buildMedianTable(core, width * height);
        applyLevelTable(core, core.GrayPlane, width, height);
    }
    return {minimum, maximum};
}

void binarizeFrame(Core& core, const uint8_t* frame) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    binarizeGrayPlane(core, frame, width, height);
    showPlane(core, core.GrayPlane);
}

}  // namespace pixelwell
