// Normalisation, contrast stretch and binarisation: the cuts, the odd upper running sum,
// small frames, and the clamping of values outside the tracked range.
#include "test_support.h"

namespace pixelwell::test {
namespace {

class ToneMapping : public CoreTest {
protected:
    // Fills the core.ResultPlane's frame area with value(i, j) under a width x height geometry.
    void fillResult(int32_t width, int32_t height,
                    const std::function<int32_t(int32_t, int32_t)>& value) {
        geometry(width, height);
        for (int32_t i = 0; i < height; ++i)
            for (int32_t j = 0; j < width; ++j) planeRow(core.ResultPlane, i, height)[j] = value(i, j);
    }
};

TEST_F(ToneMapping, EmptyOrFlatRangeShowsThePlaneUnchanged) {
    fillResult(3, 2, [](int32_t i, int32_t j) { return i * 3 + j + 300; });
    normalizeResultPlane(core, core.ResultPlane, 1, 0);
    EXPECT_EQ(gray(0, 0), 300 & 255);
    EXPECT_EQ(gray(1, 2), 305 & 255);
    normalizeResultPlane(core, core.ResultPlane, 7, 7);
    EXPECT_EQ(gray(1, 2), 305 & 255);
}

TEST_F(ToneMapping, FewerThan20PixelsGiveTheIdentityStretch) {
    // 19 pixels 0..18 over the range 0..18: levels are 255*v/18, the table keeps them.
    fillResult(19, 1, [](int32_t, int32_t j) { return j; });
    normalizeResultPlane(core, core.ResultPlane, 0, 18);
    for (int32_t j = 0; j < 19; ++j) EXPECT_EQ(gray(0, j), 255 * j / 18);
}

TEST_F(ToneMapping, UpperRunningSumStartsAt255) {
    // 160x120: N = 19200, T = 960. The bulk lies at level 100 (so low = 99) and `top` pixels
    // at level 200. The upper scan passes level 200 only while 255 + top stays below 960:
    // with 704 it goes on down to high = 101, with 705 it stops at high = 201. A running
    // sum starting at 0 would pass level 200 in both cases.
    struct Case {
        int32_t top, bulkShows, topShows;
    };
    for (const Case c : {Case{704, 127, 255}, Case{705, 2, 252}}) {
        fillResult(160, 120, [&](int32_t i, int32_t j) { return i * 160 + j < c.top ? 200 : 100; });
        normalizeResultPlane(core, core.ResultPlane, 0, 255);
        EXPECT_EQ(gray(0, 0), c.topShows) << c.top;
        EXPECT_EQ(gray(119, 159), c.bulkShows) << c.top;
    }
}

TEST_F(ToneMapping, LowerCutPassesEmptyLevelsUpToTheTail) {
    // 100 pixels, T = 5: 4 at level 0, 1 at 10, 90 at 100, 3 at 200, 2 at 255. The cumulative
    // count stays 4 up to level 9, so low = 9; the upper sum starts at 255, so high = 255.
    fillResult(10, 10, [](int32_t i, int32_t j) {
        const int32_t n = i * 10 + j;
        return n < 4 ? 0 : n < 5 ? 10 : n < 95 ? 100 : n < 98 ? 200 : 255;
    });
    normalizeResultPlane(core, core.ResultPlane, 0, 255);
    EXPECT_EQ(gray(0, 0), 0);
    EXPECT_EQ(gray(0, 4), 255 * 1 / 246);
    EXPECT_EQ(gray(5, 0), 255 * 91 / 246);
    EXPECT_EQ(gray(9, 6), 255 * 191 / 246);
    EXPECT_EQ(gray(9, 9), 255);
}

TEST_F(ToneMapping, LevelZeroAloneReachingTheTailKeepsLowAtZero) {
    // 40 pixels, T = 2: two at level 0 already reach T.
    fillResult(40, 1, [](int32_t, int32_t j) { return j < 2 ? 0 : j < 39 ? 153 : 255; });
    normalizeResultPlane(core, core.ResultPlane, 0, 255);
    EXPECT_EQ(gray(0, 0), 0);
    EXPECT_EQ(gray(0, 5), 153);
    EXPECT_EQ(gray(0, 39), 255);
}

TEST_F(ToneMapping, ValuesOutsideTheRangeAreClamped) {
    // The filters' zero border lies below a low-pass range without black.
    fillResult(30, 1, [](int32_t, int32_t j) { return j == 0 ? 0 : j == 29 ? 400 : 100 + j; });
    normalizeResultPlane(core, core.ResultPlane, 101, 128);
    EXPECT_EQ(gray(0, 0), 0);
    EXPECT_EQ(gray(0, 29), 255);
    EXPECT_EQ(gray(0, 1), 0);
    EXPECT_EQ(gray(0, 28), 255);
}

TEST_F(ToneMapping, NothingIsWrittenAtZeroWidth) {
    geometry(0, 5);
    normalizeResultPlane(core, core.ResultPlane, 0, 10);
    EXPECT_TRUE(surfaceUntouched());
}

class Binarize : public CoreTest {
protected:
    void binarize(const Frame& frame, int32_t width, int32_t height) {
        selectProcessingMode(core, kModeBinarize);
        geometry(width, height);
        deliver(frame);
    }
};

TEST_F(Binarize, UniformFrameIsShownAsItsGray) {
    binarize(uniformFrame(4, 4, {255, 0, 0}), 4, 4);
    EXPECT_EQ(gray(2, 2), 29);
}

TEST_F(Binarize, ExactlyHalfDarkMakesEverythingWhite) {
    binarize(grayFrame(4, 2, [](int32_t i, int32_t) { return i ? 200 : 10; }), 4, 2);
    for (int32_t i = 0; i < 2; ++i)
        for (int32_t j = 0; j < 4; ++j) EXPECT_EQ(gray(i, j), 255);
}

TEST_F(Binarize, OneDarkOfFiveIsBlackTwoDarkOfFiveAreWhite) {
    binarize(grayFrame(5, 1, [](int32_t, int32_t j) { return j == 0 ? 10 : 200; }), 5, 1);
    EXPECT_EQ(gray(0, 0), 0);
    for (int32_t j = 1; j < 5; ++j) EXPECT_EQ(gray(0, j), 255);
    binarize(grayFrame(5, 1, [](int32_t, int32_t j) { return j < 2 ? 10 : 200; }), 5, 1);
    for (int32_t j = 0; j < 5; ++j) EXPECT_EQ(gray(0, j), 255);
}

TEST_F(Binarize, SplitsARampAtItsMedian) {
    binarize(grayFrame(10, 1, [](int32_t, int32_t j) { return j * 20; }), 10, 1);
    // M = 5: levels of gray 0..80 hold 1..5 pixels; the fifth (gray 80) reaches M.
    for (int32_t j = 0; j < 10; ++j) EXPECT_EQ(gray(0, j), j >= 4 ? 255 : 0) << j;
}

}  // namespace
}  // namespace pixelwell::test
