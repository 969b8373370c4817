#include "session.h"

#include <opencv2/highgui.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "kernel_syntax.h"
#include "operation_table.h"

namespace live {

std::atomic<int> StopSignal{0};

namespace {

void say(const std::string& text) {
    std::fprintf(stderr, "pixelwell-live: %s\n", text.c_str());
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
        case SIGHUP: return "SIGHUP";
#endif
        default: return "a signal";
    }
}

std::string count(uint64_t frames) {
    return std::to_string(frames) + (frames == 1 ? " frame" : " frames");
}

}  // namespace

int Session::run() {
    const int code = start();
    if (code != kExitOk) return finish(code);
    return finish(loop());
}

int Session::stopped(int signal) {
    say(std::string("stopped by ") + signalName(signal) + " after " + count(frames_));
    return 128 + signal;
}

int Session::start() {
    if (!pixelwell::parseFrameSize(options_.size, 8192, askedWidth_, askedHeight_)) {
        say("--size must be WxH (each 1 to 8192): " + options_.size);
        return kExitCannotStart;
    }
    for (const std::string& text : options_.modes) {
        std::string error;
        if (!pixelwell::addModeSwitch(text, schedule_, error)) {
            say(error);
            return kExitCannotStart;
        }
    }
    // The kernel mode's kernel (key k, --mode kernel): --kernel's, else Laplacian B's.
    pixelwell::ConvolutionKernel kernel = processor_.kernel();
    std::string error;
    if (!options_.kernel.empty() && !pixelwell::parseKernelRows(options_.kernel, kernel, error)) {
        say("bad --kernel " + options_.kernel + ": " + error);
        return kExitCannotStart;
    }
    if (!options_.divisor.empty() && !pixelwell::parseKernelDivisor(options_.divisor, kernel.divisor, error)) {
        say("bad --divisor " + options_.divisor + ": " + error);
        return kExitCannotStart;
    }
    processor_.setKernel(kernel);
    saveAt_.insert(options_.saveAt.begin(), options_.saveAt.end());
    std::error_code failure;
    if (!std::filesystem::is_directory(options_.saveDir, failure)) {
        say("--save-dir " + options_.saveDir + ": " + (failure ? failure.message() : "not a directory"));
        return kExitCannotStart;
    }
    // A missing file is said before any window opens; what a file holds is learnt on opening.
    const bool named = !options_.input.empty() && options_.input != "test";
    if (named && !isSequencePattern(options_.input) && options_.input.find("://") == std::string::npos) {
        const auto status = std::filesystem::status(options_.input, failure);
        if (failure || std::filesystem::is_directory(status)) {
            say("cannot open " + options_.input + ": " + (failure ? failure.message() : "is a directory"));
            return kExitCannotStart;
        }
    }
    if (!options_.record.empty()) {
        std::string why;
        if (!Recorder::checkTarget(options_.record, options_.input, options_.overwrite, why)) {
            say(why);
            return kExitCannotStart;
        }
    }
    for (const std::string& note : pixelwell::scheduleNotes(schedule_)) say(note);

    std::string why;
    switch (probe_.connect(StopSignal, why)) {
        case DisplayProbe::Result::Connected: break;
        case DisplayProbe::Result::Stopped: return stopped(StopSignal.load());
        case DisplayProbe::Result::NoDisplay:
            say(why + ": pixelwell-live needs a window; to process frames without one, use pixelwell-filter (see " +
                manualHint() + ")");
            return kExitCannotStart;
    }
    if (const int signal = StopSignal.load()) return stopped(signal);

    std::unique_ptr<FrameSource> source;
    if (options_.input == "test") {
        source = openTestPicture(askedWidth_, askedHeight_);
    } else if (options_.input.empty()) {
        source = openCamera(options_.camera, askedWidth_, askedHeight_);
        if (!source && options_.cameraGiven) {
            say("no camera at index " + std::to_string(options_.camera) +
                ": try another --camera N, --input FILE for a video file, or --input test");
            return kExitCannotStart;
        }
        if (!source) {
            say("no camera found (index 0): showing the test picture; --camera N, --input FILE or "
                "--input test choose a source");
            source = openTestPicture(askedWidth_, askedHeight_);
        }
    }
    if (!options_.record.empty()) {
        recorder_ = std::make_unique<Recorder>(options_.record);
        filter_ = pixelwell::filterProgram();
    }

    windows_.open(pixelwell::kPositions);
    probe_.release();  // our own connection holds the display now
    std::printf("%s", pixelwell::keyMap().c_str());
    std::fflush(stdout);
    // The operations chosen before frame 0, on the trackbar and in the titles from the start.
    processor_.applySchedule(schedule_, 0);
    // The kernel first: the reproducing command gives it where the kernel mode was chosen.
    selections_.emplace_back(0, pixelwell::ModeSwitch::kernelWeights(processor_.kernel()));
    selections_.emplace_back(0, pixelwell::ModeSwitch::kernelDivisor(processor_.kernel().divisor));
    for (const auto& [frame, mode] : schedule_)
        if (frame == 0) selections_.emplace_back(0, mode);
    windows_.setTrackbar(std::max(0, pixelwell::positionOfMode(processor_.mode())));
    if (source) {
        source_ = source.get();
        capture_.start(std::move(source));
        onOpened();
    } else {
        windows_.showWaiting(options_.input + " to open");
        capture_.startOpening(options_.input);
    }
    return kExitOk;
}

int Session::loop() {
    while (true) {
        if (const int signal = StopSignal.load()) return stopped(signal);
        if (quit_ || windows_.closed()) return kExitOk;
        if (recorder_ && recorder_->failed()) {
            say(recorder_->takeFailure());
            return kExitIncomplete;
        }
        // A recording that takes no more data holds the frames back; the windows go on.
        if (recorder_ && !recorder_->closed() && recorder_->full()) {
            if (!saidRecordingWaits_ && recorder_->blockedFor(1)) {
                say("the recording " + recorder_->path() +
                    " takes no more data for now (does anything read it?): the frames wait, the windows go on");
                saidRecordingWaits_ = true;
                updateTitles(true);
            }
            stall_.restartAt(now());
            poll(5);
            continue;
        }
        if (saidRecordingWaits_) {
            saidRecordingWaits_ = false;
            updateTitles(true);
        }
        const bool holding = (frozen_ && !step_) || still_;
        const bool live = source_ && (source_->kind() == SourceKind::Camera || source_->kind() == SourceKind::Stream);
        if (holding && !live) {
            // A file waits where it is while the view is held, a frame taken already with it.
            stall_.restartAt(now());
            poll(10);
            continue;
        }
        if (!pending_) {
            const int taken = takeDelivery();
            if (taken >= 0) return taken;
            if (!pending_) {
                if (const int code = watchSilence(); code >= 0) return code;
                poll(1);
                continue;
            }
            pendingDue_ = pace_.due(pendingStamp_, now());
        }
        if (holding) {
            // A camera or stream goes on while the view is held; its frames are let go.
            stall_.frameArrived(now());
            pending_ = false;
            poll(1);
            continue;
        }
        if (const double left = pendingDue_ - now(); left > 0) {
            const double t = now();
            poll(static_cast<int>(std::clamp(left * 1000, 1.0, 20.0)));
            waiting_.seconds += now() - t;
            waiting_.count = frames_;
            continue;
        }
        pending_ = false;
        lastDue_ = pendingDue_;
        if (const int code = showFrame(pendingFrame_); code >= 0) return code;
    }
}

int Session::finish(int code) {
    if (recorder_) {
        // A file takes what is queued at once; a pipe that takes nothing is given up on, at once
        // after a signal.
        recorder_->finish([&] {
            if (!windows_.closed()) windows_.poll(1);
            return recorder_->blockedFor(StopSignal.load() != 0 ? 0.3 : 2.0);
        });
        if (const std::string failure = recorder_->takeFailure(); !failure.empty()) {
            say(failure);
            if (code == kExitOk) code = kExitIncomplete;
        } else if (const uint64_t left = recorder_->accepted() - recorder_->written(); left > 0) {
            // Given up on a pipe that took nothing more: the recording lacks the last frames.
            say(options_.record + ": the last " + count(left) + " were not written (nothing took them)");
            if (code == kExitOk) code = kExitIncomplete;
        }
    }
    if (code != kExitCannotStart) {
        for (const std::string& note : pixelwell::unreachedNotes(schedule_, frames_)) say(note);
        for (const uint64_t at : saveAt_)
            if (at >= frames_)
                say("--save-at " + std::to_string(at) + " was never reached: the run held " + count(frames_));
    }
    if (recorder_ && recorder_->written() > 0) {
        const uint64_t written = recorder_->written();
        say(options_.record + ": " + std::to_string(written) + " frames; the result window's pictures are reproduced by: " +
            pixelwell::reproduceCommand(filter_, recorder_->width(), recorder_->height(), selections_, written,
                             options_.record));
    }
    if (options_.stats && frames_ > 0) {
        captureStage_.seconds = std::chrono::duration<double>(capture_.busy()).count();
        captureStage_.count = capture_.reads();
        const double total = now() - openedAt_;
        std::fprintf(stderr, "pixelwell-live: %llu frames of %dx%d in %.2f s: %.1f fps\n",
                     static_cast<unsigned long long>(frames_), width_, height_, total, frames_ / total);
        for (const Stage* stage : {&captureStage_, &processing_, &display_, &recording_, &waiting_}) {
            if (stage->count == 0) continue;
            std::fprintf(stderr, "  %-16s %9.1f ms total  %7.3f ms/frame  %5.1f %%  (%llu frames)\n", stage->name,
                         stage->seconds * 1000, stage->seconds * 1000 / stage->count, 100 * stage->seconds / total,
                         static_cast<unsigned long long>(stage->count));
        }
    }
    if (code == kExitOk && (picturesFailed_ || recordCut_)) code = kExitIncomplete;
    // The capture thread may sit in a read that only the source can end (a camera driver, a
    // pipe's open): give it a moment, then leave it behind.
    captureStuck_ = !capture_.stop(std::chrono::milliseconds(250));
    windows_.destroy();
    return code;
}

}  // namespace live
