// Pictures in and out of the headless filter: a PNG or JPEG read as one 24-bit frame, and frames
// or single planes written as PNG. libpng and libjpeg(-turbo) do the coding; this only moves rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pixelwell {

// One picture as the filter's frames hold it: B, G, R per pixel, rows packed, top row first.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgr;
};

// True when the name ends in .png, .jpg or .jpeg (any case): the names read as pictures.
bool hasPictureSuffix(std::string_view name);
// True when the name ends in .png (any case): the names written as PNG.
bool hasPngSuffix(std::string_view name);

// Reads a PNG or a JPEG, told apart by their first bytes. Colours are converted to 8-bit B,G,R
// by the libraries (gray spread to three channels, 16-bit reduced, a palette looked up, an alpha
// channel composed over black); a JPEG's EXIF orientation is applied, so that the frame is the
// picture as a viewer shows it. False, with the reason in `error`, when it cannot be read.
bool readPicture(const std::string& path, Picture& picture, std::string& error);

// What the rows handed to writePng hold per pixel.
enum class PixelLayout {
    Gray,  // 1 byte
    Bgr,   // 3 bytes
    Bgrx,  // 4 bytes, the fourth ignored
};

// Writes a PNG (8-bit gray, or 8-bit RGB) of width x height pixels. `rows` points at the top row
// and `stride` is the distance in bytes from one row to the row below it (negative for pixels
// stored bottom-up, pointing at the last row in memory). A failed write (a full disk, say)
// removes the file and says why in `error`.
bool writePng(const std::string& path, int32_t width, int32_t height, PixelLayout layout,
              const uint8_t* rows, std::ptrdiff_t stride, std::string& error);

// "out-%04d.png" with frame 7 -> "out-0007.png": one printf conversion of an integer, which the
// name must hold once (and `%%` for a percent sign). False when the name holds none, several,
// or another conversion.
bool isNumberedName(std::string_view pattern);
std::string numberedName(std::string_view pattern, uint64_t number);

}  // namespace pixelwell
