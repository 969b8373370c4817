// Single-pass operations over the row kernels. Why they equal the plain operations:
// - gray rows are computed once into a small ring, as the filter's first step;
// - a filter's value depends only on its neighbourhood, so rows may be done one at a time;
// - normalisation and stretch are functions of the filter value alone, applied as one tone
//   map while the surface is written; levels grow with the value, so the stretch's cuts are
//   the levels of two ranked values, found by counting values below thresholds;
// - the binarisation's table is a step over the gray levels, so it becomes a threshold.
#include "fused_operations.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels.h"

namespace pixelwell {

namespace {

constexpr int32_t kValueSpan = kFilterValueMax - kFilterValueMin + 1;
constexpr uint32_t kSteadyFrames = 8;
constexpr int32_t kTallyBlock = 8192;
// Frames from this size on come in from beyond the L2 cache while their rows are made: their
// filter values are tallied in blocks of about kStreamedTallyBlock values instead, so that the
// frame's loads keep streaming in between (a long tally leaves them idle).
constexpr int64_t kStreamedTallyFrame = 512 * 1024;
constexpr int32_t kStreamedTallyBlock = 1280;
constexpr int32_t kRecountThresholds = 8;

using ValueCountTables = int32_t (*)[kValueSpan];
using GrayCountTables = int32_t (*)[256];

inline const uint8_t* frameRow(const uint8_t* frame, int32_t i, int32_t width) {
    return frame + static_cast<size_t>(i) * width * 3;
}

// Frames larger than any L2 cache (kStreamedRingFrame): the gray-based modes, which do not
// read the ring, store them around the caches, and their gray rows ask for each next row ahead.
inline bool largeFrame(int32_t width, int32_t height) {
    return static_cast<int64_t>(width) * height * 3 >= kStreamedRingFrame;
}

// Whether the modes that read the ring back store a frame of this geometry around the caches.
inline bool ringReadersStoreAround(const Core& core, int32_t width, int32_t height) {
    return ringReadBackAround(static_cast<int64_t>(width) * height * 3, core.LastLevelCacheBytes);
}

// The gray row kernel that also stores the row into the slot: around the caches in large
// frames; below that the ring stays in the caches, where plain stores cost less than the
// stores around them.
using GrayStore = void (*)(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width);
using GrayRow = void (*)(const uint8_t* bgr, uint8_t* gray, int width);
inline GrayStore grayStoreFor(const KernelTable& kernels, int32_t width, int32_t height) {
    return largeFrame(width, height) ? kernels.grayStoreRow : kernels.grayCopyRow;
}

// The rows below which grayOfRow asks for the next row ahead: in large frames, where the
// hardware's own prefetch left the loads waiting (the gray-based modes at 1280x1280 8-16%
// faster on a CPU with a 2 MB L2). Smaller frames only pay for the instructions (up to 6% at
// 320x240; 640x480 the same or slower by up to 3%).
inline int32_t rowsAhead(int32_t width, int32_t height) { return largeFrame(width, height) ? height : 0; }

// Gray levels of frame row i into `gray`; given a slot, the row also goes into it (`store`).
inline void grayOfRow(const uint8_t* frame, int32_t i, int32_t ahead, int32_t width, uint8_t* gray,
                      uint8_t* slot, GrayStore store, GrayRow grayRow) {
    if (i + 1 < ahead) {
        const uint8_t* next = frameRow(frame, i + 1, width);
        for (int32_t k = 0; k < width * 3; k += 64) __builtin_prefetch(next + k);
    }
    if (slot)
        store(frameRow(frame, i, width), gray, slot + static_cast<size_t>(i) * width * 3, width);
    else
        grayRow(frameRow(frame, i, width), gray, width);
}

// The frame's rows from `first` on into the slot, after grayOfRow stored the rows before:
// ends with streamBytes' fence (also when no row is left), which orders grayOfRow's stores.
inline void finishSlot(const KernelTable& kernels, const uint8_t* frame, uint8_t* slot, int32_t first,
                       int32_t height, int32_t width) {
    const size_t offset = static_cast<size_t>(first) * width * 3;
    kernels.streamBytes(frame + offset, slot + offset, std::max(0, height - first) * width * 3);
}

// Frame row i into the slot (if any) just before the operation reads it, which then reads it
// from the cache: around the caches, or plainly for a slot the next frames read back while it
// is still in cache (ringReadBackAround). finishSlot orders the stores.
using StreamRow = void (*)(const uint8_t* src, uint8_t* dst, int count);
inline void storeRowAhead(StreamRow streamRow, uint8_t* slot, const uint8_t* frame, int32_t i, int32_t width,
                          bool around = true) {
    if (!slot) return;
    const size_t offset = static_cast<size_t>(i) * width * 3;
    if (around)
        streamRow(frame + offset, slot + offset, width * 3);
    else
        std::memcpy(slot + offset, frame + offset, static_cast<size_t>(width) * 3);
}

// Gray rows of the frame, each computed once, in a ring of `span` rows: row r in buffer
// r % span, whose pointers are listed twice over, so that any `span` rows in turn are one run of
// the list. Given a slot, each row of the frame goes into it as it is read; storeRest() then
// copies the rows no gray level was asked of.
class GrayRows {
public:
    GrayRows(Core& core, const uint8_t* frame, int32_t width, int32_t height, int32_t span, uint8_t* slot)
        : kernels_(*core.kernels), frame_(frame), slot_(slot), store_(grayStoreFor(kernels_, width, height)),
          grayRow_(kernels_.grayRow), width_(width), ahead_(rowsAhead(width, height)), span_(span) {
        for (int32_t k = 0; k < span; ++k) rows_[k] = rows_[k + span] = core.scratch.grayRow(k);
    }
    // Rows last - span + 1 .. last, the lowest first (those below row 0 are stale); `last` grows
    // by one from call to call.
    const uint8_t* const* window(int32_t last) {
        while (computed_ <= last) {
            grayOfRow(frame_, computed_, ahead_, width_, rows_[oldest_], slot_, store_, grayRow_);  // in the oldest row's buffer
            ++computed_;
            if (++oldest_ == span_) oldest_ = 0;
        }
        return rows_ + oldest_;
    }
    void storeRest(int32_t height) {
        if (slot_) finishSlot(kernels_, frame_, slot_, computed_, height, width_);
    }

private:
    const KernelTable& kernels_;
    const uint8_t* frame_;
    uint8_t* slot_;
    GrayStore store_;
    GrayRow grayRow_;
    int32_t width_;
    int32_t ahead_;
    int32_t span_;
    int32_t computed_ = 0;
    int32_t oldest_ = 0;  // computed_ % span_
    uint8_t* rows_[12];
};

// Counts values into eight histograms in turn: runs of equal values (flat picture areas)
// would otherwise wait on the previous increment of the same counter.
template <typename T, size_t kSize>
void countRun(const T* values, int32_t count, int32_t (*counts)[kSize], int32_t offset) {
    int32_t* c[8];
    for (int k = 0; k < 8; ++k) c[k] = counts[k] + offset;
    int32_t j = 0;
    for (; j + 8 <= count; j += 8)
        for (int k = 0; k < 8; ++k) ++c[k][values[j + k]];
    for (; j < count; ++j) ++c[0][values[j]];
}

// The same for filter values, four at a time from one 64-bit load (fewer loads per count;
// memcpy keeps the load free of alignment and aliasing assumptions). Each 16-bit field cast
// back to int16_t is one of the values; which table it lands in depends on the byte order,
// the merged sum does not.
template <size_t kSize>
void countValues(const int16_t* values, int32_t count, int32_t (*counts)[kSize], int32_t offset) {
    int32_t* c[8];
    for (int k = 0; k < 8; ++k) c[k] = counts[k] + offset;
    int32_t j = 0;
    for (; j + 8 <= count; j += 8) {
        uint64_t a, b;
        std::memcpy(&a, values + j, 8);
        std::memcpy(&b, values + j + 4, 8);
        ++c[0][static_cast<int16_t>(a)];
        ++c[1][static_cast<int16_t>(a >> 16)];
        ++c[2][static_cast<int16_t>(a >> 32)];
        ++c[3][static_cast<int16_t>(a >> 48)];
        ++c[4][static_cast<int16_t>(b)];
        ++c[5][static_cast<int16_t>(b >> 16)];
        ++c[6][static_cast<int16_t>(b >> 32)];
        ++c[7][static_cast<int16_t>(b >> 48)];
    }
    for (; j < count; ++j) ++c[0][values[j]];
}

// counts[0][first..last] += the other seven, which are cleared for the next frame.
template <size_t kSize>
void mergeCounts(int32_t (*counts)[kSize], size_t first, size_t last) {
    for (int k = 1; k < 8; ++k)
        for (size_t v = first; v <= last; ++v) {
            counts[0][v] += counts[k][v];
            counts[k][v] = 0;
        }
}

// The level a value is normalised to, exactly as the plane normalisation computes it,
// including the clamp of values outside the range (the zero border).
inline int32_t levelOf(int32_t value, int32_t minimum, int64_t range) {
    int64_t level = (static_cast<int64_t>(value) - minimum) * 255 / range;
    return static_cast<int32_t>(std::clamp<int64_t>(level, 0, 255));
}

// A value as a tally threshold; any beyond the int16 values count all or none alike.
inline int16_t tallyThreshold(int64_t value) {
    return static_cast<int16_t>(std::clamp<int64_t>(value, INT16_MIN, INT16_MAX));
}

// Where one ranked value of this frame lies, as the counts below thresholds tell: in lo..hi.
// Levels grow with the value, so once lo and hi share a level that level is the one the cut
// needs, whether or not the value itself is pinned.
struct RankSearch {
    int32_t rank;  // 1 = smallest; 0: no such rank
    int32_t lo, hi;
    int32_t window[2];  // the first count's lowest and highest threshold
};

// Narrows lo..hi by each threshold t of the tally: fewer values than the rank below t puts the
// value at t or above, at least as many puts it below t.
void narrow(RankSearch& search, const ValueTally& tally, int32_t first, int32_t n) {
    for (int32_t t = first; t < first + n; ++t) {
        if (tally.below[t] < search.rank)
            search.lo = std::max(search.lo, int32_t{tally.thresholds[t]});
        else
            search.hi = std::min(search.hi, tally.thresholds[t] - 1);
    }
}

// The smallest value whose level is `level` (1..255): levels step there.
inline int32_t firstValueOfLevel(int32_t level, int32_t minimum, int64_t range) {
    return static_cast<int32_t>(minimum + (int64_t{level} * range + 254) / 255);
}

// Thresholds for counting again where the first count left lo..hi, at the values where levels
// step: one level between each two where `count` thresholds reach across lo..hi, so that the
// count tells the level. Otherwise a ladder from the side of the first count's thresholds that
// the value left by (values move by a little more often than by much), `step` levels apart so
// that it reaches about twice the last move.
void thresholdsWithin(const RankSearch& search, int32_t spacing, int32_t minimum, int64_t range, int16_t* out,
                      int32_t count) {
    const int32_t first = levelOf(search.lo, minimum, range), last = levelOf(search.hi, minimum, range);
    int32_t step = 1, from = first;  // thresholds at the levels from + step, from + 2 step, ...
    if (last - first > count) {
        step = static_cast<int32_t>(std::max<int64_t>(1, (2 * spacing * 255 + range * count - 1) / (range * count)));
        if (search.hi < search.window[0]) {
            step = -step;
            from = last + 1;  // down from the level of the value just below the thresholds
        }
    }
    for (int32_t t = 0; t < count; ++t) {
        const int32_t level = std::clamp(from + step * (t + 1), first + 1, last);
        out[t] = tallyThreshold(firstValueOfLevel(level, minimum, range));
    }
}

// The value of rank `rank` (1 = smallest, at most the number of values) among the counted
// values minimum..maximum and `zeros` more zeros.
int32_t valueOfRank(const int32_t* counts, int32_t minimum, int32_t maximum, int32_t zeros, int32_t rank) {
    const int32_t last = std::max(maximum, 0);
    int32_t seen = 0;
    for (int32_t v = std::min(minimum, 0); v < last; ++v) {
        if (v >= minimum && v <= maximum) seen += counts[v];
        if (v == 0) seen += zeros;
        if (seen >= rank) return v;
    }
    return last;
}

// The first count's `count` thresholds around the last frame's ranked value `last`, `spacing`
// apart, the middle two around it: with spacing 1 two consecutive ones pin the value whatever
// this frame's range.
void firstThresholds(int32_t last, int32_t spacing, int16_t* out, int32_t count) {
    for (int32_t t = 0; t < count; ++t) {
        const int32_t offset = t - (count / 2 - 1);
        out[t] = tallyThreshold(int64_t{last} - spacing / 2 + int64_t{offset} * spacing);
    }
}

}  // namespace

void fusedNormal(Core& core, const uint8_t* frame, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const auto copyRow = core.kernels->copyRow;
    const StreamRow streamRow = core.kernels->streamRow;
    const SurfaceRows surface = surfaceRows(core, height);
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, slot, frame, i, width, false);
        copyRow(frameRow(frame, i, width), surface.row(i), width);
    }
}

void fusedInverted(Core& core, const uint8_t* frame, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const auto invertRow = core.kernels->invertRow;
    const StreamRow streamRow = core.kernels->streamRow;
    const SurfaceRows surface = surfaceRows(core, height);
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, slot, frame, i, width, false);
        invertRow(frameRow(frame, i, width), surface.row(i), width);
    }
}

void fusedAverage(Core& core, const uint8_t* frame, int32_t slot, int32_t count, uint8_t* store) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const auto average = count == 2 ? kernels.average2Bytes : kernels.average4Bytes;
    const auto copyRow = kernels.copyRow;
    const StreamRow streamRow = kernels.streamRow;
    const bool around = ringReadersStoreAround(core, width, height);
    const SurfaceRows surface = surfaceRows(core, height);
    uint8_t* byteRow = core.scratch.ByteRow.data();
    const uint8_t* slots[8];
    for (int32_t k = 1; k < count; ++k) slots[k] = core.FrameRing[(slot + 8 - k) & 7].data();
    const uint8_t* runs[8];
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, store, frame, i, width, around);
        const size_t offset = static_cast<size_t>(i) * width * 3;
        runs[0] = frame + offset;
        for (int32_t k = 1; k < count; ++k) runs[k] = slots[k] + offset;
        average(runs, byteRow, width * 3);
        copyRow(byteRow, surface.row(i), width);
    }
    if (store) finishSlot(kernels, frame, store, height, height, width);
}

void fusedAverage8(Core& core, const uint8_t* frame, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const auto copyRow = kernels.copyRow;
    const auto replace = kernels.replaceSummedBytes;
    const auto sum = kernels.sum8Bytes;
    const SurfaceRows surface = surfaceRows(core, height);
    uint8_t* means = core.RingMeans.data();
    uint8_t* remainders = core.RingRemainders.data();
    const int32_t rowBytes = width * 3;
    const uint8_t* runs[8];
    for (int32_t k = 0; k < 8; ++k) runs[k] = core.FrameRing[k].data();
    for (int32_t i = 0; i < height; ++i) {
        const int32_t first = i * rowBytes;
        if (slot)
            replace(frame, slot, means, remainders, first, rowBytes);
        else
            sum(runs, means, remainders, first, rowBytes);
        copyRow(means + first, surface.row(i), width);
    }
    core.RingSumsStamp = {true, core.FrameCounter, rowBytes * height};
}

void fusedFrameDifference(Core& core, const uint8_t* frame, int32_t slot, uint8_t* store) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const auto difference = kernels.frameDifferenceBytes;
    const auto copyRow = kernels.copyRow;
    const StreamRow streamRow = kernels.streamRow;
    const uint8_t* prev = core.FrameRing[(slot + 7) & 7].data();
    const bool around = ringReadersStoreAround(core, width, height);
    const SurfaceRows surface = surfaceRows(core, height);
    uint8_t* byteRow = core.scratch.ByteRow.data();
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, store, frame, i, width, around);
        difference(frameRow(frame, i, width), frameRow(prev, i, width), byteRow, width * 3);
        copyRow(byteRow, surface.row(i), width);
    }
    if (store) finishSlot(kernels, frame, store, height, height, width);
}

void fusedSimpleDifference(Core& core, const uint8_t* frame, int32_t length, uint8_t* store) {
    captureReference(core, frame, length);
    int32_t width, height;
    if (!drawableGeometry(core, width, height) || length < width * height * 3) return;
    const KernelTable& kernels = *core.kernels;
    const auto difference = kernels.absDifferenceBytes;
    const auto copyRow = kernels.copyRow;
    const StreamRow streamRow = kernels.streamRow;
    const uint8_t* reference = core.ReferenceFrame.data();
    const SurfaceRows surface = surfaceRows(core, height);
    uint8_t* byteRow = core.scratch.ByteRow.data();
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, store, frame, i, width);
        difference(frameRow(frame, i, width), frameRow(reference, i, width), byteRow, width * 3);
        copyRow(byteRow, surface.row(i), width);
    }
    if (store) finishSlot(kernels, frame, store, height, height, width);
}

void fusedDifference(Core& core, const uint8_t* frame, int32_t length, uint8_t* store) {
    captureReference(core, frame, length);
    int32_t width, height;
    if (!drawableGeometry(core, width, height) || length < width * height * 3) return;
    const KernelTable& kernels = *core.kernels;
    const auto difference = kernels.differenceRow;
    const StreamRow streamRow = kernels.streamRow;
    const uint8_t* reference = core.ReferenceFrame.data();
    const SurfaceRows surface = surfaceRows(core, height);
    for (int32_t i = 0; i < height; ++i) {
        storeRowAhead(streamRow, store, frame, i, width);
        difference(frameRow(frame, i, width), frameRow(reference, i, width), surface.row(i), width);
    }
    if (store) finishSlot(kernels, frame, store, height, height, width);
}

void fusedGray(Core& core, const uint8_t* frame, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const GrayStore store = grayStoreFor(kernels, width, height);
    const GrayRow grayRow = kernels.grayRow;
    const auto toSurface = kernels.grayToSurfaceRow;
    const int32_t ahead = rowsAhead(width, height);
    const SurfaceRows surface = surfaceRows(core, height);
    uint8_t* gray = core.scratch.grayRow(0);
    for (int32_t i = 0; i < height; ++i) {
        grayOfRow(frame, i, ahead, width, gray, slot, store, grayRow);
        toSurface(gray, surface.row(i), width);
    }
    if (slot) finishSlot(kernels, frame, slot, height, height, width);
}

void fusedConvolution(Core& core, const uint8_t* frame, const ConvolutionKernel& kernel, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    CutValues& lastCuts = core.LastCutValues;
    int16_t* const filterValues = core.scratch.FilterValues.data();
    int16_t* const columnSums = core.scratch.ColumnSums.data();
    if (!kernelFitsLanes(kernel)) {
        wideConvolution(core, frame, kernel, slot);
        return;
    }
    const int32_t reach = (kernel.size - 1) / 2;
    // The 5x5 filters also keep the row below their window, which leaves their column sums.
    const int32_t span = reach == 1 ? 3 : 6;
    // The nine modes' kernels have rows of their own; any other goes through a plan.
    const int32_t preset = modeOfKernel(kernel);
    // Rows below first; the kernel's first row is the line above.
    int16_t weights[25];
    for (int32_t a = 0; a < kernel.size; ++a)
        for (int32_t b = 0; b < kernel.size; ++b)
            weights[kernel.size * a + b] = static_cast<int16_t>(kernel.weights[kernel.size - 1 - a][b]);
    KernelPlan plan{};
    if (preset == 0) planKernel(kernel.size, weights, kernel.divisor, plan);
    const auto convolveRow = kernels.convolveRow;
    const Convolve3x3Row convolve3x3 =
        reach == 1 && preset != 0 ? kernels.convolve3x3For(weights, kernel.divisor) : nullptr;
    const auto pass5 = preset == 1434 ? kernels.highPass5Row : kernels.lowPass5Row;

    // Counts below values around the last frame's two ranked values (see below): where they
    // have stayed put for eight frames, just the two thresholds that pin each where it was;
    // otherwise four, `spacing` apart. How far a ranked value moves from frame to frame, in
    // values, depends on how many pixels share the values near it: few in a small frame or a
    // sparse tail, where it moves by tens; many in a large frame, where it moves by one or
    // two. So the spacing follows the last moves, and the thresholds need only tell the value's
    // level, not the value (a level spans range / 255 values). Where a level held one value at
    // most (a range of 255 or less: the low-pass filters, faint high-pass ones), only thresholds
    // one value apart tell the level, and four of them pin a move of one: where the values last
    // moved by more, eight, one apart, pin a move of up to three, for less than a second count.
    ValueTally tally{};
    const bool steady = lastCuts.steadyFrames >= kSteadyFrames;
    const bool fine = !steady && lastCuts.range > 0 && lastCuts.range <= 255 &&
                      std::max(lastCuts.lowSpacing, lastCuts.highSpacing) > 1;
    tally.count = steady ? 4 : fine ? 16 : 8;
    const int32_t around = tally.count / 2;
    const int32_t lowSpacing = fine ? 1 : std::max(1, lastCuts.lowSpacing);
    const int32_t highSpacing = fine ? 1 : std::max(1, lastCuts.highSpacing);
    firstThresholds(lastCuts.low, lowSpacing, tally.thresholds, around);
    firstThresholds(lastCuts.high, highSpacing, tally.thresholds + around, around);
    tally.minimum = INT16_MAX;
    tally.maximum = INT16_MIN;
    GrayRows gray(core, frame, width, height, span, slot);
    const int32_t interiorWidth = std::max(0, width - 2 * reach);
    // The rows are tallied in blocks of about kTallyBlock values (kStreamedTallyBlock in large
    // frames), each as one run from the first interior value of its first row to the last of its
    // last row (still in cache): per row, the tally's start and end would weigh on short rows. The
    // border cells between the rows hold the block's first value meanwhile, which leaves the range
    // as it is and whose counts are taken off again.
    const int32_t blockValues =
        static_cast<int64_t>(width) * height * 3 >= kStreamedTallyFrame ? kStreamedTallyBlock : kTallyBlock;
    const int32_t blockRows = std::max(1, blockValues / width);
    int32_t blockFirst = reach;
    // The cells between two rows, 2 x reach of them: set as a whole of a known size (a loop of a
    // few stores costs more than the stores in rows this short).
    auto setBetween = [&](int32_t firstRow, int32_t lastRow, int16_t value) {
        int16_t* cells = filterValues + static_cast<size_t>(firstRow) * width + width - reach;
        const uint64_t four = 0x0001000100010001u * static_cast<uint16_t>(value);
        for (int32_t r = firstRow; r < lastRow; ++r, cells += width) {
            if (reach == 1)
                std::memcpy(cells, &four, 4);
            else
                std::memcpy(cells, &four, 8);
        }
    };
    auto tallyBlock = [&](int32_t last) {
        int16_t* first = filterValues + static_cast<size_t>(blockFirst) * width + reach;
        const int16_t stand = *first;
        const int32_t between = (last - blockFirst) * 2 * reach;
        setBetween(blockFirst, last, stand);
        kernels.tallyRow(first, (last - blockFirst) * width + interiorWidth, &tally);
        setBetween(blockFirst, last, 0);
        for (int32_t k = 0; k < tally.count; ++k)
            if (stand < tally.thresholds[k]) tally.below[k] -= between;
        blockFirst = last + 1;
    };
    // The interior rows (the border rows are not stored): reach .. lastRow.
    const int32_t lastRow = interiorWidth > 0 ? height - 1 - reach : reach - 1;
    for (int32_t i = reach; i <= lastRow; ++i) {
        int16_t* out = filterValues + static_cast<size_t>(i) * width;
        out[0] = out[width - 1] = 0;  // border columns
        if (reach == 2) out[1] = out[width - 2] = 0;
        const uint8_t* const* rows = gray.window(i + reach);  // rows i + reach - span + 1 .. i + reach
        if (preset == 0)
            convolveRow(rows + (span - kernel.size), &plan, out, width);  // the window's rows
        else if (reach == 1)
            convolve3x3(rows[0], rows[1], rows[2], weights, kernel.divisor, out, width);
        else
            pass5(rows, columnSums, i == reach, out, width);
        if (i - blockFirst + 1 == blockRows || i == lastRow) tallyBlock(i);
    }
    gray.storeRest(height);

    const int32_t cells = width * height;
    const int32_t interior = interiorWidth * std::max(0, height - 2 * reach);
    // The range of the interior values; (1, 0) when there is none.
    const int32_t minimum = interior > 0 ? tally.minimum : 1;
    const int32_t maximum = interior > 0 ? tally.maximum : 0;
    ToneMap map{};
    const int64_t range = static_cast<int64_t>(maximum) - minimum;
    if (range <= 0) {
        map.raw = true;  // shown unnormalised: the value's low eight bits
    } else {
        // Levels grow with the value (the clamp of the border's zeros included), so the running
        // sums of stretchCuts pass the tail at the levels of two ranked values of the frame:
        // low is one below the level of the tail-th smallest value (at least 0), and high one
        // above that of the (tail - 255)-th largest (at most 255), as the upper sum starts at
        // 255. With no such rank the cut stays at 0 or 255.
        const int32_t tail = cells / 20;
        const int32_t zeros = cells - interior;  // the border, at least one cell here
        RankSearch searches[2] = {
            {tail, std::min(minimum, 0), std::max(maximum, 0), {tally.thresholds[0], tally.thresholds[around - 1]}},
            {tail > 255 ? cells - (tail - 255) + 1 : 0, std::min(minimum, 0), std::max(maximum, 0),
             {tally.thresholds[around], tally.thresholds[2 * around - 1]}}};
        const int32_t spacings[2] = {lowSpacing, highSpacing};
        auto addZeros = [&](ValueTally& t, int32_t counted) {  // those not counted yet
            for (int32_t k = 0; k < t.count; ++k)
                if (0 < t.thresholds[k]) t.below[k] += zeros - counted;
        };
        auto resolved = [&](const RankSearch& r) {
            return r.rank == 0 || levelOf(r.lo, minimum, range) == levelOf(r.hi, minimum, range);
        };
        addZeros(tally, 0);
        narrow(searches[0], tally, 0, around);
        narrow(searches[1], tally, around, around);
        if (!resolved(searches[0]) || !resolved(searches[1])) {
            // Count the stored values again where the first count left a ranked value: all
            // eight thresholds for one, four each for two.
            ++lastCuts.recounts;
            ValueTally again{};
            again.count = kRecountThresholds;
            again.minimum = INT16_MAX;
            again.maximum = INT16_MIN;
            const int32_t each =
                resolved(searches[0]) || resolved(searches[1]) ? kRecountThresholds : kRecountThresholds / 2;
            int32_t used = 0;
            for (int32_t k = 0; k < 2; ++k)
                if (!resolved(searches[k])) {
                    thresholdsWithin(searches[k], spacings[k], minimum, range, again.thresholds + used, each);
                    used += each;
                }
            // In one run over the interior rows, the border columns between them included: their
            // zeros count with the border's.
            const int32_t interiorRows = height - 2 * reach;
            kernels.tallyRow(filterValues + static_cast<size_t>(reach) * width + reach,
                             (interiorRows - 1) * width + interiorWidth, &again);
            addZeros(again, (interiorRows - 1) * 2 * reach);
            used = 0;
            for (int32_t k = 0; k < 2; ++k)
                if (!resolved(searches[k])) {
                    narrow(searches[k], again, used, each);
                    used += each;
                }
        }
        if (!resolved(searches[0]) || !resolved(searches[1])) {
            // Further still: count every value.
            ++lastCuts.fullCounts;
            const auto counts = reinterpret_cast<ValueCountTables>(core.scratch.ValueCounts.data());
            std::memset(counts[0], 0, sizeof counts[0]);
            for (int32_t i = reach; i < height - reach; ++i)
                countValues(filterValues + static_cast<size_t>(i) * width + reach, interiorWidth, counts,
                            -kFilterValueMin);
            mergeCounts(counts, minimum - kFilterValueMin, maximum - kFilterValueMin);
            const int32_t* merged = counts[0] - kFilterValueMin;
            for (RankSearch& r : searches)
                if (r.rank > 0) r.lo = r.hi = valueOfRank(merged, minimum, maximum, zeros, r.rank);
        }
        // The next frame's thresholds: around the value, or the middle of where it lies; as far
        // apart as it moved (or half the last spacing, which shrinks back by halves), but no
        // further than a count again can tell apart: two thresholds `widest` apart enclose at
        // most five levels, which four thresholds at the level steps separate.
        const int64_t widest = 1 + 3 * range / 255;
        int32_t* last[2] = {&lastCuts.low, &lastCuts.high};
        int32_t* lastSpacing[2] = {&lastCuts.lowSpacing, &lastCuts.highSpacing};
        bool moved = false;
        for (int32_t k = 0; k < 2; ++k) {
            if (searches[k].rank == 0) continue;
            const int32_t value = searches[k].lo + (searches[k].hi - searches[k].lo) / 2;
            const int64_t move = std::abs(int64_t{value} - *last[k]);
            *lastSpacing[k] = static_cast<int32_t>(std::clamp<int64_t>(std::max<int64_t>(move, spacings[k] / 2), 1, widest));
            moved = moved || value != *last[k];
            *last[k] = value;
        }
        lastCuts.steadyFrames = moved ? 0 : lastCuts.steadyFrames + 1;
        lastCuts.range = static_cast<int32_t>(range);
        int32_t low = searches[0].rank > 0 ? std::max(0, levelOf(searches[0].lo, minimum, range) - 1) : 0;
        int32_t high = searches[1].rank > 0 ? std::min(255, levelOf(searches[1].lo, minimum, range) + 1) : 255;
        if (low >= high) {  // cuts that meet or cross: no stretch
            low = 0;
            high = 255;
        }
        map.minimum = minimum;
        map.range = static_cast<int32_t>(range);
        map.low = low;
        map.high = high;
        map.rangeMultiplier = toneMultiplier(map.range);
        map.stretchMultiplier = toneMultiplier(map.high - map.low);
    }
    // The border's zeros may lie outside the interior's range, and all take one pixel; the
    // interior's values lie inside it, so their tone map needs no clamp of the level.
    // Its pixel is a gray level, as every tone-mapped one: the border rows go through the
    // gray-to-surface kernel from a row of that level, the columns are copied.
    uint8_t border[8];
    const int16_t zeros[2] = {0, 0};
    scalarKernels().toneRow(zeros, &map, border, 2);
    uint8_t* borderLevels = core.scratch.BorderLevels.data();
    std::memset(borderLevels, border[0], static_cast<size_t>(width));
    ToneMap inside = map;
    inside.bounded = true;
    const SurfaceRows surface = surfaceRows(core, height);
    const auto toSurface = kernels.grayToSurfaceRow;
    const auto toneRow = kernels.toneRow;
    for (int32_t i = 0; i < std::min(reach, height); ++i) toSurface(borderLevels, surface.row(i), width);
    for (int32_t i = std::max(reach, lastRow + 1); i < height; ++i) toSurface(borderLevels, surface.row(i), width);
    for (int32_t i = reach; i <= lastRow; ++i) {
        uint8_t* pixels = surface.row(i);
        if (reach == 1) {  // copies of a known size: plain stores
            std::memcpy(pixels, border, 4);
            std::memcpy(pixels + 4 * (width - 1), border, 4);
        } else {
            std::memcpy(pixels, border, 8);
            std::memcpy(pixels + 4 * (width - 2), border, 8);
        }
        toneRow(filterValues + static_cast<size_t>(i) * width + reach, &inside, pixels + 4 * reach, interiorWidth);
    }
}

bool kernelFitsLanes(const ConvolutionKernel& kernel) {
    const Range values = kernelValueRange(kernel);
    return values.minimum >= kFilterValueMin && values.maximum <= kFilterValueMax;
}

void wideConvolution(Core& core, const uint8_t* frame, const ConvolutionKernel& kernel, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const int32_t reach = (kernel.size - 1) / 2;
    int16_t weights[25];  // rows below first; the kernel's first row is the line above
    for (int32_t a = 0; a < kernel.size; ++a)
        for (int32_t b = 0; b < kernel.size; ++b)
            weights[kernel.size * a + b] = static_cast<int16_t>(kernel.weights[kernel.size - 1 - a][b]);
    KernelPlan plan{};
    planKernel(kernel.size, weights, kernel.divisor, plan);

    // The values, rows packed in the ResultPlane's memory (only the plain operations read the
    // plane as a plane), and their range.
    int32_t* const values = core.ResultPlane.data();
    GrayRows gray(core, frame, width, height, kernel.size, slot);
    const int32_t interiorWidth = std::max(0, width - 2 * reach);
    const int32_t lastRow = interiorWidth > 0 ? height - 1 - reach : reach - 1;
    int32_t bounds[2] = {INT32_MAX, INT32_MIN};
    for (int32_t i = reach; i <= lastRow; ++i)
        kernels.convolveRow32(gray.window(i + reach), &plan, values + static_cast<size_t>(i) * width, width, bounds);
    gray.storeRest(height);
    const int32_t minimum = bounds[0], maximum = bounds[1];

    // Each value's level before the stretch, in FilterValues, counted as it is made; the levels
    // then go through toneRow with a map that takes a level as itself (minimum 0, range 255) and
    // stretches it. With no interior the plane is all zeros; with one value throughout, the
    // values are drawn as they are (their low eight bits), the border as 0.
    int16_t* const levels = core.scratch.FilterValues.data();
    ToneMap map{};
    map.range = 255;
    map.high = 255;
    int16_t borderLevel = 0;
    if (lastRow >= reach && maximum > minimum) {
        const int32_t range = maximum - minimum;
        const auto counts = reinterpret_cast<ValueCountTables>(core.scratch.ValueCounts.data());
        std::memset(counts[0], 0, 256 * sizeof counts[0][0]);
        for (int32_t i = reach; i <= lastRow; ++i) {
            const size_t first = static_cast<size_t>(i) * width + reach;
            kernels.levelRun(values + first, interiorWidth, minimum, range, levels + first);
            countValues(levels + first, interiorWidth, counts, 0);
        }
        mergeCounts(counts, 0, 255);
        const int32_t cells = width * height, interior = interiorWidth * (lastRow - reach + 1);
        borderLevel = static_cast<int16_t>(levelOf(0, minimum, range));
        counts[0][borderLevel] += cells - interior;
        std::copy(counts[0], counts[0] + 256, core.Histogram.begin());
        const StretchCuts cuts = stretchCuts(core, cells);
        if (cuts.low < cuts.high) {
            map.low = cuts.low;
            map.high = cuts.high;
        }
    } else if (lastRow >= reach) {
        for (int32_t i = reach; i <= lastRow; ++i)
            std::fill_n(levels + static_cast<size_t>(i) * width + reach, interiorWidth,
                        static_cast<int16_t>(static_cast<uint8_t>(minimum)));
    }
    map.rangeMultiplier = toneMultiplier(map.range);
    map.stretchMultiplier = toneMultiplier(map.high - map.low);
    map.bounded = true;

    uint8_t border[8];
    const int16_t borderLevels[2] = {borderLevel, borderLevel};
    scalarKernels().toneRow(borderLevels, &map, border, 2);
    uint8_t* borderRow = core.scratch.BorderLevels.data();
    std::memset(borderRow, border[0], static_cast<size_t>(width));
    const SurfaceRows surface = surfaceRows(core, height);
    for (int32_t i = 0; i < std::min(reach, height); ++i) kernels.grayToSurfaceRow(borderRow, surface.row(i), width);
    for (int32_t i = std::max(reach, lastRow + 1); i < height; ++i)
        kernels.grayToSurfaceRow(borderRow, surface.row(i), width);
    for (int32_t i = reach; i <= lastRow; ++i) {
        uint8_t* pixels = surface.row(i);
        std::memcpy(pixels, border, static_cast<size_t>(4 * reach));
        std::memcpy(pixels + 4 * (width - reach), border, static_cast<size_t>(4 * reach));
        kernels.toneRow(levels + static_cast<size_t>(i) * width + reach, &map, pixels + 4 * reach, interiorWidth);
    }
}

void fusedRankFilter(Core& core, const uint8_t* frame, int32_t mode, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    const auto reduce = mode == 1441 ? kernels.minimum3Row
                      : mode == 1442 ? kernels.maximum3Row
                      : mode == 1443 ? kernels.median3Row
                                     : kernels.mean3Row;
    const auto toSurface = kernels.grayToSurfaceRow;
    const SurfaceRows surfaceRowsOfFrame = surfaceRows(core, height);
    uint8_t* rankRow = core.scratch.RankRow.data();
    GrayRows gray(core, frame, width, height, 3, slot);
    for (int32_t i = 0; i < height; ++i) {
        uint8_t* surface = surfaceRowsOfFrame.row(i);
        if (i == 0 || i == height - 1) {
            std::memset(surface, 0, static_cast<size_t>(width) * 4);  // black border row
            continue;
        }
        rankRow[0] = 0;
        rankRow[width - 1] = 0;
        const uint8_t* const* rows = gray.window(i + 1);
        reduce(rows[0], rows[1], rows[2], rankRow, width);
        toSurface(rankRow, surface, width);
    }
    gray.storeRest(height);
}

void fusedBinarize(Core& core, const uint8_t* frame, uint8_t* slot) {
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return;
    const KernelTable& kernels = *core.kernels;
    MedianGray& lastMedian = core.LastMedian;
    uint8_t* const grayLevels = core.scratch.GrayLevels.data();
    const SurfaceRows surface = surfaceRows(core, height);
    // The table is 255 from the level of the median gray on (the median-th smallest, 1 = the
    // smallest), and with a range of at most 255 grays the levels grow strictly with the gray:
    // white starts at the median gray itself. It is found by counting the levels below four
    // grays around the last frame's median as the rows are made (each block while in cache),
    // which also gives the range.
    const int32_t cells = width * height;
    const int32_t median = cells / 2;
    GrayTally tally{};
    for (int32_t t = 0; t < kGrayThresholds; ++t)
        tally.thresholds[t] = static_cast<uint8_t>(std::clamp(lastMedian.gray - 1 + t, 0, 255));
    tally.minimum = 255;
    tally.maximum = 0;
    const int32_t blockRows = std::max(1, 2 * kTallyBlock / width);
    int32_t blockFirst = 0;
    // The slot around the caches at every size: this mode keeps the whole frame's gray levels,
    // which the plain stores would push out of the cache (measured slower at 320x240 and 640x480).
    const int32_t ahead = rowsAhead(width, height);
    const GrayStore store = kernels.grayStoreRow;
    const GrayRow grayRow = kernels.grayRow;
    const auto tallyRun = kernels.tallyGrayRun;
    for (int32_t i = 0; i < height; ++i) {
        grayOfRow(frame, i, ahead, width, grayLevels + static_cast<size_t>(i) * width, slot, store, grayRow);
        if (i - blockFirst + 1 == blockRows || i == height - 1) {
            tallyRun(grayLevels + static_cast<size_t>(blockFirst) * width, (i + 1 - blockFirst) * width, &tally);
            blockFirst = i + 1;
        }
    }
    if (slot) finishSlot(kernels, frame, slot, height, height, width);
    const int32_t minimum = tally.minimum, maximum = tally.maximum;
    if (maximum <= minimum || median == 0) {  // one gray: no table, the levels as they are
        const auto toSurface = kernels.grayToSurfaceRow;
        for (int32_t i = 0; i < height; ++i) toSurface(grayLevels + static_cast<size_t>(i) * width, surface.row(i), width);
        return;
    }
    // Fewer levels than the median below a threshold put the median gray at it or above.
    auto narrow = [&](const GrayTally& counted, int32_t& lo, int32_t& hi) {
        for (int32_t t = 0; t < kGrayThresholds; ++t) {
            if (counted.below[t] < median)
                lo = std::max<int32_t>(lo, counted.thresholds[t]);
            else
                hi = std::min<int32_t>(hi, counted.thresholds[t] - 1);
        }
    };
    int32_t lo = minimum, hi = maximum;
    narrow(tally, lo, hi);
    if (lo != hi) {
        // Moved past the thresholds: count again at the next four grays on the side it left by
        // (a median moves by a few grays from frame to frame, if at all).
        ++lastMedian.recounts;
        const int32_t from = lo >= tally.thresholds[kGrayThresholds - 1] ? lo + 1 : hi - kGrayThresholds + 1;
        GrayTally again{};
        for (int32_t t = 0; t < kGrayThresholds; ++t)
            again.thresholds[t] = static_cast<uint8_t>(std::clamp(from + t, lo + 1, hi));
        again.minimum = 255;
        kernels.tallyGrayRun(grayLevels, cells, &again);
        narrow(again, lo, hi);
    }
    if (lo != hi) {
        // Further: count every gray.
        ++lastMedian.fullCounts;
        const auto counts = reinterpret_cast<GrayCountTables>(core.scratch.GrayCounts.data());
        std::memset(counts[0], 0, sizeof counts[0]);
        countRun(grayLevels, cells, counts, 0);
        mergeCounts(counts, 0, 255);
        int32_t seen = 0;
        for (lo = minimum; seen + counts[0][lo] < median; ++lo) seen += counts[0][lo];
    }
    lastMedian.gray = lo;
    const auto threshold = kernels.thresholdRow;
    for (int32_t i = 0; i < height; ++i) threshold(grayLevels + static_cast<size_t>(i) * width, lo, surface.row(i), width);
}

}  // namespace pixelwell
