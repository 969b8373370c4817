#include "source.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <system_error>
#include <vector>

#include "test_picture.h"

namespace live {

namespace {

constexpr double kNoStamp = std::numeric_limits<double>::quiet_NaN();
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

std::string shortNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash != std::string::npos ? path.substr(slash + 1) : path;
}

// A camera, or an image sequence, through OpenCV's videoio.
class OpenCvSource : public FrameSource {
public:
    bool openCamera(int index, int width, int height) {
        kind_ = SourceKind::Camera;
        if (!capture_.open(index)) return false;
        capture_.set(cv::CAP_PROP_FRAME_WIDTH, width);
        capture_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
        const double fps = capture_.get(cv::CAP_PROP_FPS);
        deliveryFps_ = fps > 0 && fps < 1000 ? fps : 0;
        description_ = "camera " + std::to_string(index) + " (" + backendName(capture_) + ")";
        return true;
    }

    bool openSequence(const std::string& path, std::string& error) {
        // OpenCV numbers from 0 to 4 for the first picture, as its image-sequence reader does.
        kind_ = SourceKind::File;
        bool opened = false;
        try {
            opened = capture_.open(path, cv::CAP_IMAGES);
        } catch (const cv::Exception&) {
            opened = false;
        }
        if (!opened) {
            error = "no picture of that sequence can be read (the first must be numbered 0 to 4)";
            return false;
        }
        // The reader says 1 fps for every sequence: a sequence has no rate of its own.
        nominalFps_ = deliveryFps_ = kSequenceFps;
        description_ = shortNameOf(path) + " (image sequence)";
        return true;
    }

    ReadResult read(cv::Mat& bgr, double& stamp, std::string& why) override {
        stamp = kNoStamp;
        cv::Mat frame;
        bool got = false;
        try {
            got = capture_.read(frame);
        } catch (const cv::Exception& e) {
            why = e.what();
            got = false;
        }
        if (!got || frame.empty()) return kind_ == SourceKind::File ? ReadResult::End : ReadResult::Lost;
        toBgr(frame, bgr);
        bgr = bgr.clone();  // OpenCV reuses its buffer for the next frame; this one goes to another thread
        return ReadResult::Frame;
    }

private:
    cv::VideoCapture capture_;
};

// One picture, delivered once; the viewer holds it until it is closed.
class StillSource : public FrameSource {
public:
    bool open(const std::string& path, std::string& error) {
        kind_ = SourceKind::Still;
        try {
            // Turned as its EXIF orientation says, as picture viewers show it.
            picture_ = cv::imread(path, cv::IMREAD_COLOR);
        } catch (const cv::Exception& e) {
            error = e.err;
            return false;
        }
        if (picture_.empty()) {
            error = "not a picture that can be read";
            return false;
        }
        description_ = shortNameOf(path) + " (still picture)";
        return true;
    }

    ReadResult read(cv::Mat& bgr, double& stamp, std::string&) override {
        stamp = kNoStamp;
        if (delivered_) return ReadResult::End;
        delivered_ = true;
        bgr = picture_;
        return ReadResult::Frame;
    }

private:
    cv::Mat picture_;
    bool delivered_ = false;
};

class TestPictureSource : public FrameSource {
public:
    TestPictureSource(int width, int height) : width_(width), height_(height) {
        kind_ = SourceKind::Test;
        bottomUp_.assign(static_cast<size_t>(width) * height * 3, 0);
        nominalFps_ = deliveryFps_ = kTestFps;
        description_ = "test picture";
    }

    ReadResult read(cv::Mat& bgr, double& stamp, std::string&) override {
        stamp = kNoStamp;
        simcam::renderPicture(simcam::Picture::MovingShapes, width_, height_, frame_++, bottomUp_.data());
        const cv::Mat bottomUp(height_, width_, CV_8UC3, bottomUp_.data());
        cv::flip(bottomUp, bgr, 0);
        return ReadResult::Frame;
    }

private:
    int width_, height_;
    uint32_t frame_ = 0;
    std::vector<uint8_t> bottomUp_;
};

}  // namespace

bool isSequencePattern(const std::string& path) {
    static const std::regex pattern("%0?[0-9]*d");
    std::error_code failure;
    if (std::filesystem::exists(path, failure)) return false;
    return path.find("://") == std::string::npos && std::regex_search(path, pattern);
}

bool isStillPicture(const std::string& path) {
    // By its name, as pixelwell-filter takes pictures, and by its first bytes: a Motion-JPEG
    // stream starts as a JPEG picture does.
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension != ".png" && extension != ".jpg" && extension != ".jpeg" && extension != ".bmp" &&
        extension != ".webp" && extension != ".tif" && extension != ".tiff")
        return false;
    std::ifstream file(path, std::ios::binary);
    char head[12] = {};
    file.read(head, sizeof head);
    const std::string bytes(head, static_cast<size_t>(file.gcount()));
    auto at = [&](size_t offset, const char* text, size_t size) {
        return bytes.size() >= offset + size && bytes.compare(offset, size, text, size) == 0;
    };
    return at(0, "\x89PNG\r\n\x1a\n", 8) || at(0, "\xff\xd8\xff", 3) || at(0, "BM", 2) ||
           (at(0, "RIFF", 4) && at(8, "WEBP", 4)) || at(0, "II*\0", 4) || at(0, "MM\0*", 4);
}

std::unique_ptr<FrameSource> openCamera(int index, int width, int height) {
    auto source = std::make_unique<OpenCvSource>();
    if (!source->openCamera(index, width, height)) return nullptr;
    return source;
}

std::unique_ptr<FrameSource> openTestPicture(int width, int height) {
    return std::make_unique<TestPictureSource>(width, height);
}

std::unique_ptr<FrameSource> openInput(const std::string& path, const std::atomic<bool>& stop, std::string& error) {
    if (isSequencePattern(path)) {
        auto source = std::make_unique<OpenCvSource>();
        if (!source->openSequence(path, error)) return nullptr;
        return source;
    }
    std::error_code failure;
    const auto status = std::filesystem::status(path, failure);
    const bool local = !failure;
    if (!local && path.find("://") == std::string::npos) {
        error = failure.message();
        return nullptr;
    }
    if (local && std::filesystem::is_directory(status)) {
        error = "is a directory";
        return nullptr;
    }
    const bool regular = local && std::filesystem::is_regular_file(status);
    if (regular && isStillPicture(path)) {
        auto source = std::make_unique<StillSource>();
        if (!source->open(path, error)) return nullptr;
        return source;
    }
    // A regular file ends; a stream, a pipe or a device that stops has been lost.
    return openFfmpeg(path, regular, shortNameOf(path), stop, error);
}

}  // namespace live
