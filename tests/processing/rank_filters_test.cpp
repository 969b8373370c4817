// Minimum, maximum, median and mean over 3x3: the border, flat pictures, a single bright
// pixel, and the median's exchange sort.
#include "test_support.h"

namespace pixelwell::test {
namespace {

class RankFilter : public CoreTest, public ::testing::WithParamInterface<int32_t> {
protected:
    void filter(const Frame& frame, int32_t width, int32_t height) {
        selectProcessingMode(core, GetParam());
        geometry(width, height);
        deliver(frame);
    }
};

TEST_P(RankFilter, UniformFrameKeepsItsGrayInsideABlackBorder) {
    filter(uniformFrame(7, 6, {255, 255, 255}), 7, 6);
    for (int32_t i = 0; i < 6; ++i)
        for (int32_t j = 0; j < 7; ++j) {
            const bool border = i == 0 || i == 5 || j == 0 || j == 6;
            EXPECT_EQ(gray(i, j), border ? 0 : 255) << i << "," << j;
        }
    EXPECT_TRUE(outsideUntouched(7, 6));
}

TEST_P(RankFilter, FramesWithoutInteriorAreBlack) {
    for (const auto& [w, h] : {std::pair{2, 5}, std::pair{5, 2}, std::pair{1, 1}}) {
        filter(uniformFrame(w, h, {200, 200, 200}), w, h);
        for (int32_t i = 0; i < h; ++i)
            for (int32_t j = 0; j < w; ++j) EXPECT_EQ(gray(i, j), 0);
    }
}

TEST_P(RankFilter, SingleWhitePixel) {
    filter(grayFrame(9, 9, [](int32_t i, int32_t j) { return i == 4 && j == 4 ? 255 : 0; }), 9, 9);
    const int32_t mode = GetParam();
    const int32_t square = mode == kModeMaximum ? 255 : mode == kModeMean ? 28 : 0;
    for (int32_t i = 0; i < 9; ++i)
        for (int32_t j = 0; j < 9; ++j) {
            const bool near = std::abs(i - 4) <= 1 && std::abs(j - 4) <= 1;
            EXPECT_EQ(gray(i, j), near ? square : 0) << i << "," << j;
        }
}

INSTANTIATE_TEST_SUITE_P(AllFour, RankFilter,
                         ::testing::Values(kModeMinimum, kModeMaximum, kModeMedian, kModeMean));

using RankValues = CoreTest;

TEST_F(RankValues, MedianOfScatteredValues) {
    // Gathered row by row (bottom row first): 0 1 2 / 4 5 6 / 7 8 3 -> median 4.
    const int32_t values[3][3] = {{0, 1, 2}, {4, 5, 6}, {7, 8, 3}};
    selectProcessingMode(core, kModeMedian);
    geometry(3, 3);
    deliver(grayFrame(3, 3, [&](int32_t i, int32_t j) { return values[i][j]; }));
    EXPECT_EQ(gray(1, 1), 4);
}

TEST_F(RankValues, MeanOfEight255AndOneZeroIs226) {
    selectProcessingMode(core, kModeMean);
    geometry(3, 3);
    deliver(grayFrame(3, 3, [](int32_t i, int32_t j) { return i == 2 && j == 0 ? 0 : 255; }));
    EXPECT_EQ(gray(1, 1), 226);
}

TEST_F(RankValues, MinimumAndMaximumOfARamp) {
    geometry(5, 4);
    const Frame ramp = grayFrame(5, 4, [](int32_t i, int32_t j) { return 10 * i + j; });
    selectProcessingMode(core, kModeMinimum);
    deliver(ramp);
    EXPECT_EQ(gray(2, 3), 10 * 1 + 2);
    selectProcessingMode(core, kModeMaximum);
    deliver(ramp);
    EXPECT_EQ(gray(2, 3), 10 * 3 + 4);
}

}  // namespace
}  // namespace pixelwell::test
