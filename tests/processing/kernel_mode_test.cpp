// The kernel mode: the nine modes' kernels run as the kernel mode draw what their modes draw,
// random kernels and divisors draw through every table what the plain operations draw (in 16-bit
// lanes where the kernel fits them, in 32-bit values where not), the truncating division of the
// lanes over its whole range, and the stages made from the last frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dispatcher.h"
#include "explain.h"
#include "fused_operations.h"
#include "kernels.h"
#include "stages.h"
#include "test_picture.h"
#include "test_support.h"

namespace pixelwell::test {
namespace {

using Bytes = std::vector<uint8_t>;

#ifdef PIXELWELL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif


// Frames of a size: camera-like ones, noise, and flat then random bytes.
std::vector<Bytes> framesOf(int32_t width, int32_t height, uint32_t seed) {
    const size_t bytes = static_cast<size_t>(width) * height * 3;
    std::vector<Bytes> frames;
    for (uint32_t n = 0; n < 3; ++n) {
        Bytes frame(bytes);
        simcam::renderPicture(simcam::Picture::MovingShapes, width, height, seed + n, frame.data());
        frames.push_back(frame);
    }
    Bytes noise(bytes);
    simcam::renderPicture(simcam::Picture::Noise, width, height, seed, noise.data());
    frames.push_back(noise);
    std::mt19937 random(seed);
    Bytes bytesOf(bytes);
    for (uint8_t& b : bytesOf) b = static_cast<uint8_t>(random());
    frames.push_back(bytesOf);
    frames.push_back(Bytes(bytes, 77));
    return frames;
}

// The surface after each frame, from a fresh core of the frame's size; `choose` picks the mode.
template <typename Choose>
std::vector<Bytes> drawn(const KernelTable& table, int32_t width, int32_t height, const std::vector<Bytes>& frames,
                         bool plain, Choose choose) {
    Core core({width, height}, table);
    setFrameGeometry(core, width, height);
    choose(core);
    std::vector<Bytes> out;
    for (const Bytes& frame : frames) {
        (plain ? processFramePlain : processFrame)(core, frame.data(), static_cast<int32_t>(frame.size()));
        out.emplace_back(core.DisplaySurface, core.DisplaySurface + core.surfaceBytes());
    }
    return out;
}

// The first frame and byte where two runs differ, or "".
std::string difference(const std::vector<Bytes>& want, const std::vector<Bytes>& got) {
    for (size_t n = 0; n < want.size(); ++n)
        if (want[n] != got[n])
            for (size_t k = 0; k < want[n].size(); ++k)
                if (want[n][k] != got[n][k])
                    return "frame " + std::to_string(n) + " byte " + std::to_string(k) + ": " +
                           std::to_string(want[n][k]) + " wanted, " + std::to_string(got[n][k]) + " drawn";
    return "";
}

std::string kernelText(const ConvolutionKernel& k) {
    std::string text;
    for (int32_t a = 0; a < k.size; ++a)
        for (int32_t b = 0; b < k.size; ++b)
            text += std::to_string(k.weights[a][b]) + (b + 1 < k.size ? "," : a + 1 < k.size ? "/" : "");
    return text + " / " + std::to_string(k.divisor);
}

TEST(KernelMode, PresetsDrawWhatTheirModesDraw) {
    const int32_t sizes[][2] = {{2, 2}, {3, 5}, {5, 5}, {641, 479}};
    for (const auto& size : sizes) {
        std::vector<Bytes> frames = framesOf(size[0], size[1], 5);
        if (size[0] > 100) frames.resize(2);  // a moving picture's two frames: the others are the small sizes' cases
        for (const int32_t mode : kFilterModes) {
            const ConvolutionKernel kernel = *kernelForMode(mode);
            for (const KernelTable* table : everyTable()) {
                const std::string what = std::to_string(size[0]) + "x" + std::to_string(size[1]) + " mode " +
                                         std::to_string(mode) + " " + table->name;
                const auto own = drawn(*table, size[0], size[1], frames, false,
                                       [&](Core& c) { selectProcessingMode(c, mode); });
                const auto asKernel = drawn(*table, size[0], size[1], frames, false, [&](Core& c) {
                    ASSERT_TRUE(setKernel(c, kernel));
                    selectKernelMode(c);
                });
                EXPECT_EQ(difference(own, asKernel), "") << what;
            }
            const auto plain = drawn(scalarKernels(), size[0], size[1], frames, true, [&](Core& c) {
                setKernel(c, kernel);
                selectKernelMode(c);
            });
            const auto own = drawn(scalarKernels(), size[0], size[1], frames, true,
                                   [&](Core& c) { selectProcessingMode(c, mode); });
            EXPECT_EQ(difference(own, plain), "") << "plain, mode " << mode;
        }
    }
}

// A random kernel: weights up to `largest` in magnitude (some zero, some repeated), divisor up
// to `divisor`.
ConvolutionKernel randomKernel(std::mt19937& random, int32_t size, int32_t largest, int32_t divisor) {
    ConvolutionKernel k{size, 1 + static_cast<int32_t>(random() % divisor), {}};
    const int32_t kind = random() % 5;
    if (kind >= 3) {
        // A column times a row (separable), of weights >= 0 with a power-of-two divisor for kind 4.
        int32_t column[5], row[5];
        const int32_t reach = std::max(1, static_cast<int32_t>(std::sqrt(static_cast<double>(largest))));
        for (int32_t a = 0; a < size; ++a) {
            column[a] = static_cast<int32_t>(random() % (2 * reach + 1)) - (kind == 4 ? 0 : reach);
            row[a] = static_cast<int32_t>(random() % (2 * reach + 1)) - (kind == 4 ? 0 : reach);
        }
        for (int32_t a = 0; a < size; ++a)
            for (int32_t b = 0; b < size; ++b) k.weights[a][b] = std::clamp(column[a] * row[b], -1000, 1000);
        if (kind == 4) k.divisor = 1 << (random() % 10);
        return k;
    }
    for (int32_t a = 0; a < size; ++a)
        for (int32_t b = 0; b < size; ++b) {
            const auto w = static_cast<int32_t>(random() % (2 * largest + 1)) - largest;
            k.weights[a][b] = kind == 0 && random() % 3 == 0 ? 0 : kind == 1 ? (w > 0 ? largest / 4 + 1 : -1) : w;
        }
    return k;
}

TEST(KernelMode, RandomKernelsDrawThePlainResultThroughEveryTable) {
    std::mt19937 random(2024);
    const int32_t sizes[][2] = {{1, 1}, {3, 3}, {4, 6}, {5, 5}, {7, 9}, {17, 5}, {33, 31}, {174, 20}, {640, 480}};
    // Small kernels fit the lanes; larger ones take the 32-bit path.
    const int32_t scales[][2] = {{1, 1}, {2, 16}, {8, 9}, {40, 1000}, {300, 1000}, {200, 3}, {1000, 1}, {1000, 1000}};
    int fitted = 0, wide = 0, wideSums = 0, separable = 0, unsignedShift = 0;
    for (const auto& size : sizes) {
        const bool large = size[0] * size[1] > 100000;
        if (large && kSanitized) continue;
        std::vector<Bytes> frames = framesOf(size[0], size[1], random());
        if (large) frames.resize(2);
        // Named ones first: Gaussians whose unsigned sums need all 16 bits, a box whose sums need more.
        const ConvolutionKernel named[] = {
            {5, 256, {{1, 4, 6, 4, 1}, {4, 16, 24, 16, 4}, {6, 24, 36, 24, 6}, {4, 16, 24, 16, 4}, {1, 4, 6, 4, 1}}},
            {3, 256, {{16, 32, 16}, {32, 64, 32}, {16, 32, 16}}},
            {5, 250, {{10, 10, 10, 10, 10}, {10, 10, 10, 10, 10}, {10, 10, 10, 10, 10}, {10, 10, 10, 10, 10}, {10, 10, 10, 10, 10}}},
            {3, 2, {{-3, 0, 3}, {-10, 0, 10}, {-3, 0, 3}}}};
        for (const auto& scale : scales)
            for (int32_t kernelSize : {3, 5})
                for (int round = 0; round < (large ? 1 : 3); ++round) {
                    const size_t pick = (&scale - scales) * 6 + (kernelSize == 5) * 3 + round;
                    const ConvolutionKernel kernel = pick < std::size(named) ? named[pick]
                                                                              : randomKernel(random, kernelSize, scale[0], scale[1]);
                    ASSERT_TRUE(validKernel(kernel)) << kernelText(kernel);
                    (kernelFitsLanes(kernel) ? fitted : wide) += 1;
                    int32_t positive = 0, negative = 0;
                    for (int32_t a = 0; a < kernel.size; ++a)
                        for (int32_t b = 0; b < kernel.size; ++b)
                            (kernel.weights[a][b] > 0 ? positive : negative) += kernel.weights[a][b];
                    if (kernelFitsLanes(kernel) && std::max(positive, -negative) * 255 > INT16_MAX) ++wideSums;
                    int16_t flat[25];
                    for (int32_t a = 0; a < kernel.size; ++a)
                        for (int32_t b = 0; b < kernel.size; ++b)
                            flat[kernel.size * a + b] = static_cast<int16_t>(kernel.weights[kernel.size - 1 - a][b]);
                    KernelPlan plan;
                    planKernel(kernel.size, flat, kernel.divisor, plan);
                    if (kernelFitsLanes(kernel)) {
                        separable += plan.separable && !plan.wideSums;
                        unsignedShift += plan.unsignedShift;
                    }
                    auto choose = [&](Core& c) {
                        setKernel(c, kernel);
                        selectKernelMode(c);
                    };
                    const auto plain = drawn(scalarKernels(), size[0], size[1], frames, true, choose);
                    for (const KernelTable* table : everyTable()) {
                        const auto fast = drawn(*table, size[0], size[1], frames, false, choose);
                        ASSERT_EQ(difference(plain, fast), "")
                            << size[0] << "x" << size[1] << " " << table->name << " kernel " << kernelText(kernel);
                    }
                }
    }
    EXPECT_GT(fitted, 20);
    EXPECT_GT(wide, 20);
    EXPECT_GT(wideSums, 10);  // values in 16 bits from sums beyond them
    EXPECT_GT(separable, 10);
    EXPECT_GT(unsignedShift, 5);
}

// The row kernels' plan of a kernel, its weights row by row.
KernelPlan planOf(const ConvolutionKernel& k) {
    int16_t weights[25];
    for (int32_t a = 0; a < k.size; ++a)
        for (int32_t b = 0; b < k.size; ++b) weights[k.size * a + b] = static_cast<int16_t>(k.weights[a][b]);
    KernelPlan plan;
    planKernel(k.size, weights, k.divisor, plan);
    return plan;
}

// Random plans, row by row, against the scalar row at every width of a few groups.
TEST(KernelMode, ConvolveRowEqualsTheScalarRow) {
    std::mt19937 random(99);
    for (const KernelTable* table : everyTable()) {
        if (table == &scalarKernels()) continue;
        for (int width = 1; width <= 200; ++width) {
            if (kSanitized && width > 70 && width < 190) continue;
            for (int32_t size : {3, 5}) {
                // Sums in 16 bits, and wider ones (up to the largest weights) whose values fit.
                ConvolutionKernel k = randomKernel(random, size, width % 3 == 0 ? 16 : width % 3 == 1 ? 1000 : 3,
                                                   width % 2 ? 1 : 1000);
                if (!kernelFitsLanes(k)) k.divisor = 1000;
                if (!kernelFitsLanes(k)) k = randomKernel(random, size, 1, 7);
                const KernelPlan plan = planOf(k);
                std::vector<Bytes> rows(5, Bytes(width));
                for (Bytes& row : rows)
                    for (uint8_t& b : row) b = static_cast<uint8_t>(random() % 3 == 0 ? 255 * (random() & 1) : random());
                const uint8_t* p[5] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(), rows[4].data()};
                std::vector<int16_t> want(width, 0x5A5A), got(width, 0x5A5A);
                scalarKernels().convolveRow(p, &plan, want.data(), width);
                table->convolveRow(p, &plan, got.data(), width);
                ASSERT_EQ(want, got) << table->name << " width " << width << " kernel " << kernelText(k);
            }
        }
    }
}

// The rows of kernels whose values go beyond 16 bits, against the scalar row at every width of a
// few vectors (under one vector the rows fall back to it); and their levels, for ranges from 1
// to the widest, at every value where a level steps, one either side, and values beyond the
// range on both sides (the border's zeros).
TEST(KernelMode, WideRowsAndLevelsEqualTheScalarOnes) {
    std::mt19937 random(31);
    const int32_t largest = 25 * kMaxKernelWeight * 255;
    for (const KernelTable* table : everyTable()) {
        if (table == &scalarKernels()) continue;
        for (int width = 1; width <= 200; ++width) {
            if (kSanitized && width > 70 && width < 190) continue;
            for (int32_t size : {3, 5}) {
                // The largest sums, every weight at the limit and of one sign, at every fifth width.
                const int32_t limit = width % 10 ? kMaxKernelWeight : -kMaxKernelWeight;
                ConvolutionKernel k = randomKernel(random, size, width % 4 == 0 ? 40 : 1000, width % 3 ? 1 : 1000);
                if (width % 5 == 0) {
                    k.divisor = 1;
                    for (auto& row : k.weights) std::fill(std::begin(row), std::end(row), limit);
                }
                const KernelPlan plan = planOf(k);
                std::vector<Bytes> rows(5, Bytes(width));
                for (Bytes& row : rows)
                    for (uint8_t& b : row)
                        b = static_cast<uint8_t>(width % 5 == 0 ? 255 : random() % 3 == 0 ? 255 * (random() & 1) : random());
                const uint8_t* p[5] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(), rows[4].data()};
                std::vector<int32_t> want(width, 0x5A5A5A5A), got(width, 0x5A5A5A5A);
                // Bounds from before (of an earlier row) or none yet.
                int32_t wantBounds[2] = {INT32_MAX, INT32_MIN};
                if (width % 2) wantBounds[0] = wantBounds[1] = static_cast<int32_t>(random() % 2001) - 1000;
                int32_t gotBounds[2] = {wantBounds[0], wantBounds[1]};
                scalarKernels().convolveRow32(p, &plan, want.data(), width, wantBounds);
                table->convolveRow32(p, &plan, got.data(), width, gotBounds);
                ASSERT_EQ(want, got) << table->name << " width " << width << " kernel " << kernelText(k);
                ASSERT_EQ(wantBounds[0], gotBounds[0]) << table->name << " width " << width << " kernel " << kernelText(k);
                ASSERT_EQ(wantBounds[1], gotBounds[1]) << table->name << " width " << width << " kernel " << kernelText(k);
            }
        }
        for (int32_t range : {1, 2, 3, 254, 255, 256, 257, 4080, 65535, 1000003, 2 * largest - 1, 2 * largest}) {
            for (int round = 0; round < 3; ++round) {
                const int32_t minimum = round == 0 ? -largest : round == 1 ? largest - range
                                                                           : -largest + static_cast<int32_t>(random() % (2 * largest - range + 1));
                std::vector<int32_t> values{0, minimum - 1, minimum + range + 1, -largest, largest};
                for (int32_t level = 0; level <= 255; ++level) {
                    const int64_t step = minimum + (int64_t{level} * range + 254) / 255;
                    for (int32_t d = -1; d <= 1; ++d)
                        values.push_back(static_cast<int32_t>(std::clamp<int64_t>(step + d, -largest, largest)));
                }
                for (int n = 0; n < 500; ++n) values.push_back(minimum + static_cast<int32_t>(random() % (range + 1u)));
                std::vector<int16_t> want(values.size()), got(values.size());
                scalarKernels().levelRun(values.data(), static_cast<int>(values.size()), minimum, range, want.data());
                table->levelRun(values.data(), static_cast<int>(values.size()), minimum, range, got.data());
                for (size_t n = 0; n < values.size(); ++n)
                    ASSERT_EQ(want[n], got[n]) << table->name << ": level of " << values[n] << " from " << minimum
                                               << " over " << range;
            }
        }
    }
}

// The lanes' division by every divisor the kernel mode takes, over every value the lanes hold.
TEST(KernelMode, LaneDivisionTruncatesForEveryDivisorAndValue) {
    std::vector<int16_t> in(65535), want(in.size()), got(in.size());
    for (int k = 0; k < 65535; ++k) in[k] = static_cast<int16_t>(k - 32767);
    for (const KernelTable* table : everyTable()) {
        for (int32_t divisor = 1; divisor <= kMaxKernelDivisor; divisor += kSanitized ? 37 : 1) {
            KernelPlan plan;
            const int16_t one = 1;
            planKernel(3, std::vector<int16_t>(9, one).data(), divisor, plan);
            for (size_t k = 0; k < in.size(); ++k) want[k] = static_cast<int16_t>(in[k] / divisor);
            table->divideRun(in.data(), &plan, got.data(), static_cast<int>(in.size()));
            if (want == got) continue;
            for (size_t k = 0; k < in.size(); ++k)
                ASSERT_EQ(want[k], got[k]) << table->name << ": " << in[k] << " / " << divisor;
        }
    }
}

// The 32-bit lanes' division: every divisor, over the values around each multiple of it (where
// a quotient steps) up to the largest sums, and fixed-seed random values.
TEST(KernelMode, WideLaneDivisionTruncatesForEveryDivisor) {
    const int32_t largest = 25 * kMaxKernelWeight * 255;
    std::mt19937 random(7);
    for (const KernelTable* table : everyTable()) {
        for (int32_t divisor = 1; divisor <= kMaxKernelDivisor; divisor += kSanitized ? 37 : 1) {
            std::vector<int32_t> in;
            for (int32_t q = largest / divisor; q >= 0; q -= 1 + q / 64)
                for (int32_t d = -1; d <= 1; ++d)
                    for (int32_t sign : {1, -1}) in.push_back(sign * std::min(largest, q * divisor + d));
            for (int k = 0; k < 2000; ++k) in.push_back(static_cast<int32_t>(random() % (2 * largest + 1)) - largest);
            in.push_back(largest);
            in.push_back(-largest);
            KernelPlan plan;
            planKernel(3, std::vector<int16_t>(9, 1).data(), divisor, plan);
            std::vector<int32_t> got(in.size());
            table->divideWideRun(in.data(), &plan, got.data(), static_cast<int>(in.size()));
            for (size_t k = 0; k < in.size(); ++k)
                ASSERT_EQ(got[k], in[k] / divisor) << table->name << ": " << in[k] << " / " << divisor;
        }
    }
}

class KernelModeCore : public CoreTest {
protected:
    void useKernel(const ConvolutionKernel& kernel) {
        ASSERT_TRUE(setKernel(core, kernel));
        selectKernelMode(core);
    }
};

TEST(KernelMode, NegativeQuotientsTruncateTowardZero) {
    // One interior pixel, of gray 10: the centre weight -1 gives -10, and -10 / 9 is -1; -8 / 9 is 0.
    for (const auto& [gray, divisor, value] : {std::tuple{10, 9, -1}, std::tuple{8, 9, 0}, std::tuple{26, 25, -1},
                                               std::tuple{24, 25, 0}, std::tuple{250, 1000, 0}}) {
        const int32_t centre = gray;  // a structured binding is no variable a C++17 lambda may capture (clang)
        const Frame frame = grayFrame(3, 3, [&](int32_t i, int32_t j) { return i == 1 && j == 1 ? centre : 0; });
        for (const KernelTable* table : everyTable()) {
            Core core({3, 3}, *table);
            ASSERT_TRUE(setKernel(core, {3, divisor, {{0, 0, 0}, {0, -1, 0}, {0, 0, 0}}}));
            selectKernelMode(core);
            setFrameGeometry(core, 3, 3);
            processFrame(core, frame.data(), 27);
            // A single interior value is an empty range: shown as its low eight bits.
            const uint8_t* centre = core.DisplaySurface + core.surfaceStride() + 4;
            EXPECT_EQ(centre[0], value & 255) << gray << " / " << divisor << " " << table->name;
            FrameStages stages;
            ASSERT_TRUE(makeStages(core, stages));
            int32_t values[9];
            copyStage(core, stages, Stage::Values, false, reinterpret_cast<uint8_t*>(values));
            EXPECT_EQ(values[4], value);
            EXPECT_EQ(values[0], 0);
        }
    }
}

TEST_F(KernelModeCore, EqualInteriorValuesShowTheEmptyRangePicture) {
    // A uniform picture: every interior value is the same, so the range is empty and the plane is
    // shown as it is: the value's low eight bits inside a black border.
    const ConvolutionKernel kernels[] = {{3, 7, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}},  // 45 x 100 / 7 = 642
                                         {5, 1, {{0}, {0, 0, 1000, 0, 0}, {0}, {0}, {0}}}};  // 100000
    for (const ConvolutionKernel& kernel : kernels) {
        const int32_t value = kernel.size == 3 ? 642 : 100000;
        useKernel(kernel);
        geometry(9, 8);
        deliver(uniformFrame(9, 8, {100, 100, 100}));
        const int32_t reach = kernel.size / 2;
        for (int32_t i = 0; i < 8; ++i)
            for (int32_t j = 0; j < 9; ++j) {
                const bool border = i < reach || i >= 8 - reach || j < reach || j >= 9 - reach;
                EXPECT_EQ(gray(i, j), border ? 0 : value & 255) << i << "," << j << " " << kernelText(kernel);
            }
        Explanation e;
        ASSERT_TRUE(explainFrame(core, e));
        EXPECT_TRUE(e.kernelMode);
        EXPECT_EQ(e.range.minimum, value);
        EXPECT_EQ(e.range.maximum, value);
        EXPECT_FALSE(e.counted);
    }
}

TEST_F(KernelModeCore, ChosenOnlyByNameAndKeptPerCore) {
    // The kernel mode's number typed as a mode selects nothing.
    selectProcessingMode(core, kModeKernel);
    geometry(8, 8);
    EXPECT_FALSE(deliver(uniformFrame(8, 8, {9, 9, 9})));
    EXPECT_TRUE(surfaceUntouched());
    // Chosen, it draws; any mode chosen after it leaves it.
    selectKernelMode(core);
    EXPECT_TRUE(kernelModeChosen(core));
    EXPECT_TRUE(deliver(uniformFrame(8, 8, {9, 9, 9})));
    selectProcessingMode(core, kModeGray);
    EXPECT_FALSE(kernelModeChosen(core));
    // Laplacian B's kernel until another is set; kernels beyond the limits are refused whole.
    EXPECT_EQ(modeOfKernel(core.Kernel), kModeLaplacianB);
    ConvolutionKernel bad{3, 1, {{0, 0, 0}, {0, 1001, 0}, {0, 0, 0}}};
    EXPECT_FALSE(setKernel(core, bad));
    bad = {3, 0, {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}};
    EXPECT_FALSE(setKernel(core, bad));
    bad = {3, 1001, {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}};
    EXPECT_FALSE(setKernel(core, bad));
    bad = {4, 1, {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}};
    EXPECT_FALSE(setKernel(core, bad));
    bad = {3, 1, {{0, 0, 0, 1}, {0, 1, 0}, {0, 0, 0}}};  // a weight outside the 3x3
    EXPECT_FALSE(setKernel(core, bad));
    EXPECT_EQ(modeOfKernel(core.Kernel), kModeLaplacianB);
    // Two cores keep their own kernels; a copy keeps its original's.
    Core other({16, 16});
    ASSERT_TRUE(setKernel(other, *kernelForMode(kModeSobelX)));
    Core copy = other;
    EXPECT_EQ(modeOfKernel(copy.Kernel), kModeSobelX);
    EXPECT_EQ(modeOfKernel(core.Kernel), kModeLaplacianB);
    resetCore(other);
    EXPECT_EQ(modeOfKernel(other.Kernel), kModeLaplacianB);
}

TEST_F(KernelModeCore, StagesAreOfTheFrameAndKernelTheyCameWith) {
    const int32_t width = 7, height = 6;
    const Frame frame = makeFrame(width, height, [](int32_t i, int32_t j) {
        return Bgr{static_cast<uint8_t>(30 * i), static_cast<uint8_t>(j * j * 5), static_cast<uint8_t>(i * j * 6)};
    });
    geometry(width, height);
    useKernel({3, 2, {{1, 0, -3}, {0, 5, 0}, {-1, 0, 2}}});
    deliver(frame);
    // A kernel set after the frame does not change its stages.
    ASSERT_TRUE(setKernel(core, *kernelForMode(kModeLowPass5)));
    FrameStages stages;
    ASSERT_TRUE(makeStages(core, stages));
    ASSERT_TRUE(stages.filtered);
    Bytes gray(width * height), levels(width * height);
    std::vector<int32_t> values(width * height);
    copyStage(core, stages, Stage::Gray, true, gray.data());
    copyStage(core, stages, Stage::Values, true, reinterpret_cast<uint8_t*>(values.data()));
    copyStage(core, stages, Stage::Levels, true, levels.data());
    // Written out here as the filter is defined, top row first.
    auto g = [&](int32_t i, int32_t j) {
        const uint8_t* p = frame.data() + 3 * (i * width + j);
        return (117 * p[0] + 601 * p[1] + 306 * p[2]) >> 10;
    };
    int32_t minimum = INT32_MAX, maximum = INT32_MIN;
    std::vector<int32_t> want(width * height, 0);
    for (int32_t i = 1; i < height - 1; ++i)
        for (int32_t j = 1; j < width - 1; ++j) {
            const int32_t sum = g(i + 1, j - 1) - 3 * g(i + 1, j + 1) + 5 * g(i, j) - g(i - 1, j - 1) + 2 * g(i - 1, j + 1);
            const int32_t v = sum / 2;
            want[(height - 1 - i) * width + j] = v;
            minimum = std::min(minimum, v);
            maximum = std::max(maximum, v);
        }
    for (int32_t r = 0; r < height; ++r)
        for (int32_t j = 0; j < width; ++j) {
            const int32_t i = height - 1 - r;
            EXPECT_EQ(gray[r * width + j], g(i, j));
            EXPECT_EQ(values[r * width + j], want[r * width + j]) << r << "," << j;
            const int64_t level = (int64_t{want[r * width + j]} - minimum) * 255 / (maximum - minimum);
            EXPECT_EQ(levels[r * width + j], std::clamp<int64_t>(level, 0, 255));
        }
    // The surface was not touched by making them.
    const Bytes before(surface.begin(), surface.end());
    ASSERT_TRUE(makeStages(core, stages));
    EXPECT_TRUE(Bytes(surface.begin(), surface.end()) == before);
    // Modes without values or levels, and frames that were not drawn.
    EXPECT_TRUE(modeHasStage(kModeMedian, false, Stage::Gray));
    EXPECT_FALSE(modeHasStage(kModeMedian, false, Stage::Values));
    EXPECT_FALSE(modeHasStage(kModeBinarize, false, Stage::Gray));
    EXPECT_TRUE(modeHasStage(kModeKernel, true, Stage::Levels));
    EXPECT_FALSE(modeHasStage(kModeKernel, false, Stage::Gray));
    selectProcessingMode(core, kModeMedian);
    deliver(frame);
    ASSERT_TRUE(makeStages(core, stages));
    EXPECT_FALSE(stages.filtered);
    selectProcessingMode(core, kModeInvert);
    deliver(frame);
    EXPECT_FALSE(makeStages(core, stages));
    selectProcessingMode(core, kModeGray);
    deliver(frame, 10);  // too short to be drawn
    EXPECT_FALSE(makeStages(core, stages));
}

}  // namespace
}  // namespace pixelwell::test
