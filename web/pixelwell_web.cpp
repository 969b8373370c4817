// The page's entry into the core: frames go in and results come out through fixed buffers in
// the module's memory, which the page reads and writes in place. The page only moves pixels
// between these buffers and its canvases; every operation runs here, in the core.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "dispatcher.h"
#include "explain.h"
#include "kernels.h"
#include "messages.h"
#include "mode_args.h"
#include "operations.h"
#include "pixelwell_version.h"
#include "test_picture.h"

using namespace pixelwell;

namespace {

constexpr int32_t kPixels = kMaxSide * kMaxSide;

alignas(64) uint8_t Surface[kSurfaceBytes];
// The page's stream: capacity 1280x1280, drawing into Surface.
Core WebCore({kMaxSide, kMaxSide}, SurfaceSource::Lent);
// The frame as the core receives it: B,G,R, rows bottom-up, packed.
alignas(64) uint8_t Frame[kSlotBytes];
// The page's picture of a frame: R,G,B,A, rows top-down (a canvas's ImageData).
alignas(64) uint8_t SourceRgba[kPixels * 4];
alignas(64) uint8_t ResultRgba[kPixels * 4];
// The result as pixelwell-filter writes it: the surface's W x H region, B,G,R,X, bottom-up.
alignas(64) uint8_t Result[kPixels * 4];

int32_t Width = 0, Height = 0;
ModeSchedule Schedule;
std::string Message;

bool validSize(int32_t width, int32_t height) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide;
}

// Result and ResultRgba from the surface's region.
void readSurface() {
    const size_t rowBytes = static_cast<size_t>(Width) * 4;
    for (int32_t i = 0; i < Height; ++i) {
        const uint8_t* row = surfaceRow(WebCore, i, Height);
        std::memcpy(Result + i * rowBytes, row, rowBytes);
        uint8_t* rgba = ResultRgba + static_cast<size_t>(Height - 1 - i) * rowBytes;
        for (int32_t x = 0; x < Width; ++x) {
            rgba[4 * x] = row[4 * x + 2];
            rgba[4 * x + 1] = row[4 * x + 1];
            rgba[4 * x + 2] = row[4 * x];
            rgba[4 * x + 3] = 255;  // the surface's fourth byte is no alpha
        }
    }
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* pw_version() { return PIXELWELL_VERSION; }

EMSCRIPTEN_KEEPALIVE int pw_init() {
    lendSurface(WebCore, Surface);
    const char* name = WebCore.kernels->name;
    return name[0] == 's' && name[1] == 'c' ? 0 : 1;  // "scalar" or a vector table
}
EMSCRIPTEN_KEEPALIVE const char* pw_kernels() { return WebCore.kernels->name; }
// A core's table is its own for life: the stream starts over with the scalar one.
EMSCRIPTEN_KEEPALIVE void pw_use_scalar_kernels() {
    WebCore = Core({kMaxSide, kMaxSide}, scalarKernels(), SurfaceSource::Lent);
    lendSurface(WebCore, Surface);
}

EMSCRIPTEN_KEEPALIVE uint8_t* pw_frame() { return Frame; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_source_rgba() { return SourceRgba; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_result_rgba() { return ResultRgba; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_result() { return Result; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_surface() { return Surface; }

// The size of the frames to come; false (and nothing changed) outside 1..1280.
EMSCRIPTEN_KEEPALIVE int pw_set_size(int32_t width, int32_t height) {
    if (!validSize(width, height)) return 0;
    Width = width;
    Height = height;
    return 1;
}

// Every record back to its start, and the surface all zero, as a fresh program has them.
EMSCRIPTEN_KEEPALIVE void pw_reset() {
    resetCore(WebCore);
    std::memset(Surface, 0, sizeof Surface);
}

EMSCRIPTEN_KEEPALIVE void pw_select_mode(int32_t mode) { selectProcessingMode(WebCore, mode); }
EMSCRIPTEN_KEEPALIVE int32_t pw_mode() { return WebCore.ProcessingMode; }

// Frame <- SourceRgba (a canvas's pixels), turned into the core's layout.
EMSCRIPTEN_KEEPALIVE void pw_frame_from_rgba() {
    const size_t rowBytes = static_cast<size_t>(Width) * 3;
    for (int32_t i = 0; i < Height; ++i) {
        const uint8_t* rgba = SourceRgba + static_cast<size_t>(Height - 1 - i) * Width * 4;
        uint8_t* bgr = Frame + i * rowBytes;
        for (int32_t x = 0; x < Width; ++x) {
            bgr[3 * x] = rgba[4 * x + 2];
            bgr[3 * x + 1] = rgba[4 * x + 1];
            bgr[3 * x + 2] = rgba[4 * x];
        }
    }
}

// Frame <- frame n of the moving test picture, and SourceRgba <- the same for the source view.
EMSCRIPTEN_KEEPALIVE void pw_test_picture(uint32_t n) {
    simcam::renderPicture(simcam::Picture::MovingShapes, Width, Height, n, Frame);
    for (int32_t i = 0; i < Height; ++i) {
        const uint8_t* bgr = Frame + static_cast<size_t>(i) * Width * 3;
        uint8_t* rgba = SourceRgba + static_cast<size_t>(Height - 1 - i) * Width * 4;
        for (int32_t x = 0; x < Width; ++x) {
            rgba[4 * x] = bgr[3 * x + 2];
            rgba[4 * x + 1] = bgr[3 * x + 1];
            rgba[4 * x + 2] = bgr[3 * x];
            rgba[4 * x + 3] = 255;
        }
    }
}

// Frame through the core as the capture callback hands it over; then Result and ResultRgba.
EMSCRIPTEN_KEEPALIVE int pw_process() {
    setFrameGeometry(WebCore, Width, Height);
    const bool repaint = processFrame(WebCore, Frame, Width * Height * 3);
    readSurface();
    return repaint;
}
// The same through the plain operations (the reference the node test checks against).
EMSCRIPTEN_KEEPALIVE int pw_process_plain() {
    setFrameGeometry(WebCore, Width, Height);
    const bool repaint = processFramePlain(WebCore, Frame, Width * Height * 3);
    readSurface();
    return repaint;
}
// Only the core's work, for the benchmark.
EMSCRIPTEN_KEEPALIVE void pw_process_only() {
    setFrameGeometry(WebCore, Width, Height);
    processFrame(WebCore, Frame, Width * Height * 3);
}

// --- the mode schedule, as pixelwell-filter's --mode takes it ---------------------------------
EMSCRIPTEN_KEEPALIVE void pw_schedule_clear() { Schedule.clear(); }
// Adds "M" or "M@K"; false with the reason in pw_message().
EMSCRIPTEN_KEEPALIVE int pw_schedule_add(const char* text) {
    Message.clear();
    return addModeSwitch(text, Schedule, Message) ? 1 : 0;
}
// Chooses the modes scheduled before this frame; returns how many (pw_schedule_at names them).
EMSCRIPTEN_KEEPALIVE int pw_schedule_apply(uint32_t frame) {
    applyModeSwitches(WebCore, Schedule, frame);
    return static_cast<int>(Schedule.count(frame));
}
EMSCRIPTEN_KEEPALIVE int32_t pw_schedule_at(uint32_t frame, int i) {
    auto [at, end] = Schedule.equal_range(frame);
    for (; at != end && i > 0; ++at, --i) {}
    return at == end ? 0 : at->second;
}
EMSCRIPTEN_KEEPALIVE const char* pw_message() { return Message.c_str(); }
// The mode's name ("gray"), or the bare number.
EMSCRIPTEN_KEEPALIVE const char* pw_mode_name(int32_t mode) {
    Message = modeName(mode);
    return Message.c_str();
}

// --- the operations in the menu's order (position 0 is none), as pixelwell-live offers them ---
EMSCRIPTEN_KEEPALIVE int pw_positions() { return live::kPositions; }
EMSCRIPTEN_KEEPALIVE int32_t pw_position_mode(int position) { return live::operationAt(position).id; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_label(int position) { return live::operationAt(position).label; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_name(int position) { return live::operationAt(position).name; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_key(int position) { return live::operationAt(position).key; }
EMSCRIPTEN_KEEPALIVE int pw_position_of_mode(int32_t mode) { return live::positionOfMode(mode); }
EMSCRIPTEN_KEEPALIVE int pw_position_for_key(int key) { return live::positionForKey(key); }
// The program's own texts (UTF-8 here), for the messages the page shares with it.
EMSCRIPTEN_KEEPALIVE const char* pw_text(int which) {
    switch (which) {
        case 0: return kControlTitle;
        case 1: return kResultTitle;
        case 2: return kTextSizeTooLarge;
        case 3: return kTextNoVideoDevice;
        case 4: return kCaptionFormatError;
        default: return "";
    }
}
// --- the teaching panel ---------------------------------------------------------------------
// What the operation used on the last frame processed, as one block of 32-bit integers the page
// reads in place (the offsets below are the page's too). Slow: the page asks a few times a
// second and after a step, never on every frame.
namespace {
enum ExplainField : int32_t {
    kExDrawn, kExFrame, kExMode, kExWidth, kExHeight, kExMin, kExMax, kExCounted, kExCutLow,
    kExCutHigh, kExStretched, kExClippedLow, kExClippedHigh, kExThreshold, kExFrameCount,
    kExReference, kExKernelSize, kExDivisor,
    kExWeights = 18,                // 5 x 5, [row][column], row 0 the line above on screen
    kExFrames = kExWeights + 25,    // 8, newest first
    kExHistogram = kExFrames + 8,   // 256
    kExLevels = kExHistogram + 256, // 256
    kExFields = kExLevels + 256,
};
alignas(16) int32_t ExplainBlock[kExFields];
}  // namespace

EMSCRIPTEN_KEEPALIVE int32_t* pw_explain() {
    Explanation e;
    const bool drawn = explainFrame(WebCore, e);
    int32_t* b = ExplainBlock;
    std::memset(b, 0, sizeof ExplainBlock);
    b[kExDrawn] = drawn;
    b[kExFrame] = static_cast<int32_t>(e.frame);
    b[kExMode] = e.mode;
    b[kExWidth] = e.width;
    b[kExHeight] = e.height;
    b[kExMin] = e.range.minimum;
    b[kExMax] = e.range.maximum;
    b[kExCounted] = e.counted;
    b[kExCutLow] = e.cutLow;
    b[kExCutHigh] = e.cutHigh;
    b[kExStretched] = e.stretched;
    b[kExClippedLow] = e.clippedLow;
    b[kExClippedHigh] = e.clippedHigh;
    b[kExThreshold] = e.threshold;
    b[kExFrameCount] = e.frameCount;
    b[kExReference] = static_cast<int32_t>(e.reference);
    if (e.kernel) {
        b[kExKernelSize] = e.kernel->size;
        b[kExDivisor] = e.kernel->divisor;
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c) b[kExWeights + 5 * r + c] = e.kernel->weights[r][c];
    }
    for (int n = 0; n < 8; ++n) b[kExFrames + n] = static_cast<int32_t>(e.frames[n]);
    for (int v = 0; v < 256; ++v) {
        b[kExHistogram + v] = e.histogram[v];
        b[kExLevels + v] = e.levels[v];
    }
    return b;
}

EMSCRIPTEN_KEEPALIVE const char* pw_mode_description(int32_t mode) {
    const ModeInfo* info = findModeById(mode);
    return info ? info->description : "";
}

}  // extern "C"
