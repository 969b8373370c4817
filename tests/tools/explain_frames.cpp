// Test-only: runs a recording through processFrame with a mode schedule, as pixelwell-filter
// does, and prints the explanation of the frame whose FrameCounter is N as one line of
// "key=value" pairs, for comparing the page's panel with the core's own numbers.
// Usage: explain_frames --size WxH [--mode M[@K]]... RECORDING N
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "explain.h"
#include "frame_store.h"
#include "schedule.h"

using namespace pixelwell;

namespace {

int usage(const std::string& why) {
    std::fprintf(stderr, "explain_frames: %s\nusage: explain_frames --size WxH [--mode M[@K]]... RECORDING N\n",
                 why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int32_t width = 0, height = 0;
    ModeSchedule schedule;
    std::vector<std::string> rest;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--size" || arg == "--mode") && i + 1 == argc) return usage(arg + " needs a value");
        if (arg == "--size") {
            if (!parseFrameSize(argv[++i], kMaxSide, width, height)) return usage(std::string("bad size ") + argv[i]);
        } else if (arg == "--mode") {
            if (!addModeSwitch(argv[++i], schedule, error)) return usage(error);
        } else {
            rest.push_back(arg);
        }
    }
    int64_t wanted = 0;
    if (!width || rest.size() != 2 || !parseInteger(rest[1], 1, UINT32_MAX, wanted))
        return usage("give --size, the recording and a frame number from 1");
    FILE* in = std::fopen(rest[0].c_str(), "rb");
    if (!in) return usage("cannot open " + rest[0]);

    Core core({width, height});
    setFrameGeometry(core, width, height);
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
    for (uint64_t index = 0;; ++index) {
        if (std::fread(frame.data(), 1, frame.size(), in) != frame.size()) {
            std::fclose(in);
            return usage(rest[0] + " ends before frame " + std::to_string(wanted));
        }
        applyModeSwitches(core, schedule, index);
        processFrame(core, frame.data(), static_cast<int32_t>(frame.size()));
        if (core.LastDelivered.frame == wanted) break;
    }
    std::fclose(in);

    Explanation e;
    const bool drawn = explainFrame(core, e);
    std::printf("drawn=%d frame=%u mode=%d min=%d max=%d cutLow=%d cutHigh=%d threshold=%d "
                "clippedLow=%d clippedHigh=%d reference=%u\n",
                drawn, e.frame, e.mode, e.range.minimum, e.range.maximum, e.cutLow, e.cutHigh,
                e.threshold, e.clippedLow, e.clippedHigh, e.reference);
    return 0;
}
