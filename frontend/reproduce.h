// The pixelwell-filter command that gives a recording's result pictures byte for byte: the
// frame size, every operation chosen at its frame, and the recording's name as a shell takes it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "schedule.h"

namespace pixelwell {

// (before frame, choice) for every choice made, in the order made: modes, and the kernel mode's
// kernel and divisor (give the kernel in use at frame 0 where the kernel mode may be chosen).
using Selections = std::vector<std::pair<uint64_t, ModeSwitch>>;

// The text as one shell word: unchanged when it holds only plain characters, else in single
// quotes (a quote inside as '\''); a name with a control character (a newline) as $'...', so
// that the command stays on one line.
std::string shellQuoted(const std::string& text);

// The built pixelwell-filter beside this program (an install) or in the build tree's tools/,
// quoted; "pixelwell-filter" when neither is found.
std::string filterProgram();

// "FILTER --size WxH --mode ... -- RECORDING OUTPUT" (OUT: a word for the file to write, or the
// name that the results were saved under, such as the page's results.bgrx). Choices at or after
// `frames` are left out: the recording never reached them; the same choice twice in a row before
// one frame is named once. With none chosen, "--mode none": the filter wants a mode. Kernels and
// divisors are given only where the kernel mode was chosen (the filter refuses them otherwise), a
// divisor of 1 at frame 0 not at all (it is the default).
std::string reproduceCommand(const std::string& filter, int width, int height, const Selections& selections,
                             uint64_t frames, const std::string& recording, const std::string& output = "OUT");

// What NAME.txt beside a recording holds: what the recording is, how to cut one that ends
// inside a frame, and the command (its last line, with OUT for the output).
std::string recordingNotes(const std::string& command, int width, int height, const std::string& recording);

}  // namespace pixelwell
