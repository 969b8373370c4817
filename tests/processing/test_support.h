// Shared fixture for the core's tests: a fresh core as the Windows program has it (capacity
// 1280x1280, a surface lent to it) for every test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "kernels.h"
#include "operations.h"

namespace pixelwell::test {

using Bgr = std::array<uint8_t, 3>;
using Frame = std::vector<uint8_t>;

// A bottom-up 24-bit frame whose pixel (row i, column j) is pixel(i, j).
Frame makeFrame(int32_t width, int32_t height, const std::function<Bgr(int32_t, int32_t)>& pixel);
// A frame of one colour.
Frame uniformFrame(int32_t width, int32_t height, Bgr colour);
// A frame whose gray levels (B = G = R) are level(i, j).
Frame grayFrame(int32_t width, int32_t height, const std::function<int32_t(int32_t, int32_t)>& level);

// The 23 operations' identifiers (every mode but none), and their names in test names.
std::vector<int32_t> everyOperation();

// The nine filters.
inline constexpr int32_t kFilterModes[] = {kModeLaplacianA, kModeLaplacianB, kModeLaplacianC,
                                           kModeSobelX,     kModeSobelY,     kModeLowPass3,
                                           kModeHighPass3,  kModeLowPass5,   kModeHighPass5};

// The scalar table, then each vector table this program has and the CPU runs.
inline std::vector<const KernelTable*> everyTable() {
    std::vector<const KernelTable*> tables{&scalarKernels()};
    for (const KernelTable* t : {sse2Kernels(), ssse3Kernels(), avx2Kernels()})
        if (t) tables.push_back(t);
    return tables;
}
inline std::string modeParamName(const testing::TestParamInfo<int32_t>& info) { return std::to_string(info.param); }

constexpr uint8_t kUntouched = 0xCD;  // the surface's contents before a test draws

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets the geometry and delivers the frame with its own length; returns the repaint flag.
    bool deliver(const Frame& frame);
    bool deliver(const Frame& frame, int32_t length);
    void geometry(int32_t width, int32_t height) { setFrameGeometry(core, width, height); }

    // The four surface bytes of frame pixel (i, j) under the current geometry.
    std::array<uint8_t, 4> pixel(int32_t i, int32_t j) const;
    // B, G, R of frame pixel (i, j); checks that the fourth byte is 0.
    Bgr colour(int32_t i, int32_t j) const;
    // Gray level of frame pixel (i, j); checks that B = G = R.
    int32_t gray(int32_t i, int32_t j) const;
    // True when no surface byte outside the top-left width x height region has changed.
    bool outsideUntouched(int32_t width, int32_t height) const;
    bool surfaceUntouched() const { return outsideUntouched(0, 0); }

    std::vector<uint8_t> surface;
    Core core{{kMaxSide, kMaxSide}, SurfaceSource::Lent};
};

}  // namespace pixelwell::test
