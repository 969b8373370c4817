// Row kernels: the inner loops of the operations, over row pointers and a width only. Each
// has a plain scalar version (the readable reference, kernels_scalar.cpp) and vectorised
// versions that return exactly the same bytes; the frame code calls them through the table its
// core was made with.
#pragma once

#include <cstdint>

namespace pixelwell {

// Smallest and largest filter value (after the divisor) of any convolution mode: the
// Laplacians B and C reach 8 x 255 either way.
constexpr int32_t kFilterValueMin = -2040;
constexpr int32_t kFilterValueMax = 2040;

// How one frame's filter values become gray levels. Unnormalised (raw): the value's low
// eight bits. Otherwise level = clamp((v - minimum) x 255 / range, 0, 255), then the stretch:
// 0 at or below low, 255 at or above high, 255 x (level - low) / (high - low) between;
// low = 0, high = 255 leaves the level as it is.
struct ToneMap {
    bool raw;
    int32_t minimum;
    int32_t range;  // 1 .. kFilterValueMax - kFilterValueMin
    int32_t low;    // 0 <= low < high <= 255
    int32_t high;
    // For the vector kernels: toneMultiplier(range) and toneMultiplier(high - low).
    uint32_t rangeMultiplier;
    uint32_t stretchMultiplier;
    // Every value given lies in minimum .. minimum + range, so the vector kernels may leave out
    // the clamp of the level (the scalar one always clamps).
    bool bounded;
};

// ceil(255 x 2^24 / divisor): (t x it) >> 24 is 255 t / divisor, for 0 <= t <= divisor <= 4080
// (see the vector toneRow).
constexpr uint32_t toneMultiplier(int32_t divisor) {
    return static_cast<uint32_t>(((uint64_t{255} << 24) + static_cast<uint64_t>(divisor) - 1) /
                                 static_cast<uint64_t>(divisor));
}

// How many values of a run fall below each of a few thresholds, and the run's range: all the
// contrast stretch needs of a frame's filter values while its cuts lie near the thresholds
// (fusedConvolution).
constexpr int kTallyThresholds = 16;
struct ValueTally {
    int32_t count;  // thresholds in use: 4, 8 or 16, the first half around the low ranked value
    int16_t thresholds[kTallyThresholds];
    int32_t below[kTallyThresholds];  // values < thresholds[t], added up over the runs
    int16_t minimum;                  // of the runs so far; start at INT16_MAX / INT16_MIN
    int16_t maximum;
};

// How many gray levels of a run lie below each of four thresholds (0..255), and the run's range:
// all the binarisation needs of a frame while its median lies near the thresholds
// (fusedBinarize).
constexpr int kGrayThresholds = 4;
struct GrayTally {
    uint8_t thresholds[kGrayThresholds];
    int32_t below[kGrayThresholds];  // levels < thresholds[t], added up over the runs
    uint8_t minimum;                 // of the runs so far; start at 255 / 0
    uint8_t maximum;
};

// Any 3x3 or 5x5 integer kernel (weights -1000..1000) whose values over gray levels fit 16 bits,
// as KernelTable::convolveRow takes it: made once per frame by planKernel. Where every sum fits
// 16 bits too (|sum| <= 32767) it is added up in 16-bit lanes (which may wrap on the way: the
// sum they end with is the true one); otherwise in 32-bit lanes, and divided there.
struct KernelPlan {
    int32_t size;          // 3 or 5
    int32_t divisor;       // 1 .. 1000
    int16_t weights[25];   // size x size, the row below first, each row left to right
    bool wideSums;         // some sum needs more than 16 bits, and they are not all of the next kind
    // Every weight >= 0, every sum <= 65535 and the divisor 2^shift (a Gaussian / 16 or / 256):
    // the sums fit unsigned 16-bit lanes, and the division is a shift.
    bool unsignedShift;
    // Weights that are a column of weights times a row of them (w[a][b] = column[a] x row[b],
    // a Gaussian, a box, a Sobel): summed in 16 bits by columns first, then across (16-bit lanes
    // wrap alike either way, and the sum they end with is the true one).
    bool separable;
    int16_t column[5];  // by row, the row below first
    int16_t row[5];     // by column, left to right
    // The truncating division for 2 <= divisor: |x| / divisor = (|x| x multiplier) >> 16 >>
    // shift for 0 <= |x| <= 32767 (multiplier = ceil(2^(15 + L) / divisor), shift = L - 1,
    // L = ceil(log2 divisor): the error of the multiplier stays below 2^L / 2^(15 + L) per
    // unit of x, too little to cross an integer below 2^15).
    uint16_t multiplier;
    int32_t shift;
    // The nonzero weights, each once, with the taps (a x size + b) that carry it: group g is
    // taps[first[g]] .. taps[first[g + 1] - 1], of weight groupWeight[g] (the pixels of a group
    // are added up, then multiplied once).
    int32_t groups;
    int16_t groupWeight[25];
    uint8_t first[26];
    uint8_t taps[25];
};

// The plan of a kernel given as size x size weights, the row below first; divisor 1 .. 1000.
void planKernel(int32_t size, const int16_t* weights, int32_t divisor, KernelPlan& plan);

// A 3x3 filter row (see KernelTable::convolve3x3Row).
using Convolve3x3Row = void (*)(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                                const int16_t* weights, int divisor, int16_t* out, int width);

struct KernelTable {
    const char* name;

    // --- colour rows: 24-bit B,G,R in, surface pixels B,G,R,0 out --------------------------
    void (*copyRow)(const uint8_t* bgr, uint8_t* surface, int width);
    void (*invertRow)(const uint8_t* bgr, uint8_t* surface, int width);
    // Small differences (squared distance <= 360) as themselves, larger ones as the live pixel.
    void (*differenceRow)(const uint8_t* cur, const uint8_t* ref, uint8_t* surface, int width);

    // --- byte runs (count bytes of 24-bit rows) ----------------------------------------------
    // Copies count bytes like memcpy, but the vector versions write around the caches: for a
    // ring slot that nothing reads while this frame is processed (the slot would otherwise
    // be read in before being overwritten, and evict the operation's own data).
    void (*streamBytes)(const uint8_t* src, uint8_t* dst, int count);
    // streamBytes without its fence, for the rows of a frame stored one by one just before an
    // operation reads them (then from the cache): the next streamBytes call orders them (a
    // fence per row costs more than the row).
    void (*streamRow)(const uint8_t* src, uint8_t* dst, int count);
    // Floor of the mean of 2, 4 or 8 runs, in one pass over them.
    void (*average2Bytes)(const uint8_t* const* runs, uint8_t* dst, int count);
    void (*average4Bytes)(const uint8_t* const* runs, uint8_t* dst, int count);
    // The 8-frame average through per-byte sums of the eight slots, held as RingMeans and
    // RingRemainders hold them (means <- sum / 8, the floor of the mean, which is what is
    // drawn; the rest in the nibbles of `remainders`, laid out by remainderByte). Every
    // pointer is to byte 0 of a frame; the kernels work on bytes first..first+count-1 and
    // leave the nibbles of all others as they are. sum8Bytes starts the sums from the eight
    // runs; replaceSummedBytes follows one slot's bytes being replaced by the frame's:
    // sum += frame - slot, slot <- frame.
    void (*sum8Bytes)(const uint8_t* const* runs, uint8_t* means, uint8_t* remainders, int first, int count);
    void (*replaceSummedBytes)(const uint8_t* frame, uint8_t* slot, uint8_t* means, uint8_t* remainders, int first,
                               int count);
    // (cur - prev + 127) modulo 256.
    void (*frameDifferenceBytes)(const uint8_t* cur, const uint8_t* prev, uint8_t* dst, int count);
    // |cur - ref|.
    void (*absDifferenceBytes)(const uint8_t* cur, const uint8_t* ref, uint8_t* dst, int count);

    // --- gray ----------------------------------------------------------------------------------
    void (*grayRow)(const uint8_t* bgr, uint8_t* gray, int width);
    // grayRow, and the row's 3 x width bytes copied into slot from the same loads, around the
    // caches: the ring copy of the frame while the gray rows read it (one read of the frame).
    // The slot's stores are ordered as streamRow's.
    void (*grayStoreRow)(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width);
    // The same with plain stores into the slot, for frames whose ring the caches hold: there
    // the stores around the caches cost more than the cache they save.
    void (*grayCopyRow)(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width);
    // Gray levels to surface pixels (g, g, g, 0).
    void (*grayToSurfaceRow)(const uint8_t* gray, uint8_t* surface, int width);
    // 255 where gray >= threshold, else 0; threshold 0..256.
    void (*thresholdRow)(const uint8_t* gray, int threshold, uint8_t* surface, int width);
    // Filter values to gray surface pixels through the frame's tone map.
    void (*toneRow)(const int16_t* values, const ToneMap* map, uint8_t* surface, int width);
    // Adds a run of count filter values (kFilterValueMin..kFilterValueMax) to the tally (counts
    // below each threshold in use, range).
    void (*tallyRow)(const int16_t* values, int count, ValueTally* tally);
    // Adds a run of count gray levels to the tally.
    void (*tallyGrayRun)(const uint8_t* gray, int count, GrayTally* tally);

    // --- 3x3 and 5x5 neighbourhoods over gray rows ---------------------------------------------
    // Rows are given bottom first (below, same, above). These write the interior columns
    // 1 .. width-2 (2 .. width-3 for 5x5) of `out` and nothing else.
    // weights: 9 values, row below first, each row left to right; divisor 1 or 9 (truncating).
    Convolve3x3Row convolve3x3Row;
    // The kernel convolve3x3Row runs for these weights and divisor (the vector tables have one
    // with the filters' weights built in), to be chosen once per frame rather than per row.
    Convolve3x3Row (*convolve3x3For)(const int16_t* weights, int divisor);
    // Sum of 25 / 25, and (24 x centre - the other 24) / 25, both truncating. rows: six, the
    // window's five (rows[1] .. rows[5], centre rows[3]) and the row below it (rows[0]).
    // columns (width entries) carries each column's sum of five rows from row to row: on return
    // it holds the window's; on entry, unless `fresh`, it must hold rows[0] .. rows[4]'s (the
    // last call's), so one row is added and one taken off instead of five summed.
    // Any kernel of a plan. rows: plan->size of them, the row below first;
    // writes the interior columns reach .. width-1-reach of `out` (reach = (size - 1) / 2).
    void (*convolveRow)(const uint8_t* const* rows, const KernelPlan* plan, int16_t* out, int width);
    void (*lowPass5Row)(const uint8_t* const* rows, int16_t* columns, bool fresh, int16_t* out, int width);
    void (*highPass5Row)(const uint8_t* const* rows, int16_t* columns, bool fresh, int16_t* out, int width);
    void (*minimum3Row)(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                        uint8_t* out, int width);
    void (*maximum3Row)(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                        uint8_t* out, int width);
    void (*median3Row)(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                       uint8_t* out, int width);
    void (*mean3Row)(const uint8_t* below, const uint8_t* same, const uint8_t* above,
                     uint8_t* out, int width);

    // --- the truncating divisions the filters use, exposed for their exhaustive test ----------
    void (*divide9Run)(const int16_t* in, int16_t* out, int count);
    void (*divide25Run)(const int16_t* in, int16_t* out, int count);
    // The plan's division (truncating) of values -32767..32767.
    void (*divideRun)(const int16_t* in, const KernelPlan* plan, int16_t* out, int count);
    // The same in 32-bit lanes, of values -6,375,000..6,375,000 (the kernel mode's sums).
    void (*divideWideRun)(const int32_t* in, const KernelPlan* plan, int32_t* out, int count);

    // --- kernels whose values go beyond 16 bits (the kernel mode's large weights) --------------
    // convolveRow's values as 32-bit numbers, for any plan (its wideSums and the rest unused):
    // the interior columns reach .. width-1-reach of `out`, nothing else; bounds[0] and bounds[1]
    // are lowered and raised to the smallest and largest of them.
    void (*convolveRow32)(const uint8_t* const* rows, const KernelPlan* plan, int32_t* out, int width, int32_t* bounds);
    // The tone map's level of each value, before the stretch: clamp((v - minimum) x 255 / range,
    // 0, 255), for 1 <= range < 2^24 and values and minimum within +-6,375,000.
    void (*levelRun)(const int32_t* values, int count, int32_t minimum, int32_t range, int16_t* levels);
};

// The variants built into this program; null where the CPU or the build lacks them.
const KernelTable& scalarKernels();
const KernelTable* sse2Kernels();
const KernelTable* ssse3Kernels();  // SSSE3 and SSE4.1
const KernelTable* avx2Kernels();
const KernelTable* wasmKernels();   // WebAssembly SIMD128 builds: the SSSE3 kernels in SIMD128 where that is faster

// The widest variant the CPU runs (in a WebAssembly SIMD128 build, wasm), unless the environment
// says otherwise: PIXELWELL_SCALAR=1 gives the scalar table, PIXELWELL_KERNELS=scalar|sse2|ssse3|
// avx2 caps it. A core takes it when made without a table named.
const KernelTable& selectKernels();

// The size in bytes of the CPU's largest data cache (the last level) as CPUID tells it, read
// once; 0 where it does not tell (or the CPU is no x86).
int64_t detectedLastLevelCacheBytes();

}  // namespace pixelwell
