// Everything the live viewer says to the processing core, in one place: the frame size, the
// frames, the operation chosen, and a frame held still shown again through another operation.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <vector>

#include "core.h"
#include "schedule.h"

namespace live {

class Processor {
public:
    // The viewer's stream is sized as the Windows program's (1280x1280), so that a source may
    // change its size mid-run, and draws into a surface of its own.
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
    // The kernel mode, with the core's kernel; and that kernel (valid, see setKernel).
    void selectKernel();
    bool setKernel(const pixelwell::ConvolutionKernel& kernel);
    const pixelwell::ConvolutionKernel& kernel() const { return core_.Kernel; }
    bool kernelMode() const;
    // Every choice the schedule makes before frame `frame`, in order; true when any was made.
    bool applySchedule(const pixelwell::ModeSchedule& schedule, uint64_t frame);
    int32_t mode() const;

    // The held frame (the last processed) through `mode` (kModeKernel: the kernel mode), on a copy of the core as it stood when
    // that frame came: the averages and differences show what they would have shown had `mode`
    // been chosen before it, and the run itself (its count, ring and reference) does not move.
    // The result window shows the copy's picture until the next frame. False, nothing drawn,
    // when no frame was processed yet or `mode` selects no operation.
    bool rerun(int32_t mode);

    // The picture shown in the result window (the run's, or a re-run's), upright BGR.
    void compose(cv::Mat& result) const;

private:
    pixelwell::Core core_;
    std::optional<pixelwell::Core> rerun_;  // the last re-run's copy, while it is shown
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> handed_;
    uint64_t processed_ = 0;
};

}  // namespace live
