// The page's entry into the core: frames go in and results come out through fixed buffers in
// the module's memory, which the page reads and writes in place. The page only moves pixels
// between these buffers and its canvases; every operation runs here, in the core. The grid's
// cells, the scaling rule and the reproducing command are in grid_entry.cpp.
#include <emscripten/emscripten.h>
#ifdef __wasm_simd128__
#include <wasm_simd128.h>
#endif

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "dispatcher.h"
#include "explain.h"
#include "frames.h"
#include "fused_operations.h"
#include "kernels.h"
#include "messages.h"
#include "page_entry.h"
#include "schedule.h"
#include "operation_table.h"
#include "operations.h"
#include "pixelwell_version.h"
#include "test_picture.h"

using namespace pixelwell;

namespace {

constexpr int32_t kPixels = kMaxSide * kMaxSide;

alignas(64) uint8_t Surface[kSurfaceBytes];
// The table the page's cores are made with.
const KernelTable* Table = &selectKernels();
// The page's stream in the single view: capacity 1280x1280, drawing into Surface.
Core WebCore({kMaxSide, kMaxSide}, *Table, SurfaceSource::Lent);
// While the view is frozen and another operation was chosen: a copy of WebCore that ran the held
// frame through it, and whose surface the views show (see pw_rerun).
std::optional<Core> Rerun;
bool ShowingRerun = false;
Core& shownCore() { return ShowingRerun ? *Rerun : WebCore; }
// The frame as the core receives it: B,G,R, rows bottom-up, packed.
alignas(64) uint8_t Frame[kSlotBytes];
// The page's picture of a frame: R,G,B,A, rows top-down (a canvas's ImageData).
alignas(64) uint8_t SourceRgba[kPixels * 4];
alignas(64) uint8_t ResultRgba[kPixels * 4];
// A camera's frame as it comes (I420: the Y plane, then U and V at half width and height).
alignas(64) uint8_t SourceYuv[kPixels + 2 * ((kMaxSide + 1) / 2) * ((kMaxSide + 1) / 2)];
// The result as pixelwell-filter writes it: the surface's W x H region, B,G,R,X, bottom-up.
alignas(64) uint8_t Result[kPixels * 4];

int32_t Width = 0, Height = 0;
ModeSchedule Schedule;
std::string Message;

bool validSize(int32_t width, int32_t height) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide;
}

// ResultRgba <- the surface's region of the core shown.
void resultToRgba() { page::regionToRgba(shownCore(), Width, Height, ResultRgba); }

// Result and ResultRgba from the surface's region of the core shown.
void readSurface() {
    surfaceRegion(shownCore(), Width, Height, false, Result);
    resultToRgba();
}

}  // namespace

namespace pixelwell::page {

uint8_t* frameBuffer() { return Frame; }
int32_t frameWidth() { return Width; }
int32_t frameHeight() { return Height; }
bool setFrameSize(int32_t width, int32_t height) {
    if (!validSize(width, height)) return false;
    Width = width;
    Height = height;
    return true;
}
const KernelTable& pageKernels() { return *Table; }
Core& singleCore() { return WebCore; }
uint8_t* resultRgba() { return ResultRgba; }
uint8_t* resultRoom() { return Result; }
Core& shownCore() { return ::shownCore(); }
ModeSchedule& schedule() { return Schedule; }
std::string& message() { return Message; }
void chooseMode(Core& core, int32_t mode) {
    if (mode == kModeKernel) selectKernelMode(core);
    else selectProcessingMode(core, mode);
}

// The kernel the page's user chose outlives the core it was set in (the grid's kernel cell
// starts with it, and so does the single view after the grid).
void setSingleCoreAside() {
    ShowingRerun = false;
    Rerun.reset();
    const ConvolutionKernel kernel = WebCore.Kernel;
    WebCore = Core({1, 1}, *Table, SurfaceSource::Lent);
    WebCore.Kernel = kernel;
    lendSurface(WebCore, Surface);
}
void restoreSingleCore() {
    ShowingRerun = false;
    Rerun.reset();
    const ConvolutionKernel kernel = WebCore.Kernel;
    WebCore = Core({kMaxSide, kMaxSide}, *Table, SurfaceSource::Lent);
    WebCore.Kernel = kernel;
    lendSurface(WebCore, Surface);
    std::memset(Surface, 0, sizeof Surface);
}

void regionToRgba(const Core& core, int32_t width, int32_t height, uint8_t* out) {
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* row = surfaceRow(core, i, height);
        uint8_t* rgba = out + static_cast<size_t>(height - 1 - i) * rowBytes;
        int32_t x = 0;
#ifdef __wasm_simd128__
        const v128_t opaque = wasm_i32x4_splat(static_cast<int32_t>(0xff000000u));
        for (; x + 4 <= width; x += 4) {
            const v128_t bgrx = wasm_v128_load(row + 4 * x);
            const v128_t rgb = wasm_i8x16_shuffle(bgrx, bgrx, 2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
            wasm_v128_store(rgba + 4 * x, wasm_v128_or(wasm_v128_andnot(rgb, opaque), opaque));
        }
#endif
        for (; x < width; ++x) {
            rgba[4 * x] = row[4 * x + 2];
            rgba[4 * x + 1] = row[4 * x + 1];
            rgba[4 * x + 2] = row[4 * x];
            rgba[4 * x + 3] = 255;  // the surface's fourth byte is no alpha
        }
    }
}

}  // namespace pixelwell::page

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* pw_version() { return PIXELWELL_VERSION; }

EMSCRIPTEN_KEEPALIVE int pw_init() {
    lendSurface(WebCore, Surface);
    const char* name = Table->name;
    return name[0] == 's' && name[1] == 'c' ? 0 : 1;  // "scalar" or a vector table
}
EMSCRIPTEN_KEEPALIVE const char* pw_kernels() { return Table->name; }
// A core's table is its own for life: the stream starts over with the scalar one (and so does
// every core made from now on).
EMSCRIPTEN_KEEPALIVE void pw_use_scalar_kernels() {
    Table = &scalarKernels();
    page::restoreSingleCore();
}

// The stream starts over with the table named (scalar, sse2, ssse3 or wasm: the node test runs
// each this build has), and so does every core made from now on; false, and nothing changed,
// for one the build lacks.
EMSCRIPTEN_KEEPALIVE int pw_use_kernels(const char* name) {
    for (const KernelTable* table : {&scalarKernels(), sse2Kernels(), ssse3Kernels(), wasmKernels()}) {
        if (table && std::strcmp(table->name, name) == 0) {
            Table = table;
            page::restoreSingleCore();
            return 1;
        }
    }
    return 0;
}

EMSCRIPTEN_KEEPALIVE uint8_t* pw_frame() { return Frame; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_source_rgba() { return SourceRgba; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_result_rgba() { return ResultRgba; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_result() { return Result; }
EMSCRIPTEN_KEEPALIVE uint8_t* pw_surface() { return Surface; }

// The size of the frames to come; false (and nothing changed) outside 1..1280.
EMSCRIPTEN_KEEPALIVE int pw_set_size(int32_t width, int32_t height) { return page::setFrameSize(width, height) ? 1 : 0; }

// Every record back to its start, and the surface all zero, as a fresh program has them; the
// kernel mode's kernel stays the one the page's user chose.
EMSCRIPTEN_KEEPALIVE void pw_reset() {
    ShowingRerun = false;
    const ConvolutionKernel kernel = WebCore.Kernel;
    resetCore(WebCore);
    WebCore.Kernel = kernel;
    std::memset(Surface, 0, sizeof Surface);
}

// As the menu command chooses it; kModeKernel chooses the kernel mode (the page's own entry).
EMSCRIPTEN_KEEPALIVE void pw_select_mode(int32_t mode) { page::chooseMode(WebCore, mode); }
EMSCRIPTEN_KEEPALIVE int32_t pw_mode() { return WebCore.ProcessingMode; }

}  // extern "C"

// Frame <- SourceRgba, whose 32-bit pixels (top-down) hold R,G,B at r,g,b (R,G,B,A: 0,1,2; a
// VideoFrame copied as B,G,R,A: 2,1,0), laid out as the core takes frames: B,G,R, bottom-up.
namespace {
template <int R, int G, int B>
void frameFromPixels() {
    const size_t rowBytes = static_cast<size_t>(Width) * 3;
    for (int32_t i = 0; i < Height; ++i) {
        const uint8_t* in = SourceRgba + static_cast<size_t>(Height - 1 - i) * Width * 4;
        uint8_t* bgr = Frame + i * rowBytes;
        int32_t x = 0;
#ifdef __wasm_simd128__
        // Sixteen pixels a step: four 16-byte loads, three stores of B,G,R.
        for (; x + 16 <= Width; x += 16) {
            const v128_t p0 = wasm_v128_load(in + 4 * x), p1 = wasm_v128_load(in + 4 * x + 16);
            const v128_t p2 = wasm_v128_load(in + 4 * x + 32), p3 = wasm_v128_load(in + 4 * x + 48);
            wasm_v128_store(bgr + 3 * x, wasm_i8x16_shuffle(p0, p1, B, G, R, 4 + B, 4 + G, 4 + R, 8 + B, 8 + G, 8 + R,
                                                            12 + B, 12 + G, 12 + R, 16 + B, 16 + G, 16 + R, 20 + B));
            wasm_v128_store(bgr + 3 * x + 16, wasm_i8x16_shuffle(p1, p2, 4 + G, 4 + R, 8 + B, 8 + G, 8 + R, 12 + B, 12 + G,
                                                                 12 + R, 16 + B, 16 + G, 16 + R, 20 + B, 20 + G, 20 + R,
                                                                 24 + B, 24 + G));
            wasm_v128_store(bgr + 3 * x + 32, wasm_i8x16_shuffle(p2, p3, 8 + R, 12 + B, 12 + G, 12 + R, 16 + B, 16 + G,
                                                                 16 + R, 20 + B, 20 + G, 20 + R, 24 + B, 24 + G, 24 + R,
                                                                 28 + B, 28 + G, 28 + R));
        }
#endif
        for (; x < Width; ++x) {
            bgr[3 * x] = in[4 * x + B];
            bgr[3 * x + 1] = in[4 * x + G];
            bgr[3 * x + 2] = in[4 * x + R];
        }
    }
}
}  // namespace

extern "C" {

// Frame and SourceRgba <- an I420 frame in SourceYuv (planes at the offsets and strides given),
// in one pass: the browser's own conversion to RGBA costs six times a plain copy. bt709: the
// HD matrix (else BT.601's, a camera's usual one); fullRange: Y and C over 0..255 (else 16..235
// and 16..240). The fixed-point weights are the matrices' times 256, rounded.
EMSCRIPTEN_KEEPALIVE void pw_frame_from_i420(int32_t yAt, int32_t yStride, int32_t uAt, int32_t uStride, int32_t vAt,
                                             int32_t vStride, int bt709, int fullRange) {
    // {Y, V to R, U to G, V to G, U to B}
    static const int32_t kWeights[2][2][5] = {{{298, 409, -100, -208, 516}, {256, 359, -88, -183, 454}},
                                              {{298, 459, -55, -136, 541}, {256, 403, -48, -120, 475}}};
    const int32_t* k = kWeights[bt709 ? 1 : 0][fullRange ? 1 : 0];
    const int32_t yBase = fullRange ? 0 : 16;
    auto clamp = [](int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int32_t row = 0; row < Height; ++row) {
        const uint8_t* y = SourceYuv + yAt + static_cast<size_t>(row) * yStride;
        const uint8_t* u = SourceYuv + uAt + static_cast<size_t>(row / 2) * uStride;
        const uint8_t* v = SourceYuv + vAt + static_cast<size_t>(row / 2) * vStride;
        uint8_t* bgr = Frame + static_cast<size_t>(Height - 1 - row) * Width * 3;
        uint8_t* rgba = SourceRgba + static_cast<size_t>(row) * Width * 4;
        int32_t x = 0;
#ifdef __wasm_simd128__
        // Eight pixels a step, the same sums in 32-bit lanes, clamped by saturating narrowing.
        const v128_t kY = wasm_i16x8_splat(static_cast<int16_t>(k[0])), kVR = wasm_i16x8_splat(static_cast<int16_t>(k[1]));
        const v128_t kUG = wasm_i16x8_splat(static_cast<int16_t>(k[2])), kVG = wasm_i16x8_splat(static_cast<int16_t>(k[3]));
        const v128_t kUB = wasm_i16x8_splat(static_cast<int16_t>(k[4])), base = wasm_i16x8_splat(static_cast<int16_t>(yBase));
        const v128_t mid = wasm_i16x8_splat(128), half = wasm_i32x4_splat(128), opaque = wasm_i8x16_splat(-1);
        auto chroma = [&](const uint8_t* plane, int32_t at) {  // four samples, each for two pixels
            const v128_t four = wasm_v128_load32_zero(plane + at);
            return wasm_i16x8_sub(wasm_u16x8_extend_low_u8x16(wasm_i8x16_shuffle(four, four, 0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0)), mid);
        };
        auto level = [&](v128_t low, v128_t high) {  // (sum + 128) >> 8, clamped to 0..255, in bytes 0..7
            const v128_t words = wasm_i16x8_narrow_i32x4(wasm_i32x4_shr(wasm_i32x4_add(low, half), 8),
                                                        wasm_i32x4_shr(wasm_i32x4_add(high, half), 8));
            return wasm_u8x16_narrow_i16x8(words, words);
        };
        for (; x + 8 <= Width; x += 8) {
            const v128_t y8 = wasm_i16x8_sub(wasm_u16x8_load8x8(y + x), base);
            const v128_t d = chroma(u, x / 2), e = chroma(v, x / 2);
            const v128_t cLow = wasm_i32x4_extmul_low_i16x8(y8, kY), cHigh = wasm_i32x4_extmul_high_i16x8(y8, kY);
            const v128_t r = level(wasm_i32x4_add(cLow, wasm_i32x4_extmul_low_i16x8(e, kVR)),
                                   wasm_i32x4_add(cHigh, wasm_i32x4_extmul_high_i16x8(e, kVR)));
            const v128_t g = level(wasm_i32x4_add(cLow, wasm_i32x4_add(wasm_i32x4_extmul_low_i16x8(d, kUG), wasm_i32x4_extmul_low_i16x8(e, kVG))),
                                   wasm_i32x4_add(cHigh, wasm_i32x4_add(wasm_i32x4_extmul_high_i16x8(d, kUG), wasm_i32x4_extmul_high_i16x8(e, kVG))));
            const v128_t b = level(wasm_i32x4_add(cLow, wasm_i32x4_extmul_low_i16x8(d, kUB)),
                                   wasm_i32x4_add(cHigh, wasm_i32x4_extmul_high_i16x8(d, kUB)));
            const v128_t bg = wasm_i8x16_shuffle(b, g, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
            wasm_v128_store(bgr + 3 * x, wasm_i8x16_shuffle(bg, r, 0, 1, 16, 2, 3, 17, 4, 5, 18, 6, 7, 19, 8, 9, 20, 10));
            wasm_v128_store64_lane(bgr + 3 * x + 16, wasm_i8x16_shuffle(bg, r, 11, 21, 12, 13, 22, 14, 15, 23, 0, 0, 0, 0, 0, 0, 0, 0), 0);
            const v128_t rg = wasm_i8x16_shuffle(r, g, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
            const v128_t ba = wasm_i8x16_shuffle(b, opaque, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
            wasm_v128_store(rgba + 4 * x, wasm_i8x16_shuffle(rg, ba, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23));
            wasm_v128_store(rgba + 4 * x + 16, wasm_i8x16_shuffle(rg, ba, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31));
        }
#endif
        for (; x < Width; ++x) {
            const int32_t c = k[0] * (y[x] - yBase), d = u[x / 2] - 128, e = v[x / 2] - 128;
            const uint8_t r = clamp((c + k[1] * e + 128) >> 8);
            const uint8_t g = clamp((c + k[2] * d + k[3] * e + 128) >> 8);
            const uint8_t b = clamp((c + k[4] * d + 128) >> 8);
            bgr[3 * x] = b;
            bgr[3 * x + 1] = g;
            bgr[3 * x + 2] = r;
            rgba[4 * x] = r;
            rgba[4 * x + 1] = g;
            rgba[4 * x + 2] = b;
            rgba[4 * x + 3] = 255;
        }
    }
}
EMSCRIPTEN_KEEPALIVE uint8_t* pw_source_yuv() { return SourceYuv; }
EMSCRIPTEN_KEEPALIVE int32_t pw_source_yuv_bytes() { return static_cast<int32_t>(sizeof SourceYuv); }

// A canvas's pixels (R,G,B,A), turned into the core's layout.
EMSCRIPTEN_KEEPALIVE void pw_frame_from_rgba() { frameFromPixels<0, 1, 2>(); }
// A VideoFrame copied as B,G,R,A, the same way.
EMSCRIPTEN_KEEPALIVE void pw_frame_from_bgra() { frameFromPixels<2, 1, 0>(); }

// Frame <- frame n of the moving test picture, and SourceRgba <- the same for the source view.
EMSCRIPTEN_KEEPALIVE void pw_test_picture(uint32_t n) {
    simcam::renderPicture(simcam::Picture::MovingShapes, Width, Height, n, Frame);
    rgbaFromFrame(Frame, SourceRgba, Width, Height);
}

// Frame through the core as the capture callback hands it over; then Result and ResultRgba.
EMSCRIPTEN_KEEPALIVE int pw_process() {
    ShowingRerun = false;  // a frame of the run goes through the run's own core
    setFrameGeometry(WebCore, Width, Height);
    const bool repaint = processFrame(WebCore, Frame, Width * Height * 3);
    readSurface();
    return repaint;
}
// The same through the plain operations (the reference the node test checks against).
EMSCRIPTEN_KEEPALIVE int pw_process_plain() {
    ShowingRerun = false;
    setFrameGeometry(WebCore, Width, Height);
    const bool repaint = processFramePlain(WebCore, Frame, Width * Height * 3);
    readSurface();
    return repaint;
}
// Only the core's work: the benchmark's, and the worker's, which asks for the result view's
// pixels (pw_result_to_rgba) and, only while it records, for Result (pw_read_result).
EMSCRIPTEN_KEEPALIVE void pw_process_only() {
    ShowingRerun = false;
    setFrameGeometry(WebCore, Width, Height);
    processFrame(WebCore, Frame, Width * Height * 3);
}

// ResultRgba <- the surface's region, for the result view (the worker's way: Result only when
// it records).
EMSCRIPTEN_KEEPALIVE void pw_result_to_rgba() { resultToRgba(); }

// Result <- the surface's region, as pixelwell-filter writes it.
EMSCRIPTEN_KEEPALIVE void pw_read_result() { surfaceRegion(shownCore(), Width, Height, false, Result); }

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
    return at == end ? 0 : at->second.mode;
}
EMSCRIPTEN_KEEPALIVE const char* pw_message() { return Message.c_str(); }
// The mode's name ("gray"), or the bare number.
EMSCRIPTEN_KEEPALIVE const char* pw_mode_name(int32_t mode) {
    Message = modeName(mode);
    return Message.c_str();
}

// --- the operations in the menu's order (position 0 is none), as pixelwell-live offers them ---
EMSCRIPTEN_KEEPALIVE int pw_positions() { return kPositions; }
EMSCRIPTEN_KEEPALIVE int32_t pw_position_mode(int position) { return operationAt(position).id; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_label(int position) { return operationAt(position).label; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_name(int position) { return operationAt(position).name; }
EMSCRIPTEN_KEEPALIVE const char* pw_position_key(int position) { return operationAt(position).key; }
EMSCRIPTEN_KEEPALIVE int pw_position_of_mode(int32_t mode) { return positionOfMode(mode); }
EMSCRIPTEN_KEEPALIVE int pw_position_for_key(int key) { return positionForKey(key); }
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
    const bool drawn = explainFrame(shownCore(), e);
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

// --- what the page learns from the module ---------------------------------------------------
// The operations (menu order, with the family whose explanation the panel shows), the
// explanation block's layout and the program's texts, as one JSON object: the page keeps no
// mode number, name or offset of its own.
namespace {
const char* familyOf(int32_t mode) {
    if (kernelForMode(mode)) return "filter";
    switch (mode) {
        case kModeNone: return "none";
        case kModeNormal: return "normal";
        case kModeInvert: return "invert";
        case kModeAverage2:
        case kModeAverage4:
        case kModeAverage8: return "average";
        case kModeFrameDiff: return "frame-diff";
        case kModeSimpleDiff:
        case kModeDiff: return "reference";
        case kModeGray: return "gray";
        case kModeMinimum: return "minimum";
        case kModeMaximum: return "maximum";
        case kModeMedian: return "median";
        case kModeMean: return "mean";
        case kModeBinarize: return "binarize";
        default: return "other";
    }
}

void appendJsonString(std::string& out, const char* text) {
    out += '"';
    for (const char* c = text; *c; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        if (u == '"' || u == '\\') {
            out += '\\';
            out += *c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += *c;
        }
    }
    out += '"';
}

std::string PageInfo;
}  // namespace

EMSCRIPTEN_KEEPALIVE const char* pw_page_info() {
    if (!PageInfo.empty()) return PageInfo.c_str();
    std::string& j = PageInfo;
    j = "{\"maxSide\":" + std::to_string(kMaxSide) + ",\"none\":" + std::to_string(kModeNone) + ",\"operations\":[";
    for (int p = 0; p < kPositions; ++p) {
        const Operation& op = operationAt(p);
        j += p ? ",{\"id\":" : "{\"id\":";
        j += std::to_string(op.id);
        j += ",\"name\":";
        appendJsonString(j, op.name);
        j += ",\"label\":";
        appendJsonString(j, op.label);
        j += ",\"key\":";
        appendJsonString(j, op.key);
        j += ",\"family\":";
        appendJsonString(j, familyOf(op.id));
        j += ",\"takesReference\":";
        j += op.id == kModeSimpleDiff || op.id == kModeDiff ? "true}" : "false}";
    }
    // The kernel mode, which the program's menu does not hold: last, with pixelwell-live's key.
    j += ",{\"id\":" + std::to_string(kModeKernel) + ",\"name\":";
    appendJsonString(j, kKernelModeName);
    j += ",\"label\":\"\u30ab\u30fc\u30cd\u30eb\",\"key\":\"k\",\"family\":\"filter\",\"takesReference\":false}";
    j += "],\"kernelMode\":" + std::to_string(kModeKernel) + ",\"explain\":{";
    const std::pair<const char*, int32_t> fields[] = {
        {"drawn", kExDrawn}, {"frame", kExFrame}, {"mode", kExMode}, {"width", kExWidth},
        {"height", kExHeight}, {"min", kExMin}, {"max", kExMax}, {"counted", kExCounted},
        {"cutLow", kExCutLow}, {"cutHigh", kExCutHigh}, {"stretched", kExStretched},
        {"clippedLow", kExClippedLow}, {"clippedHigh", kExClippedHigh}, {"threshold", kExThreshold},
        {"frameCount", kExFrameCount}, {"reference", kExReference}, {"kernelSize", kExKernelSize},
        {"divisor", kExDivisor}, {"weights", kExWeights}, {"frames", kExFrames},
        {"histogram", kExHistogram}, {"levels", kExLevels}, {"fields", kExFields}};
    bool first = true;
    for (const auto& [name, offset] : fields) {
        if (!first) j += ',';
        first = false;
        appendJsonString(j, name);
        j += ':' + std::to_string(offset);
    }
    j += "},\"texts\":{";
    const std::pair<const char*, const char*> texts[] = {
        {"control", kControlTitle}, {"result", kResultTitle}, {"tooLarge", kTextSizeTooLarge},
        {"noDevice", kTextNoVideoDevice}, {"formatError", kCaptionFormatError}};
    first = true;
    for (const auto& [name, text] : texts) {
        if (!first) j += ',';
        first = false;
        appendJsonString(j, name);
        j += ':';
        appendJsonString(j, text);
    }
    j += "}}";
    return PageInfo.c_str();
}

// --- the frozen view: another operation on the held frame -----------------------------------
// Runs the last frame processed again in `mode`, on a copy of the run's core, as if the mode
// had been chosen just before that frame; Result and ResultRgba show the copy's picture until
// the next frame of the run (or pw_release). False when no frame has been processed. Mode none
// draws nothing: the view stays.
EMSCRIPTEN_KEEPALIVE int pw_rerun(int32_t mode) {
    if (WebCore.FrameCounter == 0 || WebCore.LastDelivered.frame != WebCore.FrameCounter) return 0;
    if (Rerun) {
        *Rerun = WebCore;  // its buffers are reused
    } else {
        Rerun.emplace(WebCore);
    }
    // The held frame is the one in the run's newest ring slot, as it was handed over.
    const uint8_t* held = WebCore.FrameRing[WebCore.FrameCounter & 7u].data();
    reprocessLastFrame(*Rerun, mode, held, WebCore.LastDelivered.length);
    ShowingRerun = true;
    readSurface();
    return 1;
}

// The run's own picture back, as it was before the first re-run (nothing when none ran).
EMSCRIPTEN_KEEPALIVE void pw_release() {
    if (!ShowingRerun) return;
    ShowingRerun = false;
    readSurface();
}

EMSCRIPTEN_KEEPALIVE const char* pw_mode_description(int32_t mode) {
    const ModeInfo* info = findModeById(mode);
    return info ? info->description : "";
}

}  // extern "C"
