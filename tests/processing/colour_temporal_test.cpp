// Normal, inverted, averaged, differenced and gray display, on the values where an
// off-by-one, a wrong slot or a wrong threshold would show.
#include "test_support.h"

namespace pixelwell::test {
namespace {

using ColourTemporal = CoreTest;

TEST_F(ColourTemporal, InvertedIsTheComplementOfEachByte) {
    selectProcessingMode(core, kModeInvert);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {0, 128, 255}));
    EXPECT_EQ(colour(0, 0), (Bgr{255, 127, 0}));
}

TEST_F(ColourTemporal, NormalOnlyChangesTheFrameRegion) {
    selectProcessingMode(core, kModeNormal);
    geometry(320, 240);
    deliver(uniformFrame(320, 240, {1, 2, 3}));
    EXPECT_EQ(colour(239, 319), (Bgr{1, 2, 3}));
    EXPECT_TRUE(outsideUntouched(320, 240));
}

TEST_F(ColourTemporal, TwoFrameAverageOfTheFirstFrameHalvesItRoundingDown) {
    selectProcessingMode(core, kModeAverage2);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {255, 1, 2}));
    EXPECT_EQ(colour(0, 0), (Bgr{127, 0, 1}));
}

TEST_F(ColourTemporal, EightFrameAverageOfASteadySceneRisesTo200) {
    selectProcessingMode(core, kModeAverage8);
    geometry(2, 2);
    const int32_t expected[] = {25, 50, 75, 100, 125, 150, 175, 200, 200};
    for (int32_t n = 0; n < 9; ++n) {
        deliver(uniformFrame(2, 2, {200, 200, 200}));
        EXPECT_EQ(colour(1, 1)[0], expected[n]) << "frame " << n + 1;
    }
}

TEST_F(ColourTemporal, FourFrameAverageInSlot1UsesSlots1_0_7_6) {
    geometry(1, 1);
    core.FrameRing[0][0] = 40;
    core.FrameRing[7][0] = 80;
    core.FrameRing[6][0] = 120;
    core.FrameRing[5][0] = 255;  // not in the window
    core.FrameRing[2][0] = 255;  // not in the window
    selectProcessingMode(core, kModeAverage4);
    deliver(uniformFrame(1, 1, {3, 0, 0}));  // slot 1
    EXPECT_EQ(colour(0, 0)[0], (3 + 40 + 80 + 120) / 4);
}

struct DiffCase {
    uint8_t previous, current, expected;
};

class FrameDifference : public CoreTest, public ::testing::WithParamInterface<DiffCase> {};

TEST_P(FrameDifference, WrapsModulo256Around127) {
    const auto [previous, current, expected] = GetParam();
    selectProcessingMode(core, kModeFrameDiff);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {previous, previous, previous}));
    deliver(uniformFrame(1, 1, {current, 0, 0}));
    EXPECT_EQ(colour(0, 0)[0], expected);
    EXPECT_EQ(colour(0, 0)[1], static_cast<uint8_t>(0 - previous + 127));
}

INSTANTIATE_TEST_SUITE_P(EdgeValues, FrameDifference,
                         ::testing::Values(DiffCase{90, 90, 127}, DiffCase{0, 255, 126},
                                           DiffCase{255, 0, 128}, DiffCase{0, 128, 255},
                                           DiffCase{0, 129, 0}, DiffCase{128, 0, 255}));

TEST_F(ColourTemporal, FrameDifferenceOfTheFirstFrameComparesWithSlot0) {
    selectProcessingMode(core, kModeFrameDiff);
    geometry(1, 1);
    core.FrameRing[0][0] = 10;
    deliver(uniformFrame(1, 1, {20, 0, 0}));
    EXPECT_EQ(colour(0, 0)[0], 137);
}

class ReferenceModes : public CoreTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ReferenceModes, TheReferenceFrameIsDrawnBlack) {
    selectProcessingMode(core, GetParam());
    geometry(2, 2);
    deliver(uniformFrame(2, 2, {90, 180, 250}));
    EXPECT_EQ(core.ReferencePending, 0);
    EXPECT_EQ(colour(1, 1), (Bgr{0, 0, 0}));
}

TEST_P(ReferenceModes, AReferenceIsTakenEvenAtZeroGeometry) {
    selectProcessingMode(core, GetParam());
    geometry(0, 0);
    const Frame frame(6, 33);
    EXPECT_TRUE(deliver(frame));
    EXPECT_EQ(core.ReferencePending, 0);
    EXPECT_EQ(core.ReferenceFrame[5], 33);
    EXPECT_TRUE(surfaceUntouched());
}

TEST_P(ReferenceModes, ReselectingTakesANewReference) {
    geometry(1, 1);
    selectProcessingMode(core, GetParam());
    deliver(uniformFrame(1, 1, {10, 10, 10}));
    deliver(uniformFrame(1, 1, {50, 50, 50}));
    EXPECT_EQ(core.ReferenceFrame[0], 10);
    selectProcessingMode(core, GetParam());
    deliver(uniformFrame(1, 1, {50, 50, 50}));
    EXPECT_EQ(core.ReferenceFrame[0], 50);
    EXPECT_EQ(colour(0, 0), (Bgr{0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Both, ReferenceModes, ::testing::Values(kModeSimpleDiff, kModeDiff));

TEST_F(ColourTemporal, OtherModesLeaveAPendingReferenceAlone) {
    selectProcessingMode(core, kModeGray);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {1, 1, 1}));
    EXPECT_EQ(core.ReferencePending, 1);
    EXPECT_EQ(core.ReferenceFrame[0], 0);
}

TEST_F(ColourTemporal, SimpleDifferenceIsAbsolutePerChannel) {
    selectProcessingMode(core, kModeSimpleDiff);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {20, 100, 30}));
    deliver(uniformFrame(1, 1, {10, 200, 30}));
    EXPECT_EQ(colour(0, 0), (Bgr{10, 100, 0}));
}

struct DistanceCase {
    Bgr difference;
    bool live;
};

class DifferenceThreshold : public CoreTest, public ::testing::WithParamInterface<DistanceCase> {};

TEST_P(DifferenceThreshold, SmallDifferencesShowThemselvesLargeOnesTheLivePixel) {
    const auto [d, live] = GetParam();
    selectProcessingMode(core, kModeDiff);
    geometry(1, 1);
    const Bgr reference{100, 100, 100};
    const Bgr current{uint8_t(100 + d[0]), uint8_t(100 - d[1]), uint8_t(100 + d[2])};
    deliver(uniformFrame(1, 1, reference));
    deliver(uniformFrame(1, 1, current));
    EXPECT_EQ(colour(0, 0), live ? current : d);
}

INSTANTIATE_TEST_SUITE_P(
    AroundDistance19, DifferenceThreshold,
    ::testing::Values(DistanceCase{{18, 0, 0}, false}, DistanceCase{{19, 0, 0}, true},
                      DistanceCase{{10, 10, 10}, false}, DistanceCase{{11, 11, 11}, true},
                      DistanceCase{{0, 0, 0}, false}, DistanceCase{{12, 12, 6}, false},
                      DistanceCase{{0, 19, 0}, true}));

TEST_F(ColourTemporal, GrayOfPureBlueIs29) {
    selectProcessingMode(core, kModeGray);
    geometry(1, 1);
    deliver(uniformFrame(1, 1, {255, 0, 0}));
    EXPECT_EQ(colour(0, 0), (Bgr{29, 29, 29}));
}

TEST_F(ColourTemporal, RingSlotsAreReadWithTheCurrentGeometry) {
    geometry(2, 1);
    deliver(makeFrame(2, 1, [](int32_t, int32_t j) { return Bgr{uint8_t(j ? 200 : 100), 0, 0}; }));
    geometry(1, 2);  // the stored 2x1 frame (slot 1) is now read as 1x2
    selectProcessingMode(core, kModeAverage2);
    deliver(Frame(6, 0));  // slot 2
    EXPECT_EQ(colour(0, 0)[0], 50);
    EXPECT_EQ(colour(1, 0)[0], 100);
}

}  // namespace
}  // namespace pixelwell::test
