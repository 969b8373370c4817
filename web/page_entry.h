// What the page's two entry files share: the frame buffer every core of the page reads, its
// size, the kernel table the page's cores take, and the single view's core, which the grid
// (grid_entry.cpp) sets aside while it runs so that the module's fixed memory holds its cells.
#pragma once

#include <cstdint>
#include <string>

#include "core.h"
#include "schedule.h"

namespace pixelwell::page {

// The frame as the cores receive it: B,G,R, rows bottom-up, packed (frameWidth() x frameHeight()).
uint8_t* frameBuffer();
int32_t frameWidth();
int32_t frameHeight();
// The size of the frames to come; false (and nothing changed) outside 1..1280.
bool setFrameSize(int32_t width, int32_t height);
// The table every core of the page is made with (the widest, or the scalar one once asked).
const KernelTable& pageKernels();
// The single view's core (and its frozen view's copy) given up for the grid's cells, and made
// again, at its start, when the grid ends.
void setSingleCoreAside();
void restoreSingleCore();

// The result view's picture (R,G,B,A, top-down: the result, or the stage shown instead), and the
// result as pixelwell-filter writes it, which a stage's values may use as room meanwhile (the
// recording reads the result anew for each frame). Both kMaxSide x kMaxSide x 4 bytes.
uint8_t* resultRgba();
uint8_t* resultRoom();
// The single view's core, and the core its views show (a frozen view's copy after a re-run).
Core& singleCore();
Core& shownCore();
// The URL's schedule, and the text of the last refusal (pw_message()).
ModeSchedule& schedule();
std::string& message();
// As the menu command chooses a mode, in any of the page's cores; kModeKernel: the kernel mode.
void chooseMode(Core& core, int32_t mode);

// The surface's width x height region of a core as a canvas's pixels (R,G,B,A, top-down), in
// SIMD where the build has it.
void regionToRgba(const Core& core, int32_t width, int32_t height, uint8_t* rgba);

}  // namespace pixelwell::page
