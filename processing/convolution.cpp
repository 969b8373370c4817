// Laplacian, Sobel, low-pass and high-pass filters over the gray plane.
#include "operations.h"

namespace pixelwell {

namespace {

// Each table is drawn as the picture is seen: its top row weighs the line above the pixel.

//  0 -1  0
// -1  4 -1
//  0 -1  0
constexpr ConvolutionKernel kLaplacianA{3, 1, {{0, -1, 0}, {-1, 4, -1}, {0, -1, 0}}};
// -1 -1 -1
// -1  8 -1
// -1 -1 -1
constexpr ConvolutionKernel kLaplacianB{3, 1, {{-1, -1, -1}, {-1, 8, -1}, {-1, -1, -1}}};
//  1 -2  1
// -2  4 -2
//  1 -2  1
constexpr ConvolutionKernel kLaplacianC{3, 1, {{1, -2, 1}, {-2, 4, -2}, {1, -2, 1}}};
// -1  0  1
// -2  0  2
// -1  0  1
constexpr ConvolutionKernel kSobelX{3, 1, {{-1, 0, 1}, {-2, 0, 2}, {-1, 0, 1}}};
//  1  2  1
//  0  0  0
// -1 -2 -1
constexpr ConvolutionKernel kSobelY{3, 1, {{1, 2, 1}, {0, 0, 0}, {-1, -2, -1}}};
// all 1, / 9
constexpr ConvolutionKernel kLowPass3{3, 9, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}};
// -1 -1 -1
// -1  8 -1
// -1 -1 -1, / 9
constexpr ConvolutionKernel kHighPass3{3, 9, {{-1, -1, -1}, {-1, 8, -1}, {-1, -1, -1}}};
// all 25 weights 1, / 25
constexpr ConvolutionKernel kLowPass5{
    5, 25, {{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}}};
// centre 24, the other 24 weights -1, / 25
constexpr ConvolutionKernel kHighPass5{5,
                                       25,
                                       {{-1, -1, -1, -1, -1},
                                        {-1, -1, -1, -1, -1},
                                        {-1, -1, 24, -1, -1},
                                        {-1, -1, -1, -1, -1},
                                        {-1, -1, -1, -1, -1}}};

}  // namespace

const ConvolutionKernel* kernelForMode(int32_t mode) {
    switch (mode) {
        case 1411: return &kLaplacianA;
        case 1412: return &kLaplacianB;
        case 1413: return &kLaplacianC;
        case 1421: return &kSobelX;
        case 1422: return &kSobelY;
        case 1431: return &kLowPass3;
        case 1432: return &kHighPass3;
        case 1433: return &kLowPass5;
        case 1434: return &kHighPass5;
        default: return nullptr;
    }
}

int32_t modeOfKernel(const ConvolutionKernel& kernel) {
    for (int32_t mode : {1411, 1412, 1413, 1421, 1422, 1431, 1432, 1433, 1434}) {
        const ConvolutionKernel& k = *kernelForMode(mode);
        if (k.size != kernel.size || k.divisor != kernel.divisor) continue;
        bool same = true;
        for (int32_t a = 0; a < k.size; ++a)
            for (int32_t b = 0; b < k.size; ++b) same = same && k.weights[a][b] == kernel.weights[a][b];
        if (same) return mode;
    }
    return 0;
}

bool validKernel(const ConvolutionKernel& kernel) {
    if (kernel.size != 3 && kernel.size != 5) return false;
    if (kernel.divisor < 1 || kernel.divisor > kMaxKernelDivisor) return false;
    for (int32_t a = 0; a < 5; ++a)
        for (int32_t b = 0; b < 5; ++b) {
            const int32_t w = kernel.weights[a][b];
            if (a >= kernel.size || b >= kernel.size ? w != 0 : w < -kMaxKernelWeight || w > kMaxKernelWeight)
                return false;
        }
    return true;
}

Range kernelValueRange(const ConvolutionKernel& kernel) {
    // The sum is largest where the positive weights see 255 and the negative ones 0, and the
    // other way round; the truncating quotient grows with the sum.
    int32_t positive = 0, negative = 0;
    for (int32_t a = 0; a < kernel.size; ++a)
        for (int32_t b = 0; b < kernel.size; ++b)
            (kernel.weights[a][b] > 0 ? positive : negative) += kernel.weights[a][b];
    return {negative * 255 / kernel.divisor, positive * 255 / kernel.divisor};
}

Range convolveGrayPlane(Core& core, const ConvolutionKernel& kernel) {
    Range range{1, 0};
    int32_t width, height;
    if (!drawableGeometry(core, width, height)) return range;
    const int32_t reach = (kernel.size - 1) / 2;

    for (int32_t i = 0; i < height; ++i) {
        int32_t* out = planeRow(core.ResultPlane, i, height);
        const bool borderRow = i < reach || i > height - 1 - reach;
        for (int32_t j = 0; j < width; ++j) {
            if (borderRow || j < reach || j > width - 1 - reach) {
                out[j] = 0;
                continue;
            }
            int32_t sum = 0;
            for (int32_t a = -reach; a <= reach; ++a) {
                // Bottom-up planes: the line above (a > 0) is the next plane row.
                const int32_t* in = planeRow(core.GrayPlane, i + a, height);
                const int32_t* weights = kernel.weights[reach - a];
                for (int32_t b = -reach; b <= reach; ++b) sum += weights[b + reach] * in[j + b];
            }
            const int32_t v = kernel.divisor == 1 ? sum : sum / kernel.divisor;  // truncates
            out[j] = v;
            if (range.minimum > range.maximum)
                range.minimum = range.maximum = v;
            else if (v > range.maximum)
                range.maximum = v;
            else if (v < range.minimum)
                range.minimum = v;
        }
    }
    return range;
}

void runConvolution(Core& core, const ConvolutionKernel& kernel) {
    const Range range = convolveGrayPlane(core, kernel);
    normalizeResultPlane(core, core.ResultPlane, range.minimum, range.maximum);
}

}  // namespace pixelwell
