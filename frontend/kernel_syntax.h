// The kernel mode's kernel as every front-end takes and gives it: "ROWS", the rows as seen on
// screen from the top, separated by '/', the entries of a row by ',' ("0,-1,0/-1,4,-1/0,-1,0"
// is Laplacian A's); 3 or 5 rows of as many entries, whole numbers from -1000 to 1000. The
// divisor is a whole number from 1 to 1000. The nine convolution modes' kernels are its presets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "operations.h"

namespace pixelwell {

// The size and weights of `kernel` from ROWS (its divisor is left as it is). On failure returns
// false and says why in `error`, naming the row and the entry counted from 1, the top row first
// ("row 2, entry 3 is \"x\", not a whole number").
bool parseKernelRows(std::string_view text, ConvolutionKernel& kernel, std::string& error);

// A divisor from 1 to 1000; on failure false and why in `error`.
bool parseKernelDivisor(std::string_view text, int32_t& divisor, std::string& error);

// The kernel's weights as ROWS (what parseKernelRows reads back).
std::string kernelRows(const ConvolutionKernel& kernel);

// The presets: the nine convolution modes, in the menu's order.
struct KernelPreset {
    int32_t mode;
    const char* name;  // the mode's name
    const ConvolutionKernel* kernel;
};
const std::vector<KernelPreset>& kernelPresets();

// Kernels a class starts from beyond the nine (mode kModeNone: none is a mode): the Gaussians
// 3x3 (1-2-1 / 16) and 5x5 (1-4-6-4-1 / 256), Prewitt X and Y, the two diagonal Sobels,
// sharpen and emboss. The page offers them after the nine; the filter's --help lists them.
const std::vector<KernelPreset>& moreKernelPresets();

// "--kernel ROWS" and, unless it is 1, " --divisor N": the options that give the kernel.
std::string kernelOptions(const ConvolutionKernel& kernel);

}  // namespace pixelwell
