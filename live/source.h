// Where the live viewer's frames come from: a camera, a video file or stream through
// OpenCV's videoio, or the simulated camera's moving picture.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace live {

enum class SourceKind { Camera, File, Stream, Test };

enum class ReadResult {
    Frame,  // a frame, 8-bit BGR, rows top row first
    End,    // a file came to its end
    Lost,   // a camera, stream, pipe or device stopped delivering
};

class FrameSource {
public:
    // A camera by index, asked for width x height. False when none answers.
    bool openCamera(int index, int width, int height);
    // A file, URL, pipe or device path. False (reason in error) when it cannot be read.
    bool openInput(const std::string& path, std::string& error);
    // The built-in moving test picture at width x height.
    void openTest(int width, int height);

    ReadResult read(cv::Mat& bgr);

    SourceKind kind() const { return kind_; }
    // "camera 0 (V4L2)", "clip.mp4 (FFMPEG)", "test picture"
    const std::string& description() const { return description_; }
    // The source's own frame rate where it has one (files, the test picture), else 0.
    double nominalFps() const { return nominalFps_; }

private:
    SourceKind kind_ = SourceKind::Test;
    std::string description_;
    double nominalFps_ = 0;
    cv::VideoCapture capture_;
    int testWidth_ = 0, testHeight_ = 0;
    uint32_t testFrame_ = 0;
    std::vector<uint8_t> testBottomUp_;
};

}  // namespace live
