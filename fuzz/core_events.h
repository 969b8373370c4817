// Drives the frame-processing core with a sequence of events read from arbitrary bytes (geometry
// changes, mode selections, frames of any buffer length) and checks, after every frame, what
// must hold whatever a driver or a user does. Shared by the libFuzzer target and the corpus
// replay test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pixelwell::fuzz {

// Interprets data as events and runs them through processFrame, the capture callback's entry.
// A broken invariant prints what broke and aborts. Leaves DisplaySurface null on return.
void runEvents(const uint8_t* data, size_t size);

// Lifts the limit of one full 1280x1280 frame per so many inputs (for replaying saved inputs).
void allowEveryFullFrame();

}  // namespace pixelwell::fuzz
