// The frame layouts the programs meet, and the conversions between them: the core's (B,G,R, rows
// bottom-up, as the capture driver delivers frames), rows top-first (ffmpeg's bgr24, OpenCV's
// Mat, numpy arrays), a canvas's R,G,B,A top-down, and the surface's B,G,R,X region.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace pixelwell {

// The rows of a picture in the other order: row i of `in` becomes row height - 1 - i of `out`
// (each rowBytes long). in and out must not overlap.
void flipRows(const uint8_t* in, uint8_t* out, int32_t height, size_t rowBytes);

// A canvas's pixels (R,G,B,A, top row first) as a frame in the core's layout; alpha is dropped.
void frameFromRgba(const uint8_t* rgba, uint8_t* bgr, int32_t width, int32_t height);
// A frame in the core's layout as a canvas's pixels, opaque.
void rgbaFromFrame(const uint8_t* bgr, uint8_t* rgba, int32_t width, int32_t height);

// The surface's width x height region, the picture the result window shows, as B,G,R,X rows
// (the fourth byte as stored): bottom row first as the surface holds it, or top row first.
void surfaceRegion(const Core& core, int32_t width, int32_t height, bool topDown, uint8_t* bgrx);
// The same region as B,G,R, top row first, rows `stride` bytes apart (an upright picture).
void surfaceRegionBgr(const Core& core, int32_t width, int32_t height, uint8_t* bgr, ptrdiff_t stride);
// The same region as a canvas's pixels (R,G,B,A top-down, opaque); the surface's fourth byte is
// no alpha.
void surfaceRegionRgba(const Core& core, int32_t width, int32_t height, uint8_t* rgba);

// The size a frame larger than side x side is scaled down to, keeping its shape: the long side
// becomes `side`, the other is rounded to the nearest pixel (at least 1). A frame that fits is
// left as it is. The page and pixelwell-live scale by this one rule.
FrameSize fitWithin(int32_t width, int32_t height, int32_t side = kMaxSide);
// The same rule within a box of box.width x box.height: the side that reaches the box first
// takes its length, the other is rounded to the nearest pixel (at least 1).
FrameSize fitWithin(int32_t width, int32_t height, FrameSize box);

}  // namespace pixelwell
