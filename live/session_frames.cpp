// What one delivery, one frame, one key and one choice do in a run.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>

#include "frames.h"
#include "kernel_syntax.h"
#include "operation_table.h"
#include "session.h"
#include "snapshots.h"
#include "texts.h"

namespace live {

namespace {

void say(const std::string& text) {
    std::fprintf(stderr, "pixelwell-live: %s\n", text.c_str());
}

std::string count(uint64_t frames) {
    return std::to_string(frames) + (frames == 1 ? " frame" : " frames");
}

}  // namespace

void Session::onOpened() {
    opened_ = true;
    openedAt_ = rateStart_ = now();
    stall_ = StallClock(source_->deliveryFps());
    stall_.restartAt(now());
    lastDue_ = now();
    const bool pacedKind = source_->kind() == SourceKind::File || source_->kind() == SourceKind::Test;
    if (!pacedKind)
        pace_ = PaceClock(0, false);
    else if (options_.fps >= 0)
        pace_ = PaceClock(options_.fps, false);
    else
        pace_ = PaceClock(source_->nominalFps(), source_->timed());
}

// One delivery from the capture thread, when one comes within a few milliseconds: a frame goes
// to pending_. Returns an exit code when the source has ended, else -1.
int Session::takeDelivery() {
    Delivery delivery;
    if (!capture_.take(delivery, std::chrono::milliseconds(10))) return -1;
    switch (delivery.kind) {
        case Delivery::Kind::CannotOpen:
            say("cannot open " + options_.input + ": " + delivery.why);
            return kExitCannotStart;
        case Delivery::Kind::Opened:
            source_ = capture_.source();
            onOpened();
            windows_.setViewerTitle(source_->description() + ": waiting for its first frame");
            return -1;
        case Delivery::Kind::Frame:
            pending_ = true;
            pendingFrame_ = std::move(delivery.frame);
            pendingStamp_ = delivery.stamp;
            return -1;
        case Delivery::Kind::Ended:
            break;
    }
    if (source_ && source_->kind() == SourceKind::Still && delivery.result == ReadResult::End && frames_ > 0) {
        // A picture stays on the screen until the windows close.
        still_ = true;
        updateTitles(true);
        return -1;
    }
    switch (delivery.result) {
        case ReadResult::End:
            say("end of " + options_.input + " after " + count(frames_));
            return kExitOk;
        case ReadResult::Damaged:
            say(options_.input + " is damaged: " + delivery.why + "; " + count(frames_) + " delivered");
            return kExitIncomplete;
        default:
            say(source_->description() + " stopped delivering frames after " + count(frames_) +
                (delivery.why.empty() ? " (unplugged?)" : " (" + delivery.why + ")"));
            return kExitIncomplete;
    }
}

// Nothing came: waiting to open, a pause within the ordinary, a stall, or a loss.
int Session::watchSilence() {
    if (still_) return -1;
    const double t = now();
    if (!opened_) {
        if (!saidWaiting_ && t >= 1) {
            say("waiting for " + options_.input + " to open" +
                (options_.lostAfter > 0 ? " (giving up after " + secondsText(options_.lostAfter) + " s)" : ""));
            saidWaiting_ = true;
        }
        if (options_.lostAfter > 0 && t >= options_.lostAfter) {
            say("cannot open " + options_.input + ": nothing came in " + secondsText(t) +
                " s (--lost-after sets how long to wait)");
            return kExitIncomplete;
        }
        return -1;
    }
    const double silence = stall_.silence(t, lastDue_);
    if (silence < stall_.stallAfter()) return -1;
    if (stalledFor_ == 0)
        say("no frame for " + secondsText(silence) + " s from " + source_->description() + " after frame " +
            std::to_string(frames_));
    const bool newSecond = static_cast<int>(silence) != static_cast<int>(stalledFor_);
    stalledFor_ = silence;
    if (newSecond) updateTitles(true);
    if (options_.lostAfter > 0 && silence >= options_.lostAfter) {
        say(source_->description() + " lost: no frame for " + secondsText(silence) + " s after " + count(frames_));
        return kExitIncomplete;
    }
    return -1;
}

void Session::onNewSize(int width, int height) {
    const bool first = sourceWidth_ == 0;
    const pixelwell::FrameSize fit = pixelwell::fitWithin(width, height);
    const int fitWidth = fit.width, fitHeight = fit.height;
    if (first) {
        std::string line = source_->description() + ": " + sizeText(width, height);
        if (source_->kind() == SourceKind::Camera && (width != askedWidth_ || height != askedHeight_))
            line += " (the camera does not give the asked " + sizeText(askedWidth_, askedHeight_) + ")";
        else if (options_.sizeGiven && source_->kind() != SourceKind::Test &&
                 (width != askedWidth_ || height != askedHeight_))
            line += " (its own size; --size " + options_.size + " applies to cameras)";
        if (!source_->note().empty()) line += " (" + source_->note() + ")";
        say(line);
    } else {
        say("the frame size changed from " + sizeText(sourceWidth_, sourceHeight_) + " to " + sizeText(width, height) +
            " at frame " + std::to_string(frames_));
    }
    if (fitWidth != width || fitHeight != height)
        say(sizeText(width, height) + " is over 1280x1280: scaled to " + sizeText(fitWidth, fitHeight) +
            ", keeping its shape; that is what is processed, shown and recorded");
    sourceWidth_ = width;
    sourceHeight_ = height;
    // One recording holds one frame size: it ends whole at the change.
    if (recorder_ && !recorder_->closed() && recorder_->accepted() > 0 &&
        (fitWidth != recorder_->width() || fitHeight != recorder_->height())) {
        recorder_->close();
        say("the frame size changed: recording stopped, " + options_.record + " holds " +
            std::to_string(recorder_->accepted()) + " frames of " + sizeText(recorder_->width(), recorder_->height()));
        recordCut_ = true;
    }
    if (fitWidth == width_ && fitHeight == height_) return;
    width_ = fitWidth;
    height_ = fitHeight;
    processor_.setSize(width_, height_);
    processor_.compose(result_);
    if (first) windows_.place(width_);
    windows_.showResult(result_);
    updateTitles(true);
}

// A frame that is due: processed, shown, recorded and saved as asked. Returns an exit code
// when the run ends with it, else -1.
int Session::showFrame(const cv::Mat& frame) {
    const double t = now();
    stall_.frameArrived(t);
    if (stalledFor_ > 0) {
        say("frames again after " + secondsText(stalledFor_) + " s");
        stalledFor_ = 0;
    }
    if (frame.cols != sourceWidth_ || frame.rows != sourceHeight_) onNewSize(frame.cols, frame.rows);
    if (frame.cols != width_ || frame.rows != height_)
        cv::resize(frame, preview_, cv::Size(width_, height_), 0, 0, cv::INTER_AREA);
    else
        preview_ = frame;
    if (frames_ > 0 && processor_.applySchedule(schedule_, frames_)) {
        for (auto [at, end] = schedule_.equal_range(frames_); at != end; ++at) selections_.emplace_back(at->first, at->second);
        windows_.setTrackbar(std::max(0, pixelwell::positionOfMode(processor_.mode())));
        noteSelections();
        updateTitles(true);
    }
    const bool repaint = processor_.process(preview_);
    const double spent = now() - t;
    processing_.seconds += spent;
    ++processing_.count;
    if (repaint) {
        rateProcessing_ += spent;
        ++rateProcessed_;
    }
    if (recorder_ && !recorder_->closed()) {
        const double r = now();
        if (recorder_->accepted() == 0) noteSelections();
        recorder_->add(processor_.handed(), width_, height_);
        recording_.seconds += now() - r;
        ++recording_.count;
    }
    resultNote_.clear();
    const double d = now();
    if (repaint) {
        processor_.compose(result_);
        windows_.showResult(result_);
    }
    windows_.showPreview(preview_);
    ++frames_;
    ++rateFrames_;
    step_ = false;
    updateTitles(false);
    poll(1);
    display_.seconds += now() - d;
    ++display_.count;
    if (saveAt_.count(frames_ - 1) && !save(frames_ - 1)) return kExitIncomplete;
    if (options_.frames > 0 && frames_ >= static_cast<uint64_t>(options_.frames)) return kExitOk;
    return -1;
}

void Session::noteSelections() {
    if (recorder_) recorder_->setSelections(filter_, selections_);
}

bool Session::save(uint64_t index) {
    if (preview_.empty()) {
        say("no frame yet: nothing to save");
        return true;
    }
    const bool saved = savePictures(options_.saveDir, index, preview_, result_, options_.overwrite);
    picturesFailed_ = picturesFailed_ || !saved;
    return saved;
}

void Session::choose(int position, const char* how) {
    const pixelwell::Operation& operation = pixelwell::operationAt(position);
    processor_.select(operation.id);
    selections_.emplace_back(frames_, operation.id);
    noteSelections();
    std::printf("%s: %s\n", how, pixelwell::operationTitle(operation, true).c_str());
    windows_.setTrackbar(position);
    showChoice();
}

// The kernel mode has no place in the menu: the trackbar goes to none's place.
void Session::chooseKernel() {
    processor_.selectKernel();
    selections_.emplace_back(frames_, pixelwell::ModeSwitch::kernelMode());
    noteSelections();
    std::printf("key: kernel %s\n", pixelwell::kernelOptions(processor_.kernel()).c_str());
    windows_.setTrackbar(0);
    showChoice();
}

void Session::showChoice() {
    if ((frozen_ || still_) && frames_ > 0) {
        // The held frame through the new operation: shown, not recorded, not counted.
        if (processor_.rerun(processor_.mode())) {
            processor_.compose(result_);
            windows_.showResult(result_);
            resultNote_ = "frame " + std::to_string(frames_ - 1) + " again";
        }
    }
    std::fflush(stdout);
    updateTitles(true);
}

void Session::handleKeys(const std::vector<int>& keys) {
    for (const int key : keys) {
        if (quit_) return;
        handleKey(key);
    }
}

void Session::handleKey(int key) {
    if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
    if (key == 'q' || key == 27) {
        quit_ = true;
    } else if (key == 'h') {
        std::printf("%s", pixelwell::keyMap().c_str());
        std::fflush(stdout);
    } else if (width_ == 0) {
        return;  // before the first frame only quitting and the key map mean anything
    } else if (key == ' ') {
        frozen_ = !frozen_;
        std::printf("%s\n", frozen_ ? "frozen: space goes on, . steps one frame" : "going on");
        std::fflush(stdout);
        if (!frozen_) {
            pace_.restart();
            stall_.restartAt(now());
        }
        updateTitles(true);
    } else if (key == '.') {
        if (frozen_) step_ = true;
    } else if (const int current = std::max(0, pixelwell::positionOfMode(processor_.mode())); isRightKey(key)) {
        choose((current + 1) % pixelwell::kPositions, "next");
    } else if (isLeftKey(key)) {
        choose((current + pixelwell::kPositions - 1) % pixelwell::kPositions, "previous");
    } else if (key == 'r') {
        if (processor_.mode() != pixelwell::kModeSimpleDiff && processor_.mode() != pixelwell::kModeDiff)
            say("r takes a new reference in simple-diff (d) and diff (e) only");
        else
            choose(current, "new reference");
    } else if (key == 'k') {
        chooseKernel();
    } else if (key == 's') {
        save(frames_ - 1);  // a failure is said; the viewer goes on, and the run ends with 1
    } else if (const int position = pixelwell::positionForKey(key & 0xffff); position >= 0) {
        choose(position, "key");
    }
}

// Keys, the trackbar and the windows, in every state.
void Session::poll(int delay) {
    handleKeys(windows_.poll(delay));
    if (quit_ || windows_.closed()) return;
    if (const int position = windows_.trackbarMoved(); position >= 0 && width_ > 0) choose(position, "trackbar");
}

void Session::updateTitles(bool force) {
    if (!opened_ || width_ == 0) return;
    const double t = now();
    const double elapsed = t - rateStart_;
    if (!force && elapsed < 0.5) return;
    if (elapsed >= 0.5) {
        fpsShown_ = rateFrames_ / elapsed;
        processingShown_ = rateProcessed_ ? rateProcessing_ * 1000 / rateProcessed_ : 0;
        rateStart_ = t;
        rateFrames_ = rateProcessed_ = 0;
        rateProcessing_ = 0;
    }
    TitleFacts facts;
    facts.source = source_->description();
    facts.width = width_;
    facts.height = height_;
    if (sourceWidth_ != width_ || sourceHeight_ != height_) facts.sizeNote = "scaled from " + sizeText(sourceWidth_, sourceHeight_);
    facts.fps = fpsShown_;
    facts.stalledFor = stalledFor_;
    if (saidRecordingWaits_)
        facts.holding = "waiting for the recording to be read";
    else if (still_)
        facts.holding = "a still picture (q ends)";
    else if (frozen_)
        facts.holding = "frozen (space goes on, . steps)";
    facts.mode = processor_.mode();
    if (processor_.kernelMode()) {
        const pixelwell::ConvolutionKernel& kernel = processor_.kernel();
        facts.kernel = pixelwell::kernelRows(kernel) + (kernel.divisor != 1 ? " / " + std::to_string(kernel.divisor) : "");
    }
    facts.msPerFrame = processingShown_;
    facts.resultNote = resultNote_;
    windows_.setTitles(facts);
}

}  // namespace live
