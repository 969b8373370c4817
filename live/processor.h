// Everything the live viewer says to the processing core, in one place: the frame size, the
// frames, the operation chosen, and a frame held still shown again through another operation.
// The core's records are the process's own today; a core the viewer owns replaces this room's
// insides, not its callers.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "mode_args.h"

namespace live {

class Processor {
public:
    Processor();

    // Frames from now on are width x height (at most 1280 a side).
    void setSize(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }

    // An upright BGR frame of the set size, handed to the core as the capture driver hands one
    // (bottom-up, rows packed). True when the result window is to be redrawn.
    bool process(const cv::Mat& frame);
    // The frame as last handed to the core: bottom-up B,G,R.
    const std::vector<uint8_t>& handed() const { return handed_; }
    uint64_t processed() const { return processed_; }

    // Chooses an operation as its menu command does (a reference mode takes a new reference).
    void select(int32_t mode);
    // Every choice the schedule makes before frame `frame`, in order; true when any was made.
    bool applySchedule(const pixelwell::ModeSchedule& schedule, uint64_t frame);
    int32_t mode() const;

    // Whether an operation carries anything from one frame to the next (the averages, the
    // differences): a frame held still cannot be shown through it again without moving the run.
    static bool keepsState(int32_t mode);
    // The held frame (the last processed) through `mode` again, leaving the run as it was: its
    // count, its ring and its reference. False, and nothing drawn, when no frame was processed
    // yet, or when `mode` keeps state: the core's records are the run's own and cannot be
    // copied, so only a mode that reads nothing but the frame is re-run, and only once chosen
    // (select) for the run itself. A core that can be copied at the freeze lifts both limits.
    bool rerun(int32_t mode);

    // The surface's picture, upright BGR, width x height.
    void compose(cv::Mat& result) const;

private:
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> handed_;
    uint64_t processed_ = 0;
};

}  // namespace live
