// Gray conversion, gray pixels, and where a frame lands in the surface: the rules every
// operation draws through.
#include "test_support.h"

namespace pixelwell::test {
namespace {

struct GrayCase {
    Bgr bgr;
    int32_t expected;
};

class GrayLevelTest : public ::testing::TestWithParam<GrayCase> {};

TEST_P(GrayLevelTest, WeightsBt601InTenBits) {
    const auto& [bgr, expected] = GetParam();
    EXPECT_EQ(grayLevel(bgr[0], bgr[1], bgr[2]), expected);
}

INSTANTIATE_TEST_SUITE_P(KnownColours, GrayLevelTest,
                         ::testing::Values(GrayCase{{255, 255, 255}, 255}, GrayCase{{0, 0, 0}, 0},
                                           GrayCase{{128, 128, 128}, 128},
                                           GrayCase{{255, 0, 0}, 29}, GrayCase{{0, 255, 0}, 149},
                                           GrayCase{{0, 0, 255}, 76}));

TEST(GrayLevel, EqualChannelsKeepTheirLevel) {
    for (int32_t v = 0; v <= 255; ++v) EXPECT_EQ(grayLevel(v, v, v), v);
}

TEST(PutGrayPixel, WritesTheLowEightBits) {
    const std::pair<int32_t, uint8_t> cases[] = {{255, 255}, {256, 0}, {-1, 255}, {300, 44}, {-3, 253}};
    for (const auto& [value, byte] : cases) {
        uint8_t px[4] = {1, 2, 3, 4};
        putGrayPixel(px, value);
        EXPECT_EQ(px[0], byte) << value;
        EXPECT_EQ(px[1], byte);
        EXPECT_EQ(px[2], byte);
        EXPECT_EQ(px[3], 0);
    }
}

using Placement = CoreTest;

TEST_F(Placement, FrameOf640x480FillsSurfaceRows800To1279) {
    selectProcessingMode(core, kModeNormal);
    geometry(640, 480);
    deliver(makeFrame(640, 480, [](int32_t i, int32_t j) {
        return Bgr{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(j)};
    }));
    EXPECT_EQ(surface[800 * kSurfaceStride], 0);           // frame row 0, column 0
    EXPECT_EQ(surface[1279 * kSurfaceStride], 479 & 255);  // frame row 479
    EXPECT_EQ(surface[1279 * kSurfaceStride + 1], 1);
    EXPECT_EQ(surface[1000 * kSurfaceStride + 4 * 639 + 2], 639 & 255);
    EXPECT_TRUE(outsideUntouched(640, 480));
}

TEST_F(Placement, FullSizeFrameRowIsSurfaceRow) {
    selectProcessingMode(core, kModeNormal);
    geometry(1280, 1280);
    deliver(makeFrame(1280, 1280, [](int32_t i, int32_t j) {
        return Bgr{static_cast<uint8_t>(i), static_cast<uint8_t>(j), 7};
    }));
    for (int32_t i : {0, 1, 640, 1279})
        for (int32_t j : {0, 1279}) {
            const uint8_t* p = surface.data() + static_cast<size_t>(i) * kSurfaceStride + 4 * j;
            EXPECT_EQ(p[0], i & 255);
            EXPECT_EQ(p[1], j & 255);
            EXPECT_EQ(p[3], 0);
        }
}

TEST_F(Placement, RowsOfOddWidthAreThreeBytesPerPixelApart) {
    selectProcessingMode(core, kModeNormal);
    geometry(174, 5);  // 522-byte rows: not a multiple of 4
    deliver(makeFrame(174, 5, [](int32_t i, int32_t j) {
        return Bgr{static_cast<uint8_t>(i * 10), static_cast<uint8_t>(j), 0};
    }));
    for (int32_t i = 0; i < 5; ++i)
        for (int32_t j = 0; j < 174; ++j) EXPECT_EQ(colour(i, j), (Bgr{uint8_t(i * 10), uint8_t(j), 0}));
    EXPECT_TRUE(outsideUntouched(174, 5));
}

TEST_F(Placement, ShowPlaneDrawsTheFrameAreaOnly) {
    geometry(3, 2);
    for (int32_t i = 0; i < 2; ++i)
        for (int32_t j = 0; j < 3; ++j) planeRow(core.ResultPlane, i, 2)[j] = i * 3 + j + 254;
    showPlane(core, core.ResultPlane);
    EXPECT_EQ(gray(0, 0), 254);
    EXPECT_EQ(gray(0, 2), 0);    // 256 wraps
    EXPECT_EQ(gray(1, 2), 3);
    EXPECT_TRUE(outsideUntouched(3, 2));
}

}  // namespace
}  // namespace pixelwell::test
