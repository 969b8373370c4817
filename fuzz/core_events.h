// Drives the frame-processing core with a sequence of events read from arbitrary bytes (geometry
// changes, mode selections, frames of any buffer length) and checks, after every frame, what
// must hold whatever a driver or a user does. Shared by the libFuzzer target and the corpus
// replay test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace pixelwell::fuzz {

// Interprets data as events and runs them through processFrame, the capture callback's entry.
// A broken invariant prints what broke and aborts. The core runs on from input to input, as the
// Windows program's does (capacity 1280x1280, its surface lent); it has none between inputs.
void runEvents(const uint8_t* data, size_t size);

// The core the events run through.
const Core& eventCore();

// Puts that core back to its start-up contents, as a fresh process has it.
void startOver();

// Lifts the limit of one full 1280x1280 frame per so many inputs (for replaying saved inputs).
void allowEveryFullFrame();

}  // namespace pixelwell::fuzz
