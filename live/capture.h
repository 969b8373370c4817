// The capture thread: opens a file or stream where that may wait, then reads frames until the
// source ends or the viewer stops it, and hands them over through a mailbox of a few frames.
// The window thread never waits on the source.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "source.h"

namespace live {

struct Delivery {
    enum class Kind { Opened, Frame, Ended, CannotOpen } kind = Kind::Frame;
    cv::Mat frame;
    double stamp = 0;  // the frame's time on the source's clock (NaN: none)
    ReadResult result = ReadResult::Frame;
    std::string why;
};

class Capture {
public:
    ~Capture();

    // Starts reading a source that is open already (a camera, the test picture).
    void start(std::unique_ptr<FrameSource> source);
    // Starts opening `input` on the thread; an Opened or CannotOpen delivery says how it went.
    void startOpening(const std::string& input);

    // The next delivery, waiting up to `wait`; false when none came.
    bool take(Delivery& delivery, std::chrono::milliseconds wait);
    // The source, once opened (read only on the window thread after the Opened delivery).
    const FrameSource* source() const { return source_.get(); }

    // Ends the thread: true when it ended within `wait`; false when it sits in a read only the
    // source can end (a camera driver, a pipe's open), and must be left to the process's end.
    bool stop(std::chrono::milliseconds wait);
    std::chrono::nanoseconds busy() const { return std::chrono::nanoseconds(busy_.load()); }
    uint64_t reads() const { return reads_.load(); }

private:
    void run(std::string input);
    bool put(Delivery delivery);

    static constexpr size_t kCapacity = 3;
    std::unique_ptr<FrameSource> source_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable room_, arrived_;
    std::deque<Delivery> queue_;
    bool closed_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<int64_t> busy_{0};
    std::atomic<uint64_t> reads_{0};
    bool stuck_ = false;
};

}  // namespace live
