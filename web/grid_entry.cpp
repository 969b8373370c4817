// The page's grid (every operation at once, a core per cell, all made for one reduced size), and
// the two rules the page shares with pixelwell-live: the size a frame is processed at, and the
// pixelwell-filter command that reproduces a recording.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "frames.h"
#include "kernel_syntax.h"
#include "page_entry.h"
#include "reproduce.h"

using namespace pixelwell;

namespace {

// The grid's cells: each its own stream with its own surface, made for CellWidth x CellHeight.
std::vector<Core> Cells;
int32_t CellWidth = 0, CellHeight = 0;
// Every cell's view (R,G,B,A, top-down) and result (as pixelwell-filter writes it), one after
// the other in cell order.
std::vector<uint8_t> CellRgba, CellResults;
int32_t SizeOut[2];
std::string Command;

size_t cellPixels() { return static_cast<size_t>(CellWidth) * CellHeight; }

void zeroSurface(Core& core) { std::memset(core.DisplaySurface, 0, core.surfaceBytes()); }

}  // namespace

extern "C" {

// --- the size a frame is processed at -----------------------------------------------------------
// A frame over 1280 on either side scaled down to fit, keeping its shape (pixelwell-live's rule);
// the answer at pw_size_out(): width, height.
EMSCRIPTEN_KEEPALIVE int32_t* pw_fit_frame(int32_t width, int32_t height) {
    const FrameSize fit = fitWithin(width, height);
    SizeOut[0] = fit.width;
    SizeOut[1] = fit.height;
    return SizeOut;
}
// A grid cell's size for frames of width x height: `cellWidth` wide (at most 1.5 times that
// high), keeping the frame's shape; a smaller frame is kept as it is.
EMSCRIPTEN_KEEPALIVE int32_t* pw_fit_cell(int32_t width, int32_t height, int32_t cellWidth) {
    const FrameSize fit = fitWithin(width, height, FrameSize{cellWidth, cellWidth * 3 / 2});
    SizeOut[0] = fit.width;
    SizeOut[1] = fit.height;
    return SizeOut;
}

// --- the grid -------------------------------------------------------------------------------
// `count` cores made for width x height (each in mode none until chosen), every surface all zero;
// the single view's core is set aside meanwhile. Frames are then of that size. False (and
// nothing changed) for a size outside 1..1280 or a count outside 1..64.
EMSCRIPTEN_KEEPALIVE int pw_grid_start(int32_t width, int32_t height, int32_t count) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || count < 1 || count > 64) return 0;
    Cells.clear();
    page::setSingleCoreAside();
    CellWidth = width;
    CellHeight = height;
    page::setFrameSize(width, height);
    Cells.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
        Cells.emplace_back(FrameSize{width, height}, page::pageKernels());
        Cells.back().Kernel = page::singleCore().Kernel;  // the kernel cell's: the page's kernel
    }
    CellRgba.assign(count * cellPixels() * 4, 0);
    CellResults.assign(count * cellPixels() * 4, 0);
    return 1;
}

// The grid's cores given up, and the single view's core made again, at its start.
EMSCRIPTEN_KEEPALIVE void pw_grid_stop() {
    std::vector<Core>().swap(Cells);
    std::vector<uint8_t>().swap(CellRgba);
    std::vector<uint8_t>().swap(CellResults);
    page::restoreSingleCore();
}

// As the menu command chooses it, in one cell.
EMSCRIPTEN_KEEPALIVE void pw_grid_select(int32_t cell, int32_t mode) {
    if (cell >= 0 && cell < static_cast<int32_t>(Cells.size())) page::chooseMode(Cells[cell], mode);
}

// Every cell back to its start in the mode it had, its surface all zero.
EMSCRIPTEN_KEEPALIVE void pw_grid_reset() {
    for (Core& core : Cells) {
        const int32_t mode = kernelModeChosen(core) ? kModeKernel : core.ProcessingMode;
        const ConvolutionKernel kernel = core.Kernel;
        resetCore(core);
        core.Kernel = kernel;
        zeroSurface(core);
        page::chooseMode(core, mode);
    }
}

// The frame through every cell, as the capture callback hands it over; each cell's view into
// pw_grid_rgba().
EMSCRIPTEN_KEEPALIVE void pw_grid_process() {
    const uint8_t* frame = page::frameBuffer();
    for (size_t i = 0; i < Cells.size(); ++i) {
        setFrameGeometry(Cells[i], CellWidth, CellHeight);
        processFrame(Cells[i], frame, CellWidth * CellHeight * 3);
        page::regionToRgba(Cells[i], CellWidth, CellHeight, CellRgba.data() + i * cellPixels() * 4);
    }
}
EMSCRIPTEN_KEEPALIVE uint8_t* pw_grid_rgba() { return CellRgba.data(); }

// Every cell's result as pixelwell-filter writes it, into pw_grid_results() (for the recording).
EMSCRIPTEN_KEEPALIVE void pw_grid_read_results() {
    for (size_t i = 0; i < Cells.size(); ++i)
        surfaceRegion(Cells[i], CellWidth, CellHeight, false, CellResults.data() + i * cellPixels() * 4);
}
EMSCRIPTEN_KEEPALIVE uint8_t* pw_grid_results() { return CellResults.data(); }

// Bytes the grid's cores hold (for the test that the module's fixed memory holds the largest).
EMSCRIPTEN_KEEPALIVE double pw_grid_bytes() {
    double bytes = static_cast<double>(CellRgba.size() + CellResults.size());
    for (const Core& core : Cells) bytes += static_cast<double>(core.heldBytes());
    return bytes;
}

// --- the reproducing command ----------------------------------------------------------------
// The pixelwell-filter command for a recording of width x height frames named `recording`, whose
// results were saved as `output`, with the choices in `log`, one a line in the order made:
// "K N" the mode N as the menu chooses it before frame K (N 1460: the kernel mode), "K t N" a
// typed number that selects nothing, "K k ROWS" a kernel, "K d N" a divisor; choices at or after
// `frames` left out (negative: none left out). A line the page did not make is skipped.
EMSCRIPTEN_KEEPALIVE const char* pw_reproduce_command(int32_t width, int32_t height, const char* log, double frames,
                                                      const char* recording, const char* output) {
    Selections selections;
    std::istringstream lines(log);
    std::string line, error;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        uint64_t at = 0;
        std::string kind, value;
        if (!(words >> at >> kind)) continue;
        words >> value;
        ModeSwitch choice;
        int64_t number = 0;
        if (kind == "k") {
            ConvolutionKernel kernel{3, 1, {}};
            if (!parseKernelRows(value, kernel, error)) continue;
            choice = ModeSwitch::kernelWeights(kernel);
        } else if (kind == "d") {
            if (!parseInteger(value, 1, kMaxKernelDivisor, number)) continue;
            choice = ModeSwitch::kernelDivisor(static_cast<int32_t>(number));
        } else if (kind == "t") {
            if (!parseInteger(value, INT32_MIN, INT32_MAX, number)) continue;
            choice = ModeSwitch(static_cast<int32_t>(number));
        } else {
            if (!parseInteger(kind, INT32_MIN, INT32_MAX, number)) continue;
            choice = number == kModeKernel ? ModeSwitch::kernelMode() : ModeSwitch(static_cast<int32_t>(number));
        }
        selections.emplace_back(at, choice);
    }
    const uint64_t reached = frames < 0 ? UINT64_MAX : static_cast<uint64_t>(frames);
    Command = reproduceCommand("pixelwell-filter", width, height, selections, reached, recording, output);
    return Command.c_str();
}

}  // extern "C"
