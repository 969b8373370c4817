// Vector row kernels written once over a small wrapper `V` (SSE2 or AVX2 registers), included
// by kernels_sse2.cpp and kernels_avx2.cpp, each compiled with its own instruction set.
// Every kernel runs whole vectors while its loads stay inside the row. The rest of the row
// is done by one more whole vector ending at the row's last output (it overlaps the one
// before and writes the same values there: outputs never alias inputs), or, in rows too
// short for one vector, by the scalar kernel. No byte past a row is read.
//
// V provides: R (register), kBytes (u8 lanes), kHalves (i16 lanes), kWords (i32 lanes),
// load/store (kBytes bytes), load16 (kHalves bytes widened to i16), storeI16/loadI16,
// store16as8 (kHalves i16 saturated to u8), load32 (kWords bytes widened to i32),
// and thin wrappers over the integer instructions.

#include "frame_store.h"

namespace pixelwell {
namespace {

// x / 9 truncated toward zero, for every int16 x: the multiply-high floors, so negative
// quotients come out one too low and x >> 15 (-1 for them) puts them back. 7282 / 65536
// exceeds 1/9 by 2 / (9 x 65536), too little to cross an integer for |x| < 32768.
inline V::R divide9(V::R x) { return V::sub16(V::mulhi16(x, V::set16(7282)), V::srai16(x, 15)); }

// x / 25 truncated toward zero, for every int16 x: 10486 / 2^18 exceeds 1/25 by
// 6 / (25 x 2^18), which stays below 1/25 of a step for |x| < 43690.
inline V::R divide25(V::R x) {
    return V::sub16(V::srai16(V::mulhi16(x, V::set16(10486)), 2), V::srai16(x, 15));
}

// The same for sums that cannot be negative (low-pass, mean): floor and truncation agree.
inline V::R divide9NonNegative(V::R x) { return V::mulhi16(x, V::set16(7282)); }
inline V::R divide25NonNegative(V::R x) { return V::srai16(V::mulhi16(x, V::set16(10486)), 2); }

inline void sort3(V::R a, V::R b, V::R c, V::R& lo, V::R& mid, V::R& hi) {
    const V::R t = V::minu8(a, b), u = V::maxu8(a, b);
    const V::R v = V::maxu8(t, c);
    lo = V::minu8(t, c);
    mid = V::minu8(u, v);
    hi = V::maxu8(u, v);
}

inline V::R median3(V::R a, V::R b, V::R c) {
    return V::maxu8(V::minu8(a, b), V::minu8(V::maxu8(a, b), c));
}

// Non-temporal 16-byte stores (SSE2, the same in both tables) for the whole 64-byte lines of
// dst; the bytes of partial lines around them are copied plainly. A line written partly both
// ways would cost a trip to memory (rows of a frame each streamed share such lines). Unfenced:
// see streamBytes.
inline void streamBytesUnfenced(const uint8_t* src, uint8_t* dst, int count) {
    int k = static_cast<int>((64 - reinterpret_cast<uintptr_t>(dst) % 64) % 64);
    if (k > count) k = count;
    if (k > 0) std::memcpy(dst, src, static_cast<size_t>(k));
    for (; k + 64 <= count; k += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 48), d);
    }
    if (k < count) std::memcpy(dst + k, src + k, static_cast<size_t>(count - k));
}

// The sfence orders the weakly ordered stores before anything this thread does next, so any
// later reader sees the slot as after memcpy.
void streamBytes(const uint8_t* src, uint8_t* dst, int count) {
    streamBytesUnfenced(src, dst, count);
    _mm_sfence();
}

// grayStoreRow from a table's gray row: the row streamed (unfenced), then its levels from the
// cache; for slots the table's own version cannot stream into.
template <void (*kGrayRow)(const uint8_t*, uint8_t*, int)>
void streamGrayRow(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width) {
    streamBytesUnfenced(bgr, slot, 3 * width);
    kGrayRow(bgr, gray, width);
}

// grayCopyRow from a table's gray row: the row copied, then its levels from the cache.
template <void (*kGrayRow)(const uint8_t*, uint8_t*, int)>
void copyGrayRow(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width) {
    std::memcpy(slot, bgr, static_cast<size_t>(width) * 3);
    kGrayRow(bgr, gray, width);
}

void scalarGrayRow(const uint8_t* bgr, uint8_t* gray, int width) { scalarKernels().grayRow(bgr, gray, width); }

// grayStoreRow (kStream) or grayCopyRow for a table with a byte shuffle: sixteen pixels per
// step from their three 16-byte loads (kGray48 writes their sixteen levels), which also go
// into the slot; where rows are not whole steps apart (or, streamed, not in 16-byte aligned
// slots), the row goes into the slot first and is then read from the cache.
template <void (*kGrayRow)(const uint8_t*, uint8_t*, int), void (*kGray48)(uint8_t*, __m128i, __m128i, __m128i),
          bool kStream = true>
void grayStoreRowFromLoads(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width) {
    if (width % 16 != 0 || (kStream && reinterpret_cast<uintptr_t>(slot) % 16 != 0)) {
        (kStream ? streamGrayRow<kGrayRow> : copyGrayRow<kGrayRow>)(bgr, gray, slot, width);
        return;
    }
    for (int j = 0; j < width; j += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(bgr + 3 * j);
        __m128i* out = reinterpret_cast<__m128i*>(slot + 3 * j);
        const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1), c = _mm_loadu_si128(in + 2);
        if (kStream) {
            _mm_stream_si128(out, a);
            _mm_stream_si128(out + 1, b);
            _mm_stream_si128(out + 2, c);
        } else {
            _mm_storeu_si128(out, a);
            _mm_storeu_si128(out + 1, b);
            _mm_storeu_si128(out + 2, c);
        }
        kGray48(gray + j, a, b, c);
    }
}

// Floor of (a + b) / 2 per byte: pavgb rounds up; (a ^ b) & 1 is exactly the half it added.
inline V::R floorMean8(V::R a, V::R b) { return V::sub8(V::avgu8(a, b), V::and_(V::xor_(a, b), V::set8(1))); }

template <int kRuns>
void averageBytes(const uint8_t* const* runs, uint8_t* dst, int count,
                  void (*tail)(const uint8_t* const*, uint8_t*, int)) {
    auto block = [&](int k) {
        if (kRuns == 2) {
            V::store(dst + k, floorMean8(V::load(runs[0] + k), V::load(runs[1] + k)));
        } else {
            // Pairs first: a + b = 2 f + r with f their floored mean and r = (a ^ b) & 1, so
            // the sum is 2 (f1 + f2) + r1 + r2, whose quarter is the floored mean of f1 and
            // f2, rounded up instead only when both halves were dropped (r1 = r2 = 1).
            const V::R a = V::load(runs[0] + k), b = V::load(runs[1] + k);
            const V::R c = V::load(runs[2] + k), d = V::load(runs[3] + k);
            const V::R f1 = floorMean8(a, b), f2 = floorMean8(c, d);
            const V::R bothDropped = V::and_(V::xor_(a, b), V::xor_(c, d));
            const V::R down = V::and_(V::andnot(bothDropped, V::xor_(f1, f2)), V::set8(1));
            V::store(dst + k, V::sub8(V::avgu8(f1, f2), down));
        }
    };
    int k = 0;
    for (; k + V::kBytes <= count; k += V::kBytes) block(k);
    if (k < count && count >= V::kBytes) {
        block(count - V::kBytes);
    } else if (k < count) {
        const uint8_t* rest[8];
        for (int s = 0; s < kRuns; ++s) rest[s] = runs[s] + k;
        tail(rest, dst + k, count - k);
    }
}

// Bytes x >> 3 (the 16-bit shift brings in bits of the neighbour, which the mask drops).
inline V::R eighths8(V::R x) { return V::and_(V::srli16(x, 3), V::set8(0x1F)); }

// The held sums' whole 64-byte blocks in [first, first + count), by `block(p, h)` for each
// vector pair of the block at p (bytes p + h and p + 32 + h, whose remainders are the low and
// high nibbles of remainders[p / 2 + h]); the bytes before the first whole block and after the
// last by the scalar kernel (`rest(from, count)`). Returns the blocks' bytes.
struct Span {
    int from, to;
};
template <class Block, class Rest>
Span heldSumBlocks(int first, int count, Block block, Rest rest) {
    const int end = first + count;
    const int from = std::min(end, (first + 63) / 64 * 64);
    if (from > first) rest(first, from - first);
    int p = from;
    for (; p + 64 <= end; p += 64)
        for (int h = 0; h < 32; h += V::kBytes) block(p, h);
    if (p < end) rest(p, end - p);
    return {from, p};
}

// Whole bytes throughout: a sum is 8 x (the eighths of the runs) + the runs' low three bits,
// and those (at most 8 x 7) add their own eighths to the mean.
void sum8Bytes(const uint8_t* const* runs, uint8_t* means, uint8_t* remainders, int first, int count) {
    const V::R low3 = V::set8(7);
    auto sum = [&](int p, V::R& mean, V::R& remainder) {
        V::R high = V::zero(), low = V::zero();
        for (int s = 0; s < 8; ++s) {
            const V::R x = V::load(runs[s] + p);
            high = V::add8(high, eighths8(x));
            low = V::add8(low, V::and_(x, low3));
        }
        mean = V::add8(high, V::and_(V::srli16(low, 3), low3));
        remainder = V::and_(low, low3);
    };
    heldSumBlocks(
        first, count,
        [&](int p, int h) {
            V::R mean, lower, upper;
            sum(p + h, mean, lower);
            V::store(means + p + h, mean);
            sum(p + 32 + h, mean, upper);
            V::store(means + p + 32 + h, mean);
            V::store(remainders + p / 2 + h, V::or_(lower, V::slli16(upper, 4)));
        },
        [&](int from, int n) { scalarKernels().sum8Bytes(runs, means, remainders, from, n); });
}

// In whole bytes as well. With now = 8 nh + nl and old = 8 oh + ol (nl, ol their low three
// bits), sum + now - old = 8 (mean + nh - oh - 1) + u for u = remainder + nl + 8 - ol, which
// lies in 1..22: its low three bits are the new remainder and its eighths (0..2) go to the
// mean. The mean's byte arithmetic may wrap on the way; the result is the true mean (0..255).
void replaceSummedBytes(const uint8_t* frame, uint8_t* slot, uint8_t* means, uint8_t* remainders, int first,
                        int count) {
    const V::R low3 = V::set8(7), eight = V::set8(8), one = V::set8(1);
    auto replace = [&](int p, V::R remainder) {
        const V::R now = V::load(frame + p), old = V::load(slot + p);
        const V::R u = V::add8(V::add8(remainder, V::and_(now, low3)), V::sub8(eight, V::and_(old, low3)));
        const V::R carry = V::sub8(V::and_(V::srli16(u, 3), V::set8(3)), one);
        const V::R mean = V::add8(V::load(means + p), V::sub8(eighths8(now), eighths8(old)));
        V::store(means + p, V::add8(mean, carry));
        return V::and_(u, low3);
    };
    const Span blocks = heldSumBlocks(
        first, count,
        [&](int p, int h) {
            uint8_t* nibbles = remainders + p / 2 + h;
            const V::R held = V::load(nibbles);
            const V::R lower = replace(p + h, V::and_(held, V::set8(15)));
            const V::R upper = replace(p + 32 + h, V::and_(V::srli16(held, 4), V::set8(15)));
            V::store(nibbles, V::or_(lower, V::slli16(upper, 4)));
        },
        [&](int from, int n) { scalarKernels().replaceSummedBytes(frame, slot, means, remainders, from, n); });
    // The blocks' slot bytes have all been read: overwrite them in one go.
    std::memcpy(slot + blocks.from, frame + blocks.from, static_cast<size_t>(blocks.to - blocks.from));
}

void frameDifferenceBytes(const uint8_t* cur, const uint8_t* prev, uint8_t* dst, int count) {
    auto block = [&](int k) {
        V::store(dst + k, V::add8(V::sub8(V::load(cur + k), V::load(prev + k)), V::set8(127)));
    };
    int k = 0;
    for (; k + V::kBytes <= count; k += V::kBytes) block(k);
    if (k < count && count >= V::kBytes)
        block(count - V::kBytes);
    else if (k < count)
        scalarKernels().frameDifferenceBytes(cur + k, prev + k, dst + k, count - k);
}

void absDifferenceBytes(const uint8_t* cur, const uint8_t* ref, uint8_t* dst, int count) {
    auto block = [&](int k) {
        const V::R a = V::load(cur + k), b = V::load(ref + k);
        V::store(dst + k, V::or_(V::subsu8(a, b), V::subsu8(b, a)));
    };
    int k = 0;
    for (; k + V::kBytes <= count; k += V::kBytes) block(k);
    if (k < count && count >= V::kBytes)
        block(count - V::kBytes);
    else if (k < count)
        scalarKernels().absDifferenceBytes(cur + k, ref + k, dst + k, count - k);
}

// (g, g, g, 0) from a gray level in each 32-bit lane.
inline V::R spreadGray(V::R g) { return V::or_(g, V::or_(V::slli32(g, 8), V::slli32(g, 16))); }

void grayToSurfaceRow(const uint8_t* gray, uint8_t* surface, int width) {
    int j = 0;
    for (; j + V::kWords <= width; j += V::kWords) V::store(surface + 4 * j, spreadGray(V::load32(gray + j)));
    if (j < width) scalarKernels().grayToSurfaceRow(gray + j, surface + 4 * j, width - j);
}

void thresholdRow(const uint8_t* gray, int threshold, uint8_t* surface, int width) {
    const V::R below = V::set32(threshold - 1);
    const V::R white = V::set32(0x00FFFFFF);
    int j = 0;
    for (; j + V::kWords <= width; j += V::kWords)
        V::store(surface + 4 * j, V::and_(V::cmpgt32(V::load32(gray + j), below), white));
    if (j < width) scalarKernels().thresholdRow(gray + j, threshold, surface + 4 * j, width - j);
}

// The 3x3 rows over whole vectors, the rest of the row as the scalar kernel; `block(j)` does the
// outputs j .. j + kHalves - 1.
template <typename Block>
void convolve3x3Rows(const uint8_t* below, const uint8_t* same, const uint8_t* above, const int16_t* weights,
                     int divisor, int16_t* out, int width, Block block) {
    int j = 1;
#pragma GCC unroll 2
    for (; j + V::kHalves < width; j += V::kHalves) block(j);
    if (j < width - 1 && width - 1 - V::kHalves >= 1)
        block(width - 1 - V::kHalves);
    else if (j < width - 1)
        scalarKernels().convolve3x3Row(below + j - 1, same + j - 1, above + j - 1, weights, divisor,
                                       out + j - 1, width - j + 1);
}

// The filters' own weights (row below first) and divisors. For these the weights are
// constants: zero weights drop out, and the rest become shifts, adds and subtractions.
struct Known3x3 {
    int16_t weights[9];
    int divisor;
};
constexpr Known3x3 kKnown3x3[] = {
    {{0, -1, 0, -1, 4, -1, 0, -1, 0}, 1},      // Laplacian A
    {{-1, -1, -1, -1, 8, -1, -1, -1, -1}, 1},  // Laplacian B
    {{1, -2, 1, -2, 4, -2, 1, -2, 1}, 1},      // Laplacian C
    {{-1, 0, 1, -2, 0, 2, -1, 0, 1}, 1},       // Sobel X
    {{-1, -2, -1, 0, 0, 0, 1, 2, 1}, 1},       // Sobel Y
    {{1, 1, 1, 1, 1, 1, 1, 1, 1}, 9},          // low-pass
    {{-1, -1, -1, -1, 8, -1, -1, -1, -1}, 9},  // high-pass
};

// sum + w x, for a weight known when compiled.
template <int kWeight>
inline V::R addWeighted(V::R sum, V::R x) {
    constexpr int m = kWeight < 0 ? -kWeight : kWeight;
    if (m == 0) return sum;
    V::R scaled = x;
    if (m > 1) scaled = (m & (m - 1)) == 0 ? V::slli16(x, __builtin_ctz(m)) : V::mullo16(x, V::set16(m));
    return kWeight < 0 ? V::sub16(sum, scaled) : V::add16(sum, scaled);
}

// All the known filters but Laplacian A split into a column step and a row step: their weights
// are a column of weights times a row of them (Laplacian C, Sobel X and Y), or the centre less
// (or just) the sum of all nine (Laplacian B, high-pass, low-pass). Each column's value over the
// three rows is then worked out once per row, not three times, and each output takes three.

// A column's value from its pixels in the rows below, same and above.
template <int kKnown>
inline V::R columnOf(V::R b, V::R s, V::R a) {
    if constexpr (kKnown == 2) return V::sub16(V::add16(b, a), V::slli16(s, 1));  // 1, -2, 1
    else if constexpr (kKnown == 3) return V::add16(V::add16(b, a), V::slli16(s, 1));  // 1, 2, 1
    else if constexpr (kKnown == 4) return V::sub16(a, b);  // -1, 0, 1
    else return V::add16(V::add16(b, s), a);
}

// An output from its three columns' values (and its own pixel of the same row).
template <int kKnown>
inline V::R outputOf(V::R left, V::R middle, V::R right, const uint8_t* centre) {
    if constexpr (kKnown == 2) return V::sub16(V::add16(left, right), V::slli16(middle, 1));
    else if constexpr (kKnown == 3) return V::sub16(right, left);
    else if constexpr (kKnown == 4) return V::add16(V::add16(left, right), V::slli16(middle, 1));
    else {
        const V::R sum = V::add16(V::add16(left, middle), right);
        if constexpr (kKnown == 5) return divide9NonNegative(sum);  // 0 <= sum <= 2295
        const V::R c = V::load16(centre);
        const V::R value = V::sub16(V::add16(V::slli16(c, 3), c), sum);  // 9 c - sum: 8 c - the others
        if constexpr (kKnown == 6) return divide9(value);
        return value;
    }
}

// Rows of at least one whole vector of outputs (width >= kHalves + 2): the columns in one loop
// (ending with a vector that overlaps the one before), the outputs in the next as the other 3x3
// rows, which so never read a column stored just before. The columns' values live on the stack,
// so that tables and cores share no row.
template <int kKnown>
void convolveByColumns(const uint8_t* below, const uint8_t* same, const uint8_t* above, int16_t* out, int width) {
    alignas(64) int16_t columnValues[kMaxSide + 64];
    auto column = [&](int k) {
        V::storeI16(columnValues + k, columnOf<kKnown>(V::load16(below + k), V::load16(same + k), V::load16(above + k)));
    };
    const int last = width - V::kHalves;
#pragma GCC unroll 2
    for (int k = 0; k < last; k += V::kHalves) column(k);
    column(last);
    convolve3x3Rows(below, same, above, kKnown3x3[kKnown].weights, kKnown3x3[kKnown].divisor, out, width,
                    [&](int j) {
                        V::storeI16(out + j, outputOf<kKnown>(V::loadI16(columnValues + j - 1),
                                                              V::loadI16(columnValues + j),
                                                              V::loadI16(columnValues + j + 1), same + j));
                    });
}

template <int kKnown>
void convolveKnown3x3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, int16_t* out,
                         int width) {
    if constexpr (kKnown != 0) {
        if (width >= V::kHalves + 2 && width <= kMaxSide) {
            convolveByColumns<kKnown>(below, same, above, out, width);
            return;
        }
    }
    constexpr const int16_t* w = kKnown3x3[kKnown].weights;
    constexpr int divisor = kKnown3x3[kKnown].divisor;
    constexpr bool kNonNegative = w[0] >= 0 && w[1] >= 0 && w[2] >= 0 && w[3] >= 0 && w[4] >= 0 && w[5] >= 0 &&
                                  w[6] >= 0 && w[7] >= 0 && w[8] >= 0;
    convolve3x3Rows(below, same, above, w, divisor, out, width, [&](int j) {
        V::R sum = V::zero();
        sum = addWeighted<w[0]>(sum, V::load16(below + j - 1));
        sum = addWeighted<w[1]>(sum, V::load16(below + j));
        sum = addWeighted<w[2]>(sum, V::load16(below + j + 1));
        sum = addWeighted<w[3]>(sum, V::load16(same + j - 1));
        sum = addWeighted<w[4]>(sum, V::load16(same + j));
        sum = addWeighted<w[5]>(sum, V::load16(same + j + 1));
        sum = addWeighted<w[6]>(sum, V::load16(above + j - 1));
        sum = addWeighted<w[7]>(sum, V::load16(above + j));
        sum = addWeighted<w[8]>(sum, V::load16(above + j + 1));
        if (divisor == 9) sum = kNonNegative ? divide9NonNegative(sum) : divide9(sum);
        V::storeI16(out + j, sum);
    });
}

// Any other weights, each multiplied.
void convolveAny3x3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, const int16_t* weights,
                       int divisor, int16_t* out, int width) {
    const uint8_t* rows[3] = {below, same, above};
    V::R w[9];
    for (int t = 0; t < 9; ++t) w[t] = V::set16(weights[t]);
    // |sum| <= 255 x the sum of |weights| (at most 16 here): well inside int16.
    convolve3x3Rows(below, same, above, weights, divisor, out, width, [&](int j) {
        V::R sum = V::zero();
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                if (weights[3 * a + b] != 0)
                    sum = V::add16(sum, V::mullo16(V::load16(rows[a] + j - 1 + b), w[3 * a + b]));
        if (divisor == 9) sum = divide9(sum);
        V::storeI16(out + j, sum);
    });
}

// The known kernels with the table's signature (their weights are built in).
template <int kKnown>
void convolveKnownAs3x3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, const int16_t*, int,
                           int16_t* out, int width) {
    convolveKnown3x3Row<kKnown>(below, same, above, out, width);
}

Convolve3x3Row convolve3x3For(const int16_t* weights, int divisor) {
    static constexpr Convolve3x3Row kKnownRows[] = {convolveKnownAs3x3Row<0>, convolveKnownAs3x3Row<1>,
                                                    convolveKnownAs3x3Row<2>, convolveKnownAs3x3Row<3>,
                                                    convolveKnownAs3x3Row<4>, convolveKnownAs3x3Row<5>,
                                                    convolveKnownAs3x3Row<6>};
    static_assert(sizeof kKnownRows / sizeof kKnownRows[0] == sizeof kKnown3x3 / sizeof kKnown3x3[0], "one each");
    for (size_t k = 0; k < sizeof kKnown3x3 / sizeof kKnown3x3[0]; ++k)
        if (kKnown3x3[k].divisor == divisor && std::equal(weights, weights + 9, kKnown3x3[k].weights))
            return kKnownRows[k];
    return convolveAny3x3Row;
}

void convolve3x3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, const int16_t* weights,
                    int divisor, int16_t* out, int width) {
    convolve3x3For(weights, divisor)(below, same, above, weights, divisor, out, width);
}

// x / divisor truncated toward zero for -32767 <= x <= 32767, divisor >= 2 (see KernelPlan):
// on |x|, then the sign put back ((q ^ s) - s negates q where s is -1).
inline V::R divideByPlan(V::R x, V::R multiplier, int shift) {
    const V::R sign = V::srai16(x, 15);
    const V::R magnitude = V::sub16(V::xor_(x, sign), sign);
    const V::R quotient = V::srli16(V::mulhiu16(magnitude, multiplier), shift);
    return V::sub16(V::xor_(quotient, sign), sign);
}

// x / divisor truncated toward zero in 32-bit lanes, for |x| < 2^23 and 1 <= divisor <= 1000:
// |x| is exact as a float, and so is every q x divisor below 2^24; the float quotient, rounded
// twice by at most 2^-24 of itself, lies within 1 / divisor of the true one, so its truncation is
// off by one at most, and the exact remainder puts it right.
inline V::R divideWide(V::R x, V::F inverse, V::F divisor) {
    const V::R sign = V::srai32(x, 31);
    const V::F magnitude = V::toFloat(V::sub32(V::xor_(x, sign), sign));
    V::R quotient = V::truncate(V::mulF(magnitude, inverse));
    const V::F rest = V::subF(magnitude, V::mulF(V::toFloat(quotient), divisor));
    quotient = V::sub32(quotient, V::cmpgeF(rest, divisor));  // one too low: the mask is -1
    quotient = V::add32(quotient, V::cmpltF(rest, V::setF(0.0f)));  // one too high
    return V::sub32(V::xor_(quotient, sign), sign);
}

// Sums beyond 16 bits: per output vector, each group's pixels added up (at most 25 x 255, in
// 16-bit lanes), then two groups at a time weighed into 32-bit lanes (pmaddwd), divided there and
// packed back. Whole vectors while the outputs stay inside the interior, then one more ending at
// its last column (overlapping, the same values); interiors at least one vector wide.
// kInt32: the values stored as 32-bit numbers (any size), else packed to 16 bits (they fit).
// kInt32 also lowers and raises bounds[0] and bounds[1] to the values' smallest and largest.
template <bool kInt32, typename Out>
void convolveWideRowAs(const uint8_t* const* rows, const KernelPlan* plan, Out* out, int width, int32_t* bounds) {
    const int size = plan->size, reach = (size - 1) / 2;
    // Each tap's row and column offset, in the order of the groups, in locals: the vector stores
    // may alias anything reached through the plan.
    const uint8_t* taps[25];
    int ends[25], weights[25];
    const int groups = plan->groups;
    for (int g = 0; g < groups; ++g) {
        ends[g] = plan->first[g + 1];
        weights[g] = plan->groupWeight[g];
    }
    // Two groups' weights side by side, as pmaddwd pairs the lanes of two sums (the second of
    // an odd count weighs a sum of zeros).
    V::R pairs[13];
    for (int g = 0; g < groups; g += 2) {
        const int next = g + 1 < groups ? weights[g + 1] : 0;
        pairs[g / 2] = V::set32(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(weights[g])) |
                                                     static_cast<uint32_t>(static_cast<uint16_t>(next)) << 16));
    }
    for (int k = 0; k < plan->first[groups]; ++k) {
        const int t = plan->taps[k];
        taps[k] = rows[t / size] + t % size;
    }
    const bool divide = plan->divisor > 1;
    const V::F divisor = V::setF(static_cast<float>(plan->divisor));
    const V::F inverse = V::setF(1.0f / static_cast<float>(plan->divisor));
    // Output j's window starts at column j - reach (never before the row).
    auto groupSum = [&](int g, int& k, int j) {
        V::R pixels = V::load16(taps[k++] + (j - reach));
        for (; k < ends[g]; ++k) pixels = V::add16(pixels, V::load16(taps[k] + (j - reach)));
        return pixels;
    };
    V::R smallest = V::set32(INT32_MAX), largest = V::set32(INT32_MIN);
    auto wideBlock = [&](int j) {
        V::R low = V::zero(), high = V::zero();
        int k = 0;
        for (int g = 0; g < groups; g += 2) {
            const V::R first = groupSum(g, k, j);
            const V::R second = g + 1 < groups ? groupSum(g + 1, k, j) : V::zero();
            low = V::add32(low, V::madd16(V::unpacklo16(first, second), pairs[g / 2]));
            high = V::add32(high, V::madd16(V::unpackhi16(first, second), pairs[g / 2]));
        }
        if (divide) {
            low = divideWide(low, inverse, divisor);
            high = divideWide(high, inverse, divisor);
        }
        if constexpr (kInt32) {
            smallest = V::min32(smallest, V::min32(low, high));
            largest = V::max32(largest, V::max32(low, high));
            V::storeI32(out + j, V::lowHalves(low, high));
            V::storeI32(out + j + V::kWords, V::highHalves(low, high));
        } else {
            V::storeI16(out + j, V::packs32(low, high));  // the values fit 16 bits
        }
    };
    int j = reach;
    for (; j + V::kHalves <= width - reach; j += V::kHalves) wideBlock(j);
    if (j < width - reach) wideBlock(width - reach - V::kHalves);  // overlapping: the bounds hold
    if constexpr (kInt32) {
        alignas(64) int32_t lanes[2][V::kWords];
        V::storeI32(lanes[0], smallest);
        V::storeI32(lanes[1], largest);
        for (int l = 0; l < V::kWords; ++l) {
            bounds[0] = std::min(bounds[0], lanes[0][l]);
            bounds[1] = std::max(bounds[1], lanes[1][l]);
        }
    }
}

void convolveWideRow(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width) {
    convolveWideRowAs<false>(rows, plan, out, width, nullptr);
}

void convolveRow32(const uint8_t* const* rows, const KernelPlan* plan, int32_t* out, int width, int32_t* bounds) {
    const int reach = (plan->size - 1) / 2;
    if (width - 2 * reach < V::kHalves || width > kMaxSide) {
        if (width - 2 * reach > 0) scalarKernels().convolveRow32(rows, plan, out, width, bounds);
        return;
    }
    convolveWideRowAs<true>(rows, plan, out, width, bounds);
}

// The level of each value before the stretch: t = v - minimum clamped to 0..range (which is the
// level's clamp to 0..255), its float quotient 255 t / range (t is exact as a float; the
// estimate is off by one at most), put right by comparing q x range with 255 t, both below
// 2^32 as unsigned numbers (q <= 255, range < 2^24). Needs a 32-bit multiply (SSE4.1, AVX2).
// Two vectors a step, taken in halves so that their packed levels come out in order.
void levelRun(const int32_t* values, int count, int32_t minimum, int32_t range, int16_t* levels) {
    int k = 0;
    if constexpr (V::kHasMul32) {
        const V::R low = V::set32(minimum), span = V::set32(range), sign = V::set32(INT32_MIN), one = V::set32(1);
        const V::F scale = V::setF(255.0f / static_cast<float>(range));
        auto level = [&](V::R v) {
            const V::R t = V::min32(V::max32(V::sub32(v, low), V::zero()), span);
            const V::R q = V::truncate(V::mulF(V::toFloat(t), scale));
            const V::R product = V::mullo32(q, span);
            const V::R target = V::xor_(V::sub32(V::slli32(t, 8), t), sign);  // 255 t, compared unsigned
            // q - 1 where q x range > 255 t; q + 1 where not even (q + 1) x range > 255 t.
            const V::R tooHigh = V::cmpgt32(V::xor_(product, sign), target);
            const V::R highEnough = V::cmpgt32(V::xor_(V::add32(product, span), sign), target);
            return V::add32(V::add32(q, tooHigh), V::add32(highEnough, one));
        };
        auto block = [&](int at) {
            const V::R a = V::loadI32(values + at), b = V::loadI32(values + at + V::kWords);
            V::storeI16(levels + at, V::packs32(level(V::lowHalves(a, b)), level(V::highHalves(a, b))));
        };
        for (; k + V::kHalves <= count; k += V::kHalves) block(k);
        if (k < count && count >= V::kHalves) {  // one more ending at the last value, overlapping
            block(count - V::kHalves);
            k = count;
        }
    }
    if (k < count) scalarKernels().levelRun(values + k, count - k, minimum, range, levels + k);
}

// Sums in 16-bit lanes: every tap multiplied and added, the taps unrolled (a zero weight adds
// nothing), then divided, or shifted for the unsigned sums of a power-of-two divisor.
// 5x5: each row is widened to 16 bits once (on the stack), not once for each of its five taps.
template <int kSize>
void convolveTaps16(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width) {
    constexpr int kTaps = kSize * kSize, kReach = kSize / 2;
    constexpr bool kWiden = kSize == 5;
    alignas(64) int16_t widened[kWiden ? kSize : 1][kWiden ? kMaxSide + 64 : 1];
    const uint8_t* row[kSize];
    const int16_t* wideRow[kSize];
    for (int a = 0; a < kSize; ++a) {
        row[a] = rows[a];
        if constexpr (kWiden) {
            int k = 0;
            for (; k + V::kHalves <= width; k += V::kHalves) V::storeI16(widened[a] + k, V::load16(rows[a] + k));
            if (k < width) V::storeI16(widened[a] + width - V::kHalves, V::load16(rows[a] + width - V::kHalves));
            wideRow[a] = widened[a];
        }
    }
    // Output j's window starts at column j - kReach (never before the row).
    auto tap = [&](int a, int b, int j) {
        if constexpr (kWiden)
            return V::loadI16(wideRow[a] + (j - kReach) + b);
        else
            return V::load16(row[a] + (j - kReach) + b);
    };
    // Zero weights are left out: the same branches every block, which the CPU foresees.
    V::R weight[kTaps];
    bool used[kTaps];
    for (int t = 0; t < kTaps; ++t) {
        weight[t] = V::set16(plan->weights[t]);
        used[t] = plan->weights[t] != 0;
    }
    const bool divide = plan->divisor > 1 && !plan->unsignedShift;
    const bool shiftDown = plan->unsignedShift && plan->divisor > 1;
    const V::R multiplier = V::set16(static_cast<int16_t>(plan->multiplier));
    const int shift = plan->shift, log = plan->shift + 1;
    auto block = [&](int j) {
        V::R sum = V::zero();
#pragma GCC unroll 25
        for (int t = 0; t < kTaps; ++t)
            if (used[t]) sum = V::add16(sum, V::mullo16(tap(t / kSize, t % kSize, j), weight[t]));
        if (divide) sum = divideByPlan(sum, multiplier, shift);
        if (shiftDown) sum = V::srli16(sum, log);
        V::storeI16(out + j, sum);
    };
    int j = kReach;
    for (; j + V::kHalves <= width - kReach; j += V::kHalves) block(j);
    if (j < width - kReach) block(width - kReach - V::kHalves);
}

// Separable weights in 16-bit lanes: each column's value over the rows (stored on the stack, the
// last vector overlapping the one before), then the outputs across the columns' values.
template <int kSize>
void convolveSeparable16(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width) {
    constexpr int kReach = kSize / 2;
    alignas(64) int16_t columnValues[kMaxSide + 64];
    V::R column[kSize], across[kSize];
    for (int a = 0; a < kSize; ++a) {
        column[a] = V::set16(plan->column[a]);
        across[a] = V::set16(plan->row[a]);
    }
    const uint8_t* row[kSize];
    for (int a = 0; a < kSize; ++a) row[a] = rows[a];
    auto columnBlock = [&](int k) {
        V::R sum = V::mullo16(V::load16(row[0] + k), column[0]);
        for (int a = 1; a < kSize; ++a) sum = V::add16(sum, V::mullo16(V::load16(row[a] + k), column[a]));
        V::storeI16(columnValues + k, sum);
    };
    const int last = width - V::kHalves;
    for (int k = 0; k < last; k += V::kHalves) columnBlock(k);
    columnBlock(last);
    const bool divide = plan->divisor > 1 && !plan->unsignedShift;
    const bool shiftDown = plan->unsignedShift && plan->divisor > 1;
    const V::R multiplier = V::set16(static_cast<int16_t>(plan->multiplier));
    const int shift = plan->shift, log = plan->shift + 1;
    auto block = [&](int j) {
        V::R sum = V::mullo16(V::loadI16(columnValues + j - kReach), across[0]);
        for (int b = 1; b < kSize; ++b) sum = V::add16(sum, V::mullo16(V::loadI16(columnValues + j - kReach + b), across[b]));
        if (divide) sum = divideByPlan(sum, multiplier, shift);
        if (shiftDown) sum = V::srli16(sum, log);
        V::storeI16(out + j, sum);
    };
    int j = kReach;
    for (; j + V::kHalves <= width - kReach; j += V::kHalves) block(j);
    if (j < width - kReach) block(width - kReach - V::kHalves);
}

void convolveRow(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width) {
    const int reach = (plan->size - 1) / 2;
    if (width - 2 * reach < V::kHalves || width > kMaxSide) {
        if (width - 2 * reach > 0) scalarKernels().convolveRow(rows, plan, out, width);
    } else if (plan->wideSums) {
        convolveWideRow(rows, plan, out, width);
    } else if (plan->separable) {
        (plan->size == 3 ? convolveSeparable16<3> : convolveSeparable16<5>)(rows, plan, out, width);
    } else if (plan->size == 3) {
        convolveTaps16<3>(rows, plan, out, width);
    } else {
        convolveTaps16<5>(rows, plan, out, width);
    }
}

void divideWideRun(const int32_t* in, const KernelPlan* plan, int32_t* out, int count) {
    const V::F divisor = V::setF(static_cast<float>(plan->divisor));
    const V::F inverse = V::setF(1.0f / static_cast<float>(plan->divisor));
    int k = 0;
    for (; k + V::kWords <= count; k += V::kWords) {
        const V::R x = V::loadI32(in + k);
        V::storeI32(out + k, divideWide(x, inverse, divisor));
    }
    if (k < count) scalarKernels().divideWideRun(in + k, plan, out + k, count - k);
}

void divideRun(const int16_t* in, const KernelPlan* plan, int16_t* out, int count) {
    int k = 0;
    if (plan->divisor > 1) {
        const V::R multiplier = V::set16(static_cast<int16_t>(plan->multiplier));
        for (; k + V::kHalves <= count; k += V::kHalves)
            V::storeI16(out + k, divideByPlan(V::loadI16(in + k), multiplier, plan->shift));
    }
    if (k < count) scalarKernels().divideRun(in + k, plan, out + k, count - k);
}

// The lanes' range into the tally's, without a branch per lane (rows are short in small frames).
inline void addRange(V::R low, V::R high, ValueTally* tally) {
    alignas(32) int16_t lows[V::kHalves], highs[V::kHalves];
    V::storeI16(lows, low);
    V::storeI16(highs, high);
    int16_t minimum = tally->minimum, maximum = tally->maximum;
    for (int l = 0; l < V::kHalves; ++l) {
        minimum = std::min(minimum, lows[l]);
        maximum = std::max(maximum, highs[l]);
    }
    tally->minimum = minimum;
    tally->maximum = maximum;
}

// Counts in 16-bit lanes: a compare gives -1 for each value below a threshold, added to the
// lane's count, which so runs negative (the mask is added to the count in place: in the
// two-operand SSE form a subtraction from the count costs a register copy per compare). Runs
// are cut into chunks short enough that no lane passes -32768. The last
// vector of a chunk overlaps the one before; only its new lanes count. Four thresholds per
// pass over the chunk (the range taken in the first): with eight or more, the counts, thresholds
// and range need more than the 16 registers, and the range's spill and reload each vector
// would chain the whole loop through memory.
// Lane masks for a last vector that overlaps the one before: from kLastLanes + 16 - lanes + n,
// the last n of `lanes` 16-bit lanes set.
constexpr int16_t kLastLanes[32] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

template <bool kRange>
void tallyFour(const int16_t* values, int start, int end, const int16_t* thresholds, int32_t* below, V::R& lo,
               V::R& hi) {
    const V::R t0 = V::set16(thresholds[0]), t1 = V::set16(thresholds[1]);
    const V::R t2 = V::set16(thresholds[2]), t3 = V::set16(thresholds[3]);
    V::R c0 = V::zero(), c1 = V::zero(), c2 = V::zero(), c3 = V::zero();
    // Whole vectors, with the range in locals, which keeps the loop free of register copies.
    V::R low = lo, high = hi;
    const int whole = start + (end - start) / V::kHalves * V::kHalves;
    for (const int16_t* p = values + start; p < values + whole; p += V::kHalves) {
        const V::R v = V::loadI16(p);
        if (kRange) {
            low = V::min16(low, v);
            high = V::max16(high, v);
        }
        c0 = V::add16(c0, V::cmpgt16(t0, v));
        c1 = V::add16(c1, V::cmpgt16(t1, v));
        c2 = V::add16(c2, V::cmpgt16(t2, v));
        c3 = V::add16(c3, V::cmpgt16(t3, v));
    }
    if (whole < end) {  // end >= kHalves (the run holds at least one vector)
        const V::R v = V::loadI16(values + end - V::kHalves);
        const V::R lanes = V::loadI16(kLastLanes + 16 - V::kHalves + (end - whole));
        if (kRange) {
            low = V::min16(low, v);
            high = V::max16(high, v);
        }
        c0 = V::add16(c0, V::and_(V::cmpgt16(t0, v), lanes));
        c1 = V::add16(c1, V::and_(V::cmpgt16(t1, v), lanes));
        c2 = V::add16(c2, V::and_(V::cmpgt16(t2, v), lanes));
        c3 = V::add16(c3, V::and_(V::cmpgt16(t3, v), lanes));
    }
    lo = low;
    hi = high;
    // Pairs of lanes to 32 bits (negated: the counts went down by one per value), then a
    // transpose by unpacks leaves each count's sum in one lane of each 128-bit half.
    const V::R ones = V::set16(-1);
    const V::R s0 = V::madd16(c0, ones), s1 = V::madd16(c1, ones);
    const V::R s2 = V::madd16(c2, ones), s3 = V::madd16(c3, ones);
    const V::R u0 = V::add32(V::unpacklo32(s0, s1), V::unpackhi32(s0, s1));
    const V::R u1 = V::add32(V::unpacklo32(s2, s3), V::unpackhi32(s2, s3));
    alignas(32) int32_t sums[V::kWords];
    V::store(reinterpret_cast<uint8_t*>(sums), V::add32(V::unpacklo64(u0, u1), V::unpackhi64(u0, u1)));
    for (int l = 0; l < V::kWords; ++l) below[l % 4] += sums[l];
}

// A value less a base, before the byte tallies saturate it to a byte. The values are filter
// values (kFilterValueMin..kFilterValueMax), so for a base within kNearBase of zero the plain
// subtraction cannot wrap and gives what the saturating one gives, at half its cost here (the
// saturating form shares the shuffle units; only bases far out, at the ends of int16, need it).
constexpr int kNearBase = INT16_MAX - kFilterValueMax;
template <bool kNear>
inline V::R offset(V::R v, V::R base) {
    return kNear ? V::sub16(v, base) : V::subs16(v, base);
}

static_assert(kFilterValueMin == -kFilterValueMax, "the reach holds both ways");
inline bool nearZero(int base) { return base >= -kNearBase && base <= kNearBase; }

// The tally in byte lanes, where each half of the thresholds (around the low and the high
// ranked value) lies within 254 values: each value less its half's middle, saturated to a
// byte, for both halves side by side in one register (packs: the low half's eight bytes, then
// the high half's, per 128 bits), so one compare serves a threshold of each half. v >= t holds
// exactly when the saturated v - middle is above t - middle - 1, as t - middle lies within
// -127..127; the values at or above are counted (the compare then takes its threshold from
// memory, so eight per half need no more than the 16 registers), the rest are below.
// Byte counts run negative as in tallyFour and are added up after at most 255 vectors (the
// byte sums of psadbw: even 64-bit lanes the low half, odd ones the high half).
template <int kEach, bool kNear>
void tallyPacked(const int16_t* values, int count, ValueTally* tally, int lowMiddle, int highMiddle) {
    const int16_t* t = tally->thresholds;
    V::R bytes[kEach];
    for (int k = 0; k < kEach; ++k)
        bytes[k] = V::unpacklo64(V::set8(t[k] - lowMiddle - 1), V::set8(t[kEach + k] - highMiddle - 1));
    const V::R lowBase = V::set16(lowMiddle), highBase = V::set16(highMiddle);
    V::R low = V::set16(tally->minimum), high = V::set16(tally->maximum);
    V::R sums[kEach];
    for (int k = 0; k < kEach; ++k) sums[k] = V::zero();
    const int whole = count / V::kHalves * V::kHalves;
    for (int j = 0; j < whole;) {
        const int end = whole - j > 255 * V::kHalves ? j + 255 * V::kHalves : whole;
        V::R c[kEach];
        for (int k = 0; k < kEach; ++k) c[k] = V::zero();
#pragma GCC unroll 2
        for (; j < end; j += V::kHalves) {
            const V::R v = V::loadI16(values + j);
            low = V::min16(low, v);
            high = V::max16(high, v);
            const V::R s = V::packs16(offset<kNear>(v, lowBase), offset<kNear>(v, highBase));
            for (int k = 0; k < kEach; ++k) c[k] = V::add8(c[k], V::cmpgt8(s, bytes[k]));
        }
        for (int k = 0; k < kEach; ++k) sums[k] = V::add64(sums[k], V::sad8(V::sub8(V::zero(), c[k]), V::zero()));
    }
    if (whole < count) {
        // One more vector ending at the run's end; only its lanes past `whole` count (the
        // range takes the others again, which changes nothing).
        const V::R v = V::loadI16(values + count - V::kHalves);
        const V::R lanes16 = V::loadI16(kLastLanes + 16 - V::kHalves + (count - whole));
        const V::R lanes = V::packs16(lanes16, lanes16);
        low = V::min16(low, v);
        high = V::max16(high, v);
        const V::R s = V::packs16(offset<kNear>(v, lowBase), offset<kNear>(v, highBase));
        for (int k = 0; k < kEach; ++k)
            sums[k] = V::add64(sums[k], V::sad8(V::sub8(V::zero(), V::and_(V::cmpgt8(s, bytes[k]), lanes)), V::zero()));
    }
    for (int k = 0; k < kEach; ++k) {
        alignas(32) int64_t lanes[V::kBytes / 8];
        V::store(reinterpret_cast<uint8_t*>(lanes), sums[k]);
        tally->below[k] += count;
        tally->below[kEach + k] += count;
        for (int l = 0; l < V::kBytes / 8; l += 2) {
            tally->below[k] -= static_cast<int32_t>(lanes[l]);
            tally->below[kEach + k] -= static_cast<int32_t>(lanes[l + 1]);
        }
    }
    addRange(low, high, tally);
}

#ifdef __SSSE3__
// The tally by byte lookups, where each half's thresholds are consecutive (t, t + 1, ...): a
// value's place v - t + 1, clamped to 0..15, is how many of its half's thresholds it is at or
// above. A 16-entry table per pair of thresholds turns the place into two 4-bit counters (the
// first threshold's in the low four bits), so a vector costs a shuffle and an add per pair
// where the compares cost two of each. The counters are added up after at most 15 vectors, by
// psadbw of the bytes and of their high four bits alone.
template <int kEach, bool kNear>
void tallyNibbles(const int16_t* values, int count, ValueTally* tally) {
    constexpr int kPairs = kEach / 2;
    constexpr int kFlush = 15;
    V::R tables[kPairs];
    for (int p = 0; p < kPairs; ++p) {
        int8_t entries[16];
        for (int i = 0; i < 16; ++i) entries[i] = static_cast<int8_t>((i > 2 * p) + 16 * (i > 2 * p + 1));
        tables[p] = V::table16(entries);
    }
    const V::R lowBase = V::set16(tally->thresholds[0] - 1), highBase = V::set16(tally->thresholds[kEach] - 1);
    const V::R last = V::set8(15), highBits = V::set8(static_cast<int8_t>(0xF0));
    V::R low = V::set16(tally->minimum), high = V::set16(tally->maximum);
    V::R sums[kPairs], highSums[kPairs], c[kPairs];
    for (int p = 0; p < kPairs; ++p) sums[p] = highSums[p] = V::zero();
    // Places of both halves side by side, as in tallyPacked: even 64-bit lanes the low half.
    auto places = [&](V::R v) {
        low = V::min16(low, v);
        high = V::max16(high, v);
        return V::minu8(V::packus16(offset<kNear>(v, lowBase), offset<kNear>(v, highBase)), last);
    };
    auto flush = [&] {
        for (int p = 0; p < kPairs; ++p) {
            sums[p] = V::add64(sums[p], V::sad8(c[p], V::zero()));
            highSums[p] = V::add64(highSums[p], V::sad8(V::and_(c[p], highBits), V::zero()));
        }
    };
    const int whole = count / V::kHalves * V::kHalves;
    for (int j = 0; j < whole;) {
        const int end = whole - j > kFlush * V::kHalves ? j + kFlush * V::kHalves : whole;
        for (int p = 0; p < kPairs; ++p) c[p] = V::zero();
#pragma GCC unroll 3
        for (; j < end; j += V::kHalves) {
            const V::R at = places(V::loadI16(values + j));
            for (int p = 0; p < kPairs; ++p) c[p] = V::add8(c[p], V::shuffle8(tables[p], at));
        }
        flush();
    }
    if (whole < count) {
        // One more vector ending at the run's end: the lanes before `whole` get place 0.
        const V::R lanes16 = V::loadI16(kLastLanes + 16 - V::kHalves + (count - whole));
        const V::R at = V::and_(places(V::loadI16(values + count - V::kHalves)), V::packs16(lanes16, lanes16));
        for (int p = 0; p < kPairs; ++p) c[p] = V::shuffle8(tables[p], at);
        flush();
    }
    for (int p = 0; p < kPairs; ++p) {
        alignas(32) int64_t all[V::kBytes / 8], highs[V::kBytes / 8];
        V::store(reinterpret_cast<uint8_t*>(all), sums[p]);
        V::store(reinterpret_cast<uint8_t*>(highs), highSums[p]);
        for (int l = 0; l < V::kBytes / 8; ++l) {
            int32_t* below = tally->below + (l % 2 == 0 ? 0 : kEach) + 2 * p;
            below[0] -= static_cast<int32_t>(all[l] - highs[l]);
            below[1] -= static_cast<int32_t>(highs[l] / 16);
        }
    }
    for (int k = 0; k < 2 * kEach; ++k) tally->below[k] += count;
    addRange(low, high, tally);
}
#endif

// Whether thresholds first .. first + n - 1 are t, t + 1, ... (t above INT16_MIN, so that t - 1
// is a value).
inline bool consecutive(const int16_t* thresholds, int n) {
    if (thresholds[0] == INT16_MIN) return false;
    for (int k = 1; k < n; ++k)
        if (thresholds[k] != thresholds[0] + k) return false;
    return true;
}

// The middle of thresholds first .. first + n - 1 when they lie within 254 values, else none.
inline bool byteMiddle(const int16_t* thresholds, int n, int& middle) {
    const auto [lo, hi] = std::minmax_element(thresholds, thresholds + n);
    if (*hi - *lo > 254) return false;
    middle = (*lo + *hi) >> 1;
    return true;
}

void tallyRow(const int16_t* values, int count, ValueTally* tally) {
    if (count < V::kHalves) {
        scalarKernels().tallyRow(values, count, tally);
        return;
    }
    const int each = tally->count / 2;
#ifdef __SSSE3__
    if (each >= 4 && consecutive(tally->thresholds, each) && consecutive(tally->thresholds + each, each)) {
        const bool nearBases = nearZero(tally->thresholds[0] - 1) && nearZero(tally->thresholds[each] - 1);
        if (each == 4)
            (nearBases ? tallyNibbles<4, true> : tallyNibbles<4, false>)(values, count, tally);
        else
            (nearBases ? tallyNibbles<8, true> : tallyNibbles<8, false>)(values, count, tally);
        return;
    }
#endif
    int lowMiddle, highMiddle;
    if (byteMiddle(tally->thresholds, each, lowMiddle) && byteMiddle(tally->thresholds + each, each, highMiddle)) {
        const bool nearBases = nearZero(lowMiddle) && nearZero(highMiddle);
        if (each == 2)
            (nearBases ? tallyPacked<2, true> : tallyPacked<2, false>)(values, count, tally, lowMiddle, highMiddle);
        else if (each == 4)
            (nearBases ? tallyPacked<4, true> : tallyPacked<4, false>)(values, count, tally, lowMiddle, highMiddle);
        else
            (nearBases ? tallyPacked<8, true> : tallyPacked<8, false>)(values, count, tally, lowMiddle, highMiddle);
        return;
    }
    static_assert(kTallyThresholds % 4 == 0, "passes of four thresholds");
    constexpr int kChunk = 16384;
    V::R lo = V::set16(tally->minimum), hi = V::set16(tally->maximum);
    for (int start = 0; start < count; start += kChunk) {
        const int end = count - start > kChunk ? start + kChunk : count;
        tallyFour<true>(values, start, end, tally->thresholds, tally->below, lo, hi);
        for (int t = 4; t < tally->count; t += 4)
            tallyFour<false>(values, start, end, tally->thresholds + t, tally->below + t, lo, hi);
    }
    addRange(lo, hi, tally);
}

// Gray levels below four thresholds, by signed byte compares after flipping the top bit of
// both sides. The counts go up by one per level in byte lanes, so they are added into 64-bit
// sums after at most 255 vectors; the rest of the run (less than a vector) is counted plainly.
void tallyGrayRun(const uint8_t* gray, int count, GrayTally* tally) {
    const V::R flip = V::set8(0x80);
    const V::R t0 = V::set8(tally->thresholds[0] ^ 0x80), t1 = V::set8(tally->thresholds[1] ^ 0x80);
    const V::R t2 = V::set8(tally->thresholds[2] ^ 0x80), t3 = V::set8(tally->thresholds[3] ^ 0x80);
    V::R low = V::set8(tally->minimum), high = V::set8(tally->maximum);
    V::R s0 = V::zero(), s1 = V::zero(), s2 = V::zero(), s3 = V::zero();
    const int whole = count / V::kBytes * V::kBytes;
    for (int j = 0; j < whole;) {
        const int end = whole - j > 255 * V::kBytes ? j + 255 * V::kBytes : whole;
        V::R c0 = V::zero(), c1 = V::zero(), c2 = V::zero(), c3 = V::zero();
        for (; j < end; j += V::kBytes) {
            const V::R v = V::load(gray + j);
            low = V::minu8(low, v);
            high = V::maxu8(high, v);
            const V::R s = V::xor_(v, flip);
            c0 = V::sub8(c0, V::cmpgt8(t0, s));
            c1 = V::sub8(c1, V::cmpgt8(t1, s));
            c2 = V::sub8(c2, V::cmpgt8(t2, s));
            c3 = V::sub8(c3, V::cmpgt8(t3, s));
        }
        s0 = V::add64(s0, V::sad8(c0, V::zero()));
        s1 = V::add64(s1, V::sad8(c1, V::zero()));
        s2 = V::add64(s2, V::sad8(c2, V::zero()));
        s3 = V::add64(s3, V::sad8(c3, V::zero()));
    }
    alignas(32) uint8_t lows[V::kBytes], highs[V::kBytes];
    V::store(lows, low);
    V::store(highs, high);
    for (int l = 0; l < V::kBytes; ++l) {
        tally->minimum = std::min(tally->minimum, lows[l]);
        tally->maximum = std::max(tally->maximum, highs[l]);
    }
    const V::R sums[kGrayThresholds] = {s0, s1, s2, s3};
    for (int t = 0; t < kGrayThresholds; ++t) {
        alignas(32) int64_t lanes[V::kBytes / 8];
        V::store(reinterpret_cast<uint8_t*>(lanes), sums[t]);
        for (int64_t lane : lanes) tally->below[t] += static_cast<int32_t>(lane);
    }
    if (whole < count) scalarKernels().tallyGrayRun(gray + whole, count - whole, tally);
}

// 5x5 filters: first each column's sum of the five rows (at most 1275), carried from the last
// row by one row added and one taken off, then five of those per output (at most 6375).
template <bool kHighPass>
void pass5Row(const uint8_t* const* rows, int16_t* columns, bool fresh, int16_t* out, int width) {
    if (width - 4 < V::kHalves) {
        (kHighPass ? scalarKernels().highPass5Row : scalarKernels().lowPass5Row)(rows, columns, fresh, out, width);
        return;
    }
    // The row pointers in locals: the vector stores may alias anything, so the compiler would
    // otherwise load them again after each store.
    const uint8_t* const row[6] = {rows[0], rows[1], rows[2], rows[3], rows[4], rows[5]};
    auto sums = [&](int k) {
        if (fresh) {
            V::R sum = V::load16(row[1] + k);
            for (int a = 2; a <= 5; ++a) sum = V::add16(sum, V::load16(row[a] + k));
            return sum;
        }
        return V::sub16(V::add16(V::loadI16(columns + k), V::load16(row[5] + k)), V::load16(row[0] + k));
    };
    // The last block overlaps the one before: it is worked out before that one changes its
    // columns, and stored after.
    const int last = width - V::kHalves;
    const V::R lastSums = sums(last);
#pragma GCC unroll 2
    for (int k = 0; k < last; k += V::kHalves) V::storeI16(columns + k, sums(k));
    V::storeI16(columns + last, lastSums);
    // 25 as an opaque register: a multiply by the known constant becomes four shifts and adds.
    V::R twentyFive = V::set16(25);
#if !defined(__wasm__)  // WebAssembly has no register constraints
    asm("" : "+x"(twentyFive));
#endif
    auto outputBlock = [&](int j) {
        V::R sum = V::loadI16(columns + j - 2);
        for (int o = -1; o <= 2; ++o) sum = V::add16(sum, V::loadI16(columns + j + o));
        if (kHighPass) sum = V::sub16(V::mullo16(V::load16(row[3] + j), twentyFive), sum);
        V::storeI16(out + j, kHighPass ? divide25(sum) : divide25NonNegative(sum));
    };
    int j = 2;
#pragma GCC unroll 2
    for (; j + V::kHalves <= width - 2; j += V::kHalves) outputBlock(j);
    if (j < width - 2) outputBlock(width - 2 - V::kHalves);
}

template <typename Reduce>
void neighbourhood3x3(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                      uint8_t* out, int width, Reduce reduce,
                      void (*tail)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, int)) {
    auto block = [&](int j) {
        V::R lo[3], mid[3], hi[3];
        for (int b = 0; b < 3; ++b)
            sort3(V::load(below + j - 1 + b), V::load(same + j - 1 + b), V::load(above + j - 1 + b),
                  lo[b], mid[b], hi[b]);
        V::store(out + j, reduce(lo, mid, hi));
    };
    int j = 1;
    for (; j + V::kBytes < width; j += V::kBytes) block(j);
    if (j < width - 1 && width - 1 - V::kBytes >= 1)
        block(width - 1 - V::kBytes);
    else if (j < width - 1)
        tail(below + j - 1, same + j - 1, above + j - 1, out + j - 1, width - j + 1);
}

void minimum3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, uint8_t* out,
                 int width) {
    neighbourhood3x3(below, same, above, out, width,
                     [](V::R* lo, V::R*, V::R*) { return V::minu8(V::minu8(lo[0], lo[1]), lo[2]); },
                     scalarKernels().minimum3Row);
}

void maximum3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, uint8_t* out,
                 int width) {
    neighbourhood3x3(below, same, above, out, width,
                     [](V::R*, V::R*, V::R* hi) { return V::maxu8(V::maxu8(hi[0], hi[1]), hi[2]); },
                     scalarKernels().maximum3Row);
}

// With each column sorted, the median of nine is the median of (largest low, median of the
// middles, smallest high): the same value the partial exchange sort leaves at position 4.
void median3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, uint8_t* out,
                int width) {
    neighbourhood3x3(below, same, above, out, width,
                     [](V::R* lo, V::R* mid, V::R* hi) {
                         return median3(V::maxu8(V::maxu8(lo[0], lo[1]), lo[2]),
                                        median3(mid[0], mid[1], mid[2]),
                                        V::minu8(V::minu8(hi[0], hi[1]), hi[2]));
                     },
                     scalarKernels().median3Row);
}

void mean3Row(const uint8_t* below, const uint8_t* same, const uint8_t* above, uint8_t* out,
              int width) {
    const uint8_t* rows[3] = {below, same, above};
    auto block = [&](int j) {
        V::R sum = V::zero();
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) sum = V::add16(sum, V::load16(rows[a] + j - 1 + b));
        V::store16as8(out + j, divide9NonNegative(sum));  // 0 <= sum <= 2295
    };
    int j = 1;
#pragma GCC unroll 2
    for (; j + V::kHalves < width; j += V::kHalves) block(j);
    if (j < width - 1 && width - 1 - V::kHalves >= 1)
        block(width - 1 - V::kHalves);
    else if (j < width - 1)
        scalarKernels().mean3Row(below + j - 1, same + j - 1, above + j - 1, out + j - 1,
                                 width - j + 1);
}

void divide9Run(const int16_t* in, int16_t* out, int count) {
    int k = 0;
    for (; k + V::kHalves <= count; k += V::kHalves) V::storeI16(out + k, divide9(V::loadI16(in + k)));
    if (k < count) scalarKernels().divide9Run(in + k, out + k, count - k);
}

void divide25Run(const int16_t* in, int16_t* out, int count) {
    int k = 0;
    for (; k + V::kHalves <= count; k += V::kHalves) V::storeI16(out + k, divide25(V::loadI16(in + k)));
    if (k < count) scalarKernels().divide25Run(in + k, out + k, count - k);
}

void average2Bytes(const uint8_t* const* runs, uint8_t* dst, int count) {
    averageBytes<2>(runs, dst, count, scalarKernels().average2Bytes);
}
void average4Bytes(const uint8_t* const* runs, uint8_t* dst, int count) {
    averageBytes<4>(runs, dst, count, scalarKernels().average4Bytes);
}

// The scalar table with every kernel of this file in place; each instruction set adds its own.
KernelTable sharedVectorTable(const char* name) {
    KernelTable t = scalarKernels();
    t.name = name;
    t.streamBytes = streamBytes;
    t.streamRow = streamBytesUnfenced;
    t.grayStoreRow = streamGrayRow<scalarGrayRow>;
    t.grayCopyRow = copyGrayRow<scalarGrayRow>;
    t.average2Bytes = average2Bytes;
    t.average4Bytes = average4Bytes;
    t.sum8Bytes = sum8Bytes;
    t.replaceSummedBytes = replaceSummedBytes;
    t.frameDifferenceBytes = frameDifferenceBytes;
    t.absDifferenceBytes = absDifferenceBytes;
    t.grayToSurfaceRow = grayToSurfaceRow;
    t.thresholdRow = thresholdRow;
    t.tallyRow = tallyRow;
    t.tallyGrayRun = tallyGrayRun;
    t.convolve3x3Row = convolve3x3Row;
    t.convolve3x3For = convolve3x3For;
    t.convolveRow = convolveRow;
    t.lowPass5Row = pass5Row<false>;
    t.highPass5Row = pass5Row<true>;
    t.minimum3Row = minimum3Row;
    t.maximum3Row = maximum3Row;
    t.median3Row = median3Row;
    t.mean3Row = mean3Row;
    t.divide9Run = divide9Run;
    t.divide25Run = divide25Run;
    t.divideRun = divideRun;
    t.divideWideRun = divideWideRun;
    t.convolveRow32 = convolveRow32;
    t.levelRun = levelRun;
    return t;
}

}  // namespace
}  // namespace pixelwell
