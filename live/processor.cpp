#include "processor.h"

#include <opencv2/core.hpp>

#include "dispatcher.h"
#include "frame_store.h"

namespace live {

namespace {

using namespace pixelwell;

alignas(64) uint8_t Surface[kSurfaceBytes];

}  // namespace

Processor::Processor() {
    DisplaySurface = Surface;
}

void Processor::setSize(int width, int height) {
    width_ = width;
    height_ = height;
    FrameGeometry = {width, height};
    handed_.assign(static_cast<size_t>(width) * height * 3, 0);
}

bool Processor::process(const cv::Mat& frame) {
    cv::Mat bottomUp(height_, width_, CV_8UC3, handed_.data());
    cv::flip(frame, bottomUp, 0);
    ++processed_;
    return processFrame(handed_.data(), static_cast<int32_t>(handed_.size()));
}

void Processor::select(int32_t mode) {
    selectProcessingMode(mode);
}

bool Processor::applySchedule(const ModeSchedule& schedule, uint64_t frame) {
    applyModeSwitches(schedule, frame);
    return schedule.count(frame) > 0;
}

int32_t Processor::mode() const {
    return ProcessingMode;
}

bool Processor::keepsState(int32_t mode) {
    return mode == kModeAverage2 || mode == kModeAverage4 || mode == kModeAverage8 || mode == kModeFrameDiff ||
           mode == kModeSimpleDiff || mode == kModeDiff;
}

bool Processor::rerun(int32_t mode) {
    if (processed_ == 0 || mode != ProcessingMode || keepsState(mode) || !modeSelectsOperation(mode)) return false;
    // The held frame is the ring's newest: handed over again under its own count, it goes into
    // its own slot with the same bytes, and the operation reads nothing else of the run.
    const uint32_t counter = FrameCounter;
    --FrameCounter;
    const bool drawn = processFrame(handed_.data(), static_cast<int32_t>(handed_.size()));
    FrameCounter = counter;
    return drawn;
}

void Processor::compose(cv::Mat& result) const {
    result.create(height_, width_, CV_8UC3);
    for (int r = 0; r < height_; ++r) {
        const uint8_t* from = surfaceRow(height_ - 1 - r, height_);
        uint8_t* to = result.ptr<uint8_t>(r);
        for (int j = 0; j < width_; ++j, from += 4, to += 3) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
}

}  // namespace live
