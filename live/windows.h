// The two windows, as in the Windows program: "Video Viewer" (the picture as captured, with a
// trackbar over the operations) and "Processing..." (the result); their titles, and the keys
// typed into them, in order.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace live {

// What the titles say; the windows room words it.
struct TitleFacts {
    std::string source;       // "test picture"
    int width = 0, height = 0;
    std::string sizeNote;     // "scaled from 1920x1080", or empty
    double fps = 0;
    double stalledFor = 0;    // seconds without a frame, once that counts as a stall
    std::string holding;      // why frames are held back (frozen, the recording waits), or empty
    int32_t mode = 0;
    std::string kernel;       // the kernel mode's kernel ("-1,-1,-1/-1,8,-1/-1,-1,-1 / 9") while it is chosen
    double msPerFrame = 0;
    std::string resultNote;   // what the result shows instead of the live frame, or empty
};

class Windows {
public:
    // Both windows and the trackbar (positions 0 to positions-1).
    void open(int positions);
    bool japanese() const { return japanese_; }

    void showWaiting(const std::string& what);
    void showPreview(const cv::Mat& picture);
    void showResult(const cv::Mat& picture);
    // At the first frame: side by side.
    void place(int width);
    void setTitles(const TitleFacts& facts);
    void setViewerTitle(const std::string& text);
    void setTrackbar(int position);

    // Lets the toolkit run for up to `delay` ms. Returns every key typed since the last call, in
    // order.
    std::vector<int> poll(int delay);
    // The trackbar's new position when the user moved it, else -1.
    int trackbarMoved();
    // Either window was closed: the run ends (showing it again would open it anew).
    bool closed() const { return closed_; }
    void destroy();

private:
    static void onTrackbar(int position, void* self) { static_cast<Windows*>(self)->trackbarPosition_ = position; }

    bool japanese_ = false;
    bool queued_ = false;
    bool closed_ = false;
    int trackbarPosition_ = 0;
    int shownPosition_ = 0;
};

bool isLeftKey(int key);
bool isRightKey(int key);

}  // namespace live
