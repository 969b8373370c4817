// The scalar row kernels: every formula written out plainly, in the order and with the
// truncation the operations define. The vector kernels must return exactly these bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>

#include "frame_store.h"
#include "kernels.h"

namespace pixelwell {

namespace {

inline void putPixel(uint8_t* out, int32_t b, int32_t g, int32_t r) {
    out[0] = static_cast<uint8_t>(b);
    out[1] = static_cast<uint8_t>(g);
    out[2] = static_cast<uint8_t>(r);
    out[3] = 0;
}

inline int32_t absDiff(int32_t a, int32_t b) { return a > b ? a - b : b - a; }

void copyRowScalar(const uint8_t* bgr, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, bgr += 3, surface += 4) putPixel(surface, bgr[0], bgr[1], bgr[2]);
}

void invertRowScalar(const uint8_t* bgr, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, bgr += 3, surface += 4)
        putPixel(surface, 255 - bgr[0], 255 - bgr[1], 255 - bgr[2]);
}

void differenceRowScalar(const uint8_t* cur, const uint8_t* ref, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, cur += 3, ref += 3, surface += 4) {
        const int32_t db = absDiff(cur[0], ref[0]);
        const int32_t dg = absDiff(cur[1], ref[1]);
        const int32_t dr = absDiff(cur[2], ref[2]);
        // floor(sqrt(sum)) >= 19 exactly when sum >= 361.
        if (db * db + dg * dg + dr * dr <= 360)
            putPixel(surface, db, dg, dr);
        else
            putPixel(surface, cur[0], cur[1], cur[2]);
    }
}

void streamBytesScalar(const uint8_t* src, uint8_t* dst, int count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count));
}

template <int kRuns, int kShift>
void averageBytesScalar(const uint8_t* const* runs, uint8_t* dst, int count) {
    for (int k = 0; k < count; ++k) {
        int32_t sum = 0;
        for (int s = 0; s < kRuns; ++s) sum += runs[s][k];
        dst[k] = static_cast<uint8_t>(sum >> kShift);
    }
}

// Bytes first..first+count-1 of the held sums <- sum(p, the remainder held for p); sum reads
// the mean it needs itself. The whole 64-byte blocks go by the pairs of bytes that share a
// nibble byte (which the compiler can turn into vectors), the rest one byte at a time.
template <class Sum>
void holdSums(uint8_t* means, uint8_t* remainders, int first, int count, Sum sum) {
    const int end = first + count;
    for (int p = first; p < end;) {
        if (p % 64 == 0 && p + 64 <= end) {
            uint8_t* nibbles = remainders + p / 2;
            for (int h = 0; h < 32; ++h) {
                const int32_t lower = sum(p + h, nibbles[h] & 7), upper = sum(p + 32 + h, nibbles[h] >> 4 & 7);
                means[p + h] = static_cast<uint8_t>(lower >> 3);
                means[p + 32 + h] = static_cast<uint8_t>(upper >> 3);
                nibbles[h] = static_cast<uint8_t>((lower & 7) | (upper & 7) << 4);
            }
            p += 64;
        } else {
            uint8_t& nibbles = remainders[remainderByte(p)];
            const int shift = remainderShift(p);
            const int32_t s = sum(p, nibbles >> shift & 7);
            means[p] = static_cast<uint8_t>(s >> 3);
            nibbles = static_cast<uint8_t>((nibbles & ~(15 << shift)) | (s & 7) << shift);
            ++p;
        }
    }
}

void sum8BytesScalar(const uint8_t* const* runs, uint8_t* means, uint8_t* remainders, int first, int count) {
    holdSums(means, remainders, first, count, [&](int p, int32_t) {
        int32_t sum = 0;
        for (int s = 0; s < 8; ++s) sum += runs[s][p];
        return sum;
    });
}

void replaceSummedBytesScalar(const uint8_t* frame, uint8_t* slot, uint8_t* means, uint8_t* remainders, int first,
                              int count) {
    holdSums(means, remainders, first, count,
             [&](int p, int32_t remainder) { return means[p] * 8 + remainder + frame[p] - slot[p]; });
    std::memcpy(slot + first, frame + first, static_cast<size_t>(count));
}

void frameDifferenceBytesScalar(const uint8_t* cur, const uint8_t* prev, uint8_t* dst, int count) {
    for (int k = 0; k < count; ++k) dst[k] = static_cast<uint8_t>((cur[k] - prev[k] + 127) & 255);
}

void absDifferenceBytesScalar(const uint8_t* cur, const uint8_t* ref, uint8_t* dst, int count) {
    for (int k = 0; k < count; ++k) dst[k] = static_cast<uint8_t>(absDiff(cur[k], ref[k]));
}

void grayRowScalar(const uint8_t* bgr, uint8_t* gray, int width) {
    for (int j = 0; j < width; ++j, bgr += 3) gray[j] = static_cast<uint8_t>(grayLevel(bgr[0], bgr[1], bgr[2]));
}

void grayStoreRowScalar(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width) {
    std::memcpy(slot, bgr, static_cast<size_t>(width) * 3);
    grayRowScalar(bgr, gray, width);
}

void grayToSurfaceRowScalar(const uint8_t* gray, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, surface += 4) putGrayPixel(surface, gray[j]);
}

void thresholdRowScalar(const uint8_t* gray, int threshold, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, surface += 4) putGrayPixel(surface, gray[j] >= threshold ? 255 : 0);
}

void toneRowScalar(const int16_t* values, const ToneMap* map, uint8_t* surface, int width) {
    for (int j = 0; j < width; ++j, surface += 4) {
        if (map->raw) {
            putGrayPixel(surface, values[j]);
            continue;
        }
        const int64_t level =
            std::clamp<int64_t>((static_cast<int64_t>(values[j]) - map->minimum) * 255 / map->range, 0, 255);
        const int64_t out = level <= map->low    ? 0
                            : level >= map->high ? 255
                                                 : 255 * (level - map->low) / (map->high - map->low);
        putGrayPixel(surface, static_cast<int32_t>(out));
    }
}

void tallyRowScalar(const int16_t* values, int count, ValueTally* tally) {
    for (int j = 0; j < count; ++j) {
        const int16_t v = values[j];
        tally->minimum = std::min(tally->minimum, v);
        tally->maximum = std::max(tally->maximum, v);
        for (int t = 0; t < tally->count; ++t)
            if (v < tally->thresholds[t]) ++tally->below[t];
    }
}

void tallyGrayRunScalar(const uint8_t* gray, int count, GrayTally* tally) {
    for (int j = 0; j < count; ++j) {
        const uint8_t g = gray[j];
        tally->minimum = std::min(tally->minimum, g);
        tally->maximum = std::max(tally->maximum, g);
        for (int t = 0; t < kGrayThresholds; ++t)
            if (g < tally->thresholds[t]) ++tally->below[t];
    }
}

void convolve3x3RowScalar(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                          const int16_t* weights, int divisor, int16_t* out, int width) {
    const uint8_t* rows[3] = {below, same, above};
    for (int j = 1; j < width - 1; ++j) {
        int32_t sum = 0;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) sum += weights[3 * a + b] * rows[a][j - 1 + b];
        out[j] = static_cast<int16_t>(divisor == 1 ? sum : sum / divisor);  // truncates
    }
}

void convolveRowScalar(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width) {
    const int reach = (plan->size - 1) / 2;
    for (int j = reach; j < width - reach; ++j) {
        int32_t sum = 0;
        for (int a = 0; a < plan->size; ++a)
            for (int b = 0; b < plan->size; ++b) sum += plan->weights[plan->size * a + b] * rows[a][j - reach + b];
        out[j] = static_cast<int16_t>(plan->divisor == 1 ? sum : sum / plan->divisor);  // truncates
    }
}

void divideRunScalar(const int16_t* in, const KernelPlan* plan, int16_t* out, int count) {
    for (int k = 0; k < count; ++k) out[k] = static_cast<int16_t>(in[k] / plan->divisor);
}

void divideWideRunScalar(const int32_t* in, const KernelPlan* plan, int32_t* out, int count) {
    for (int k = 0; k < count; ++k) out[k] = in[k] / plan->divisor;
}

void convolveRow32Scalar(const uint8_t* const* rows, const KernelPlan* plan, int32_t* out, int width, int32_t* bounds) {
    const int reach = (plan->size - 1) / 2;
    for (int j = reach; j < width - reach; ++j) {
        int32_t sum = 0;
        for (int a = 0; a < plan->size; ++a)
            for (int b = 0; b < plan->size; ++b) sum += plan->weights[plan->size * a + b] * rows[a][j - reach + b];
        out[j] = plan->divisor == 1 ? sum : sum / plan->divisor;  // truncates
        bounds[0] = std::min(bounds[0], out[j]);
        bounds[1] = std::max(bounds[1], out[j]);
    }
}

void levelRunScalar(const int32_t* values, int count, int32_t minimum, int32_t range, int16_t* levels) {
    for (int k = 0; k < count; ++k)
        levels[k] = static_cast<int16_t>(
            std::clamp<int64_t>((static_cast<int64_t>(values[k]) - minimum) * 255 / range, 0, 255));
}

void columnSums5(const uint8_t* const* rows, int16_t* columns, bool fresh, int width) {
    for (int j = 0; j < width; ++j)
        columns[j] = static_cast<int16_t>(fresh ? rows[1][j] + rows[2][j] + rows[3][j] + rows[4][j] + rows[5][j]
                                                : columns[j] + rows[5][j] - rows[0][j]);
}

int32_t sum5x5(const int16_t* columns, int j) {
    return columns[j - 2] + columns[j - 1] + columns[j] + columns[j + 1] + columns[j + 2];
}

void lowPass5RowScalar(const uint8_t* const* rows, int16_t* columns, bool fresh, int16_t* out, int width) {
    columnSums5(rows, columns, fresh, width);
    for (int j = 2; j < width - 2; ++j) out[j] = static_cast<int16_t>(sum5x5(columns, j) / 25);
}

void highPass5RowScalar(const uint8_t* const* rows, int16_t* columns, bool fresh, int16_t* out, int width) {
    columnSums5(rows, columns, fresh, width);
    for (int j = 2; j < width - 2; ++j) {
        // 24 x centre minus the 24 others = 25 x centre minus all 25.
        const int32_t sum = 25 * rows[3][j] - sum5x5(columns, j);
        out[j] = static_cast<int16_t>(sum / 25);
    }
}

template <typename Reduce>
void neighbourhood3x3(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                      uint8_t* out, int width, Reduce reduce) {
    for (int j = 1; j < width - 1; ++j) {
        int32_t v[9] = {below[j - 1], below[j], below[j + 1], same[j - 1], same[j],
                        same[j + 1],  above[j - 1], above[j], above[j + 1]};
        out[j] = static_cast<uint8_t>(reduce(v));
    }
}

void minimum3RowScalar(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                       uint8_t* out, int width) {
    neighbourhood3x3(below, same, above, out, width, [](int32_t* v) {
        return std::min({std::min({v[0], v[1], v[2]}), std::min({v[3], v[4], v[5]}),
                         std::min({v[6], v[7], v[8]})});
    });
}

void maximum3RowScalar(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                       uint8_t* out, int width) {
    neighbourhood3x3(below, same, above, out, width, [](int32_t* v) {
        return std::max({std::max({v[0], v[1], v[2]}), std::max({v[3], v[4], v[5]}),
                         std::max({v[6], v[7], v[8]})});
    });
}

void median3RowScalar(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                      uint8_t* out, int width) {
    neighbourhood3x3(below, same, above, out, width, [](int32_t* v) {
        // Five bubble passes put the five largest values in place; position 4 is the median.
        for (int32_t k = 0; k < 5; ++k)
            for (int32_t e = 0; e <= 7 - k; ++e)
                if (v[e + 1] < v[e]) std::swap(v[e], v[e + 1]);
        return v[4];
    });
}

void mean3RowScalar(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                    uint8_t* out, int width) {
    neighbourhood3x3(below, same, above, out, width, [](int32_t* v) {
        return (v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7] + v[8]) / 9;
    });
}

Convolve3x3Row convolve3x3ForScalar(const int16_t*, int) { return convolve3x3RowScalar; }

void divide9RunScalar(const int16_t* in, int16_t* out, int count) {
    for (int k = 0; k < count; ++k) out[k] = static_cast<int16_t>(in[k] / 9);
}

void divide25RunScalar(const int16_t* in, int16_t* out, int count) {
    for (int k = 0; k < count; ++k) out[k] = static_cast<int16_t>(in[k] / 25);
}

constexpr KernelTable kScalarTable{
    "scalar",
    copyRowScalar,
    invertRowScalar,
    differenceRowScalar,
    streamBytesScalar,
    streamBytesScalar,
    averageBytesScalar<2, 1>,
    averageBytesScalar<4, 2>,
    sum8BytesScalar,
    replaceSummedBytesScalar,
    frameDifferenceBytesScalar,
    absDifferenceBytesScalar,
    grayRowScalar,
    grayStoreRowScalar,
    grayStoreRowScalar,  // the plain copy either way
    grayToSurfaceRowScalar,
    thresholdRowScalar,
    toneRowScalar,
    tallyRowScalar,
    tallyGrayRunScalar,
    convolve3x3RowScalar,
    convolve3x3ForScalar,
    convolveRowScalar,
    lowPass5RowScalar,
    highPass5RowScalar,
    minimum3RowScalar,
    maximum3RowScalar,
    median3RowScalar,
    mean3RowScalar,
    divide9RunScalar,
    divide25RunScalar,
    divideRunScalar,
    divideWideRunScalar,
    convolveRow32Scalar,
    levelRunScalar,
};

}  // namespace

const KernelTable& scalarKernels() { return kScalarTable; }

void planKernel(int32_t size, const int16_t* weights, int32_t divisor, KernelPlan& plan) {
    plan = KernelPlan{};
    plan.size = size;
    plan.divisor = divisor;
    const int32_t taps = size * size;
    std::copy(weights, weights + taps, plan.weights);
    int32_t log = 0;  // ceil(log2 divisor)
    while ((1 << log) < divisor) ++log;
    if (divisor >= 2) {
        plan.multiplier = static_cast<uint16_t>(((int64_t{1} << (15 + log)) + divisor - 1) / divisor);
        plan.shift = log - 1;
    }
    int32_t positive = 0, negative = 0;
    for (int32_t t = 0; t < taps; ++t) (weights[t] > 0 ? positive : negative) += weights[t];
    plan.wideSums = 255 * positive > INT16_MAX || -255 * negative > INT16_MAX;
    plan.unsignedShift = plan.wideSums && negative == 0 && 255 * positive <= UINT16_MAX && divisor == (1 << log);
    if (plan.unsignedShift) plan.wideSums = false;
    // A column times a row: the first nonzero row, divided by the greatest common divisor of its
    // weights, is the row; each row of weights must then be a whole multiple of it.
    int32_t first = 0;
    while (first < size && std::all_of(weights + first * size, weights + first * size + size, [](int16_t w) { return w == 0; }))
        ++first;
    if (first < size) {
        int32_t common = 0, pivot = -1;
        for (int32_t b = 0; b < size; ++b) {
            common = std::gcd(common, static_cast<int32_t>(weights[first * size + b]));
            if (pivot < 0 && weights[first * size + b] != 0) pivot = b;
        }
        if (weights[first * size + pivot] < 0) common = -common;
        bool separable = true;
        for (int32_t b = 0; b < size; ++b) plan.row[b] = static_cast<int16_t>(weights[first * size + b] / common);
        for (int32_t a = 0; a < size && separable; ++a) {
            const int32_t w = weights[a * size + pivot];
            separable = w % plan.row[pivot] == 0;
            plan.column[a] = static_cast<int16_t>(separable ? w / plan.row[pivot] : 0);
            for (int32_t b = 0; b < size && separable; ++b)
                separable = weights[a * size + b] == plan.column[a] * plan.row[b];
        }
        plan.separable = separable;
    }
    int32_t placed = 0;
    for (int32_t t = 0; t < taps; ++t) {
        const int16_t w = weights[t];
        if (w == 0 || std::find(plan.groupWeight, plan.groupWeight + plan.groups, w) != plan.groupWeight + plan.groups)
            continue;
        plan.groupWeight[plan.groups] = w;
        plan.first[plan.groups] = static_cast<uint8_t>(placed);
        for (int32_t u = t; u < taps; ++u)
            if (weights[u] == w) plan.taps[placed++] = static_cast<uint8_t>(u);
        ++plan.groups;
    }
    plan.first[plan.groups] = static_cast<uint8_t>(placed);
}

}  // namespace pixelwell
