// The page's kernel mode: the kernel and divisor of the single view's core (and of the grid's
// kernel cell), read and refused by the front-end library's own syntax; the schedule's kernel
// choices; the stages of the frame shown (gray levels, filter values, levels before the stretch)
// as pictures; and one pixel of every stage for the inspector.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dispatcher.h"
#include "frame_store.h"
#include "kernel_syntax.h"
#include "page_entry.h"
#include "schedule.h"
#include "stages.h"

using namespace pixelwell;

namespace {

// A stage, top-down: 1 or 4 bytes a pixel, as copyStage writes it, in the result's room (the
// module's memory is fixed, and holds a frozen view's copy of the core besides); and the stage
// as the result view shows it (R,G,B,A, top-down), in place of the result's picture.
int32_t* stageBytes() { return reinterpret_cast<int32_t*>(page::resultRoom()); }
uint8_t* stageRgba() { return page::resultRgba(); }
// What pw_stage and pw_inspect tell besides the picture (see there).
int32_t StageInfo[4];
int32_t Inspected[9];
// Row and entry (from 1) of the cell a refused kernel names; 0, 0 for none (or the divisor).
int32_t KernelErrorAt[2];
std::string Text;

// The stages of the frame the single view shows, made again for each question (as fast as the
// plain operation): the views ask a few times a second, or for each frame while a stage is shown.
bool stagesOfShown(FrameStages& stages) { return makeStages(page::shownCore(), stages); }

}  // namespace

extern "C" {

// --- the kernel -----------------------------------------------------------------------------
// The kernel mode's kernel from ROWS and the divisor's text, used from the next frame on: 1 when
// taken; 0 when ROWS is refused, -1 when the divisor is (the kernel in use stays). The reason is
// in pw_message(), and the cell it names at pw_kernel_error_cell() (row, entry from 1; 0 when the
// reason names none, such as a wrong count of rows).
EMSCRIPTEN_KEEPALIVE int pw_kernel_set(const char* rows, const char* divisor) {
    KernelErrorAt[0] = KernelErrorAt[1] = 0;
    std::string& message = page::message();
    message.clear();
    ConvolutionKernel kernel = page::singleCore().Kernel;
    if (!parseKernelRows(rows, kernel, message)) {
        int row = 0, entry = 0;
        if (std::sscanf(message.c_str(), "row %d, entry %d", &row, &entry) == 2) {
            KernelErrorAt[0] = row;
            KernelErrorAt[1] = entry;
        } else if (std::sscanf(message.c_str(), "row %d has", &row) == 1) {
            KernelErrorAt[0] = row;
        }
        return 0;
    }
    if (!parseKernelDivisor(divisor, kernel.divisor, message)) return -1;
    setKernel(page::singleCore(), kernel);
    return 1;
}
EMSCRIPTEN_KEEPALIVE int32_t* pw_kernel_error_cell() { return KernelErrorAt; }

// The kernel in use as ROWS, and its divisor.
EMSCRIPTEN_KEEPALIVE const char* pw_kernel_rows() {
    Text = kernelRows(page::singleCore().Kernel);
    return Text.c_str();
}
EMSCRIPTEN_KEEPALIVE int32_t pw_kernel_divisor() { return page::singleCore().Kernel.divisor; }

// "divisor = sum of weights" for the kernel in use: the sum, 1 where it is 0; a negative sum's
// magnitude (a divisor is positive), and at most 1000.
EMSCRIPTEN_KEEPALIVE int32_t pw_kernel_sum_divisor() {
    const ConvolutionKernel& k = page::singleCore().Kernel;
    int32_t sum = 0;
    for (int32_t a = 0; a < k.size; ++a)
        for (int32_t b = 0; b < k.size; ++b) sum += k.weights[a][b];
    sum = std::abs(sum);
    return sum == 0 ? 1 : sum > kMaxKernelDivisor ? kMaxKernelDivisor : sum;
}

// The presets as JSON: [{"name","rows","divisor","mode"}], the nine filters' first (mode: their
// name), then the others (mode "").
EMSCRIPTEN_KEEPALIVE const char* pw_kernel_presets() {
    Text = "[";
    bool first = true;
    for (const auto* list : {&kernelPresets(), &moreKernelPresets()}) {
        for (const KernelPreset& preset : *list) {
            Text += first ? "{\"name\":\"" : ",{\"name\":\"";
            first = false;
            Text += preset.name;
            Text += "\",\"rows\":\"" + kernelRows(*preset.kernel) + "\",\"divisor\":" + std::to_string(preset.kernel->divisor);
            Text += ",\"mode\":\"" + std::string(preset.mode == kModeNone ? "" : preset.name) + "\"}";
        }
    }
    Text += "]";
    return Text.c_str();
}

// --- the schedule's kernel choices, as pixelwell-filter's --kernel and --divisor take them ------
EMSCRIPTEN_KEEPALIVE int pw_schedule_add_kernel(const char* text) {
    page::message().clear();
    return addKernelSwitch(text, page::schedule(), page::message()) ? 1 : 0;
}
EMSCRIPTEN_KEEPALIVE int pw_schedule_add_divisor(const char* text) {
    page::message().clear();
    return addDivisorSwitch(text, page::schedule(), page::message()) ? 1 : 0;
}
// The i-th choice scheduled before this frame as the page logs it: "m N" a mode as the menu
// chooses it (N 1460: the kernel mode), "t N" a typed number that selects nothing, "k ROWS" a
// kernel, "d N" a divisor; "" past the last.
EMSCRIPTEN_KEEPALIVE const char* pw_schedule_entry(uint32_t frame, int i) {
    auto [at, end] = page::schedule().equal_range(frame);
    for (; at != end && i > 0; ++at, --i) {}
    Text.clear();
    if (at == end) return Text.c_str();
    const ModeSwitch& s = at->second;
    switch (s.kind) {
        case ModeSwitch::kMode: Text = (s.mode == kModeKernel ? "t " : "m ") + std::to_string(s.mode); break;
        case ModeSwitch::kKernelMode: Text = "m " + std::to_string(kModeKernel); break;
        case ModeSwitch::kKernel: Text = "k " + kernelRows(s.kernel); break;
        case ModeSwitch::kDivisor: Text = "d " + std::to_string(s.kernel.divisor); break;
    }
    return Text.c_str();
}

// --- the stages -----------------------------------------------------------------------------
// The stage (0 gray levels, 1 filter values, 2 levels before the stretch) of the frame shown, as
// a picture at pw_stage_rgba(): gray for levels; for values a diverging map, negative blue, zero
// black, positive red, each scaled by the largest magnitude. False when the frame has no such
// stage. pw_stage_info(): the values' interior range (minimum, maximum; 1, 0 when empty), the
// largest magnitude of any value, and whether values were made.
EMSCRIPTEN_KEEPALIVE int pw_stage(int which) {
    FrameStages stages;
    const Stage stage = which == 0 ? Stage::Gray : which == 1 ? Stage::Values : Stage::Levels;
    if (!stagesOfShown(stages) || (stage != Stage::Gray && !stages.filtered)) return 0;
    const int32_t pixels = stages.width * stages.height;
    copyStage(page::shownCore(), stages, stage, true, reinterpret_cast<uint8_t*>(stageBytes()));
    int64_t largest = 0;
    if (stage == Stage::Values)
        for (int32_t p = 0; p < pixels; ++p) largest = std::max<int64_t>(largest, std::abs(static_cast<int64_t>(stageBytes()[p])));
    const auto* levels = reinterpret_cast<const uint8_t*>(stageBytes());
    for (int32_t p = 0; p < pixels; ++p) {
        uint8_t* out = stageRgba() + 4 * static_cast<size_t>(p);
        if (stage == Stage::Values) {
            const int64_t v = stageBytes()[p];
            const auto level = static_cast<uint8_t>(largest ? (255 * std::abs(v) + largest / 2) / largest : 0);
            out[0] = v > 0 ? level : 0;
            out[1] = 0;
            out[2] = v < 0 ? level : 0;
        } else {
            out[0] = out[1] = out[2] = levels[p];
        }
        out[3] = 255;
    }
    StageInfo[0] = stages.range.minimum;
    StageInfo[1] = stages.range.maximum;
    StageInfo[2] = static_cast<int32_t>(largest);
    StageInfo[3] = stages.filtered;
    return 1;
}
EMSCRIPTEN_KEEPALIVE uint8_t* pw_stage_rgba() { return stageRgba(); }
EMSCRIPTEN_KEEPALIVE int32_t* pw_stage_info() { return StageInfo; }

// Every stage at one pixel (x from the left, y from the top) of the frame shown: at
// pw_inspected(), whether it lies in the frame, whether the frame has a gray stage and values,
// then the gray level, the value, the level before the stretch, and the result's R, G, B.
EMSCRIPTEN_KEEPALIVE int32_t* pw_inspect(int32_t x, int32_t y) {
    std::memset(Inspected, 0, sizeof Inspected);
    const int32_t width = page::frameWidth(), height = page::frameHeight();
    if (x < 0 || y < 0 || x >= width || y >= height) return Inspected;
    Inspected[0] = 1;
    const int32_t p = y * width + x;
    FrameStages stages;
    if (stagesOfShown(stages) && stages.width == width && stages.height == height) {
        auto* bytes = reinterpret_cast<uint8_t*>(stageBytes());
        Inspected[1] = 1;
        copyStage(page::shownCore(), stages, Stage::Gray, true, bytes);
        Inspected[3] = bytes[p];
        if (stages.filtered) {
            Inspected[2] = 1;
            copyStage(page::shownCore(), stages, Stage::Values, true, bytes);
            Inspected[4] = stageBytes()[p];
            copyStage(page::shownCore(), stages, Stage::Levels, true, bytes);
            Inspected[5] = bytes[p];
        }
    }
    const uint8_t* row = surfaceRow(page::shownCore(), height - 1 - y, height);
    Inspected[6] = row[4 * x + 2];
    Inspected[7] = row[4 * x + 1];
    Inspected[8] = row[4 * x];
    return Inspected;
}

}  // extern "C"
