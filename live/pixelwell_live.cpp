// pixelwell-live: the processing core on a live camera, a video file or stream, or the
// simulated camera's test picture. Capture runs on its own thread and hands frames through a
// small mailbox to the window thread, which never waits on the source: its keys, its close
// button and signals are taken however the source behaves. Every frame reaches the core as the
// capture driver hands it to the Windows program.
#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#if !defined(_WIN32) && !defined(__APPLE__)
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "dispatcher.h"
#include "mode_args.h"
#include "operations.h"
#include "pixelwell_version.h"
#include "source.h"

namespace {

using namespace pixelwell;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;  // the source was lost or damaged, or a recording or picture not written
constexpr int kExitCannotStart = 2;

constexpr double kDefaultLostAfter = 10;
constexpr int kNoFrame = -1, kGotFrame = -2;  // what takeFrame gives besides exit codes  // seconds without a frame before a source counts as lost

constexpr char kViewerWindow[] = "Video Viewer";
constexpr char kResultWindow[] = "Processing...";
constexpr char kTrackbar[] = "operation";

// Shown, as in the Windows program's refusal, when a frame is wider or taller than 1280.
constexpr char kTextSizeTooLarge[] = "画像サイズは、1280x1280 以下に設定してください";

// Set by SIGINT, SIGTERM and SIGHUP; the window thread looks at it at least every 20 ms.
std::atomic<int> StopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
void onStopSignal(int signal) {
    StopSignal.store(signal);
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

// The viewer's stream, sized as the Windows program's (1280x1280, so a source may change its
// size mid-run), drawing into a surface of its own.
Core ViewerCore({kMaxSide, kMaxSide});

struct Options {
    int camera = 0;
    std::string input;
    std::string size = "640x480";
    std::vector<std::string> modes;
    int64_t frames = 0;  // 0: no limit
    std::string record;
    std::string saveDir = ".";
    std::vector<uint64_t> saveAt;
    double fps = -1;
    double lostAfter = kDefaultLostAfter;
    bool overwrite = false;
    bool stats = false;
    bool cameraGiven = false;
    bool sizeGiven = false;
};

void say(const std::string& text) {
    std::fprintf(stderr, "pixelwell-live: %s\n", text.c_str());
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string shellQuoted(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789_-./=@%+:,") == std::string::npos)
        return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Whether highgui can open a window here. The toolkit ends the process when there is no
// display, so on X11/Wayland systems a child process connects first. It stays connected until
// our own windows exist: a bare X server (Xvfb) resets when its last client leaves, and refuses
// whoever connects in that moment.
class DisplayProbe {
public:
    ~DisplayProbe() { release(); }

    bool connect(std::string& why) {
#if !defined(_WIN32) && !defined(__APPLE__)
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
            why = "no display (DISPLAY is not set)";
            return false;
        }
        int ready[2], errors[2];
        if (pipe(ready) != 0 || pipe(errors) != 0) return true;  // let the toolkit say it
        std::fflush(nullptr);
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child == 0) {
            // Ends with the program, however the program ends (SIGKILL included).
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            close(ready[0]);
            close(errors[0]);
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 1);
            dup2(errors[1], 2);
            cv::namedWindow("pixelwell-live", cv::WINDOW_AUTOSIZE);
            if (write(ready[1], "1", 1) == 1) pause();
            _exit(0);
        }
        close(ready[1]);
        close(errors[1]);
        char connected = 0;
        const bool ok = child > 0 && read(ready[0], &connected, 1) == 1;
        close(ready[0]);
        if (ok) {
            child_ = child;
            close(errors[0]);
            return true;
        }
        // The toolkit's own first words say why (no such display, no plugin, ...).
        std::string said(4096, '\0');
        const ssize_t got = read(errors[0], said.data(), said.size());
        close(errors[0]);
        said.resize(got > 0 ? static_cast<size_t>(got) : 0);
        said = said.substr(0, said.find('\n'));
        if (child > 0) waitpid(child, nullptr, 0);
        const char* display = std::getenv("DISPLAY");
        why = std::string("cannot open a window on display ") + (display ? display : "(Wayland)");
        if (!said.empty()) why += " (" + said + ")";
        return false;
#else
        (void)why;
        return true;
#endif
    }

    void release() {
#if !defined(_WIN32) && !defined(__APPLE__)
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            child_ = -1;
        }
#endif
    }

private:
    int child_ = -1;
};

// The toolkits that draw UTF-8 window titles; the others get the English names only.
bool titlesTakeJapanese() {
    const std::string info = cv::getBuildInformation();
    const size_t gui = info.find("GUI:");
    if (gui == std::string::npos) return false;
    const std::string line = info.substr(gui, info.find('\n', gui) - gui);
    return line.find("QT") != std::string::npos || line.find("GTK") != std::string::npos;
}

bool isLeftKey(int key) {
    return key == 0xff51 || key == 0x250000 || key == 0xf702 || key == 'p';
}
bool isRightKey(int key) {
    return key == 0xff53 || key == 0x270000 || key == 0xf703 || key == 'n';
}


// Per-stage time totals, printed by --stats.
struct Stage {
    const char* name;
    double seconds = 0;
    uint64_t count = 0;
};

// What the capture thread hands to the window thread. A few frames at most wait here: a file
// read faster than it is shown waits for room, and a stalled source leaves it empty.
struct Delivery {
    enum class Kind { Opened, Frame, Ended, CannotOpen } kind = Kind::Frame;
    cv::Mat frame;
    live::ReadResult result = live::ReadResult::Frame;
    std::string why;
};

class Mailbox {
public:
    // Waits for room; false once the window thread has closed the mailbox.
    bool put(Delivery delivery) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return closed_ || queue_.size() < kCapacity; });
        if (closed_) return false;
        queue_.push_back(std::move(delivery));
        arrived_.notify_one();
        return true;
    }

    // Waits up to `wait` for a delivery.
    bool take(Delivery& delivery, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, wait, [&] { return !queue_.empty(); })) return false;
        delivery = std::move(queue_.front());
        queue_.pop_front();
        room_.notify_one();
        return true;
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        room_.notify_all();
    }

private:
    static constexpr size_t kCapacity = 3;
    std::mutex mutex_;
    std::condition_variable room_, arrived_;
    std::deque<Delivery> queue_;
    bool closed_ = false;
};

class LiveViewer {
public:
    explicit LiveViewer(const Options& options) : options_(options) {}
    ~LiveViewer();
    int run();
    // True when the capture thread is still inside the source (a pipe's open, a driver) at the
    // end: the process must then end without waiting for it.
    bool captureStuck() const { return captureStuck_; }

private:
    int start();
    int loop();
    int finish(int code);

    void captureMain();
    void showWaiting(const std::string& what);
    int takeFrame(cv::Mat& frame);
    void onNewSize(int width, int height);
    void handFrameToCore(const cv::Mat& frame);
    void composeResult();
    void showOversize();
    void choose(int position, const char* how);
    void newReference();
    void handleKey(int key);
    void handleInput(int key);
    int pollEvents(int delay);
    bool savePictures(uint64_t index);
    void updateTitles(bool force);
    void stopRecording(const std::string& why);
    void syncTrackbar();
    std::string filterCommand() const;

    static void onTrackbar(int position, void* self) {
        static_cast<LiveViewer*>(self)->trackbarPosition_ = position;
    }

    const Options& options_;
    DisplayProbe probe_;
    live::FrameSource source_;
    bool openInCapture_ = false;  // files, pipes and streams open on the capture thread
    ModeSchedule schedule_;
    std::set<uint64_t> saveAt_;
    int askedWidth_ = 640, askedHeight_ = 480;
    int width_ = 0, height_ = 0;
    bool oversize_ = false;
    bool japanese_ = false;

    std::thread captureThread_;
    Mailbox mailbox_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> captureDone_{false};
    std::atomic<int64_t> captureNanoseconds_{0};
    std::atomic<uint64_t> captureCount_{0};
    bool captureStuck_ = false;

    bool opened_ = false;
    double stalledFor_ = 0;   // seconds without a frame, once that counts as a stall
    Clock::time_point lastFrameAt_;

    cv::Mat preview_;              // the last frame read, as shown
    cv::Mat result_;               // the result window's picture
    std::vector<uint8_t> handed_;  // the frame as handed to the core: bottom-up
    uint64_t framesRead_ = 0;
    uint64_t framesHanded_ = 0;

    std::FILE* record_ = nullptr;
    uint64_t framesRecorded_ = 0;
    int recordWidth_ = 0, recordHeight_ = 0;
    std::vector<std::pair<uint64_t, int32_t>> selections_;  // (before frame, mode), for the record

    int trackbarPosition_ = 0;
    int shownPosition_ = 0;
    bool quit_ = false;
    bool recordFailed_ = false;
    bool recordCut_ = false;  // the frame size changed under the recording
    bool recordCreated_ = false;

    Stage capture_{"capture (thread)"}, processing_{"processing"}, display_{"display"}, recording_{"recording"},
        waiting_{"waiting (pacing)"};
    Clock::time_point runStart_;
    Clock::time_point rateStart_;
    uint64_t rateFrames_ = 0;
    double rateProcessing_ = 0;
    uint64_t rateProcessed_ = 0;
    double fpsShown_ = 0, processingShown_ = 0;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.1f" : "%.0f", seconds);
    return text;
}

LiveViewer::~LiveViewer() {
    stop_ = true;
    mailbox_.close();
    if (captureThread_.joinable()) {
        if (captureStuck_)
            captureThread_.detach();
        else
            captureThread_.join();
    }
}

int LiveViewer::run() {
    const int code = start();
    if (code != kExitOk) return finish(code);
    return finish(loop());
}

int LiveViewer::start() {
    if (!parseFrameSize(options_.size, 8192, askedWidth_, askedHeight_)) {
        say("--size must be WxH (each 1 to 8192): " + options_.size);
        return kExitCannotStart;
    }
    for (const std::string& text : options_.modes) {
        std::string error;
        if (!addModeSwitch(text, schedule_, error)) {
            say(error);
            return kExitCannotStart;
        }
    }
    saveAt_.insert(options_.saveAt.begin(), options_.saveAt.end());
    std::error_code failure;
    if (!std::filesystem::is_directory(options_.saveDir, failure)) {
        say("--save-dir " + options_.saveDir + ": " + (failure ? failure.message() : "not a directory"));
        return kExitCannotStart;
    }
    // A missing file is said before any window opens; what a file holds is learnt on opening.
    if (!options_.input.empty() && options_.input != "test" && !live::isSequencePattern(options_.input) &&
        options_.input.find("://") == std::string::npos) {
        const auto status = std::filesystem::status(options_.input, failure);
        if (failure || std::filesystem::is_directory(status)) {
            say("cannot open " + options_.input + ": " + (failure ? failure.message() : "is a directory"));
            return kExitCannotStart;
        }
    }
    if (!options_.record.empty()) {
        if (!options_.input.empty() && std::filesystem::equivalent(options_.input, options_.record, failure) &&
            !failure) {
            say("--record " + options_.record + " is the input: refused, it would be overwritten");
            return kExitCannotStart;
        }
        // Only a regular file holds anything to lose; a device or a pipe is written to as it is.
        if (std::filesystem::is_regular_file(options_.record, failure) && !options_.overwrite) {
            say("--record " + options_.record + " exists: refused, it would be overwritten (-y or --overwrite "
                "replaces it)");
            return kExitCannotStart;
        }
    }
    for (const std::string& note : scheduleNotes(schedule_)) say(note);

    std::string why;
    if (!probe_.connect(why)) {
        say(why +
            ": pixelwell-live needs a window; to process frames without one, use "
            "pixelwell-filter (see docs/live.md)");
        return kExitCannotStart;
    }

    if (options_.input == "test") {
        source_.openTest(askedWidth_, askedHeight_);
    } else if (!options_.input.empty()) {
        openInCapture_ = true;
    } else if (!source_.openCamera(options_.camera, askedWidth_, askedHeight_)) {
        if (options_.cameraGiven) {
            say("no camera at index " + std::to_string(options_.camera) +
                ": try another --camera N, --input FILE for a video file, or --input test");
            return kExitCannotStart;
        }
        say("no camera found (index 0): showing the test picture; --camera N, --input FILE or "
            "--input test choose a source");
        source_.openTest(askedWidth_, askedHeight_);
    }

    if (!options_.record.empty()) {
        recordCreated_ = !std::filesystem::exists(options_.record, failure);
        record_ = std::fopen(options_.record.c_str(), "wb");
        if (!record_) {
            say("cannot open --record " + options_.record + ": " + std::strerror(errno));
            return kExitCannotStart;
        }
    }

    japanese_ = titlesTakeJapanese();
    cv::namedWindow(kViewerWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::namedWindow(kResultWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::createTrackbar(kTrackbar, kViewerWindow, nullptr, live::kPositions - 1, onTrackbar, this);
    probe_.release();  // our own connection holds the display now
    std::printf("%s", live::keyMap().c_str());
    std::fflush(stdout);
    if (openInCapture_) showWaiting(options_.input + " to open");
    opened_ = !openInCapture_;
    captureThread_ = std::thread(&LiveViewer::captureMain, this);
    return kExitOk;
}

// The capture thread: opens a file or stream where that may wait, then reads until the source
// ends or the window thread stops it. Signals go to the window thread, which never blocks.
void LiveViewer::captureMain() {
#if !defined(_WIN32)
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#endif
    if (openInCapture_) {
        std::string error;
        if (!source_.openInput(options_.input, stop_, error)) {
            mailbox_.put({Delivery::Kind::CannotOpen, {}, live::ReadResult::Lost, error});
            captureDone_ = true;
            return;
        }
        if (!mailbox_.put({Delivery::Kind::Opened, {}, live::ReadResult::Frame, {}})) {
            captureDone_ = true;
            return;
        }
    }
    while (!stop_) {
        Delivery delivery;
        const Clock::time_point t = Clock::now();
        delivery.result = source_.read(delivery.frame, delivery.why);
        captureNanoseconds_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count();
        ++captureCount_;
        delivery.kind = delivery.result == live::ReadResult::Frame ? Delivery::Kind::Frame : Delivery::Kind::Ended;
        const bool ended = delivery.kind == Delivery::Kind::Ended;
        if (!mailbox_.put(std::move(delivery)) || ended) break;
    }
    captureDone_ = true;
}

// While a source opens, both windows say what is awaited; they can be closed meanwhile.
void LiveViewer::showWaiting(const std::string& what) {
    cv::Mat notice = cv::Mat::zeros(96, 640, CV_8UC3);
    cv::putText(notice, "waiting for", {12, 38}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255}, 1, cv::LINE_AA);
    std::string shown = what.size() > 48 ? "..." + what.substr(what.size() - 45) : what;
    cv::putText(notice, shown, {12, 72}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255}, 1, cv::LINE_AA);
    cv::imshow(kViewerWindow, notice);
    cv::imshow(kResultWindow, notice);
    cv::setWindowTitle(kViewerWindow, std::string(kViewerWindow) + " - waiting for " + what);
    cv::setWindowTitle(kResultWindow, std::string(kResultWindow) + " - waiting for " + what);
}

void LiveViewer::onNewSize(int width, int height) {
    const bool first = width_ == 0;
    if (first) {
        std::string line = source_.description() + ": " + sizeText(width, height);
        if (source_.kind() == live::SourceKind::Camera && (width != askedWidth_ || height != askedHeight_))
            line += " (the camera does not give the asked " + sizeText(askedWidth_, askedHeight_) + ")";
        else if (options_.sizeGiven && source_.kind() != live::SourceKind::Test &&
                 (width != askedWidth_ || height != askedHeight_))
            line += " (its own size; --size " + options_.size + " applies to cameras)";
        say(line);
    } else {
        say("the frame size changed from " + sizeText(width_, height_) + " to " + sizeText(width, height) +
            " at frame " + std::to_string(framesRead_));
    }
    width_ = width;
    height_ = height;
    oversize_ = width > kMaxSide || height > kMaxSide;
    // One recording holds one frame size: it ends whole at the change.
    if (record_ && framesRecorded_ > 0 && (width != recordWidth_ || height != recordHeight_)) {
        stopRecording("the frame size changed");
        recordCut_ = true;
    }
    if (oversize_) {
        say(sizeText(width, height) + " is over 1280x1280: shown, but not processed");
        showOversize();
        return;
    }
    setFrameGeometry(ViewerCore, width, height);
    handed_.assign(static_cast<size_t>(width) * height * 3, 0);
    result_ = cv::Mat::zeros(height, width, CV_8UC3);
    composeResult();
    if (first) {
        cv::moveWindow(kViewerWindow, 0, 0);
        cv::moveWindow(kResultWindow, width + 8, 0);
    }
    cv::imshow(kResultWindow, result_);
    updateTitles(true);
}

void LiveViewer::showOversize() {
    result_ = cv::Mat::zeros(96, 640, CV_8UC3);
    cv::putText(result_, sizeText(width_, height_) + " is over 1280x1280:", {12, 38},
                cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255}, 1, cv::LINE_AA);
    cv::putText(result_, "shown, but not processed", {12, 72}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255},
                1, cv::LINE_AA);
    cv::imshow(kResultWindow, result_);
    updateTitles(true);
}

// Rows bottom-up, W*H*3 bytes, as the capture driver hands a frame to the Windows program.
void LiveViewer::handFrameToCore(const cv::Mat& frame) {
    cv::Mat bottomUp(height_, width_, CV_8UC3, handed_.data());
    cv::flip(frame, bottomUp, 0);
}

// The surface's top-left width x height, upright, without the fourth byte.
void LiveViewer::composeResult() {
    for (int r = 0; r < height_; ++r) {
        const uint8_t* from = surfaceRow(ViewerCore, height_ - 1 - r, height_);
        uint8_t* to = result_.ptr<uint8_t>(r);
        for (int j = 0; j < width_; ++j, from += 4, to += 3) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
}

void LiveViewer::choose(int position, const char* how) {
    if (oversize_) {
        say(std::string("refused: ") + kTextSizeTooLarge + " (the frame is " + sizeText(width_, height_) +
            ")");
        syncTrackbar();
        return;
    }
    const live::Operation& operation = live::operationAt(position);
    selectProcessingMode(ViewerCore, operation.id);
    selections_.emplace_back(framesHanded_, operation.id);
    std::printf("%s: %s\n", how, live::operationTitle(operation, true).c_str());
    std::fflush(stdout);
    syncTrackbar();
    updateTitles(true);
}

void LiveViewer::newReference() {
    if (ViewerCore.ProcessingMode != kModeSimpleDiff && ViewerCore.ProcessingMode != kModeDiff) {
        say("r takes a new reference in simple-diff (d) and diff (e) only");
        return;
    }
    choose(live::positionOfMode(ViewerCore.ProcessingMode), "new reference");
}

void LiveViewer::syncTrackbar() {
    const int position = std::max(0, live::positionOfMode(ViewerCore.ProcessingMode));
    shownPosition_ = position;
    trackbarPosition_ = position;
    cv::setTrackbarPos(kTrackbar, kViewerWindow, position);
}

void LiveViewer::handleKey(int key) {
    if (key == -1) return;
    if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
    const int current = std::max(0, live::positionOfMode(ViewerCore.ProcessingMode));
    if (key == 'q' || key == 'Q' || key == 27) {
        quit_ = true;
    } else if (isRightKey(key)) {
        choose((current + 1) % live::kPositions, "next");
    } else if (isLeftKey(key)) {
        choose((current + live::kPositions - 1) % live::kPositions, "previous");
    } else if (key == 'r') {
        newReference();
    } else if (key == 's') {
        savePictures(framesRead_ - 1);  // a failure is said; the viewer goes on
    } else if (key == 'h') {
        std::printf("%s", live::keyMap().c_str());
        std::fflush(stdout);
    } else if (const int position = live::positionForKey(key & 0xffff); position >= 0) {
        choose(position, "key");
    }
}


// Never replaces a picture: without --overwrite, an existing name gets a number added.
bool LiveViewer::savePictures(uint64_t index) {
    if (preview_.empty()) {
        say("no frame yet: nothing to save");
        return true;
    }
    char name[64];
    bool saved = true;
    const std::pair<const char*, const cv::Mat*> pictures[] = {{"viewer", &preview_},
                                                               {"processing", &result_}};
    for (const auto& [which, picture] : pictures) {
        std::snprintf(name, sizeof name, "/pixelwell-%06llu-%s", static_cast<unsigned long long>(index), which);
        const std::string stem = options_.saveDir + name;
        std::string path = stem + ".png";
        std::error_code failure;
        for (int n = 1; !options_.overwrite && std::filesystem::symlink_status(path, failure).type() !=
                                                     std::filesystem::file_type::not_found;
             ++n)
            path = stem + "-" + std::to_string(n) + ".png";
        errno = 0;
        bool written = false;
        try {
            written = cv::imwrite(path, *picture);
        } catch (const cv::Exception&) {
            written = false;
        }
        if (written) {
            std::printf("saved %s%s\n", path.c_str(),
                        path != stem + ".png" ? (" (" + stem + ".png exists)").c_str() : "");
        } else {
            say("cannot save " + path + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
            saved = false;
        }
    }
    std::fflush(stdout);
    return saved;
}

void LiveViewer::updateTitles(bool force) {
    if (!opened_ || width_ == 0) return;
    const double elapsed = secondsSince(rateStart_);
    if (!force && elapsed < 0.5) return;
    if (elapsed >= 0.5) {
        fpsShown_ = rateFrames_ / elapsed;
        processingShown_ = rateProcessed_ ? rateProcessing_ * 1000 / rateProcessed_ : 0;
        rateStart_ = Clock::now();
        rateFrames_ = rateProcessed_ = 0;
        rateProcessing_ = 0;
    }
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ", %.1f fps", fpsShown_);
    std::string viewer = std::string(kViewerWindow) + " - " + source_.description() + ", " +
                         sizeText(width_, height_) + numbers;
    if (stalledFor_ > 0) viewer += " - no frame for " + secondsText(stalledFor_) + " s";
    cv::setWindowTitle(kViewerWindow, viewer);
    std::string title = std::string(kResultWindow) + " - ";
    if (oversize_) {
        title += sizeText(width_, height_) + " is over 1280x1280, not processed";
        if (japanese_) title += std::string(" (") + kTextSizeTooLarge + ")";
    } else if (const int position = live::positionOfMode(ViewerCore.ProcessingMode); position > 0) {
        title += live::operationTitle(live::operationAt(position), japanese_);
        if (processingShown_ > 0) {
            std::snprintf(numbers, sizeof numbers, " - %.2f ms/frame", processingShown_);
            title += numbers;
        }
    } else if (position == 0) {
        title += "none: choose with the arrow keys, a key (h lists them) or the trackbar";
    } else {
        title += "mode " + std::to_string(ViewerCore.ProcessingMode) + " selects nothing";
    }
    cv::setWindowTitle(kResultWindow, title);
}

void LiveViewer::stopRecording(const std::string& why) {
    if (!record_) return;
    const bool closed = std::fclose(record_) == 0;
    record_ = nullptr;
    if (!closed) {
        say("cannot write " + options_.record + ": " + std::strerror(errno));
        recordFailed_ = true;
    } else if (!why.empty()) {
        say(why + ": recording stopped, " + options_.record + " holds " + std::to_string(framesRecorded_) +
            " frames of " + sizeText(recordWidth_, recordHeight_));
    }
}

// Lets the toolkit handle its events for up to delay ms; returns the key typed, if any. A
// closed window ends the run: it must not be shown again, which would open it anew.
int LiveViewer::pollEvents(int delay) {
    const int key = cv::waitKeyEx(delay);
    if (cv::getWindowProperty(kViewerWindow, cv::WND_PROP_VISIBLE) < 1 ||
        cv::getWindowProperty(kResultWindow, cv::WND_PROP_VISIBLE) < 1)
        quit_ = true;
    return key;
}


// Keys and the trackbar, in every state: before the first frame only quitting and the key map
// mean anything.
void LiveViewer::handleInput(int key) {
    if (width_ == 0 && !oversize_) {
        if (key == 'q' || key == 'Q' || key == 27) quit_ = true;
        if (key == 'h') {
            std::printf("%s", live::keyMap().c_str());
            std::fflush(stdout);
        }
        return;
    }
    handleKey(key);
    if (trackbarPosition_ != shownPosition_ && !quit_) choose(trackbarPosition_, "trackbar");
}

// One delivery from the capture thread, when there is one within a few milliseconds: kGotFrame
// with the frame in `frame`, kNoFrame, or an exit code when the source has ended.
int LiveViewer::takeFrame(cv::Mat& frame) {
    Delivery delivery;
    if (!mailbox_.take(delivery, std::chrono::milliseconds(10))) return kNoFrame;
    switch (delivery.kind) {
        case Delivery::Kind::CannotOpen:
            say("cannot open " + options_.input + ": " + delivery.why);
            return kExitCannotStart;
        case Delivery::Kind::Opened:
            opened_ = true;
            lastFrameAt_ = Clock::now();
            cv::setWindowTitle(kViewerWindow, std::string(kViewerWindow) + " - " + source_.description() +
                                                  ": waiting for its first frame");
            return kNoFrame;
        case Delivery::Kind::Frame:
            frame = std::move(delivery.frame);
            return kGotFrame;
        case Delivery::Kind::Ended:
            break;
    }
    const std::string count = std::to_string(framesRead_) + (framesRead_ == 1 ? " frame" : " frames");
    switch (delivery.result) {
        case live::ReadResult::End:
            say("end of " + options_.input + " after " + count);
            return kExitOk;
        case live::ReadResult::Damaged:
            say(options_.input + " is damaged: " + delivery.why + "; " + count + " delivered");
            return kExitIncomplete;
        default:
            say(source_.description() + " stopped delivering frames after " + count +
                (delivery.why.empty() ? " (unplugged?)" : " (" + delivery.why + ")"));
            return kExitIncomplete;
    }
}

int LiveViewer::loop() {
    runStart_ = rateStart_ = lastFrameAt_ = Clock::now();
    applyModeSwitches(ViewerCore, schedule_, 0);
    for (const auto& [frame, mode] : schedule_)
        if (frame == 0) selections_.emplace_back(0, mode);
    bool saidWaiting = false;
    double fps = 0;
    bool paced = false;
    double stallAfter = 1;
    auto pace = [&] {
        fps = options_.fps >= 0 ? options_.fps : source_.nominalFps();
        paced = fps > 0 && source_.kind() != live::SourceKind::Camera;
        // A slow source is not a stalled one: three of its frame intervals, and at least 1 s.
        // (Pacing is no stall either: the wait counts from when a frame is due.)
        const double rate = source_.deliveryFps();
        stallAfter = std::max(1.0, rate > 0 ? 3 / rate : 1.0);
    };
    if (opened_) pace();
    Clock::time_point due = runStart_;  // when the next frame is to be shown

    while (true) {
        if (const int signal = StopSignal.load()) {
            say(std::string("stopped by ") + signalName(signal) + " after " + std::to_string(framesRead_) +
                (framesRead_ == 1 ? " frame" : " frames"));
            return 128 + signal;
        }
        if (quit_) return kExitOk;

        const Clock::time_point now = Clock::now();
        if (paced && now < due) {
            const Clock::time_point t = now;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
            handleInput(pollEvents(static_cast<int>(std::clamp<long long>(left, 1, 20))));
            waiting_.seconds += secondsSince(t);
            waiting_.count = framesRead_;
            continue;
        }

        cv::Mat frame;
        const bool wasOpened = opened_;
        const int taken = takeFrame(frame);
        if (taken >= 0) return taken;
        if (!wasOpened && opened_) {
            pace();
            runStart_ = due = Clock::now();
        }
        if (taken == kNoFrame) {
            // Nothing came: waiting to open, a pause within the ordinary, a stall, or a loss.
            const double waited = secondsSince(std::max(lastFrameAt_, due));
            if (!opened_) {
                if (!saidWaiting && waited >= 1) {
                    say("waiting for " + options_.input + " to open" +
                        (options_.lostAfter > 0 ? " (giving up after " + secondsText(options_.lostAfter) + " s)"
                                                : ""));
                    saidWaiting = true;
                }
                if (options_.lostAfter > 0 && waited >= options_.lostAfter) {
                    say("cannot open " + options_.input + ": nothing came in " + secondsText(waited) +
                        " s (--lost-after sets how long to wait)");
                    return kExitIncomplete;
                }
            } else if (waited >= stallAfter) {
                if (stalledFor_ == 0)
                    say("no frame for " + secondsText(waited) + " s from " + source_.description() +
                        " after frame " + std::to_string(framesRead_));
                if (static_cast<int>(waited) != static_cast<int>(stalledFor_)) {
                    stalledFor_ = waited;
                    updateTitles(true);
                }
                stalledFor_ = waited;
                if (options_.lostAfter > 0 && waited >= options_.lostAfter) {
                    say(source_.description() + " lost: no frame for " + secondsText(waited) + " s after " +
                        std::to_string(framesRead_) + (framesRead_ == 1 ? " frame" : " frames"));
                    return kExitIncomplete;
                }
            }
            handleInput(pollEvents(1));
            continue;
        }

        // A frame.
        const Clock::time_point t = Clock::now();
        if (stalledFor_ > 0) {
            say("frames again after " + secondsText(secondsSince(lastFrameAt_)) + " s");
            stalledFor_ = 0;
        }
        lastFrameAt_ = t;
        preview_ = frame;
        if (frame.cols != width_ || frame.rows != height_) onNewSize(frame.cols, frame.rows);
        if (!oversize_) handFrameToCore(frame);

        if (!oversize_) {
            if (framesHanded_ > 0) {
                applyModeSwitches(ViewerCore, schedule_, framesHanded_);
                for (auto [at, end] = schedule_.equal_range(framesHanded_); at != end; ++at)
                    selections_.emplace_back(at->first, at->second);
            }
            if (record_) {
                const Clock::time_point r = Clock::now();
                if (framesRecorded_ == 0) {
                    recordWidth_ = width_;
                    recordHeight_ = height_;
                }
                if (std::fwrite(handed_.data(), 1, handed_.size(), record_) != handed_.size() ||
                    std::fflush(record_) != 0) {
                    say("cannot write " + options_.record + " at frame " + std::to_string(framesRecorded_) +
                        ": " + std::strerror(errno));
                    std::fclose(record_);
                    record_ = nullptr;
                    // Keep the frames that were written whole.
                    std::error_code ignored;
                    std::filesystem::resize_file(options_.record, framesRecorded_ * handed_.size(), ignored);
                    return kExitIncomplete;
                }
                ++framesRecorded_;
                recording_.seconds += secondsSince(r);
                ++recording_.count;
            }
            const Clock::time_point p = Clock::now();
            const bool repaint = processFrame(ViewerCore, handed_.data(), static_cast<int32_t>(handed_.size()));
            const double spent = secondsSince(p);
            if (repaint) {
                processing_.seconds += spent;
                ++processing_.count;
                rateProcessing_ += spent;
                ++rateProcessed_;
            }
            ++framesHanded_;
            if (repaint) {
                composeResult();
                cv::imshow(kResultWindow, result_);
            }
        }
        const Clock::time_point d = Clock::now();
        cv::imshow(kViewerWindow, frame);
        ++framesRead_;
        ++rateFrames_;
        updateTitles(false);
        const int key = pollEvents(1);
        display_.seconds += secondsSince(d);
        ++display_.count;
        if (quit_) break;

        if (saveAt_.count(framesRead_ - 1) && !savePictures(framesRead_ - 1)) return kExitIncomplete;
        handleInput(key);
        if (options_.frames > 0 && framesRead_ >= static_cast<uint64_t>(options_.frames)) return kExitOk;
        if (paced)
            due = runStart_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(framesRead_ / fps));
    }
    return kExitOk;
}

// The built pixelwell-filter beside this program (an install) or in the build tree's tools/.
std::string LiveViewer::filterCommand() const {
#if !defined(_WIN32) && !defined(__APPLE__)
    std::error_code failure;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (!failure) {
        for (const auto& candidate : {self.parent_path() / "pixelwell-filter",
                                      self.parent_path().parent_path() / "tools" / "pixelwell-filter"}) {
            if (access(candidate.c_str(), X_OK) == 0)
                return shellQuoted(std::filesystem::weakly_canonical(candidate, failure).string());
        }
    }
#endif
    return "pixelwell-filter";
}

int LiveViewer::finish(int code) {
    stopRecording("");
    if (code == kExitCannotStart && recordCreated_ && framesRecorded_ == 0) {
        std::error_code ignored;
        std::filesystem::remove(options_.record, ignored);  // no empty file to be refused next time
    }
    if (code != kExitCannotStart) {
        for (const std::string& note : unreachedNotes(schedule_, framesHanded_)) say(note);
        for (const uint64_t at : saveAt_)
            if (at >= framesRead_)
                say("--save-at " + std::to_string(at) + " was never reached: the run held " +
                    std::to_string(framesRead_) + (framesRead_ == 1 ? " frame" : " frames"));
    }
    if (!options_.record.empty() && framesRecorded_ > 0) {
        std::string command = filterCommand() + " --size " + sizeText(recordWidth_, recordHeight_);
        std::string modes;
        for (const auto& [at, mode] : selections_) {
            if (at >= framesRecorded_) continue;
            const ModeInfo* info = findModeById(mode);
            modes += " --mode " + (info ? std::string(info->name) : std::to_string(mode));
            if (at > 0) modes += "@" + std::to_string(at);
        }
        // The filter wants a mode; none chosen is none, which draws nothing, as here.
        command += modes.empty() ? " --mode none" : modes;
        say(options_.record + ": " + std::to_string(framesRecorded_) +
            " frames; the result window's pictures are reproduced by: " + command + " -- " +
            shellQuoted(options_.record) + " OUT");
    }
    if (options_.stats && framesRead_ > 0) {
        capture_.seconds = captureNanoseconds_.load() / 1e9;
        capture_.count = captureCount_.load();
        const double total = secondsSince(runStart_);
        std::fprintf(stderr, "pixelwell-live: %llu frames of %s in %.2f s: %.1f fps\n",
                     static_cast<unsigned long long>(framesRead_), sizeText(width_, height_).c_str(), total,
                     framesRead_ / total);
        for (const Stage* stage : {&capture_, &processing_, &display_, &recording_, &waiting_}) {
            if (stage->count == 0) continue;
            std::fprintf(stderr, "  %-16s %9.1f ms total  %7.3f ms/frame  %5.1f %%  (%llu frames)\n",
                         stage->name, stage->seconds * 1000, stage->seconds * 1000 / stage->count,
                         100 * stage->seconds / total, static_cast<unsigned long long>(stage->count));
        }
    }
    if (code == kExitOk && (recordFailed_ || recordCut_)) code = kExitIncomplete;
    // The capture thread may sit in a read that only the source can end (a camera driver, a
    // pipe's open): give it a moment, then leave it behind.
    stop_ = true;
    mailbox_.close();
    if (captureThread_.joinable()) {
        const Clock::time_point t = Clock::now();
        while (!captureDone_ && secondsSince(t) < 0.25) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        captureStuck_ = !captureDone_;
    }
    cv::destroyAllWindows();
    return code;
}

constexpr const char* kFooter = R"(Keys (in either window):
  -> or n, <- or p   next / previous operation in menu order (wraps through none)
  0 none  1 normal  g gray  t binarize  i invert  2 4 8 average2/4/8  f frame-diff
  d simple-diff  e diff  a b c laplacian  x y sobel  l o low-pass 3/5  u j high-pass 3/5
  - + minimum/maximum  m median  v mean
  r new reference (simple-diff, diff)   s save both pictures   h key map   q or Esc quit
Modes for --mode: the names above, or their numbers (--list-modes lists them).

A source that delivers nothing for the longer of 1 s and three frame intervals is shown as
stalled ("no frame for N s"); after --lost-after seconds it counts as lost. A recording holds
one frame size: it ends, whole, where the size changes, and the viewer goes on.

Exit status: 0 an ordinary end (q, Esc, a closed window, --frames, the end of a file);
1 the run did not complete (the source was lost or is damaged, the frame size changed under
--record, a recording or picture could not be written); 2 it could not start (a usage
error, a source that cannot be opened, no display); 129, 130, 143 ended by SIGHUP, SIGINT,
SIGTERM (the recording holds whole frames; the summary is printed).)";

// Numbers as people type them, with a message that says what is wanted.
template <typename Number>
std::function<std::string(const std::string&)> numberFrom(const char* option, Number low, Number high,
                                                          const char* wanted, Number& value) {
    return [=, &value](const std::string& text) -> std::string {
        errno = 0;
        char* end = nullptr;
        bool good = !text.empty() && !std::isspace(static_cast<unsigned char>(text[0]));
        if constexpr (std::is_floating_point_v<Number>) {
            const double parsed = good ? std::strtod(text.c_str(), &end) : 0;
            good = good && *end == '\0' && errno == 0 && std::isfinite(parsed) && parsed >= low && parsed <= high;
            if (good) value = static_cast<Number>(parsed);
        } else {
            const long long parsed = good ? std::strtoll(text.c_str(), &end, 10) : 0;
            good = good && *end == '\0' && errno == 0 && parsed >= static_cast<long long>(low) &&
                   parsed <= static_cast<long long>(high);
            if (good) value = static_cast<Number>(parsed);
        }
        if (good) return {};
        return std::string(option) + " wants " + wanted + ", not " + (text.empty() ? "nothing" : text);
    };
}

// Qt warns at every start when XDG_RUNTIME_DIR is unset, then uses the very folder made here.
void provideRuntimeDir() {
#if !defined(_WIN32) && !defined(__APPLE__)
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    const std::string dir = "/tmp/runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    struct stat info {};
    if (lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
        (info.st_mode & 0777) == 0700)
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("OPENCV_LOG_LEVEL"))
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    provideRuntimeDir();

    Options options;
    CLI::App app{"Shows a camera, a video file or stream, or the test picture beside the Pixelwell core's result.",
                 "pixelwell-live"};
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("pixelwell-live: ") + e.what() + "\nRun with --help for more information.\n";
    });
    auto* camera = app.add_option_function<std::string>(
                          "--camera",
                          [&](const std::string& text) {
                              const std::string error = numberFrom<int>("--camera", 0, INT_MAX, "a number from 0",
                                                                        options.camera)(text);
                              if (!error.empty()) throw CLI::ValidationError(error);
                          },
                          "camera index (default 0)")
                       ->type_name("N");
    app.add_option("--input", options.input,
                   "a video file, stream URL, pipe, device path or image-sequence pattern (shot_%03d.png); "
                   "\"test\" for the test picture")
        ->type_name("PATH|URL")
        ->excludes(camera);
    app.add_option("--size", options.size, "frame size to ask of the camera, WxH (default 640x480)")
        ->type_name("WxH");
    app.add_option("--mode", options.modes, "mode name or number, optionally @K: chosen before frame K")
        ->type_name("M[@K]")
        ->allow_extra_args(false);
    app.add_option_function<std::string>(
           "--frames",
           [&](const std::string& text) {
               const std::string error = numberFrom<int64_t>("--frames", 1, INT64_MAX,
                                                             "a whole number from 1 to 9223372036854775807",
                                                             options.frames)(text);
               if (!error.empty()) throw CLI::ValidationError(error);
           },
           "stop after N frames")
        ->type_name("N");
    app.add_option("--record", options.record,
                   "write the raw frames handed to the core (bottom-up BGR); an existing file only with -y")
        ->type_name("FILE");
    app.add_flag("-y,--overwrite", options.overwrite,
                 "let --record and saved pictures replace existing files");
    app.add_option("--save-dir", options.saveDir, "folder for the pictures s saves (default .)")->type_name("DIR");
    app.add_option("--save-at", options.saveAt,
                   "save both pictures after frame K (0-based), as s does; K,K,...")
        ->type_name("K[,K...]")
        ->allow_extra_args(false)
        ->delimiter(',');
    app.add_option_function<std::string>(
           "--fps",
           [&](const std::string& text) {
               const std::string error =
                   numberFrom<double>("--fps", 0, 1e6, "a number from 0 (0: as fast as they come)", options.fps)(text);
               if (!error.empty()) throw CLI::ValidationError(error);
           },
           "frames per second for a file or the test picture (0: as fast as they come)")
        ->type_name("F");
    app.add_option_function<std::string>(
           "--lost-after",
           [&](const std::string& text) {
               const std::string error = numberFrom<double>("--lost-after", 0, 1e9,
                                                            "a number of seconds from 0 (0: wait for ever)",
                                                            options.lostAfter)(text);
               if (!error.empty()) throw CLI::ValidationError(error);
           },
           "seconds without a frame (or without the source opening) before it counts as lost (default 10; "
           "0: wait for ever)")
        ->type_name("S");
    app.add_flag("--stats", options.stats, "print the time spent per stage at exit");
    app.set_version_flag("--version", "pixelwell-live " PIXELWELL_VERSION, "print the version and exit");
    app.add_flag_callback(
           "--list-modes",
           [] {
               for (const ModeInfo& info : ModeTable) std::printf("%d %-12s %s\n", info.id, info.name, info.description);
               throw CLI::Success();
           },
           "list the modes (number, name, what it shows) and exit")
        ->trigger_on_parse();
    app.footer(kFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitCannotStart;
    }
    options.cameraGiven = app.count("--camera") > 0;
    options.sizeGiven = app.count("--size") > 0;

#if !defined(_WIN32)
    // No SA_RESTART: a wait in this thread returns, and the loop sees the flag.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
    int code;
    bool stuck;
    {
        LiveViewer viewer(options);
        code = viewer.run();
        stuck = viewer.captureStuck();
        if (stuck) {
            // The capture thread waits inside the source and cannot be joined: end without it.
            std::fflush(nullptr);
            std::_Exit(code);
        }
    }
    return code;
}
