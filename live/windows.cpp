#include "windows.h"

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

#include "key_queue.h"
#include "operation_table.h"
#include "texts.h"

namespace live {

namespace {

constexpr char kViewerWindow[] = "Video Viewer";
constexpr char kResultWindow[] = "Processing...";
constexpr char kTrackbar[] = "operation";

// The toolkits that draw UTF-8 window titles; the others get the English names only.
bool titlesTakeJapanese() {
    const std::string info = cv::getBuildInformation();
    const size_t gui = info.find("GUI:");
    if (gui == std::string::npos) return false;
    const std::string line = info.substr(gui, info.find('\n', gui) - gui);
    return line.find("QT") != std::string::npos || line.find("GTK") != std::string::npos;
}

}  // namespace

bool isLeftKey(int key) {
    return key == 0xff51 || key == 0x250000 || key == 0xf702 || key == 'p';
}
bool isRightKey(int key) {
    return key == 0xff53 || key == 0x270000 || key == 0xf703 || key == 'n';
}

void Windows::open(int positions) {
    japanese_ = titlesTakeJapanese();
    cv::namedWindow(kViewerWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::namedWindow(kResultWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::createTrackbar(kTrackbar, kViewerWindow, nullptr, positions - 1, onTrackbar, this);
    queued_ = startKeyQueue();
}

void Windows::showWaiting(const std::string& what) {
    cv::Mat notice = cv::Mat::zeros(96, 640, CV_8UC3);
    cv::putText(notice, "waiting for", {12, 38}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255}, 1, cv::LINE_AA);
    std::string shown = what.size() > 48 ? "..." + what.substr(what.size() - 45) : what;
    cv::putText(notice, shown, {12, 72}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {255, 255, 255}, 1, cv::LINE_AA);
    cv::imshow(kViewerWindow, notice);
    cv::imshow(kResultWindow, notice);
    cv::setWindowTitle(kViewerWindow, std::string(kViewerWindow) + " - waiting for " + what);
    cv::setWindowTitle(kResultWindow, std::string(kResultWindow) + " - waiting for " + what);
}

void Windows::showPreview(const cv::Mat& picture) {
    if (!closed_) cv::imshow(kViewerWindow, picture);
}

void Windows::showResult(const cv::Mat& picture) {
    if (!closed_) cv::imshow(kResultWindow, picture);
}

void Windows::place(int width) {
    cv::moveWindow(kViewerWindow, 0, 0);
    cv::moveWindow(kResultWindow, width + 8, 0);
}

void Windows::setViewerTitle(const std::string& text) {
    cv::setWindowTitle(kViewerWindow, std::string(kViewerWindow) + " - " + text);
}

void Windows::setTitles(const TitleFacts& facts) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ", %.1f fps", facts.fps);
    std::string viewer = std::string(kViewerWindow) + " - " + facts.source + ", " +
                         sizeText(facts.width, facts.height) +
                         (facts.sizeNote.empty() ? "" : " (" + facts.sizeNote + ")") + numbers;
    if (facts.stalledFor > 0) viewer += " - no frame for " + secondsText(facts.stalledFor) + " s";
    if (!facts.holding.empty()) viewer += " - " + facts.holding;
    cv::setWindowTitle(kViewerWindow, viewer);
    std::string title = std::string(kResultWindow) + " - ";
    if (const int position = pixelwell::positionOfMode(facts.mode); position > 0 || !facts.kernel.empty()) {
        title += facts.kernel.empty() ? pixelwell::operationTitle(pixelwell::operationAt(position), japanese_)
                                      : "kernel " + facts.kernel;
        if (facts.msPerFrame > 0) {
            std::snprintf(numbers, sizeof numbers, " - %.2f ms/frame", facts.msPerFrame);
            title += numbers;
        }
    } else if (position == 0) {
        title += "none: choose with the arrow keys, a key (h lists them) or the trackbar";
    } else {
        title += "mode " + std::to_string(facts.mode) + " selects nothing";
    }
    if (!facts.resultNote.empty()) title += " - " + facts.resultNote;
    cv::setWindowTitle(kResultWindow, title);
}

void Windows::setTrackbar(int position) {
    shownPosition_ = trackbarPosition_ = position;
    cv::setTrackbarPos(kTrackbar, kViewerWindow, position);
}

std::vector<int> Windows::poll(int delay) {
    std::vector<int> keys;
    const int key = cv::waitKeyEx(delay);
    if (queued_) {
        for (int queued; takeKey(queued);) keys.push_back(queued);
    } else if (key != -1) {
        keys.push_back(key);
    }
    if (cv::getWindowProperty(kViewerWindow, cv::WND_PROP_VISIBLE) < 1 ||
        cv::getWindowProperty(kResultWindow, cv::WND_PROP_VISIBLE) < 1)
        closed_ = true;
    return keys;
}

int Windows::trackbarMoved() {
    if (trackbarPosition_ == shownPosition_) return -1;
    shownPosition_ = trackbarPosition_;
    return trackbarPosition_;
}

void Windows::destroy() {
    cv::destroyAllWindows();
}

}  // namespace live
