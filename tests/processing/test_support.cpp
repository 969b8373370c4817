#include "test_support.h"

#include <algorithm>

namespace pixelwell::test {

Frame makeFrame(int32_t width, int32_t height, const std::function<Bgr(int32_t, int32_t)>& pixel) {
    Frame frame(static_cast<size_t>(width) * height * 3);
    for (int32_t i = 0; i < height; ++i)
        for (int32_t j = 0; j < width; ++j) {
            const Bgr p = pixel(i, j);
            std::copy(p.begin(), p.end(), frame.begin() + 3 * (static_cast<size_t>(i) * width + j));
        }
    return frame;
}

Frame uniformFrame(int32_t width, int32_t height, Bgr colour) {
    return makeFrame(width, height, [&](int32_t, int32_t) { return colour; });
}

Frame grayFrame(int32_t width, int32_t height,
                const std::function<int32_t(int32_t, int32_t)>& level) {
    return makeFrame(width, height, [&](int32_t i, int32_t j) {
        const auto v = static_cast<uint8_t>(level(i, j));
        return Bgr{v, v, v};
    });
}

void CoreTest::SetUp() {
    surface.assign(kSurfaceBytes, kUntouched);
    lendSurface(core, surface.data());
}

void CoreTest::TearDown() { lendSurface(core, nullptr); }

bool CoreTest::deliver(const Frame& frame) {
    return processFrame(core, frame.data(), static_cast<int32_t>(frame.size()));
}

bool CoreTest::deliver(const Frame& frame, int32_t length) {
    return processFrame(core, frame.data(), length);
}

std::array<uint8_t, 4> CoreTest::pixel(int32_t i, int32_t j) const {
    const size_t at = static_cast<size_t>(placedRow(core, i, core.FrameGeometry.height)) * kSurfaceStride + 4 * j;
    return {surface[at], surface[at + 1], surface[at + 2], surface[at + 3]};
}

Bgr CoreTest::colour(int32_t i, int32_t j) const {
    const auto p = pixel(i, j);
    EXPECT_EQ(p[3], 0) << "fourth byte at " << i << "," << j;
    return {p[0], p[1], p[2]};
}

int32_t CoreTest::gray(int32_t i, int32_t j) const {
    const auto p = pixel(i, j);
    EXPECT_TRUE(p[0] == p[1] && p[1] == p[2] && p[3] == 0) << "not gray at " << i << "," << j;
    return p[0];
}

bool CoreTest::outsideUntouched(int32_t width, int32_t height) const {
    for (int32_t row = 0; row < kMaxSide; ++row) {
        const bool frameRow = row >= kMaxSide - height;
        for (int32_t byte = frameRow ? 4 * width : 0; byte < kSurfaceStride; ++byte)
            if (surface[static_cast<size_t>(row) * kSurfaceStride + byte] != kUntouched) return false;
    }
    return true;
}

std::vector<int32_t> everyOperation() {
    std::vector<int32_t> modes;
    for (const ModeInfo& info : ModeTable)
        if (info.id != kModeNone) modes.push_back(info.id);
    return modes;
}

}  // namespace pixelwell::test
