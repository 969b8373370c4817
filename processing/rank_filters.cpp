// 3x3 minimum, maximum, median and mean over the gray plane; black one-pixel border.
#include <algorithm>
#include <utility>

#include "operations.h"

namespace pixelwell {

namespace {

// ResultPlane <- reduce(nine neighbours, row i-1 first) inside, 0 on the border; then shown.
template <typename Reduce>
void filter3x3(Core& core, Reduce reduce) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    for (int32_t i = 0; i < height; ++i) {
        int32_t* out = planeRow(core.ResultPlane, i, height);
        if (i == 0 || i == height - 1) {
            std::fill(out, out + width, 0);
            continue;
        }
        const int32_t* below = planeRow(core.GrayPlane, i - 1, height);
        const int32_t* same = planeRow(core.GrayPlane, i, height);
        const int32_t* above = planeRow(core.GrayPlane, i + 1, height);
        for (int32_t j = 0; j < width; ++j) {
            if (j == 0 || j == width - 1) {
                out[j] = 0;
                continue;
            }
            int32_t v[9] = {below[j - 1], below[j], below[j + 1], same[j - 1], same[j],
                            same[j + 1],  above[j - 1], above[j], above[j + 1]};
            out[j] = reduce(v);
        }
    }
    showPlane(core, core.ResultPlane);
}

}  // namespace

void filterMinimum3x3(Core& core) {
    filter3x3(core, [](int32_t* v) {
        return std::min({std::min({v[0], v[1], v[2]}), std::min({v[3], v[4], v[5]}),
                         std::min({v[6], v[7], v[8]})});
    });
}

void filterMaximum3x3(Core& core) {
    filter3x3(core, [](int32_t* v) {
        return std::max({std::max({v[0], v[1], v[2]}), std::max({v[3], v[4], v[5]}),
                         std::max({v[6], v[7], v[8]})});
    });
}

void filterMedian3x3(Core& core) {
    filter3x3(core, [](int32_t* v) {
        // Five bubble passes put the five largest values in place; position 4 is the median.
        for (int32_t k = 0; k < 5; ++k)
            for (int32_t e = 0; e <= 7 - k; ++e)
                if (v[e + 1] < v[e]) std::swap(v[e], v[e + 1]);
        return v[4];
    });
}

void filterMean3x3(Core& core) {
    filter3x3(core, [](int32_t* v) {
        return (v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7] + v[8]) / 9;
    });
}

}  // namespace pixelwell
