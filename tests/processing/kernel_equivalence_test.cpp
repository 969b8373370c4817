// Proves the vector paths bit-exact: every row kernel of every variant the CPU runs against
// the scalar kernel (patterns, then fixed-seed random data, over awkward widths), the vector
// divisions over their whole input range, and whole frames of every mode through the
// per-frame entry with the scalar table, the selected table and the plain operations.
// To extend: add the kernel to KernelTable and to the family test that matches its shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dispatcher.h"
#include "fused_operations.h"
#include "kernels.h"
#include "operations.h"
#include "test_picture.h"
#include "test_support.h"

namespace pixelwell::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Every width from 1 to the widest frame, in groups (one test each).
struct Widths {
    int first, last;
};
const Widths kWidths[] = {{1, 64}, {65, 320}, {321, 640}, {641, 960}, {961, 1280}};
constexpr int kPasses = 9;  // 6 patterns, then 3 random seeds
// Under the sanitizers, where every access is checked at many times its cost, a group takes its
// first 64 widths (every tail that vectors of up to 64 bytes leave) and its last 16; the plain
// build takes every width.
#ifdef PIXELWELL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int kSanitizedHead = 64, kSanitizedTail = 16;

// Pass p over n bytes: all 0, all 255, 0/255 alternating, a ramp, one hot byte, 254/1
// alternating, then random data.
Bytes pattern(int pass, size_t n, uint32_t salt = 0) {
    Bytes b(n);
    std::mt19937 random(1234u + 77u * pass + salt);
    for (size_t k = 0; k < n; ++k) {
        switch (pass) {
            case 0: b[k] = 0; break;
            case 1: b[k] = 255; break;
            case 2: b[k] = (k & 1) ? 255 : 0; break;
            case 3: b[k] = static_cast<uint8_t>(k * 7 + salt); break;
            case 4: b[k] = k == (n / 2 + salt) % (n ? n : 1) ? 255 : 0; break;
            case 5: b[k] = ((k + salt) & 1) ? 254 : 1; break;
            default: b[k] = static_cast<uint8_t>(random()); break;
        }
    }
    return b;
}

template <typename T>
void expectSame(const std::vector<T>& want, const std::vector<T>& got, const std::string& what) {
    ASSERT_EQ(want.size(), got.size()) << what;
    if (want == got) return;  // one memcmp; the loop below only finds where they differ
    for (size_t k = 0; k < want.size(); ++k)
        if (want[k] != got[k]) {
            FAIL() << what << ": first difference at index " << k << ": scalar " << +want[k]
                   << ", vector " << +got[k];
        }
}

struct Variant {
    const char* name;
    const KernelTable* (*table)();
};
const Variant kVariants[] = {{"sse2", sse2Kernels}, {"ssse3", ssse3Kernels}, {"avx2", avx2Kernels}};

class KernelTest : public testing::TestWithParam<std::tuple<Variant, Widths>> {
protected:
    void SetUp() override {
        vector_ = std::get<0>(GetParam()).table();
        if (!vector_) GTEST_SKIP() << std::get<0>(GetParam()).name << " is not available here";
    }
    // Runs the checks for each width of the group, up to the first that fails.
    template <typename Check>
    void eachWidth(Check check) {
        const Widths group = std::get<1>(GetParam());
        for (width_ = group.first; width_ <= group.last; ++width_) {
            if (kSanitized && width_ >= group.first + kSanitizedHead && width_ <= group.last - kSanitizedTail)
                continue;
            check();
            if (HasFailure()) return;
        }
    }
    const KernelTable& scalar() const { return scalarKernels(); }
    const KernelTable& vec() const { return *vector_; }
    std::string label(const char* kernel, int pass) const {
        return std::string(kernel) + " width " + std::to_string(width_) + " pass " + std::to_string(pass);
    }

    const KernelTable* vector_ = nullptr;
    int width_ = 0;
};

// Runs a kernel of both tables into outputs pre-filled with a sentinel, so that a write
// outside the columns a kernel owns also shows as a difference.
template <typename T, typename Run>
void compare(const KernelTable& scalar, const KernelTable& vec, size_t outSize, const std::string& what,
             Run run) {
    std::vector<T> want(outSize, static_cast<T>(0x5A)), got(outSize, static_cast<T>(0x5A));
    run(scalar, want.data());
    run(vec, got.data());
    expectSame(want, got, what);
}

TEST_P(KernelTest, ColourRows) {
    eachWidth([&] {
        const size_t w = width_;
        for (int pass = 0; pass < kPasses; ++pass) {
            const Bytes a = pattern(pass, 3 * w), b = pattern(pass, 3 * w, 5);
            Bytes c = pattern(pass, 3 * w);
            for (size_t k = 0; k < c.size(); ++k) c[k] = static_cast<uint8_t>(a[k] + (k % 23) - 11);
            compare<uint8_t>(scalar(), vec(), 4 * w, label("copyRow", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.copyRow(a.data(), out, width_); });
            compare<uint8_t>(scalar(), vec(), 4 * w, label("invertRow", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.invertRow(a.data(), out, width_); });
            // Against a far and a near reference, so both outcomes of the distance test occur.
            for (const Bytes* ref : {&b, static_cast<const Bytes*>(&c)})
                compare<uint8_t>(scalar(), vec(), 4 * w, label("differenceRow", pass),
                                 [&](const KernelTable& t, uint8_t* out) {
                                     t.differenceRow(a.data(), ref->data(), out, width_);
                                 });
            compare<uint8_t>(scalar(), vec(), w, label("grayRow", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.grayRow(a.data(), out, width_); });
        }
    });
}

// The gray row and the row's bytes in the slot, streamed and plainly: at a 64-byte aligned slot,
// where the vector versions stream from their loads, and at offsets where they cannot; the
// bytes around the slot's row untouched.
TEST_P(KernelTest, GrayStoreRow) {
    alignas(64) static uint8_t slots[2][3 * 1280 + 192];
    const KernelTable* tables[2] = {&scalar(), &vec()};
    using Store = void (*)(const uint8_t*, uint8_t*, uint8_t*, int);
    eachWidth([&] {
        const size_t w = width_;
        for (int pass = 0; pass < kPasses; ++pass) {
            const Bytes a = pattern(pass, 3 * w);
            for (bool streamed : {true, false}) {
                for (int offset : {0, 1, 16, 48, 63}) {
                    Bytes gray[2];
                    for (int k = 0; k < 2; ++k) {
                        std::memset(slots[k], 0x5A, sizeof slots[k]);
                        gray[k].assign(w, 0x5A);
                        const Store store = streamed ? tables[k]->grayStoreRow : tables[k]->grayCopyRow;
                        store(a.data(), gray[k].data(), slots[k] + 64 + offset, width_);
                        tables[k]->streamBytes(a.data(), slots[k], 0);  // the fence the callers make
                    }
                    const std::string what =
                        label(streamed ? "grayStoreRow" : "grayCopyRow", pass) + " at " + std::to_string(offset);
                    expectSame(gray[0], gray[1], what + " gray");
                    expectSame(Bytes(std::begin(slots[0]), std::end(slots[0])),
                               Bytes(std::begin(slots[1]), std::end(slots[1])), what + " slot");
                    ASSERT_TRUE(std::equal(a.begin(), a.end(), slots[0] + 64 + offset)) << what;
                }
            }
        }
    });
}

// Eight runs of n bytes for a pass (pass 4's single hot byte would be the same in all eight:
// random runs instead), with pointers to them.
struct EightRuns {
    std::vector<Bytes> data;
    const uint8_t* pointers[8];
};
EightRuns eightRuns(int pass, size_t n) {
    EightRuns runs;
    for (uint32_t s = 0; s < 8; ++s) runs.data.push_back(pattern(pass == 4 ? 6 + s % 3 : pass, n, s));
    for (uint32_t s = 0; s < 8; ++s) runs.pointers[s] = runs.data[s].data();
    return runs;
}

// The 8-frame sums, held as means and remainder nibbles: started from eight runs, then one
// run's bytes replaced by a frame's, over a row that starts at a block's start and one that
// starts inside a block. Both tables must agree on every byte of the records and the slot; the
// held sums must be the runs' sums before and after, and no byte outside the row may change,
// not even a nibble of a byte the row shares.
TEST_P(KernelTest, EightFrameSums) {
    eachWidth([&] {
        const size_t n = 3 * static_cast<size_t>(width_);
        const int count = static_cast<int>(n);
        for (const int first : {0, 29}) {
            const size_t end = first + n;
            for (int pass = 0; pass < kPasses; ++pass) {
                const EightRuns runs = eightRuns(pass, end);
                const uint8_t* pointers[8];
                std::copy(std::begin(runs.pointers), std::end(runs.pointers), pointers);
                const Bytes frame = pattern(pass < 6 ? 5 - pass : pass, end, 99);
                struct Result {
                    Bytes startedMeans, startedRemainders, means, remainders, slot;
                } result[2];
                const KernelTable* tables[2] = {&scalar(), &vec()};
                for (int v = 0; v < 2; ++v) {
                    Result& r = result[v];
                    r.means.assign(end + 64, 0x5A);  // and the rest of the last block
                    r.remainders.assign(((end + 63) / 64 + 1) * 32, 0x5A);
                    tables[v]->sum8Bytes(pointers, r.means.data(), r.remainders.data(), first, count);
                    r.startedMeans = r.means;
                    r.startedRemainders = r.remainders;
                    r.slot = runs.data[3];
                    r.slot.push_back(0x5A);
                    tables[v]->replaceSummedBytes(frame.data(), r.slot.data(), r.means.data(), r.remainders.data(),
                                                  first, count);
                }
                const std::string what = label("eight-frame sums", pass) + " from byte " + std::to_string(first);
                expectSame(result[0].startedMeans, result[1].startedMeans, what + " started means");
                expectSame(result[0].startedRemainders, result[1].startedRemainders, what + " started remainders");
                expectSame(result[0].means, result[1].means, what + " means");
                expectSame(result[0].remainders, result[1].remainders, what + " remainders");
                expectSame(result[0].slot, result[1].slot, what + " slot");

                Bytes expectedSlot = runs.data[3];
                std::copy(frame.begin() + first, frame.end(), expectedSlot.begin() + first);
                expectedSlot.push_back(0x5A);
                expectSame(expectedSlot, result[1].slot, what + " slot holds the frame's row");
                const Result& r = result[1];
                auto held = [](const Bytes& means, const Bytes& remainders, size_t p) {
                    return means[p] * 8 + (remainders[remainderByte(static_cast<int32_t>(p))] >>
                                               remainderShift(static_cast<int32_t>(p)) & 7);
                };
                for (size_t p = 0; p < r.means.size(); ++p) {
                    int32_t started = 0x5A * 8 + (0x5A >> remainderShift(static_cast<int32_t>(p)) & 7);
                    int32_t replaced = started;
                    if (p >= static_cast<size_t>(first) && p < end) {
                        started = 0;
                        for (int s = 0; s < 8; ++s) started += runs.data[s][p];
                        replaced = started - runs.data[3][p] + frame[p];
                    }
                    ASSERT_EQ(held(r.startedMeans, r.startedRemainders, p), started) << what << " started, byte " << p;
                    ASSERT_EQ(held(r.means, r.remainders, p), replaced) << what << " replaced, byte " << p;
                }
            }
        }
    });
}

TEST_P(KernelTest, ByteRuns) {
    eachWidth([&] {
        const size_t n = 3 * static_cast<size_t>(width_);
        for (int pass = 0; pass < kPasses; ++pass) {
            const EightRuns runs = eightRuns(pass, n);
            const uint8_t* pointers[8];
            std::copy(std::begin(runs.pointers), std::end(runs.pointers), pointers);
            const int count = static_cast<int>(n);
            compare<uint8_t>(scalar(), vec(), n, label("average2Bytes", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.average2Bytes(pointers, out, count); });
            compare<uint8_t>(scalar(), vec(), n, label("average4Bytes", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.average4Bytes(pointers, out, count); });
            compare<uint8_t>(scalar(), vec(), n, label("frameDifferenceBytes", pass),
                             [&](const KernelTable& t, uint8_t* out) {
                                 t.frameDifferenceBytes(pointers[0], pointers[1], out, count);
                             });
            compare<uint8_t>(scalar(), vec(), n, label("absDifferenceBytes", pass),
                             [&](const KernelTable& t, uint8_t* out) {
                                 t.absDifferenceBytes(pointers[0], pointers[1], out, count);
                             });
            // Every alignment of the destination within a cache line, bytes around it untouched.
            for (int offset = 0; offset < 65; ++offset)
                compare<uint8_t>(scalar(), vec(), n + 65, label("streamBytes", pass) + " at " + std::to_string(offset),
                                 [&](const KernelTable& t, uint8_t* out) {
                                     t.streamBytes(pointers[2], out + offset, count);
                                 });
            for (int offset : {0, 1, 16, 63})
                compare<uint8_t>(scalar(), vec(), n + 65, label("streamRow", pass) + " at " + std::to_string(offset),
                                 [&](const KernelTable& t, uint8_t* out) {
                                     t.streamRow(pointers[3], out + offset, count);
                                     t.streamBytes(pointers[3], out, 0);  // the fence the callers make
                                 });
        }
    });
}

TEST_P(KernelTest, GrayToSurface) {
    eachWidth([&] {
        const size_t w = width_;
        for (int pass = 0; pass < kPasses; ++pass) {
            const Bytes gray = pattern(pass, w);
            compare<uint8_t>(scalar(), vec(), 4 * w, label("grayToSurfaceRow", pass),
                             [&](const KernelTable& t, uint8_t* out) { t.grayToSurfaceRow(gray.data(), out, width_); });
            for (int threshold : {0, 1, 100, 254, 255, 256})
                compare<uint8_t>(scalar(), vec(), 4 * w, label("thresholdRow", pass),
                                 [&](const KernelTable& t, uint8_t* out) {
                                     t.thresholdRow(gray.data(), threshold, out, width_);
                                 });
            // Values over the whole filter range, through a table of distinct pixels.
            std::vector<int16_t> values(w);
            const Bytes noise = pattern(pass, 2 * w, 9);
            for (size_t j = 0; j < w; ++j)
                values[j] = static_cast<int16_t>(kFilterValueMin + (noise[2 * j] << 8 | noise[2 * j + 1]) %
                                                                       (kFilterValueMax - kFilterValueMin + 1));
            // Raw, unstretched and stretched maps over wide and narrow ranges.
            const int32_t maps[][4] = {{0, 0, 0, 0},          {-2040, 4080, 0, 255}, {-7, 30, 0, 255},
                                       {-300, 900, 12, 200}, {5, 1, 0, 255},        {100, 3, 254, 255},
                                       {-2040, 4080, 0, 1},  {-50, 77, 100, 101}};
            for (const auto& m : maps) {
                ToneMap map{m[1] == 0, m[0], m[1], m[2], m[3], 0, 0, false};
                if (!map.raw) {
                    map.rangeMultiplier = toneMultiplier(map.range);
                    map.stretchMultiplier = toneMultiplier(map.high - map.low);
                }
                compare<uint8_t>(scalar(), vec(), 4 * w, label("toneRow", pass), [&](const KernelTable& t, uint8_t* out) {
                    t.toneRow(values.data(), &map, out, width_);
                });
            }
        }
    });
}

// Tallies start from a tally already holding counts and a range, so that a kernel which
// overwrites instead of adding, or ignores the range it is given, shows. The scalar tally is
// counted once for all the vector tables given (it costs more than all of them together).
void expectSameTally(const KernelTable& scalar, const std::vector<const KernelTable*>& vectors,
                     const std::vector<int16_t>& values, const ValueTally& start, const std::string& what) {
    ValueTally want = start;
    scalar.tallyRow(values.data(), static_cast<int>(values.size()), &want);
    for (const KernelTable* vec : vectors) {
        ValueTally got = start;
        vec->tallyRow(values.data(), static_cast<int>(values.size()), &got);
        const std::string where = what + " (" + vec->name + ")";
        EXPECT_EQ(want.minimum, got.minimum) << where;
        EXPECT_EQ(want.maximum, got.maximum) << where;
        for (int t = 0; t < kTallyThresholds; ++t) {
            EXPECT_EQ(want.below[t], got.below[t]) << where << " threshold " << want.thresholds[t];
            if (t >= start.count) {
                EXPECT_EQ(start.below[t], got.below[t]) << where << " unused threshold " << t;
            }
        }
    }
}

// Every vector table the CPU runs, for the tests that compare them all in one pass.
std::vector<const KernelTable*> vectorTables() {
    std::vector<const KernelTable*> tables;
    for (const Variant& variant : kVariants)
        if (variant.table()) tables.push_back(variant.table());
    return tables;
}

// Width by width as KernelTest, but every vector table in each test.
class TallyRows : public testing::TestWithParam<Widths> {};

TEST_P(TallyRows, EveryTableCountsAsTheScalarOne) {
    const std::vector<const KernelTable*> vectors = vectorTables();
    if (vectors.empty()) GTEST_SKIP() << "no vector table is available here";
    const Widths group = GetParam();
    for (int width = group.first; width <= group.last && !HasFailure(); ++width) {
        if (kSanitized && width >= group.first + kSanitizedHead && width <= group.last - kSanitizedTail) continue;
        const size_t w = width;
        auto label = [&](const char* kernel, int pass) {
            return std::string(kernel) + " width " + std::to_string(width) + " pass " + std::to_string(pass);
        };
        // Consecutive thresholds around a value, as the filters use them, and spread ones
        // (repeated, out of order, beyond every value).
        const int16_t sets[][kTallyThresholds] = {
            {-2, -1, 0, 1, 5, 6, 7, 8},
            // Halves just within a byte's reach (254 apart) and just beyond it (255).
            {-2040, -1786, -1900, -1800, 1000, 1254, 1100, 1200},
            {-2040, -1785, -1900, -1800, 1000, 1255, 1100, 1200},
            {-2041, -2040, -2039, -2038, 2038, 2039, 2040, 2041},
            {-32768, 32767, 0, 0, -32768, 100, -100, 32767},
            {7, 6, 5, 4, 3, 2, 1, 0},
            // Pairs at the ends of int16.
            {-32768, -32767, 32766, 32767, -1, 0, 2040, 2041},
            // Eight consecutive ones around each ranked value, and eight a half spread just within
            // a byte's reach and just beyond it.
            {-4, -3, -2, -1, 0, 1, 2, 3, 118, 119, 120, 121, 122, 123, 124, 125},
            {-2040, -2000, -1900, -1850, -1800, -1790, -1787, -1786, 0, 1, 2, 3, 4, 5, 6, 254},
            {-2040, -2000, -1900, -1850, -1800, -1790, -1787, -1785, 0, 1, 2, 3, 4, 5, 6, 255},
            // Halves whose bases (the middle, or one below the first of consecutive ones) lie
            // just within the reach where the values less the base cannot wrap, and just beyond.
            {-30727, -30726, 30727, 30728, 0, 1, 2, 3},
            {-30728, -30727, 30728, 30729, 0, 1, 2, 3},
            {-30726, -30725, -30724, -30723, 30728, 30729, 30730, 30731},
            {-30727, -30726, -30725, -30724, 30729, 30730, 30731, 30732},
            // Consecutive ones (counted by lookups) at the ends of int16, where one below the
            // first is no value.
            {-32768, -32767, -32766, -32765, 32764, 32765, 32766, 32767},
            {-32768, -32767, -32766, -32765, -32764, -32763, -32762, -32761, 32760, 32761, 32762, 32763, 32764,
             32765, 32766, 32767}};
        for (int pass = 0; pass < kPasses; ++pass) {
            // Values over the whole filter range, then few distinct values near zero.
            const Bytes noise = pattern(pass, 2 * w, 3);
            std::vector<int16_t> wide(w), narrow(w);
            for (size_t j = 0; j < w; ++j) {
                wide[j] = static_cast<int16_t>(kFilterValueMin + (noise[2 * j] << 8 | noise[2 * j + 1]) %
                                                                     (kFilterValueMax - kFilterValueMin + 1));
                narrow[j] = static_cast<int16_t>(noise[2 * j] % 7 - 3);
            }
            wide.front() = kFilterValueMax;  // the ends, where a subtraction would wrap first
            wide.back() = kFilterValueMin;
            for (const auto& set : sets)
                for (const auto* values : {&wide, &narrow})
                    for (int used : {4, 8, 16}) {
                        ValueTally start{};
                        start.count = used;
                        std::copy(set, set + kTallyThresholds, start.thresholds);
                        for (int t = 0; t < kTallyThresholds; ++t) start.below[t] = 1000 * t + 3;
                        start.minimum = 32767;
                        start.maximum = -32768;
                        expectSameTally(scalarKernels(), vectors, *values, start, label("tallyRow", pass));
                        start.minimum = -5;  // a range the values may lie inside
                        start.maximum = 9;
                        expectSameTally(scalarKernels(), vectors, *values, start,
                                        label("tallyRow preset range", pass));
                    }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, TallyRows, testing::ValuesIn(kWidths),
                         [](const testing::TestParamInfo<Widths>& info) {
                             return std::to_string(info.param.first) + "to" + std::to_string(info.param.last);
                         });

void expectSameGrayTally(const KernelTable& scalar, const KernelTable& vec, const uint8_t* gray, int count,
                         const GrayTally& start, const std::string& what) {
    GrayTally want = start, got = start;
    scalar.tallyGrayRun(gray, count, &want);
    vec.tallyGrayRun(gray, count, &got);
    EXPECT_EQ(want.minimum, got.minimum) << what;
    EXPECT_EQ(want.maximum, got.maximum) << what;
    for (int t = 0; t < kGrayThresholds; ++t)
        EXPECT_EQ(want.below[t], got.below[t]) << what << " threshold " << int{want.thresholds[t]};
}

TEST_P(KernelTest, GrayTally) {
    eachWidth([&] {
        // Consecutive grays around a median as the binarisation uses them, the ends of the byte
        // (0 counts nothing, 255 all but 255), and the signed compare's wrap at 127/128.
        const uint8_t sets[][kGrayThresholds] = {
            {99, 100, 101, 102}, {0, 1, 2, 3}, {252, 253, 254, 255}, {127, 128, 129, 0}, {255, 0, 200, 7}};
        for (int pass = 0; pass < kPasses; ++pass) {
            const Bytes gray = pattern(pass, width_);
            for (const auto& set : sets) {
                GrayTally start{};
                std::copy(set, set + kGrayThresholds, start.thresholds);
                for (int t = 0; t < kGrayThresholds; ++t) start.below[t] = 1000 * t + 3;
                start.minimum = 255;
                start.maximum = 0;
                expectSameGrayTally(scalar(), vec(), gray.data(), width_, start, label("tallyGrayRun", pass));
                start.minimum = 60;  // a range the levels may lie inside
                start.maximum = 70;
                expectSameGrayTally(scalar(), vec(), gray.data(), width_, start,
                                    label("tallyGrayRun preset range", pass));
            }
        }
    });
}

TEST_P(KernelTest, Neighbourhoods) {
    eachWidth([&] {
        const size_t w = width_;
        const int16_t k3x3[][9] = {
            {0, -1, 0, -1, 4, -1, 0, -1, 0},   {-1, -1, -1, -1, 8, -1, -1, -1, -1},
            {1, -2, 1, -2, 4, -2, 1, -2, 1},   {-1, 0, 1, -2, 0, 2, -1, 0, 1},
            {-1, -2, -1, 0, 0, 0, 1, 2, 1},    {1, 1, 1, 1, 1, 1, 1, 1, 1}};
        for (int pass = 0; pass < kPasses; ++pass) {
            std::vector<Bytes> rows;
            for (uint32_t r = 0; r < 8; ++r) rows.push_back(pattern(pass, w, r));
            const uint8_t* p[8];
            for (int r = 0; r < 8; ++r) p[r] = rows[r].data();
            for (const auto& weights : k3x3)
                for (int divisor : {1, 9})
                    compare<int16_t>(scalar(), vec(), w, label("convolve3x3Row", pass),
                                     [&](const KernelTable& t, int16_t* out) {
                                         t.convolve3x3Row(p[0], p[1], p[2], weights, divisor, out, width_);
                                     });
            // Three rows in turn, the column sums carried from each to the next.
            using Pass5 = void (*KernelTable::*)(const uint8_t* const*, int16_t*, bool, int16_t*, int);
            const std::pair<const char*, Pass5> passes5[] = {{"lowPass5Row", &KernelTable::lowPass5Row},
                                                            {"highPass5Row", &KernelTable::highPass5Row}};
            for (const auto& [name, member] : passes5) {
                const Pass5 pass5 = member;  // a lambda may not capture a structured binding
                std::vector<int16_t> columns[2] = {std::vector<int16_t>(w, 0x5A5A), std::vector<int16_t>(w, 0x5A5A)};
                for (int r = 0; r < 3; ++r) {
                    int call = 0;  // compare runs the scalar table first
                    compare<int16_t>(scalar(), vec(), w, label(name, pass), [&](const KernelTable& t, int16_t* out) {
                        (t.*pass5)(p + r, columns[call++].data(), r == 0, out, width_);
                    });
                }
                expectSame(columns[0], columns[1], label(name, pass) + " columns");
            }
            using Rank = void (*KernelTable::*)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, int);
            const std::pair<const char*, Rank> ranks[] = {{"minimum3Row", &KernelTable::minimum3Row},
                                                          {"maximum3Row", &KernelTable::maximum3Row},
                                                          {"median3Row", &KernelTable::median3Row},
                                                          {"mean3Row", &KernelTable::mean3Row}};
            for (const auto& [name, member] : ranks) {
                const Rank rank = member;
                compare<uint8_t>(scalar(), vec(), w, label(name, pass), [&](const KernelTable& t, uint8_t* out) {
                    (t.*rank)(p[0], p[1], p[2], out, width_);
                });
            }
        }
    });
}

std::string nameOf(const testing::TestParamInfo<std::tuple<Variant, Widths>>& info) {
    const Widths& widths = std::get<1>(info.param);
    return std::string(std::get<0>(info.param).name) + "_" + std::to_string(widths.first) + "to" +
           std::to_string(widths.last);
}

INSTANTIATE_TEST_SUITE_P(All, KernelTest,
                         testing::Combine(testing::ValuesIn(kVariants), testing::ValuesIn(kWidths)), nameOf);

// The vector divisions by 9 and 25, over every int16 (the filters use -6375..6375).
class DivisionTest : public testing::TestWithParam<Variant> {};

TEST_P(DivisionTest, EveryInt16) {
    const KernelTable* vec = GetParam().table();
    if (!vec) GTEST_SKIP() << GetParam().name << " is not available here";
    std::vector<int16_t> in(65536);
    for (int k = 0; k < 65536; ++k) in[k] = static_cast<int16_t>(k - 32768);
    std::vector<int16_t> want(in.size()), got(in.size());
    for (int k = 0; k < 65536; ++k) want[k] = static_cast<int16_t>(in[k] / 9);
    vec->divide9Run(in.data(), got.data(), 65536);
    expectSame(want, got, "divide9Run");
    for (int k = 0; k < 65536; ++k) want[k] = static_cast<int16_t>(in[k] / 25);
    vec->divide25Run(in.data(), got.data(), 65536);
    expectSame(want, got, "divide25Run");
}

// Runs longer than a row: every lane counts every value (all below every threshold), so a
// count kept too long in a narrow lane overflows.
class TallyTest : public testing::TestWithParam<Variant> {};

TEST_P(TallyTest, LongRuns) {
    const KernelTable* vec = GetParam().table();
    if (!vec) GTEST_SKIP() << GetParam().name << " is not available here";
    for (int count : {16383, 16384, 16385, 32767 * 8 + 9, 600000}) {
        std::vector<int16_t> values(static_cast<size_t>(count), -2040);
        values[count / 3] = 2040;
        values[count - 1] = -2039;
        ValueTally start{};
        start.count = kTallyThresholds;
        for (int t = 0; t < kTallyThresholds; ++t) start.thresholds[t] = static_cast<int16_t>(2041 - t * 1000);
        start.minimum = 32767;
        start.maximum = -32768;
        expectSameTally(scalarKernels(), {vec}, values, start, "tallyRow of " + std::to_string(count));
        // Pairs of consecutive thresholds, as the filters use them, and each half within a
        // byte's reach (counted in byte lanes), two, four and eight per half.
        const int16_t sets[][kTallyThresholds] = {
            {-2040, -2039, -2039, -2038, 2040, 2041, 0, 1},
            {-2040, -2039, -2038, -2037, 2038, 2039, 2040, 2041},
            {-2040, -2039, 2039, 2040, 0, 0, 0, 0},
            {-2042, -2041, -2040, -2039, -2038, -2037, -2036, -2035, 2034, 2035, 2036, 2037, 2038, 2039, 2040, 2041}};
        for (const auto& set : sets)
            for (int used : {4, 8, 16}) {
                std::copy(set, set + kTallyThresholds, start.thresholds);
                start.count = used;
                expectSameTally(scalarKernels(), {vec}, values, start,
                                "tallyRow of " + std::to_string(used) + " in pairs of " + std::to_string(count));
            }
    }
}

// Byte lanes count at most 255 vectors before they are added up: runs of one gray, below every
// threshold, around and far beyond that.
TEST_P(TallyTest, LongGrayRuns) {
    const KernelTable* vec = GetParam().table();
    if (!vec) GTEST_SKIP() << GetParam().name << " is not available here";
    for (int count : {255 * 16, 255 * 16 + 1, 255 * 32, 255 * 32 + 31, 256 * 32, 1280 * 1280}) {
        Bytes gray(static_cast<size_t>(count), 3);
        gray[count / 3] = 250;
        gray.back() = 0;
        GrayTally start{{4, 255, 3, 251}, {5, 6, 7, 8}, 255, 0};
        expectSameGrayTally(scalarKernels(), *vec, gray.data(), count, start,
                            "tallyGrayRun of " + std::to_string(count));
    }
}

INSTANTIATE_TEST_SUITE_P(All, TallyTest, testing::ValuesIn(kVariants),
                         [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

// The gray level of every colour: the vector tables split the weighted sum to keep it in
// narrow lanes, which must round exactly as the sum does.
TEST_P(DivisionTest, GrayEveryColour) {
    const KernelTable* vec = GetParam().table();
    if (!vec) GTEST_SKIP() << GetParam().name << " is not available here";
    Bytes row(3 * 65536), want(65536), got(65536);
    for (int r = 0; r < 256; ++r) {
        for (int k = 0; k < 65536; ++k) {
            row[3 * k] = static_cast<uint8_t>(k & 255);
            row[3 * k + 1] = static_cast<uint8_t>(k >> 8);
            row[3 * k + 2] = static_cast<uint8_t>(r);
        }
        scalarKernels().grayRow(row.data(), want.data(), 65536);
        vec->grayRow(row.data(), got.data(), 65536);
        ASSERT_TRUE(want == got) << "red " << r;
    }
}

// The tone map's divisions by multiplication, for every range and every value in it (and a
// little beyond, for the clamp), with and without a stretch.
TEST_P(DivisionTest, ToneMapEveryRange) {
    const KernelTable* vec = GetParam().table();
    if (!vec) GTEST_SKIP() << GetParam().name << " is not available here";
    const int32_t widest = kFilterValueMax - kFilterValueMin;
    std::vector<int16_t> values(widest + 5);
    std::vector<uint8_t> want(4 * values.size()), got(4 * values.size());
    for (int32_t range = 1; range <= widest; ++range)
        for (const bool bounded : {false, true}) {  // bounded: only the values in the range
            const int32_t minimum = kFilterValueMin + 2;
            const auto count = static_cast<int>(bounded ? range + 1 : range + 5);
            for (int32_t k = 0; k < count; ++k) values[k] = static_cast<int16_t>(minimum - (bounded ? 0 : 2) + k);
            const int32_t low = range % 200, high = low + 1 + range % 55;
            for (const auto& [l, h] : {std::pair{0, 255}, std::pair{low, high}}) {
                const ToneMap map{false, minimum, range, l, h, toneMultiplier(range), toneMultiplier(h - l), bounded};
                scalarKernels().toneRow(values.data(), &map, want.data(), count);
                vec->toneRow(values.data(), &map, got.data(), count);
                ASSERT_TRUE(std::equal(want.begin(), want.begin() + 4 * count, got.begin()))
                    << "range " << range << " cuts " << l << ".." << h << (bounded ? " bounded" : "");
            }
        }
    // Every stretch span with every level.
    std::vector<int16_t> levels(256);
    for (int32_t k = 0; k < 256; ++k) levels[k] = static_cast<int16_t>(k);
    for (int32_t l = 0; l < 255; ++l)
        for (int32_t h = l + 1; h <= 255; h += 1 + (h - l) / 16) {
            for (const bool bounded : {false, true}) {
                const ToneMap map{false, 0, 255, l, h, toneMultiplier(255), toneMultiplier(h - l), bounded};
                scalarKernels().toneRow(levels.data(), &map, want.data(), 256);
                vec->toneRow(levels.data(), &map, got.data(), 256);
                ASSERT_TRUE(std::equal(want.begin(), want.begin() + 1024, got.begin())) << "cuts " << l << ".." << h;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(All, DivisionTest, testing::ValuesIn(kVariants),
                         [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

// Whole frames of one mode through the per-frame entry: plain operations, scalar table,
// selected table; surface, ring, reference, counter, flag and repaint decision must agree. Then
// in a core of the frame's own size, whose planes and surface are no larger than the frame: the
// same picture. The ring and the reference are kept as digests: copies of them (up to 44 MB a
// run) would cost more than the frames, and a difference in them is reported as such, without
// an index.
struct CoreState {
    Bytes surface;
    uint64_t ring = 0, reference = 0;
    uint32_t counter;
    int32_t pending;
    std::vector<bool> repaints;
};

class FrameTest : public testing::TestWithParam<int32_t> {};

// The frames of one size and kind, made once for every table that runs them (the last set is
// kept: the tables run one size and kind after another).
const std::vector<Bytes>& inputFrames(int32_t width, int32_t height, int kind) {
    static std::vector<Bytes> frames;
    static std::tuple<int32_t, int32_t, int> made{-1, -1, -1};
    if (made == std::make_tuple(width, height, kind)) return frames;
    const size_t bytes = static_cast<size_t>(width) * height * 3;
    frames.assign(bytes > 100000 ? 4 : 10, Bytes(bytes));
    const uint32_t count = static_cast<uint32_t>(frames.size());
    for (uint32_t n = 0; n < count; ++n) {
        Bytes& frame = frames[n];
        if (kind == 0)
            simcam::renderPicture(simcam::Picture::MovingShapes, width, height, n, frame.data());
        else if (kind == 1)
            simcam::renderPicture(simcam::Picture::Noise, width, height, n, frame.data());
        else
            frame = pattern(n < count / 2 ? 1 : 6, bytes + 5, n);  // flat, then random; 5 bytes more
    }
    made = {width, height, kind};
    return frames;
}

// FNV-1a over 64-bit words (and the last bytes), continuing from `seed`.
constexpr uint64_t kDigestSeed = 14695981039346656037ull;
uint64_t digest(const uint8_t* bytes, size_t count, uint64_t seed = kDigestSeed) {
    uint64_t h = seed;
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + k, 8);
        h = (h ^ word) * 1099511628211ull;
    }
    for (; k < count; ++k) h = (h ^ bytes[k]) * 1099511628211ull;
    return h;
}

using Entry = bool (*)(Core&, const uint8_t*, int32_t);

// Into `state`, from a fresh core of that capacity and table (its buffers are fresh zero pages:
// only what the frames touch costs anything).
void runFrames(CoreState& state, FrameSize capacity, const KernelTable& table, int64_t cache, int32_t mode,
               int32_t width, int32_t height, int kind, Entry entry) {
    Core core(capacity, table, SurfaceSource::Lent);
    core.LastLevelCacheBytes = cache;
    state.repaints.clear();
    state.surface.assign(core.surfaceBytes(), 0xCD);
    lendSurface(core, state.surface.data());
    setFrameGeometry(core, width, height);
    const std::vector<Bytes>& frames = inputFrames(width, height, kind);
    for (uint32_t n = 0; n < frames.size(); ++n) {
        if (n == frames.size() / 3) selectProcessingMode(core, mode);
        const Bytes& frame = frames[n];  // its own allocation: a read beyond it is caught
        state.repaints.push_back(entry(core, frame.data(), static_cast<int32_t>(frame.size())));
    }
    // Only the first `bytes` (+ 5) of a slot can have changed.
    const size_t stored = std::min<size_t>(static_cast<size_t>(width) * height * 3 + 8, core.slotBytes());
    state.ring = kDigestSeed;
    for (const auto& slot : core.FrameRing) state.ring = digest(slot.data(), stored, state.ring);
    state.reference = digest(core.ReferenceFrame.data(), stored);
    state.counter = core.FrameCounter;
    state.pending = core.ReferencePending;
}

void expectSameState(const CoreState& want, const CoreState& got, const std::string& what) {
    expectSame(want.surface, got.surface, what + " surface");
    EXPECT_EQ(want.ring, got.ring) << what << " ring (digest)";
    EXPECT_EQ(want.reference, got.reference) << what << " reference (digest)";
    EXPECT_EQ(want.counter, got.counter) << what;
    EXPECT_EQ(want.pending, got.pending) << what;
    EXPECT_EQ(want.repaints, got.repaints) << what;
}

// A 1280x1280 surface's frame region, rows bottom-up: a core of the frame's size draws exactly
// this into the whole of its surface.
Bytes frameRegion(const Bytes& surface, int32_t width, int32_t height) {
    Bytes region;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* row = surface.data() + static_cast<size_t>(placedRow(i, height, kMaxSide)) * kSurfaceStride;
        region.insert(region.end(), row, row + 4 * width);
    }
    return region;
}

TEST_P(FrameTest, EveryTableDrawsThePlainResult) {
    CoreState plain, fast;
    const std::vector<const KernelTable*> vectors = vectorTables();
    const KernelTable& widest = vectors.empty() ? scalarKernels() : *vectors.back();
    const int32_t mode = GetParam();
    const int32_t sizes[][2] = {{1, 1},  {2, 2},   {3, 3},   {4, 7},    {5, 5},    {6, 2},
                                {17, 9}, {33, 31}, {174, 50}, {1279, 3}, {1279, 160}, {640, 480}, {1280, 1280}};
    const FrameSize full{kMaxSide, kMaxSide};
    // The modes that read the ring store large frames around the caches unless the cache holds
    // the ring: both ways, whatever this CPU's cache.
    const int64_t detected = detectedLastLevelCacheBytes();
    const bool readsRing = mode == kModeAverage2 || mode == kModeAverage4 || mode == kModeFrameDiff;
    const std::vector<int64_t> caches = readsRing ? std::vector<int64_t>{0, int64_t{1} << 40} : std::vector{detected};
    for (const int64_t cache : caches) {
        for (const auto& size : sizes)
            for (int kind = 0; kind < 3; ++kind) {
                // The largest frames as the camera gives them only; under the sanitizers also
                // the 640x480 frames (the small ones hold every edge case of the other kinds).
                if (size[0] * size[1] > (kSanitized ? 174 * 50 : 640 * 480) && kind != 0) continue;
                const std::string what = std::to_string(size[0]) + "x" + std::to_string(size[1]) +
                                         " kind " + std::to_string(kind) + " cache " + std::to_string(cache);
                // Under the sanitizers the full-size frame, where reads reach both ends of the
                // planes, goes through the widest table only: the drivers around the kernels are
                // the same for every table, and each table's kernels are checked at every width.
                const bool widestOnly = kSanitized && size[0] * size[1] > 640 * 480;
                runFrames(plain, full, scalarKernels(), cache, mode, size[0], size[1], kind, processFramePlain);
                if (!widestOnly) {
                    runFrames(fast, full, scalarKernels(), cache, mode, size[0], size[1], kind, processFrame);
                    expectSameState(plain, fast, what + " scalar table");
                }
                for (const Variant& variant : kVariants) {
                    if (!variant.table()) continue;
                    if (widestOnly && variant.table() != &widest) continue;
                    runFrames(fast, full, *variant.table(), cache, mode, size[0], size[1], kind, processFrame);
                    expectSameState(plain, fast, what + " " + variant.name + " table");
                }
                // A core of the frame's size, both ways, draws the same picture into its surface.
                if (size[0] != kMaxSide || size[1] != kMaxSide) {
                    const Bytes region = frameRegion(plain.surface, size[0], size[1]);
                    const FrameSize own{size[0], size[1]};
                    for (const Entry entry : {processFramePlain, processFrame}) {
                        runFrames(fast, own, widest, cache, mode, size[0], size[1], kind, entry);
                        const std::string how = entry == processFrame ? " fast" : " plain";
                        expectSame(region, fast.surface, what + " core of the frame's size," + how);
                        EXPECT_EQ(plain.counter, fast.counter) << what << how;
                        EXPECT_EQ(plain.pending, fast.pending) << what << how;
                        EXPECT_EQ(plain.repaints, fast.repaints) << what << how;
                    }
                }
                if (HasFailure()) return;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, FrameTest, testing::ValuesIn(everyOperation()),
                         modeParamName);

}  // namespace
}  // namespace pixelwell::test

namespace pixelwell::test {
namespace {

TEST(RingStore, ReadersStreamOnlyFramesWhoseRingTheCacheDoesNotHold) {
    constexpr int64_t large = 1280 * 1280 * 3, small = 640 * 480 * 3;  // eight: 39 MB, 7 MB
    EXPECT_TRUE(ringReadBackAround(large, 0));                           // size unknown
    EXPECT_TRUE(ringReadBackAround(large, int64_t{32} << 20));
    EXPECT_FALSE(ringReadBackAround(large, int64_t{260} << 20));
    EXPECT_FALSE(ringReadBackAround(small, 0));
    EXPECT_FALSE(ringReadBackAround(small, int64_t{4} << 20));  // streamed no more than before
}

TEST(KernelSelection, EnvironmentCapsTheTable) {
    setenv("PIXELWELL_SCALAR", "1", 1);
    EXPECT_STREQ(selectKernels().name, "scalar");
    EXPECT_STREQ(Core({4, 4}).kernels->name, "scalar");  // what a core takes by default
    unsetenv("PIXELWELL_SCALAR");
    setenv("PIXELWELL_KERNELS", "sse2", 1);
    EXPECT_STREQ(selectKernels().name, sse2Kernels() ? "sse2" : "scalar");
    setenv("PIXELWELL_KERNELS", "ssse3", 1);
    EXPECT_STREQ(selectKernels().name, ssse3Kernels() ? "ssse3" : sse2Kernels() ? "sse2" : "scalar");
    setenv("PIXELWELL_KERNELS", "scalar", 1);
    EXPECT_STREQ(selectKernels().name, "scalar");
    for (const char* uncapped : {"avx2", "", "AVX512"}) {  // the widest, or no known cap
        setenv("PIXELWELL_KERNELS", uncapped, 1);
        EXPECT_STREQ(selectKernels().name, avx2Kernels()    ? "avx2"
                                           : ssse3Kernels() ? "ssse3"
                                           : sse2Kernels()  ? "sse2"
                                                            : "scalar")
            << uncapped;
    }
    unsetenv("PIXELWELL_KERNELS");
    EXPECT_STREQ(selectKernels().name,
                 avx2Kernels() ? "avx2" : ssse3Kernels() ? "ssse3" : sse2Kernels() ? "sse2" : "scalar");
    // A table named when the core is made is the one it keeps.
    EXPECT_STREQ(Core({4, 4}, scalarKernels()).kernels->name, "scalar");
}

}  // namespace
}  // namespace pixelwell::test
