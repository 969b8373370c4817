// Generated camera-like pictures for the simulated capture device, the demo and the
// benchmarks. Platform-free.
#pragma once

#include <cstdint>

namespace simcam {

enum class Picture : int32_t {
    MovingShapes = 0,  // gradients, a shaded ball, sharp-edged shapes in motion, mild noise
    ColourBars = 1,    // colour bars over a gray ramp with a gliding marker
    Noise = 2,         // the scene under strong grain and black and white specks
    Still = 3,         // the shapes standing still, noise frozen
};
constexpr int32_t kPictureCount = 4;

// Fills a bottom-up 24-bit frame (B, G, R; rows packed, width*height*3 bytes) with frame
// number `frame` of the picture.
void renderPicture(Picture picture, int32_t width, int32_t height, uint32_t frame, uint8_t* bgr);

}  // namespace simcam
