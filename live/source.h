// Where the live viewer's frames come from, behind one interface: a camera or an image
// sequence through OpenCV's videoio, a file, pipe or stream through FFmpeg's own libraries, a
// still picture, or the simulated camera's moving picture. openSource() picks the kind.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <memory>
#include <string>

namespace live {

enum class SourceKind { Camera, File, Stream, Still, Test };

enum class ReadResult {
    Frame,    // a frame, 8-bit BGR, rows top row first, upright, at the size it was decoded
    End,      // a file came to its end, whole
    Damaged,  // a file ended early or could not be decoded (reason given)
    Lost,     // a camera, stream, pipe or device stopped delivering (reason given when known)
    Stopped,  // the stop flag was raised while waiting
};

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // The next frame, and its time on the source's own clock in seconds (NaN when it has none).
    virtual ReadResult read(cv::Mat& bgr, double& stamp, std::string& why) = 0;

    SourceKind kind() const { return kind_; }
    // "camera 0 (V4L2)", "clip.mp4 (FFmpeg)", "test picture"
    const std::string& description() const { return description_; }
    // The pace a file is played at when its frames carry no timestamps (files, sequences, the
    // test picture), else 0.
    double nominalFps() const { return nominalFps_; }
    // The rate a source says it delivers at, streams included, else 0.
    double deliveryFps() const { return deliveryFps_; }
    // Frames carry timestamps that say when each is to be shown (a variable-rate file).
    bool timed() const { return timed_; }
    // A note for the first line (a rotation applied), or empty.
    const std::string& note() const { return note_; }

protected:
    SourceKind kind_ = SourceKind::Test;
    std::string description_;
    double nominalFps_ = 0, deliveryFps_ = 0;
    bool timed_ = false;
    std::string note_;
};

// A camera by index, asked for width x height; null when none answers.
std::unique_ptr<FrameSource> openCamera(int index, int width, int height);
// The built-in moving test picture at width x height.
std::unique_ptr<FrameSource> openTestPicture(int width, int height);
// A file, URL, pipe, device path, still picture or image-sequence pattern; null with the reason
// in `error` when it cannot be read. May wait (a pipe with no writer, a stream with no sender)
// until `stop` is raised.
std::unique_ptr<FrameSource> openInput(const std::string& path, const std::atomic<bool>& stop, std::string& error);

// A file, pipe or stream through FFmpeg (ffmpeg_source.cpp).
std::unique_ptr<FrameSource> openFfmpeg(const std::string& path, bool isFile, const std::string& shortName,
                                        const std::atomic<bool>& stop, std::string& error);

// Whether `path` names an image sequence ("shot_%03d.png") rather than one file: a file that
// exists is a file, whatever its name holds.
bool isSequencePattern(const std::string& path);
// Whether the file is a still picture (PNG, JPEG, BMP, WebP, TIFF), by its name and its first
// bytes.
bool isStillPicture(const std::string& path);

// Image sequences play at this rate unless --fps says otherwise.
constexpr double kSequenceFps = 25.0;

}  // namespace live
