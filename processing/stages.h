// The stages of the last frame a core processed, as the operations define them: its gray levels,
// the filter values before the tone mapping, and their levels before the stretch. They are made
// again on request from the frame the ring holds (as explainFrame does), so that the per-frame
// path keeps or copies none of them.
//
//   processFrame(core, frame, length);
//   FrameStages stages;
//   if (makeStages(core, stages) && stages.filtered) copyStage(core, stages, Stage::Values, true, out);
#pragma once

#include <cstddef>
#include <cstdint>

#include "operations.h"

namespace pixelwell {

enum class Stage {
    Gray,    // 1 byte a pixel: the gray level
    Values,  // a signed 32-bit value a pixel: the filter value (0 on the border)
    Levels,  // 1 byte a pixel: the tone mapping's level before the stretch; where the values'
             // range is empty, the value's low eight bits, as it is shown
};

// Whether frames of a mode have the stage: gray levels for gray, the nine filters, the kernel
// mode and the four rank filters; values and levels for the nine filters and the kernel mode.
bool modeHasStage(int32_t mode, bool kernelMode, Stage stage);

// Bytes a pixel of the stage in copyStage's output.
constexpr size_t stageBytes(Stage stage) { return stage == Stage::Values ? 4 : 1; }

struct FrameStages {
    int32_t width;
    int32_t height;
    bool filtered;  // values and levels were made (a convolution mode or the kernel mode)
    Range range;    // the filter values' interior range ({1, 0}: none)
};

// Makes the stages of the last frame handed to processFrame (or processFramePlain) that its mode
// has, in the core's GrayPlane and ResultPlane (the plain operations' scratch records), with the
// kernel it was processed with; the ring, the counter, the mode and the surface are left as they
// were. False, and nothing made, when that frame was not drawn (a frame shorter than its
// geometry, a mode that drew nothing) or its mode has no stage. Takes about as long as the plain
// operation.
bool makeStages(Core& core, FrameStages& out);

// The stage as made by makeStages, width x height pixels of stageBytes(stage) each (values as
// int32_t in the machine's byte order), rows packed: the bottom row first as frames come, or the
// top row first.
void copyStage(const Core& core, const FrameStages& stages, Stage stage, bool topDown, uint8_t* out);

// The level a filter value is shown at before the stretch, given the interior range.
uint8_t levelBeforeStretch(int32_t value, Range range);

}  // namespace pixelwell
