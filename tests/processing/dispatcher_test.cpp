// The per-frame entry: slot numbering, which modes draw and ask for a repaint, and the
// handling of oversized, short and unfit frames.
#include "test_support.h"

namespace pixelwell::test {
namespace {

using Dispatcher = CoreTest;

TEST_F(Dispatcher, FramesOneToNineLandInSlots1To7Then0And1) {
    geometry(2, 1);
    const int32_t expectedSlot[] = {1, 2, 3, 4, 5, 6, 7, 0, 1};
    for (int32_t n = 1; n <= 9; ++n) {
        deliver(uniformFrame(2, 1, {uint8_t(n), 0, 0}));
        EXPECT_EQ(core.FrameCounter, static_cast<uint32_t>(n));
        EXPECT_EQ(core.FrameRing[expectedSlot[n - 1]][0], n) << "frame " << n;
        if (n < 8) {
            EXPECT_EQ(core.FrameRing[0][0], 0) << "slot 0 before the eighth frame";
        }
    }
}

TEST_F(Dispatcher, SlotOrderContinuesAcrossTheCounterWrap) {
    geometry(1, 1);
    core.FrameCounter = 0xFFFFFFFEu;
    deliver(uniformFrame(1, 1, {10, 0, 0}));  // counter 0xFFFFFFFF: slot 7
    deliver(uniformFrame(1, 1, {20, 0, 0}));  // counter 0: slot 0
    deliver(uniformFrame(1, 1, {30, 0, 0}));  // counter 1: slot 1
    EXPECT_EQ(core.FrameCounter, 1u);
    EXPECT_EQ(core.FrameRing[7][0], 10);
    EXPECT_EQ(core.FrameRing[0][0], 20);
    EXPECT_EQ(core.FrameRing[1][0], 30);
}

class ModesWithoutOperation : public CoreTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ModesWithoutOperation, CountAndStoreButDrawNothingAndAskNoRepaint) {
    selectProcessingMode(core, GetParam());
    geometry(4, 4);
    EXPECT_FALSE(deliver(uniformFrame(4, 4, {9, 9, 9})));
    EXPECT_EQ(core.FrameCounter, 1u);
    EXPECT_EQ(core.FrameRing[1][0], 9);
    EXPECT_EQ(core.ReferencePending, 1);
    EXPECT_TRUE(surfaceUntouched());
}

INSTANTIATE_TEST_SUITE_P(Values, ModesWithoutOperation,
                         ::testing::Values(1400, 1399, 1410, 1414, 1420, 1435, 1445, 1450, 1452,
                                           0, -1, INT32_MIN, INT32_MAX));

class EveryMode : public CoreTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(EveryMode, ZeroHeightDrawsNothingButAsksForARepaint) {
    selectProcessingMode(core, GetParam());
    geometry(4, 0);
    EXPECT_TRUE(deliver(Frame(48, 1)));
    EXPECT_TRUE(surfaceUntouched());
}

TEST_P(EveryMode, GeometryBeyond1280DrawsNothingButAsksForARepaint) {
    selectProcessingMode(core, GetParam());
    for (const auto& [w, h] : {std::pair{1281, 2}, std::pair{2, 1281}, std::pair{-5, 3}}) {
        geometry(w, h);
        EXPECT_TRUE(deliver(Frame(64, 3)));
    }
    EXPECT_TRUE(surfaceUntouched());
}

TEST_P(EveryMode, ShortBufferDrawsNothingButAsksForARepaint) {
    selectProcessingMode(core, GetParam());
    geometry(8, 8);
    const Frame frame = uniformFrame(8, 8, {50, 60, 70});
    // Exactly as many bytes as handed over, so an over-read is caught by the sanitizers.
    const Frame shortFrame(frame.begin(), frame.end() - 1);
    EXPECT_TRUE(deliver(shortFrame));
    EXPECT_TRUE(deliver(Frame{}, 0));
    EXPECT_TRUE(deliver(Frame{}, -7));
    EXPECT_TRUE(surfaceUntouched());
}

TEST_P(EveryMode, NoSurfaceDrawsNothing) {
    selectProcessingMode(core, GetParam());
    lendSurface(core, nullptr);
    geometry(8, 8);
    EXPECT_TRUE(deliver(uniformFrame(8, 8, {1, 2, 3})));
    EXPECT_TRUE(surfaceUntouched());
}

TEST_P(EveryMode, DrawsOnlyTheFrameRegionWithZeroFourthBytes) {
    selectProcessingMode(core, GetParam());
    geometry(13, 9);
    for (int n = 0; n < 3; ++n)
        deliver(makeFrame(13, 9, [n](int32_t i, int32_t j) {
            return Bgr{uint8_t(i * 20 + n), uint8_t(j * 17), uint8_t((i * j * 5) ^ n)};
        }));
    EXPECT_TRUE(outsideUntouched(13, 9));
    for (int32_t i = 0; i < 9; ++i)
        for (int32_t j = 0; j < 13; ++j) EXPECT_EQ(pixel(i, j)[3], 0);
}

std::vector<int32_t> operationModes() {
    std::vector<int32_t> modes;
    for (const ModeInfo& info : ModeTable)
        if (info.id != kModeNone) modes.push_back(info.id);
    return modes;
}

INSTANTIATE_TEST_SUITE_P(All, EveryMode, ::testing::ValuesIn(operationModes()));

TEST(ModeTable, Lists23OperationsAndNone) {
    EXPECT_EQ(operationModes().size(), 23u);
    EXPECT_EQ(ModeTable[0].id, kModeNone);
    for (int32_t mode : operationModes()) EXPECT_TRUE(modeSelectsOperation(mode)) << mode;
    EXPECT_FALSE(modeSelectsOperation(kModeNone));
}

TEST_F(Dispatcher, OversizedBufferIsCutAtOneSlot) {
    geometry(1280, 1280);
    Frame big(static_cast<size_t>(kSlotBytes) + 1000, 0x5A);
    selectProcessingMode(core, kModeSimpleDiff);
    EXPECT_TRUE(deliver(big));
    EXPECT_EQ(core.FrameRing[1][kSlotBytes - 1], 0x5A);
    EXPECT_EQ(core.ReferenceFrame[kSlotBytes - 1], 0x5A);
    EXPECT_EQ(core.ReferencePending, 0);
    EXPECT_EQ(colour(1279, 1279), (Bgr{0, 0, 0}));  // drawn against itself
}

TEST_F(Dispatcher, PendingReferenceIsTakenFromAFrameTooShortToDraw) {
    geometry(8, 8);
    selectProcessingMode(core, kModeDiff);
    const Frame part(10, 77);
    EXPECT_TRUE(deliver(part));
    EXPECT_EQ(core.ReferencePending, 0);
    EXPECT_EQ(core.ReferenceFrame[9], 77);
    EXPECT_EQ(core.ReferenceFrame[10], 0);
    EXPECT_TRUE(surfaceUntouched());
}

TEST_F(Dispatcher, TemporalModeChosenLateWorksOnEightRealFrames) {
    geometry(1, 1);
    for (int n = 0; n < 10; ++n) deliver(uniformFrame(1, 1, {200, 200, 200}));
    selectProcessingMode(core, kModeAverage8);
    deliver(uniformFrame(1, 1, {200, 200, 200}));
    EXPECT_EQ(colour(0, 0), (Bgr{200, 200, 200}));
}

TEST_F(Dispatcher, ChoosingAReferenceModeAsksForANewReference) {
    core.ReferencePending = 0;
    selectProcessingMode(core, kModeGray);
    EXPECT_EQ(core.ReferencePending, 0);
    selectProcessingMode(core, kModeDiff);
    EXPECT_EQ(core.ReferencePending, 1);
    EXPECT_EQ(core.ProcessingMode, kModeDiff);
}

}  // namespace
}  // namespace pixelwell::test
