#include "kernel_syntax.h"

#include "dispatcher.h"
#include "schedule.h"

namespace pixelwell {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

bool parseKernelRows(std::string_view text, ConvolutionKernel& kernel, std::string& error) {
    const std::vector<std::string_view> rows = split(text, '/');
    const auto size = static_cast<int32_t>(rows.size());
    if (text.empty() || (size != 3 && size != 5)) {
        error = (text.empty() ? std::string("no rows") : std::to_string(size) + (size == 1 ? " row" : " rows")) +
                "; a kernel has 3 or 5 rows, separated by / (0,-1,0/-1,4,-1/0,-1,0 is 3x3)";
        return false;
    }
    int32_t weights[5][5] = {};
    for (int32_t a = 0; a < size; ++a) {
        const std::vector<std::string_view> entries = split(rows[a], ',');
        const std::string row = "row " + std::to_string(a + 1);
        if (static_cast<int32_t>(entries.size()) != size) {
            error = row + " has " + std::to_string(entries.size()) + (entries.size() == 1 ? " entry" : " entries") +
                    "; a kernel of " + std::to_string(size) + " rows has " + std::to_string(size) +
                    " in each, separated by ,";
            return false;
        }
        for (int32_t b = 0; b < size; ++b) {
            const std::string entry = row + ", entry " + std::to_string(b + 1);
            int64_t value = 0;
            if (entries[b].empty()) {
                error = entry + " is empty";
                return false;
            }
            if (!parseInteger(entries[b], INT64_MIN, INT64_MAX, value)) {
                error = entry + " is " + quoted(entries[b]) + ", not a whole number";
                return false;
            }
            if (value < -kMaxKernelWeight || value > kMaxKernelWeight) {
                error = entry + " is " + std::string(entries[b]) + "; weights go from -1000 to 1000";
                return false;
            }
            weights[a][b] = static_cast<int32_t>(value);
        }
    }
    kernel.size = size;
    for (int32_t a = 0; a < 5; ++a)
        for (int32_t b = 0; b < 5; ++b) kernel.weights[a][b] = weights[a][b];
    return true;
}

bool parseKernelDivisor(std::string_view text, int32_t& divisor, std::string& error) {
    int64_t value = 0;
    if (!parseInteger(text, 1, kMaxKernelDivisor, value)) {
        error = quoted(text) + " is no divisor; a divisor is a whole number from 1 to 1000";
        return false;
    }
    divisor = static_cast<int32_t>(value);
    return true;
}

std::string kernelRows(const ConvolutionKernel& kernel) {
    std::string text;
    for (int32_t a = 0; a < kernel.size; ++a) {
        if (a > 0) text += '/';
        for (int32_t b = 0; b < kernel.size; ++b) {
            if (b > 0) text += ',';
            text += std::to_string(kernel.weights[a][b]);
        }
    }
    return text;
}

const std::vector<KernelPreset>& kernelPresets() {
    static const std::vector<KernelPreset> presets = [] {
        std::vector<KernelPreset> list;
        for (const int32_t mode : {kModeLaplacianA, kModeLaplacianB, kModeLaplacianC, kModeSobelX, kModeSobelY,
                                   kModeLowPass3, kModeHighPass3, kModeLowPass5, kModeHighPass5})
            list.push_back({mode, findModeById(mode)->name, kernelForMode(mode)});
        return list;
    }();
    return presets;
}

const std::vector<KernelPreset>& moreKernelPresets() {
    static const ConvolutionKernel kernels[] = {
        {3, 16, {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}}},
        {5, 256, {{1, 4, 6, 4, 1}, {4, 16, 24, 16, 4}, {6, 24, 36, 24, 6}, {4, 16, 24, 16, 4}, {1, 4, 6, 4, 1}}},
        {3, 1, {{-1, 0, 1}, {-1, 0, 1}, {-1, 0, 1}}},
        {3, 1, {{1, 1, 1}, {0, 0, 0}, {-1, -1, -1}}},
        {3, 1, {{0, 1, 2}, {-1, 0, 1}, {-2, -1, 0}}},
        {3, 1, {{-2, -1, 0}, {-1, 0, 1}, {0, 1, 2}}},
        {3, 1, {{0, -1, 0}, {-1, 5, -1}, {0, -1, 0}}},
        {3, 1, {{-2, -1, 0}, {-1, 1, 1}, {0, 1, 2}}},
    };
    static const std::vector<KernelPreset> presets = {
        {kModeNone, "gaussian3", &kernels[0]}, {kModeNone, "gaussian5", &kernels[1]},
        {kModeNone, "prewitt-x", &kernels[2]}, {kModeNone, "prewitt-y", &kernels[3]},
        {kModeNone, "sobel-45", &kernels[4]},  {kModeNone, "sobel-135", &kernels[5]},
        {kModeNone, "sharpen", &kernels[6]},   {kModeNone, "emboss", &kernels[7]},
    };
    return presets;
}

std::string kernelOptions(const ConvolutionKernel& kernel) {
    std::string options = "--kernel " + kernelRows(kernel);
    if (kernel.divisor != 1) options += " --divisor " + std::to_string(kernel.divisor);
    return options;
}

}  // namespace pixelwell
