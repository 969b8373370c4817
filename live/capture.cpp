#include "capture.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

namespace live {

using Clock = std::chrono::steady_clock;

Capture::~Capture() {
    if (thread_.joinable()) {
        if (!stop(std::chrono::milliseconds(250)) || stuck_)
            thread_.detach();
        else
            thread_.join();
    }
}

void Capture::start(std::unique_ptr<FrameSource> source) {
    source_ = std::move(source);
    thread_ = std::thread(&Capture::run, this, std::string());
}

void Capture::startOpening(const std::string& input) {
    thread_ = std::thread(&Capture::run, this, input);
}

bool Capture::put(Delivery delivery) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return closed_ || queue_.size() < kCapacity; });
    if (closed_) return false;
    queue_.push_back(std::move(delivery));
    arrived_.notify_one();
    return true;
}

bool Capture::take(Delivery& delivery, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, wait, [&] { return !queue_.empty(); })) return false;
    delivery = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return true;
}

bool Capture::stop(std::chrono::milliseconds wait) {
    stop_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        room_.notify_all();
    }
    if (!thread_.joinable()) return true;
    const Clock::time_point start = Clock::now();
    while (!done_ && Clock::now() - start < wait) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stuck_ = !done_;
    return done_;
}

// Signals go to the window thread, which never blocks.
void Capture::run(std::string input) {
#if !defined(_WIN32)
    sigset_t signals;
    sigfillset(&signals);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#endif
    if (!input.empty()) {
        std::string error;
        std::unique_ptr<FrameSource> opened = openInput(input, stop_, error);
        if (!opened) {
            put({Delivery::Kind::CannotOpen, {}, 0, ReadResult::Lost, error});
            done_ = true;
            return;
        }
        source_ = std::move(opened);
        if (!put({Delivery::Kind::Opened, {}, 0, ReadResult::Frame, {}})) {
            done_ = true;
            return;
        }
    }
    while (!stop_) {
        Delivery delivery;
        const Clock::time_point t = Clock::now();
        delivery.result = source_->read(delivery.frame, delivery.stamp, delivery.why);
        busy_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count();
        ++reads_;
        const bool ended = delivery.result != ReadResult::Frame;
        delivery.kind = ended ? Delivery::Kind::Ended : Delivery::Kind::Frame;
        if (!put(std::move(delivery)) || ended) break;
    }
    done_ = true;
}

}  // namespace live
