#include "source.h"

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <system_error>

#include "test_picture.h"

namespace live {

namespace {

// What the simulated camera delivers: one frame every 33 ms.
constexpr double kTestFps = 30.0;

std::string backendName(const cv::VideoCapture& capture) {
    try {
        return capture.getBackendName();
    } catch (const cv::Exception&) {
        return "?";
    }
}

// Converts whatever the backend delivers to 8-bit BGR.
void toBgr(const cv::Mat& frame, cv::Mat& bgr) {
    if (frame.type() == CV_8UC3) {
        bgr = frame;
        return;
    }
    cv::Mat bytes = frame;
    if (frame.depth() != CV_8U) frame.convertTo(bytes, CV_8U, frame.depth() == CV_16U ? 1.0 / 257 : 1.0);
    if (bytes.channels() == 1)
        cv::cvtColor(bytes, bgr, cv::COLOR_GRAY2BGR);
    else if (bytes.channels() == 4)
        cv::cvtColor(bytes, bgr, cv::COLOR_BGRA2BGR);
    else
        bgr = bytes;
}

}  // namespace

bool FrameSource::openCamera(int index, int width, int height) {
    kind_ = SourceKind::Camera;
    if (!capture_.open(index)) return false;
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, width);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
    description_ = "camera " + std::to_string(index) + " (" + backendName(capture_) + ")";
    return true;
}

bool FrameSource::openInput(const std::string& path, std::string& error) {
    std::error_code failure;
    const auto status = std::filesystem::status(path, failure);
    const bool local = !failure;
    if (!local && path.find("://") == std::string::npos) {
        error = failure.message();
        return false;
    }
    // A regular file ends; a stream, a pipe or a device that stops has been lost.
    kind_ = local && std::filesystem::is_regular_file(status) ? SourceKind::File : SourceKind::Stream;
    if (local && std::filesystem::is_directory(status)) {
        error = "is a directory";
        return false;
    }
    if (!capture_.open(path)) {
        error = "not a video that OpenCV can read";
        return false;
    }
    const double fps = capture_.get(cv::CAP_PROP_FPS);
    nominalFps_ = kind_ == SourceKind::File && fps > 0 && fps < 1000 ? fps : 0;
    const size_t slash = path.find_last_of('/');
    description_ = (kind_ == SourceKind::File && slash != std::string::npos ? path.substr(slash + 1) : path) +
                   " (" + backendName(capture_) + ")";
    return true;
}

void FrameSource::openTest(int width, int height) {
    kind_ = SourceKind::Test;
    testWidth_ = width;
    testHeight_ = height;
    testBottomUp_.assign(static_cast<size_t>(width) * height * 3, 0);
    nominalFps_ = kTestFps;
    description_ = "test picture";
}

ReadResult FrameSource::read(cv::Mat& bgr) {
    if (kind_ == SourceKind::Test) {
        simcam::renderPicture(simcam::Picture::MovingShapes, testWidth_, testHeight_, testFrame_++,
                              testBottomUp_.data());
        const cv::Mat bottomUp(testHeight_, testWidth_, CV_8UC3, testBottomUp_.data());
        cv::flip(bottomUp, bgr, 0);
        return ReadResult::Frame;
    }
    cv::Mat frame;
    bool got = false;
    try {
        got = capture_.read(frame);
    } catch (const cv::Exception&) {
        got = false;
    }
    if (!got || frame.empty()) return kind_ == SourceKind::File ? ReadResult::End : ReadResult::Lost;
    toBgr(frame, bgr);
    return ReadResult::Frame;
}

}  // namespace live
