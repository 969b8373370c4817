#include "source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <opencv2/imgproc.hpp>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <regex>
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

std::string avReason(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// FFmpeg says some kinds of damage only in its log: a file cut short ends like a whole one.
std::atomic<bool> LogSawEarlyEnd{false};
std::atomic<int> LogLinesShown{0};
constexpr int kLogLinesShown = 5;  // a damaged stream would say the same thing once a frame

void onFfmpegLog(void* context, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(context, level, format, args, line, sizeof line, &prefix);
    const std::string text(line);
    if (text.find("File ended prematurely") != std::string::npos ||
        text.find("partial file") != std::string::npos)
        LogSawEarlyEnd = true;
    if (level <= AV_LOG_ERROR && LogLinesShown.fetch_add(1) < kLogLinesShown)
        std::fprintf(stderr, "pixelwell-live: ffmpeg: %s%s", line,
                     text.empty() || text.back() != '\n' ? "\n" : "");
}

}  // namespace

// Files, pipes and streams, decoded by FFmpeg's libraries: each frame comes with the size it
// was decoded at, damage and connection failures come with their reasons, and every wait in
// the network and the demuxer can be cut short through the interrupt callback.
class FfmpegInput {
public:
    ~FfmpegInput() {
        sws_freeContext(scaler_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&decoder_);
        avformat_close_input(&format_);
    }

    bool open(const std::string& url, const std::atomic<bool>& stop, bool isFile, std::string& error) {
        stop_ = &stop;
        isFile_ = isFile;
        LogSawEarlyEnd = false;
        LogLinesShown = 0;
        av_log_set_callback(onFfmpegLog);
        format_ = avformat_alloc_context();
        if (!format_) return fail("out of memory", error);
        format_->interrupt_callback.callback = interrupted;
        format_->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stop_);
        int code = avformat_open_input(&format_, url.c_str(), nullptr, nullptr);
        if (code < 0) return fail(openReason(code), error);
        code = avformat_find_stream_info(format_, nullptr);
        if (code < 0) return fail(openReason(code), error);
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec)
            return fail(stream_ == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video" : "it holds no video",
                        error);
        AVStream* stream = format_->streams[stream_];
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_ || avcodec_parameters_to_context(decoder_, stream->codecpar) < 0)
            return fail("out of memory", error);
        code = avcodec_open2(decoder_, codec, nullptr);
        if (code < 0) return fail("cannot decode its video: " + avReason(code), error);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) return fail("out of memory", error);
        const AVRational rate = av_guess_frame_rate(format_, stream, nullptr);
        rate_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
        return true;
    }

    double rate() const { return rate_; }

    ReadResult read(cv::Mat& bgr, std::string& why) {
        for (;;) {
            const int received = avcodec_receive_frame(decoder_, frame_);
            if (received == 0) {
                if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) ++damagedFrames_;
                convert(bgr);
                av_frame_unref(frame_);
                return ReadResult::Frame;
            }
            if (received == AVERROR_EOF) return ended(why);
            if (received != AVERROR(EAGAIN)) noteDecodeError(received);
            if (draining_) return ended(why);

            const int code = av_read_frame(format_, packet_);
            if (code < 0) {
                if (*stop_) return ReadResult::Stopped;
                if (code != AVERROR_EOF) readError_ = code;
                // Frames still inside the decoder were delivered by the source: hand them on.
                draining_ = true;
                avcodec_send_packet(decoder_, nullptr);
                continue;
            }
            if (packet_->stream_index == stream_) {
                if (packet_->flags & AV_PKT_FLAG_CORRUPT) ++damagedPackets_;
                const int sent = avcodec_send_packet(decoder_, packet_);
                if (sent < 0 && sent != AVERROR(EAGAIN)) noteDecodeError(sent);
            }
            av_packet_unref(packet_);
        }
    }

private:
    static int interrupted(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load() ? 1 : 0; }

    bool fail(const std::string& reason, std::string& error) {
        error = reason;
        return false;
    }

    std::string openReason(int code) const {
        if (*stop_) return "stopped while opening";
        if (code == AVERROR_INVALIDDATA) return "not a video that FFmpeg can read";
        return avReason(code);
    }

    void noteDecodeError(int code) {
        if (decodeErrors_++ == 0) firstDecodeError_ = avReason(code);
    }

    ReadResult ended(std::string& why) {
        if (*stop_) return ReadResult::Stopped;
        if (!isFile_) {
            why = readError_ ? avReason(readError_) : std::string();
            return ReadResult::Lost;
        }
        // A stream that starts mid-picture decodes with errors as a matter of course; a file
        // that does is damaged.
        if (readError_) {
            why = "reading stopped at an error (" + avReason(readError_) + ")";
        } else if (LogSawEarlyEnd) {
            why = "the file ended early (it was cut short)";
        } else if (damagedPackets_ > 0) {
            why = std::to_string(damagedPackets_) + " packet" + (damagedPackets_ > 1 ? "s" : "") +
                  " damaged or cut short";
        } else if (decodeErrors_ > 0) {
            why = std::to_string(decodeErrors_) + " decode error" + (decodeErrors_ > 1 ? "s" : "") + " (" +
                  firstDecodeError_ + ")";
        } else if (damagedFrames_ > 0) {
            why = std::to_string(damagedFrames_) + " damaged frame" + (damagedFrames_ > 1 ? "s" : "");
        } else {
            return ReadResult::End;
        }
        return ReadResult::Damaged;
    }

    // A fresh picture per frame: the caller hands it to another thread.
    void convert(cv::Mat& bgr) {
        const int width = frame_->width, height = frame_->height;
        scaler_ = sws_getCachedContext(scaler_, width, height, static_cast<AVPixelFormat>(frame_->format), width,
                                       height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        bgr = cv::Mat(height, width, CV_8UC3);
        uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
        if (scaler_) sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides);
    }

    const std::atomic<bool>* stop_ = nullptr;
    bool isFile_ = true;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    int stream_ = -1;
    double rate_ = 0;
    bool draining_ = false;
    int readError_ = 0;
    uint64_t decodeErrors_ = 0, damagedPackets_ = 0, damagedFrames_ = 0;
    std::string firstDecodeError_;
};

FrameSource::FrameSource() = default;
FrameSource::~FrameSource() = default;

bool isSequencePattern(const std::string& path) {
    static const std::regex pattern("%0?[0-9]*d");
    return path.find("://") == std::string::npos && std::regex_search(path, pattern);
}

bool FrameSource::openCamera(int index, int width, int height) {
    kind_ = SourceKind::Camera;
    if (!capture_.open(index)) return false;
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, width);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
    const double fps = capture_.get(cv::CAP_PROP_FPS);
    deliveryFps_ = fps > 0 && fps < 1000 ? fps : 0;
    description_ = "camera " + std::to_string(index) + " (" + backendName(capture_) + ")";
    return true;
}

bool FrameSource::openInput(const std::string& path, const std::atomic<bool>& stop, std::string& error) {
    const size_t slash = path.find_last_of('/');
    const std::string shortName = slash != std::string::npos ? path.substr(slash + 1) : path;
    if (isSequencePattern(path)) {
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
        const double fps = capture_.get(cv::CAP_PROP_FPS);
        nominalFps_ = deliveryFps_ = fps > 0 && fps < 1000 ? fps : 0;
        description_ = shortName + " (image sequence)";
        return true;
    }
    std::error_code failure;
    const auto status = std::filesystem::status(path, failure);
    const bool local = !failure;
    if (!local && path.find("://") == std::string::npos) {
        error = failure.message();
        return false;
    }
    if (local && std::filesystem::is_directory(status)) {
        error = "is a directory";
        return false;
    }
    // A regular file ends; a stream, a pipe or a device that stops has been lost.
    kind_ = local && std::filesystem::is_regular_file(status) ? SourceKind::File : SourceKind::Stream;
    ffmpeg_ = std::make_unique<FfmpegInput>();
    if (!ffmpeg_->open(path, stop, kind_ == SourceKind::File, error)) {
        ffmpeg_.reset();
        return false;
    }
    deliveryFps_ = ffmpeg_->rate() < 1000 ? ffmpeg_->rate() : 0;
    nominalFps_ = kind_ == SourceKind::File ? deliveryFps_ : 0;
    description_ = (kind_ == SourceKind::File ? shortName : path) + " (FFmpeg)";
    return true;
}

void FrameSource::openTest(int width, int height) {
    kind_ = SourceKind::Test;
    testWidth_ = width;
    testHeight_ = height;
    testBottomUp_.assign(static_cast<size_t>(width) * height * 3, 0);
    nominalFps_ = deliveryFps_ = kTestFps;
    description_ = "test picture";
}

ReadResult FrameSource::read(cv::Mat& bgr, std::string& why) {
    if (kind_ == SourceKind::Test) {
        simcam::renderPicture(simcam::Picture::MovingShapes, testWidth_, testHeight_, testFrame_++,
                              testBottomUp_.data());
        const cv::Mat bottomUp(testHeight_, testWidth_, CV_8UC3, testBottomUp_.data());
        cv::flip(bottomUp, bgr, 0);
        return ReadResult::Frame;
    }
    if (ffmpeg_) return ffmpeg_->read(bgr, why);
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

}  // namespace live
