// The explanation of a frame against the plain operations' own records, for every mode, and
// proof that explaining a frame changes nothing the next frames depend on.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "explain.h"
#include "test_picture.h"
#include "test_support.h"

namespace pixelwell::test {
namespace {

using Bytes = std::vector<uint8_t>;

// What the plain operations left after one frame.
struct PlainRecords {
    bool counted;
    std::array<int32_t, 256> histogram;
    std::array<uint8_t, 256> levels;
    StretchCuts cuts;
    Bytes surface;
};

struct CoreSnapshot {
    Bytes ring, reference, surface;
    uint32_t counter;
    int32_t mode, pending;
    bool operator==(const CoreSnapshot& o) const {
        return ring == o.ring && reference == o.reference && surface == o.surface && counter == o.counter &&
               mode == o.mode && pending == o.pending;
    }
};

// Moving shapes, strong noise, or one flat colour followed by random bytes.
Bytes frameOf(int kind, int32_t width, int32_t height, uint32_t n) {
    Bytes frame(static_cast<size_t>(width) * height * 3);
    if (kind < 2) {
        simcam::renderPicture(kind == 0 ? simcam::Picture::MovingShapes : simcam::Picture::Noise, width, height, n,
                              frame.data());
    } else if (n < 5) {
        std::fill(frame.begin(), frame.end(), static_cast<uint8_t>(40 + n));
    } else {
        std::mt19937 random(n);
        for (auto& byte : frame) byte = static_cast<uint8_t>(random());
    }
    return frame;
}

class ExplainTest : public testing::TestWithParam<int32_t> {
protected:

    // The surface's frame area: nothing else is drawn.
    Bytes drawnArea() const {
        Bytes area;
        const auto [width, height] = core.FrameGeometry;
        for (int32_t i = 0; i < height; ++i) {
            const uint8_t* row = surface_.data() + static_cast<size_t>(placedRow(core, i, height)) * kSurfaceStride;
            area.insert(area.end(), row, row + width * 4);
        }
        return area;
    }

    CoreSnapshot snapshot(size_t bytes) const {
        CoreSnapshot s;
        for (const auto& slot : core.FrameRing) s.ring.insert(s.ring.end(), slot.begin(), slot.begin() + bytes);
        s.reference.assign(core.ReferenceFrame.begin(), core.ReferenceFrame.begin() + bytes);
        s.surface = drawnArea();
        s.counter = core.FrameCounter;
        s.mode = core.ProcessingMode;
        s.pending = core.ReferencePending;
        return s;
    }

    // The frames of one run; the mode is chosen before the third, as a user would.
    template <typename AfterFrame>
    void run(int kind, int32_t width, int32_t height, bool (*entry)(Core&, const uint8_t*, int32_t),
             AfterFrame after) {
        // A fresh core: its buffers are fresh zero pages, of which a run this small touches few.
        core = Core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
        surface_.assign(kSurfaceBytes, 0);
        lendSurface(core, surface_.data());
        setFrameGeometry(core, width, height);
        for (uint32_t n = 0; n < 10; ++n) {
            if (n == 2) selectProcessingMode(core, GetParam());
            const Bytes frame = frameOf(kind, width, height, n);
            core.Histogram.fill(0);  // so that a frame whose range is empty shows as nothing counted
            entry(core, frame.data(), static_cast<int32_t>(frame.size()));
            after(n);
        }
    }

    Bytes surface_;
    Core core{{kMaxSide, kMaxSide}, SurfaceSource::Lent};
};

TEST_P(ExplainTest, GivesThePlainRecordsAndChangesNothing) {
    const int32_t mode = GetParam();
    const bool filter = kernelForMode(mode) != nullptr;
    for (const auto& [width, height] : {std::pair{3, 3}, {17, 9}, {160, 120}})
        for (int kind = 0; kind < 3; ++kind) {
            const std::string what = std::to_string(width) + "x" + std::to_string(height) + " kind " +
                                      std::to_string(kind);
            const int32_t pixels = width * height;
            std::vector<PlainRecords> plain;
            run(kind, width, height, processFramePlain, [&](uint32_t) {
                PlainRecords r{};
                for (int32_t count : core.Histogram) r.counted |= count != 0;
                r.histogram = core.Histogram;
                r.levels = core.LevelTable;
                r.cuts = stretchCuts(core, pixels);
                r.surface = drawnArea();
                plain.push_back(r);
            });

            const size_t bytes = static_cast<size_t>(pixels) * 3;
            run(kind, width, height, processFrame, [&](uint32_t n) {
                const std::string at = what + " frame " + std::to_string(n);
                // Drawn as the plain path drew it, explanations of the frames before included.
                ASSERT_TRUE(drawnArea() == plain[n].surface) << at;
                const CoreSnapshot before = snapshot(bytes);
                Explanation e;
                const bool drawn = explainFrame(core, e);
                ASSERT_TRUE(snapshot(bytes) == before) << at << ": the explanation changed the core";

                EXPECT_EQ(e.frame, n + 1) << at;
                EXPECT_EQ(drawn, n >= 2) << at;
                EXPECT_EQ(e.mode, n >= 2 ? mode : static_cast<int32_t>(kModeNone)) << at;
                if (!drawn) return;
                EXPECT_EQ(e.counted, plain[n].counted) << at;
                EXPECT_EQ(e.range.maximum > e.range.minimum, plain[n].counted) << at;
                if (!e.counted) return;
                EXPECT_EQ(e.histogram, plain[n].histogram) << at;
                if (filter) {
                    EXPECT_EQ(e.cutLow, plain[n].cuts.low) << at;
                    EXPECT_EQ(e.cutHigh, plain[n].cuts.high) << at;
                    EXPECT_EQ(e.stretched, plain[n].cuts.low < plain[n].cuts.high) << at;
                    if (e.stretched) {
                        EXPECT_EQ(e.levels, plain[n].levels) << at;
                    }
                    int32_t black = 0, white = 0;
                    for (int32_t level = 0; level <= 255; ++level) {
                        if (e.levels[level] == 0) black += e.histogram[level];
                        if (e.levels[level] == 255) white += e.histogram[level];
                    }
                    if (e.stretched) {
                        EXPECT_EQ(std::pair(e.clippedLow, e.clippedHigh), std::pair(black, white)) << at;
                    }
                } else if (mode == kModeBinarize) {
                    EXPECT_EQ(e.levels, plain[n].levels) << at;
                    // The threshold is where the plain table turns white.
                    int32_t first = 0;
                    while (first < 255 && plain[n].levels[first] == 0) ++first;
                    EXPECT_EQ(e.threshold, first) << at;
                }
            });
            if (HasFailure()) return;
        }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, ExplainTest, testing::ValuesIn(everyOperation()),
                         modeParamName);

// Which frames the temporal modes combined, and where the reference came from.
class ExplainFramesTest : public testing::Test {
protected:
    void SetUp() override {
        surface_.assign(kSurfaceBytes, 0);
        lendSurface(core, surface_.data());
        setFrameGeometry(core, 8, 6);
    }
    Explanation deliver(uint32_t count) {
        for (uint32_t n = 0; n < count; ++n) {
            const Bytes frame = frameOf(0, 8, 6, core.FrameCounter);
            processFrame(core, frame.data(), static_cast<int32_t>(frame.size()));
        }
        Explanation e;
        explainFrame(core, e);
        return e;
    }
    Bytes surface_;
    Core core{{kMaxSide, kMaxSide}, SurfaceSource::Lent};
};

TEST_F(ExplainFramesTest, AveragesNameTheFramesTheyCombine) {
    selectProcessingMode(core, kModeAverage4);
    Explanation e = deliver(2);
    EXPECT_EQ(e.frameCount, 4);
    EXPECT_EQ((std::vector<int64_t>(e.frames.begin(), e.frames.begin() + 4)), (std::vector<int64_t>{2, 1, 0, -1}));
    selectProcessingMode(core, kModeAverage8);
    e = deliver(9);
    EXPECT_EQ(e.frame, 11u);
    EXPECT_EQ(e.frames, (std::array<int64_t, 8>{11, 10, 9, 8, 7, 6, 5, 4}));
    selectProcessingMode(core, kModeFrameDiff);
    e = deliver(1);
    EXPECT_EQ(e.frameCount, 2);
    EXPECT_EQ(e.frames[1], 11);
}

TEST_F(ExplainFramesTest, ReferenceModesNameTheFrameTheReferenceCameFrom) {
    deliver(40);
    selectProcessingMode(core, kModeDiff);
    EXPECT_EQ(deliver(1).reference, 41u);
    EXPECT_EQ(deliver(5).reference, 41u);
    selectProcessingMode(core, kModeSimpleDiff);  // choosing it again takes a new reference
    EXPECT_EQ(deliver(1).reference, 47u);
}

TEST_F(ExplainFramesTest, NothingDrawnIsNothingExplained) {
    Explanation e = deliver(3);  // mode none
    EXPECT_FALSE(e.drawn);
    selectProcessingMode(core, kModeSobelX);
    const Bytes shortFrame(10);
    processFrame(core, shortFrame.data(), 10);
    EXPECT_FALSE(explainFrame(core, e));
    EXPECT_EQ(e.frame, 4u);
    EXPECT_EQ(e.kernel, kernelForMode(kModeSobelX));
}

}  // namespace
}  // namespace pixelwell::test
