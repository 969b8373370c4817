// The 8-frame average keeps per-byte sums of the ring from frame to frame. Whatever changes
// the ring or the counter in between (other modes, the plain path, short, empty and long
// buffers, geometry, a reset, the counter's wrap), every frame must show exactly what the
// plain average of the eight slots shows, with the same ring behind it.
#include <random>

#include "kernels.h"
#include "test_support.h"

namespace pixelwell::test {
namespace {

enum class Step { Average, Other, Plain, Reset };

struct Event {
    Step step;
    int32_t width, height;
    int32_t extra;  // bytes delivered beyond (or, negative, short of) the frame
};

// Each event's outcome: the frame region of the surface and the start of every slot.
struct Snapshot {
    std::vector<uint8_t> surface, ring;
    bool repaint;
};

class RingSums : public CoreTest {
protected:
    std::vector<Snapshot> run(const std::vector<Event>& events, const KernelTable& table,
                              bool (*entry)(Core&, const uint8_t*, int32_t)) {
        core = Core({kMaxSide, kMaxSide}, table, SurfaceSource::Lent);
        std::fill(surface.begin(), surface.end(), kUntouched);
        lendSurface(core, surface.data());
        core.FrameCounter = 0xFFFFFFF0u;  // wraps on the 16th event
        std::mt19937 random(7);
        std::vector<Snapshot> out;
        for (const Event& e : events) {
            if (e.step == Step::Reset) {
                resetCore(core);
                out.push_back({});
                continue;
            }
            setFrameGeometry(core, e.width, e.height);
            selectProcessingMode(core, e.step == Step::Other ? kModeNormal : kModeAverage8);
            const int32_t bytes = e.width * e.height * 3;
            std::vector<uint8_t> frame(static_cast<size_t>(std::max(0, bytes + e.extra)) + 1);
            for (auto& b : frame) b = static_cast<uint8_t>(random());
            const int32_t length = bytes + e.extra;
            Snapshot s;
            s.repaint = (e.step == Step::Plain ? processFramePlain : entry)(core, frame.data(), length);
            for (int32_t i = 0; i < e.height; ++i) {
                const uint8_t* row = surfaceRow(core, i, e.height);
                s.surface.insert(s.surface.end(), row, row + e.width * 4);
            }
            for (const auto& slot : core.FrameRing) s.ring.insert(s.ring.end(), slot.begin(), slot.begin() + 64 * 64 * 3 + 16);
            out.push_back(std::move(s));
        }
        return out;
    }
};

TEST_F(RingSums, EveryFrameEqualsThePlainAverageWhateverHappensInBetween) {
    const std::vector<Event> events = {
        {Step::Average, 64, 48, 0},  {Step::Average, 64, 48, 0},  {Step::Average, 64, 48, 0},
        {Step::Other, 64, 48, 0},    {Step::Average, 64, 48, 0},  {Step::Average, 64, 48, 0},
        {Step::Average, 64, 48, -1}, {Step::Average, 64, 48, 0},  {Step::Average, 64, 48, 0},
        {Step::Average, 64, 48, 7},  {Step::Average, 64, 48, 0},  {Step::Average, 48, 64, 0},
        {Step::Average, 32, 32, 0},  {Step::Plain, 32, 32, 0},    {Step::Average, 32, 32, 0},
        {Step::Average, 32, 32, 0},  // frame counter 0
        {Step::Reset, 0, 0, 0},      // counter back to 0: the sums of frame 0 must not be taken up
        {Step::Average, 32, 32, 0},  {Step::Average, 32, 32, 0},  {Step::Average, 31, 33, 0},
        {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, -64 * 64 * 3}, {Step::Average, 64, 64, 0},
        {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, 0},
        {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, 0},
        {Step::Average, 64, 64, 0},  {Step::Average, 64, 64, 0},
    };
    const auto want = run(events, scalarKernels(), processFramePlain);
    for (bool scalar : {true, false}) {
        const auto got = run(events, scalar ? scalarKernels() : selectKernels(), processFrame);
        for (size_t n = 0; n < events.size(); ++n) {
            EXPECT_EQ(want[n].repaint, got[n].repaint) << "event " << n;
            EXPECT_TRUE(want[n].surface == got[n].surface) << "surface after event " << n << (scalar ? " (scalar)" : "");
            EXPECT_TRUE(want[n].ring == got[n].ring) << "ring after event " << n << (scalar ? " (scalar)" : "");
        }
    }
}

}  // namespace
}  // namespace pixelwell::test
