// The nine convolution filters: kernel orientation, truncating division, border widths,
// degenerate sizes and the range handed to the normalisation.
#include "test_support.h"

namespace pixelwell::test {
namespace {

class Convolution : public CoreTest {
protected:
    void setGray(int32_t width, int32_t height, const std::function<int32_t(int32_t, int32_t)>& level) {
        geometry(width, height);
        for (int32_t i = 0; i < height; ++i)
            for (int32_t j = 0; j < width; ++j) planeRow(core.GrayPlane, i, height)[j] = level(i, j);
    }
    int32_t result(int32_t i, int32_t j) const {
        return core.ResultPlane[static_cast<size_t>(placedRow(core, i, core.FrameGeometry.height)) * kMaxSide + j];
    }
    Range run(int32_t mode) { return convolveGrayPlane(core, *kernelForMode(mode)); }
};

struct SpotCase {
    int32_t mode, centre, direct, diagonal;
};

class SinglePixel : public Convolution, public ::testing::WithParamInterface<SpotCase> {};

TEST_P(SinglePixel, ResponseAroundALevel10Pixel) {
    const auto [mode, centre, direct, diagonal] = GetParam();
    setGray(7, 7, [](int32_t i, int32_t j) { return i == 3 && j == 3 ? 10 : 0; });
    const Range range = run(mode);
    EXPECT_EQ(result(3, 3), centre);
    for (const auto& [di, dj] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}})
        EXPECT_EQ(result(3 + di, 3 + dj), direct) << di << "," << dj;
    for (const auto& [di, dj] : {std::pair{1, 1}, {1, -1}, {-1, 1}, {-1, -1}})
        EXPECT_EQ(result(3 + di, 3 + dj), diagonal) << di << "," << dj;
    EXPECT_EQ(result(1, 1), 0);
    EXPECT_EQ(range.minimum, std::min({centre, direct, diagonal, 0}));
    EXPECT_EQ(range.maximum, std::max({centre, direct, diagonal, 0}));
}

INSTANTIATE_TEST_SUITE_P(Laplacians, SinglePixel,
                         ::testing::Values(SpotCase{kModeLaplacianA, 40, -10, 0},
                                           SpotCase{kModeLaplacianB, 80, -10, -10},
                                           SpotCase{kModeLaplacianC, 40, -20, 10},
                                           SpotCase{kModeLowPass3, 1, 1, 1},
                                           SpotCase{kModeHighPass3, 8, -1, -1}));

struct EdgeCase {
    int32_t mode;
    bool flipped;
    int32_t expected;
};

class StepEdge : public Convolution, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(StepEdge, SobelSignFollowsTheBrighterSide) {
    const auto [mode, flipped, expected] = GetParam();
    // Sobel X: dark left of column 4, bright from it. Sobel Y: bright from frame row 4 up
    // (above, on screen). Flipped: the mirror or upside-down picture.
    setGray(8, 8, [&, mode = mode, flipped = flipped](int32_t i, int32_t j) {
        const int32_t k = mode == kModeSobelX ? j : i;
        return (k >= 4) != flipped ? 100 : 0;
    });
    run(mode);
    for (int32_t k = 1; k < 7; ++k)
        for (int32_t m = 1; m < 7; ++m) {
            const int32_t i = mode == kModeSobelX ? m : k;
            const int32_t j = mode == kModeSobelX ? k : m;
            EXPECT_EQ(result(i, j), k == 3 || k == 4 ? expected : 0) << i << "," << j;
        }
}

INSTANTIATE_TEST_SUITE_P(Sobel, StepEdge,
                         ::testing::Values(EdgeCase{kModeSobelX, false, 400},
                                           EdgeCase{kModeSobelX, true, -400},
                                           EdgeCase{kModeSobelY, false, 400},
                                           EdgeCase{kModeSobelY, true, -400}));

struct TruncationCase {
    int32_t mode, neighbour, expected;
};

class Truncation : public Convolution, public ::testing::WithParamInterface<TruncationCase> {};

TEST_P(Truncation, NegativeSumsDivideTowardZero) {
    const auto [mode, neighbour, expected] = GetParam();
    // One pixel of the given level beside a black centre: S = -level at the centre.
    setGray(9, 9, [n = neighbour](int32_t i, int32_t j) { return i == 4 && j == 5 ? n : 0; });
    run(mode);
    EXPECT_EQ(result(4, 4), expected);
}

INSTANTIATE_TEST_SUITE_P(HighPass, Truncation,
                         ::testing::Values(TruncationCase{kModeHighPass3, 10, -1},
                                           TruncationCase{kModeHighPass3, 8, 0},
                                           TruncationCase{kModeHighPass3, 9, -1},
                                           TruncationCase{kModeHighPass5, 26, -1},
                                           TruncationCase{kModeHighPass5, 24, 0},
                                           TruncationCase{kModeHighPass5, 25, -1}));

struct SizeCase {
    int32_t mode, width, height;
};

class TooSmall : public Convolution, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(TooSmall, NoInteriorGivesZerosAndAnEmptyRange) {
    const auto [mode, width, height] = GetParam();
    setGray(width, height, [](int32_t i, int32_t j) { return 37 * i + 11 * j; });
    core.ResultPlane.fill(99);
    const Range range = run(mode);
    EXPECT_EQ(range.minimum, 1);
    EXPECT_EQ(range.maximum, 0);
    for (int32_t i = 0; i < height; ++i)
        for (int32_t j = 0; j < width; ++j) EXPECT_EQ(result(i, j), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TooSmall,
                         ::testing::Values(SizeCase{kModeLaplacianA, 2, 10}, SizeCase{kModeSobelY, 10, 2},
                                           SizeCase{kModeLowPass3, 1, 1}, SizeCase{kModeLowPass5, 4, 10},
                                           SizeCase{kModeHighPass5, 10, 4}, SizeCase{kModeHighPass5, 4, 4}));

TEST_F(Convolution, OneInteriorRowAndColumnForEachReach) {
    setGray(3, 3, [](int32_t i, int32_t j) { return i * 3 + j; });
    Range range = run(kModeLowPass3);
    EXPECT_EQ(result(1, 1), 36 / 9);
    EXPECT_EQ(range.minimum, 4);
    EXPECT_EQ(range.maximum, 4);
    setGray(5, 5, [](int32_t i, int32_t j) { return i * 5 + j; });
    range = run(kModeLowPass5);
    EXPECT_EQ(result(2, 2), 300 / 25);
    EXPECT_EQ(result(1, 2), 0);
    EXPECT_EQ(result(2, 1), 0);
    EXPECT_EQ(range.minimum, 12);
}

TEST_F(Convolution, FiveByFiveBorderIsTwoCellsWide) {
    setGray(9, 8, [](int32_t, int32_t) { return 100; });
    const Range range = run(kModeLowPass5);
    for (int32_t i = 0; i < 8; ++i)
        for (int32_t j = 0; j < 9; ++j) {
            const bool interior = i >= 2 && i <= 5 && j >= 2 && j <= 6;
            EXPECT_EQ(result(i, j), interior ? 100 : 0) << i << "," << j;
        }
    EXPECT_EQ(range.minimum, 100);
    EXPECT_EQ(range.maximum, 100);
}

class Uniform : public Convolution, public ::testing::WithParamInterface<int32_t> {};

TEST_P(Uniform, FlatPictureGivesAFlatInterior) {
    const int32_t mode = GetParam();
    setGray(12, 11, [](int32_t, int32_t) { return 77; });
    const Range range = run(mode);
    const bool lowPass = mode == kModeLowPass3 || mode == kModeLowPass5;
    EXPECT_EQ(range.minimum, lowPass ? 77 : 0);
    EXPECT_EQ(range.maximum, range.minimum);
}

INSTANTIATE_TEST_SUITE_P(AllNine, Uniform,
                         ::testing::Values(kModeLaplacianA, kModeLaplacianB, kModeLaplacianC,
                                           kModeSobelX, kModeSobelY, kModeLowPass3, kModeHighPass3,
                                           kModeLowPass5, kModeHighPass5));

TEST_F(Convolution, FullWidthWindowsNeverWrapIntoTheNextRow) {
    setGray(1280, 3, [](int32_t, int32_t j) { return j == 0 ? 255 : 0; });
    run(kModeLaplacianB);
    EXPECT_EQ(result(1, 1278), 0);
    EXPECT_EQ(result(1, 1), -255 * 3);
}

TEST_F(Convolution, LowPassOfAPictureWithoutBlackShowsABlackBorder) {
    selectProcessingMode(core, kModeLowPass3);
    geometry(20, 16);
    deliver(grayFrame(20, 16, [](int32_t i, int32_t j) { return 100 + i * 5 + j; }));
    for (int32_t j = 0; j < 20; ++j) {
        EXPECT_EQ(gray(0, j), 0);
        EXPECT_EQ(gray(15, j), 0);
    }
    for (int32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(gray(i, 0), 0);
        EXPECT_EQ(gray(i, 19), 0);
    }
    EXPECT_GT(gray(8, 10), 0);
    EXPECT_TRUE(outsideUntouched(20, 16));
}

TEST_F(Convolution, FlatInteriorIsShownAsItsValueInsideABlackBorder) {
    selectProcessingMode(core, kModeLowPass3);
    geometry(6, 6);
    deliver(uniformFrame(6, 6, {90, 90, 90}));
    EXPECT_EQ(gray(3, 3), 90);
    EXPECT_EQ(gray(0, 3), 0);
}

}  // namespace
}  // namespace pixelwell::test
