#include "processor.h"

#include <opencv2/core.hpp>

#include "dispatcher.h"
#include "frames.h"

namespace live {

using namespace pixelwell;

Processor::Processor() : core_({kMaxSide, kMaxSide}) {}

void Processor::setSize(int width, int height) {
    width_ = width;
    height_ = height;
    setFrameGeometry(core_, width, height);
    handed_.assign(static_cast<size_t>(width) * height * 3, 0);
    rerun_.reset();
}

bool Processor::process(const cv::Mat& frame) {
    cv::Mat bottomUp(height_, width_, CV_8UC3, handed_.data());
    cv::flip(frame, bottomUp, 0);
    ++processed_;
    rerun_.reset();
    return processFrame(core_, handed_.data(), static_cast<int32_t>(handed_.size()));
}

void Processor::select(int32_t mode) {
    selectProcessingMode(core_, mode);
}

void Processor::selectKernel() { selectKernelMode(core_); }

bool Processor::setKernel(const ConvolutionKernel& kernel) { return pixelwell::setKernel(core_, kernel); }

bool Processor::kernelMode() const { return kernelModeChosen(core_); }

bool Processor::applySchedule(const ModeSchedule& schedule, uint64_t frame) {
    applyModeSwitches(core_, schedule, frame);
    return schedule.count(frame) > 0;
}

int32_t Processor::mode() const {
    return core_.ProcessingMode;
}

bool Processor::rerun(int32_t mode) {
    if (processed_ == 0 || (mode != kModeKernel && !modeSelectsOperation(mode))) return false;
    if (rerun_) {
        *rerun_ = core_;  // the copy's buffers are reused
    } else {
        rerun_.emplace(core_);
    }
    return reprocessLastFrame(*rerun_, mode, handed_.data(), static_cast<int32_t>(handed_.size()));
}

void Processor::compose(cv::Mat& result) const {
    result.create(height_, width_, CV_8UC3);
    surfaceRegionBgr(rerun_ ? *rerun_ : core_, width_, height_, result.data, static_cast<ptrdiff_t>(result.step));
}

}  // namespace live
