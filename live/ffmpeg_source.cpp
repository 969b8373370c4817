// Files, pipes and streams through FFmpeg's own libraries.
#include "source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <string>

namespace live {

namespace {

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


// Files, pipes and streams, decoded by FFmpeg's libraries: each frame comes with the size it
// was decoded at, damage and connection failures come with their reasons, and every wait in
// the network and the demuxer can be cut short through the interrupt callback.
class FfmpegSource : public FrameSource {
public:
    ~FfmpegSource() override {
        sws_freeContext(scaler_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&decoder_);
        avformat_close_input(&format_);
    }

    bool open(const std::string& url, const std::atomic<bool>& stop, bool isFile, const std::string& shortName,
              std::string& error) {
        stop_ = &stop;
        isFile_ = isFile;
        kind_ = isFile ? SourceKind::File : SourceKind::Stream;
        description_ = (isFile ? shortName : url) + " (FFmpeg)";
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
        const double fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
        deliveryFps_ = fps < 1000 ? fps : 0;
        nominalFps_ = isFile ? deliveryFps_ : 0;
        // A file is played as its timestamps say (a variable-rate file's gaps included).
        timed_ = isFile;
        timeBase_ = av_q2d(stream->time_base);
        readRotation(stream);
        return true;
    }

    ReadResult read(cv::Mat& bgr, double& stamp, std::string& why) override {
        for (;;) {
            const int received = avcodec_receive_frame(decoder_, frame_);
            if (received == 0) {
                if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) ++damagedFrames_;
                const int64_t pts = frame_->best_effort_timestamp;
                stamp = pts == AV_NOPTS_VALUE ? std::numeric_limits<double>::quiet_NaN() : pts * timeBase_;
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
    // A phone's video says how it is to be turned (its display matrix); shown and recorded
    // turned so, as ffmpeg and players show it.
    void readRotation(AVStream* stream) {
        size_t size = 0;
        const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (!matrix || size < 9 * sizeof(int32_t)) return;
        const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        if (std::isnan(counterClockwise)) return;
        int clockwise = static_cast<int>(std::lround(-counterClockwise / 90)) * 90 % 360;
        if (clockwise < 0) clockwise += 360;
        rotation_ = clockwise;
        if (rotation_ != 0)
            note_ = std::string(rotation_ == 90    ? "turned a quarter clockwise"
                                : rotation_ == 180 ? "turned upside down"
                                                   : "turned a quarter counterclockwise") +
                    ", as its rotation says";
    }

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
        if (rotation_ != 0) {
            cv::Mat turned;
            cv::rotate(bgr, turned, rotation_ == 90    ? cv::ROTATE_90_CLOCKWISE
                                    : rotation_ == 180 ? cv::ROTATE_180
                                                       : cv::ROTATE_90_COUNTERCLOCKWISE);
            bgr = turned;
        }
    }

    const std::atomic<bool>* stop_ = nullptr;
    bool isFile_ = true;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    int stream_ = -1;
    double timeBase_ = 0;
    int rotation_ = 0;  // degrees clockwise
    bool draining_ = false;
    int readError_ = 0;
    uint64_t decodeErrors_ = 0, damagedPackets_ = 0, damagedFrames_ = 0;
    std::string firstDecodeError_;
};

}  // namespace

std::unique_ptr<FrameSource> openFfmpeg(const std::string& path, bool isFile, const std::string& shortName,
                                        const std::atomic<bool>& stop, std::string& error) {
    auto source = std::make_unique<FfmpegSource>();
    if (!source->open(path, stop, isFile, shortName, error)) return nullptr;
    return source;
}

}  // namespace live
