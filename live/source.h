// Where the live viewer's frames come from: a camera or an image-sequence pattern through
// OpenCV's videoio, a file, pipe or stream through FFmpeg's own libraries, or the simulated
// camera's moving picture.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace live {

enum class SourceKind { Camera, File, Stream, Test };

enum class ReadResult {
    Frame,    // a frame, 8-bit BGR, rows top row first, at the size it was decoded
    End,      // a file came to its end, whole
    Damaged,  // a file ended early or could not be decoded (reason given)
    Lost,     // a camera, stream, pipe or device stopped delivering (reason given when known)
    Stopped,  // the stop flag was raised while waiting
};

class FfmpegInput;

class FrameSource {
public:
    FrameSource();
    ~FrameSource();

    // A camera by index, asked for width x height. False when none answers.
    bool openCamera(int index, int width, int height);
    // A file, URL, pipe, device path or image-sequence pattern. False (reason in error) when
    // it cannot be read. May wait (a pipe with no writer, a stream with no sender) until
    // `stop` is raised.
    bool openInput(const std::string& path, const std::atomic<bool>& stop, std::string& error);
    // The built-in moving test picture at width x height.
    void openTest(int width, int height);

    ReadResult read(cv::Mat& bgr, std::string& why);

    SourceKind kind() const { return kind_; }
    // "camera 0 (V4L2)", "clip.mp4 (FFmpeg)", "test picture"
    const std::string& description() const { return description_; }
    // The source's own frame rate where it has one (files, the test picture), else 0: the
    // pace a file is played at.
    double nominalFps() const { return nominalFps_; }
    // The rate a source says it delivers at, streams included, else 0: how long a pause
    // between frames is still ordinary.
    double deliveryFps() const { return deliveryFps_; }

private:
    SourceKind kind_ = SourceKind::Test;
    std::string description_;
    double nominalFps_ = 0, deliveryFps_ = 0;
    cv::VideoCapture capture_;
    std::unique_ptr<FfmpegInput> ffmpeg_;
    int testWidth_ = 0, testHeight_ = 0;
    uint32_t testFrame_ = 0;
    std::vector<uint8_t> testBottomUp_;
};

// Whether `path` names an image sequence ("shot_%03d.png") rather than one file.
bool isSequencePattern(const std::string& path);

}  // namespace live
