// pixelwell-live: the processing core on a live camera, a video file or stream, or the
// simulated camera's test picture. OpenCV's videoio captures and highgui shows the two
// windows; every frame reaches the core as the capture driver hands it to the Windows program.
#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#if !defined(_WIN32) && !defined(__APPLE__)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
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
constexpr int kExitIncomplete = 1;  // the source was lost, or a recording or picture not written
constexpr int kExitCannotStart = 2;

constexpr char kViewerWindow[] = "Video Viewer";
constexpr char kResultWindow[] = "Processing...";
constexpr char kTrackbar[] = "operation";

// Shown, as in the Windows program's refusal, when a frame is wider or taller than 1280.
constexpr char kTextSizeTooLarge[] = "画像サイズは、1280x1280 以下に設定してください";

volatile std::sig_atomic_t StopSignal = 0;
void onStopSignal(int signal) {
    StopSignal = signal;
}

alignas(64) uint8_t Surface[kSurfaceBytes];

struct Options {
    int camera = 0;
    std::string input;
    std::string size = "640x480";
    std::vector<std::string> modes;
    uint64_t frames = 0;
    std::string record;
    std::string saveDir = ".";
    std::vector<uint64_t> saveAt;
    double fps = -1;
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
        const pid_t child = fork();
        if (child == 0) {
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

class LiveViewer {
public:
    explicit LiveViewer(const Options& options) : options_(options) {}
    int run();

private:
    int start();
    int loop();
    int finish(int code);

    void onNewSize(int width, int height);
    void handFrameToCore(const cv::Mat& frame);
    void composeResult();
    void showOversize();
    void choose(int position, const char* how);
    void newReference();
    void handleKey(int key);
    int pollEvents(int delay);
    bool savePictures(uint64_t index);
    void updateTitles(bool force);
    void stopRecording(const std::string& why);
    void syncTrackbar();

    static void onTrackbar(int position, void* self) {
        static_cast<LiveViewer*>(self)->trackbarPosition_ = position;
    }

    const Options& options_;
    DisplayProbe probe_;
    live::FrameSource source_;
    ModeSchedule schedule_;
    std::set<uint64_t> saveAt_;
    int askedWidth_ = 640, askedHeight_ = 480;
    int width_ = 0, height_ = 0;
    bool oversize_ = false;
    bool japanese_ = false;

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

    Stage capture_{"capture/decode"}, processing_{"processing"}, display_{"display"}, recording_{"recording"},
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
    if (!options_.record.empty() && !options_.input.empty()) {
        if (std::filesystem::equivalent(options_.input, options_.record, failure) && !failure) {
            say("--record " + options_.record + " is the input: refused, it would be overwritten");
            return kExitCannotStart;
        }
    }

    std::string why;
    if (!probe_.connect(why)) {
        say(why +
            ": pixelwell-live needs a window; to process frames without one, use "
            "pixelwell-filter (see the README)");
        return kExitCannotStart;
    }

    if (options_.input == "test") {
        source_.openTest(askedWidth_, askedHeight_);
    } else if (!options_.input.empty()) {
        std::string error;
        if (!source_.openInput(options_.input, error)) {
            say("cannot open " + options_.input + ": " + error);
            return kExitCannotStart;
        }
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
    return kExitOk;
}

void LiveViewer::onNewSize(int width, int height) {
    const bool first = width_ == 0;
    width_ = width;
    height_ = height;
    oversize_ = width > kMaxSide || height > kMaxSide;
    if (first) {
        std::string line = source_.description() + ": " + sizeText(width, height);
        if (source_.kind() == live::SourceKind::Camera && (width != askedWidth_ || height != askedHeight_))
            line += " (the camera does not give the asked " + sizeText(askedWidth_, askedHeight_) + ")";
        else if (options_.sizeGiven && source_.kind() != live::SourceKind::Test &&
                 (width != askedWidth_ || height != askedHeight_))
            line += " (its own size; --size " + options_.size + " applies to cameras)";
        say(line);
    } else {
        say("the frame size changed to " + sizeText(width, height));
    }
    if (oversize_) {
        say(sizeText(width, height) + " is over 1280x1280: shown, but not processed");
        showOversize();
        return;
    }
    FrameGeometry = {width, height};
    handed_.assign(static_cast<size_t>(width) * height * 3, 0);
    result_ = cv::Mat::zeros(height, width, CV_8UC3);
    composeResult();
    if (record_ && framesRecorded_ > 0 && (width != recordWidth_ || height != recordHeight_))
        stopRecording("the frame size changed");
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
        const uint8_t* from = surfaceRow(height_ - 1 - r, height_);
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
    selectProcessingMode(operation.id);
    selections_.emplace_back(framesHanded_, operation.id);
    std::printf("%s: %s\n", how, live::operationTitle(operation, true).c_str());
    std::fflush(stdout);
    syncTrackbar();
    updateTitles(true);
}

void LiveViewer::newReference() {
    if (ProcessingMode != kModeSimpleDiff && ProcessingMode != kModeDiff) {
        say("r takes a new reference in simple-diff (d) and diff (e) only");
        return;
    }
    choose(live::positionOfMode(ProcessingMode), "new reference");
}

void LiveViewer::syncTrackbar() {
    const int position = std::max(0, live::positionOfMode(ProcessingMode));
    shownPosition_ = position;
    trackbarPosition_ = position;
    cv::setTrackbarPos(kTrackbar, kViewerWindow, position);
}

void LiveViewer::handleKey(int key) {
    if (key == -1) return;
    if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
    const int current = std::max(0, live::positionOfMode(ProcessingMode));
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

bool LiveViewer::savePictures(uint64_t index) {
    char name[64];
    bool saved = true;
    const std::pair<const char*, const cv::Mat*> pictures[] = {{"viewer", &preview_},
                                                               {"processing", &result_}};
    for (const auto& [which, picture] : pictures) {
        std::snprintf(name, sizeof name, "/pixelwell-%06llu-%s.png", static_cast<unsigned long long>(index),
                      which);
        const std::string path = options_.saveDir + name;
        errno = 0;
        bool written = false;
        try {
            written = cv::imwrite(path, *picture);
        } catch (const cv::Exception&) {
            written = false;
        }
        if (written) {
            std::printf("saved %s\n", path.c_str());
        } else {
            say("cannot save " + path + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
            saved = false;
        }
    }
    std::fflush(stdout);
    return saved;
}

void LiveViewer::updateTitles(bool force) {
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
    cv::setWindowTitle(kViewerWindow, std::string(kViewerWindow) + " - " + source_.description() + ", " +
                                          sizeText(width_, height_) + numbers);
    std::string title = std::string(kResultWindow) + " - ";
    if (oversize_) {
        title += sizeText(width_, height_) + " is over 1280x1280, not processed";
        if (japanese_) title += std::string(" (") + kTextSizeTooLarge + ")";
    } else if (const int position = live::positionOfMode(ProcessingMode); position > 0) {
        title += live::operationTitle(live::operationAt(position), japanese_);
        if (processingShown_ > 0) {
            std::snprintf(numbers, sizeof numbers, " - %.2f ms/frame", processingShown_);
            title += numbers;
        }
    } else if (position == 0) {
        title += "none: choose with the arrow keys, a key (h lists them) or the trackbar";
    } else {
        title += "mode " + std::to_string(ProcessingMode) + " selects nothing";
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

int LiveViewer::loop() {
    runStart_ = rateStart_ = Clock::now();
    const double fps = options_.fps >= 0 ? options_.fps : source_.nominalFps();
    const bool paced = fps > 0 && source_.kind() != live::SourceKind::Camera;
    applyModeSwitches(schedule_, 0);
    for (const auto& [frame, mode] : schedule_)
        if (frame == 0) selections_.emplace_back(0, mode);

    cv::Mat frame;
    while (!quit_) {
        if (StopSignal) return 128 + StopSignal;
        Clock::time_point t = Clock::now();
        const live::ReadResult got = source_.read(frame);
        if (got == live::ReadResult::End) {
            say("end of " + options_.input + " after " + std::to_string(framesRead_) + " frames");
            return kExitOk;
        }
        if (got == live::ReadResult::Lost) {
            say(source_.description() + " stopped delivering frames after " + std::to_string(framesRead_) +
                " (unplugged?)");
            return kExitIncomplete;
        }
        preview_ = frame;
        if (frame.cols != width_ || frame.rows != height_) onNewSize(frame.cols, frame.rows);
        if (!oversize_) handFrameToCore(frame);
        capture_.seconds += secondsSince(t);
        ++capture_.count;

        if (!oversize_) {
            if (framesHanded_ > 0) {
                applyModeSwitches(schedule_, framesHanded_);
                for (auto [at, end] = schedule_.equal_range(framesHanded_); at != end; ++at)
                    selections_.emplace_back(at->first, at->second);
            }
            if (record_) {
                t = Clock::now();
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
                recording_.seconds += secondsSince(t);
                ++recording_.count;
            }
            t = Clock::now();
            const bool repaint = processFrame(handed_.data(), static_cast<int32_t>(handed_.size()));
            const double spent = secondsSince(t);
            if (repaint) {
                processing_.seconds += spent;
                ++processing_.count;
                rateProcessing_ += spent;
                ++rateProcessed_;
            }
            ++framesHanded_;

            t = Clock::now();
            if (repaint) {
                composeResult();
                cv::imshow(kResultWindow, result_);
            }
        } else {
            t = Clock::now();
        }
        cv::imshow(kViewerWindow, frame);
        ++framesRead_;
        ++rateFrames_;
        updateTitles(false);
        const int key = pollEvents(1);
        display_.seconds += secondsSince(t);
        ++display_.count;
        if (quit_) break;

        if (saveAt_.count(framesRead_ - 1) && !savePictures(framesRead_ - 1)) return kExitIncomplete;
        handleKey(key);
        if (trackbarPosition_ != shownPosition_ && !quit_) choose(trackbarPosition_, "trackbar");
        if (options_.frames && framesRead_ >= options_.frames) return kExitOk;

        if (paced) {
            t = Clock::now();
            const auto due = runStart_ + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(framesRead_ / fps));
            while (!quit_ && !StopSignal) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
                if (left < 1) break;
                handleKey(pollEvents(static_cast<int>(left)));
                if (trackbarPosition_ != shownPosition_ && !quit_) choose(trackbarPosition_, "trackbar");
            }
            waiting_.seconds += secondsSince(t);
            ++waiting_.count;
        }
    }
    return kExitOk;
}

int LiveViewer::finish(int code) {
    stopRecording("");
    if (!options_.record.empty() && framesRecorded_ > 0) {
        std::string command = "pixelwell-filter --size " + sizeText(recordWidth_, recordHeight_);
        if (selections_.empty() || selections_.front().first != 0) command += " --mode none";
        for (const auto& [at, mode] : selections_) {
            if (at >= framesRecorded_) continue;
            const ModeInfo* info = findModeById(mode);
            command += " --mode " + (info ? std::string(info->name) : std::to_string(mode));
            if (at > 0) command += "@" + std::to_string(at);
        }
        say(options_.record + ": " + std::to_string(framesRecorded_) +
            " frames; the result window's pictures are " + "reproduced by: " + command + " -- " +
            shellQuoted(options_.record) + " OUT");
    }
    if (options_.stats && framesRead_ > 0) {
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
    if (code == kExitOk && recordFailed_) code = kExitIncomplete;
    cv::destroyAllWindows();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("OPENCV_LOG_LEVEL"))
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    Options options;
    CLI::App app{"Shows a camera, a video file or the test picture beside the Pixelwell core's result."};
    auto* camera =
        app.add_option("--camera", options.camera, "camera index (default 0)")->check(CLI::NonNegativeNumber);
    app.add_option("--input", options.input,
                   "a video file, stream URL or device path; \"test\" for the test picture")
        ->excludes(camera);
    app.add_option("--size", options.size, "frame size to ask of the camera, WxH (default 640x480)");
    app.add_option("--mode", options.modes, "mode name or number, optionally @K: chosen before frame K")
        ->allow_extra_args(false);
    app.add_option("--frames", options.frames, "stop after N frames");
    app.add_option("--record", options.record, "write the raw frames handed to the core (bottom-up BGR)");
    app.add_option("--save-dir", options.saveDir, "folder for the pictures s saves (default .)");
    app.add_option("--save-at", options.saveAt,
                   "save both pictures after frame K (0-based), as s does; K,K,...")
        ->allow_extra_args(false)
        ->delimiter(',');
    app.add_option("--fps", options.fps,
                   "frames per second for a file or the test picture (0: as fast as they come)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--stats", options.stats, "print the time spent per stage at exit");
    app.set_version_flag("--version", "pixelwell-live " PIXELWELL_VERSION, "print the version and exit");
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

    DisplaySurface = Surface;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    LiveViewer viewer(options);
    return viewer.run();
}
