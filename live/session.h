// One run of the viewer: the rooms wired together. The source's frames go, paced and watched
// for stalls, through the processor into both windows and the recording; keys and signals are
// taken in every state.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <set>
#include <string>

#include "capture.h"
#include "clock.h"
#include "display_probe.h"
#include "schedule.h"
#include "options.h"
#include "processor.h"
#include "recorder.h"
#include "reproduce.h"
#include "windows.h"

namespace live {

// Set by SIGINT, SIGTERM and SIGHUP; the window thread looks at it at least every 20 ms.
extern std::atomic<int> StopSignal;

class Session {
public:
    explicit Session(const Options& options) : options_(options) {}
    int run();
    // The capture thread is still inside the source (a pipe's open, a driver): the process must
    // end without waiting for it.
    bool captureStuck() const { return captureStuck_; }

private:
    using Clock = std::chrono::steady_clock;

    // Per-stage time totals, printed by --stats.
    struct Stage {
        const char* name;
        double seconds = 0;
        uint64_t count = 0;
    };

    int start();
    int loop();
    int finish(int code);
    int stopped(int signal);

    // session_frames.cpp: what one frame, one key, one choice does.
    int takeDelivery();
    int watchSilence();
    void onOpened();
    void onNewSize(int width, int height);
    int showFrame(const cv::Mat& frame);
    void choose(int position, const char* how);
    void chooseKernel();
    void showChoice();
    void handleKeys(const std::vector<int>& keys);
    void handleKey(int key);
    void poll(int delay);
    bool save(uint64_t index);
    void updateTitles(bool force);
    void noteSelections();
    double now() const { return std::chrono::duration<double>(Clock::now() - epoch_).count(); }

    const Options& options_;
    DisplayProbe probe_;
    Windows windows_;
    Capture capture_;
    Processor processor_;
    std::unique_ptr<Recorder> recorder_;
    PaceClock pace_{0, false};
    StallClock stall_;
    pixelwell::ModeSchedule schedule_;
    std::set<uint64_t> saveAt_;
    pixelwell::Selections selections_;
    std::string filter_;
    int askedWidth_ = 640, askedHeight_ = 480;

    const FrameSource* source_ = nullptr;
    bool opened_ = false;
    bool captureStuck_ = false;
    Clock::time_point epoch_ = Clock::now();
    double openedAt_ = 0;
    bool saidWaiting_ = false;
    double stalledFor_ = 0;
    double lastDue_ = 0;

    // The frame taken from the source and waiting to be due.
    bool pending_ = false;
    cv::Mat pendingFrame_;
    double pendingStamp_ = 0;
    double pendingDue_ = 0;

    int sourceWidth_ = 0, sourceHeight_ = 0;  // as the source gives them
    int width_ = 0, height_ = 0;              // as processed: within 1280x1280
    cv::Mat preview_, result_;
    uint64_t frames_ = 0;  // frames processed: what --mode @K, --save-at and --frames count
    bool frozen_ = false, step_ = false, still_ = false;
    bool quit_ = false;
    bool picturesFailed_ = false;
    bool recordCut_ = false;
    bool saidRecordingWaits_ = false;
    std::string resultNote_;

    Stage captureStage_{"capture (thread)"}, processing_{"processing"}, display_{"display"},
        recording_{"recording"}, waiting_{"waiting (pacing)"};
    double rateStart_ = 0, rateProcessing_ = 0, fpsShown_ = 0, processingShown_ = 0;
    uint64_t rateFrames_ = 0, rateProcessed_ = 0;
};

}  // namespace live
