#include "pictures.h"

#include <png.h>
// jpeglib.h needs FILE and size_t declared before it.
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace pixelwell {

namespace {

bool endsWithNoCase(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    return std::equal(suffix.rbegin(), suffix.rend(), name.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// --- PNG ------------------------------------------------------------------------------------

bool readPng(const std::string& path, Picture& picture, std::string& error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        error = image.message;
        png_image_free(&image);
        return false;
    }
    // No alpha in the format asked for: libpng composes the picture over black.
    image.format = PNG_FORMAT_BGR;
    if (image.width > INT32_MAX / 3 || image.height > INT32_MAX / 3) {
        error = "the picture is too large";
        png_image_free(&image);
        return false;
    }
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        error = image.message;
        png_image_free(&image);
        return false;
    }
    picture.width = static_cast<int32_t>(image.width);
    picture.height = static_cast<int32_t>(image.height);
    picture.bgr = std::move(pixels);
    return true;
}

// --- JPEG -----------------------------------------------------------------------------------

struct JpegFailure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegFail(j_common_ptr info) {
    auto* failure = reinterpret_cast<JpegFailure*>(info->err);
    info->err->format_message(info, failure->message);
    std::longjmp(failure->jump, 1);
}

// A corrupt-data warning means a damaged picture: refuse it rather than show a half-grey one.
void jpegWarning(j_common_ptr info, int level) {
    if (level < 0) jpegFail(info);
}

// The EXIF orientation (1..8) from an APP1 marker, or 1 when there is none or it is unreadable.
int exifOrientation(jpeg_decompress_struct& info) {
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1 || marker->data_length < 14) continue;
        const uint8_t* d = marker->data;
        const size_t n = marker->data_length;
        if (std::memcmp(d, "Exif\0\0", 6) != 0) continue;
        const uint8_t* tiff = d + 6;
        const size_t size = n - 6;
        const bool little = tiff[0] == 'I' && tiff[1] == 'I';
        if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) continue;
        auto u16 = [&](size_t at) -> uint32_t {
            return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
        };
        auto u32 = [&](size_t at) -> uint32_t {
            return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
        };
        const uint32_t ifd = u32(4);
        if (ifd > size - 2) continue;
        const uint32_t entries = u16(ifd);
        for (uint32_t e = 0; e < entries; ++e) {
            const size_t at = ifd + 2 + size_t{12} * e;
            if (at + 12 > size) break;
            if (u16(at) == 0x0112) {  // Orientation, a SHORT held in the entry itself
                const uint32_t value = u16(at + 8);
                return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
            }
        }
    }
    return 1;
}

// Turns the decoded picture as EXIF orientation o says a viewer shows it.
void orient(Picture& picture, int o) {
    if (o == 1) return;
    const int32_t w = picture.width;
    const int32_t h = picture.height;
    const bool swap = o >= 5;
    const int32_t ow = swap ? h : w;
    const int32_t oh = swap ? w : h;
    std::vector<uint8_t> out(picture.bgr.size());
    for (int32_t y = 0; y < oh; ++y) {
        for (int32_t x = 0; x < ow; ++x) {
            int32_t sx = 0;
            int32_t sy = 0;
            switch (o) {
                case 2: sx = w - 1 - x; sy = y; break;          // mirrored
                case 3: sx = w - 1 - x; sy = h - 1 - y; break;  // turned half round
                case 4: sx = x; sy = h - 1 - y; break;          // mirrored upside down
                case 5: sx = y; sy = x; break;                  // transposed
                case 6: sx = y; sy = h - 1 - x; break;          // turned a quarter clockwise
                case 7: sx = w - 1 - y; sy = h - 1 - x; break;  // transversed
                default: sx = w - 1 - y; sy = x; break;         // 8: a quarter anticlockwise
            }
            std::memcpy(&out[(size_t(y) * ow + x) * 3], &picture.bgr[(size_t(sy) * w + sx) * 3], 3);
        }
    }
    picture.width = ow;
    picture.height = oh;
    picture.bgr = std::move(out);
}

// What the decoder hands back. It lives in the caller's frame: the decoder returns through
// longjmp on an error, which must not leave objects of its own frame half changed.
struct DecodedJpeg {
    std::vector<uint8_t> pixels;
    int32_t width = 0;
    int32_t height = 0;
    int orientation = 1;
    char message[JMSG_LENGTH_MAX] = "";
};

bool decodeJpeg(FILE* file, DecodedJpeg& out) {
    jpeg_decompress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpegFail;
    failure.manager.emit_message = jpegWarning;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&info);
        std::memcpy(out.message, failure.message, sizeof out.message);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        std::snprintf(out.message, sizeof out.message, "CMYK JPEG pictures are not supported; save it as RGB");
        return false;
    }
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    const size_t stride = size_t{info.output_width} * 3;
    out.pixels.resize(stride * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    out.orientation = exifOrientation(info);
    out.width = static_cast<int32_t>(info.output_width);
    out.height = static_cast<int32_t>(info.output_height);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

bool readJpeg(const std::string& path, Picture& picture, std::string& error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    DecodedJpeg decoded;
    if (!decodeJpeg(file.get(), decoded)) {
        error = decoded.message;
        return false;
    }
    picture.width = decoded.width;
    picture.height = decoded.height;
    picture.bgr = std::move(decoded.pixels);
    orient(picture, decoded.orientation);
    return true;
}

}  // namespace

bool hasPictureSuffix(std::string_view name) {
    return endsWithNoCase(name, ".png") || endsWithNoCase(name, ".jpg") || endsWithNoCase(name, ".jpeg");
}

bool hasPngSuffix(std::string_view name) { return endsWithNoCase(name, ".png"); }

bool readPicture(const std::string& path, Picture& picture, std::string& error) {
    uint8_t magic[8] = {};
    {
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            error = std::strerror(errno);
            return false;
        }
        const size_t got = std::fread(magic, 1, sizeof magic, file.get());
        if (std::ferror(file.get())) {
            error = std::strerror(errno);
            return false;
        }
        if (got >= 8 && png_sig_cmp(magic, 0, 8) == 0) return readPng(path, picture, error);
        if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
            return readJpeg(path, picture, error);
        }
    }
    error = "not a PNG or JPEG picture";
    return false;
}

bool writePng(const std::string& path, int32_t width, int32_t height, PixelLayout layout,
              const uint8_t* rows, std::ptrdiff_t stride, std::string& error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = layout == PixelLayout::Gray ? PNG_FORMAT_GRAY : PNG_FORMAT_BGR;
    // libpng takes packed rows; the surface's fourth byte is dropped here. Its row stride is in
    // components and its sign says which way the rows go, as ours does.
    std::vector<uint8_t> packed;
    const uint8_t* buffer = rows;
    std::ptrdiff_t components = stride;
    if (layout == PixelLayout::Bgrx) {
        packed.resize(size_t(width) * height * 3);
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* in = rows + y * stride;
            uint8_t* out = &packed[size_t(y) * width * 3];
            for (int32_t x = 0; x < width; ++x) std::memcpy(out + 3 * x, in + 4 * x, 3);
        }
        buffer = packed.data();
        components = std::ptrdiff_t{width} * 3;
    } else if (stride < 0) {
        // A negative stride points libpng at the first row in memory, the picture's last.
        buffer = rows + (height - 1) * stride;
    }
    // Written through our own stream: libpng's own file writer removes the file it could not
    // finish, whatever it is (a device or a pipe too), and names no reason.
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    errno = 0;
    const int ok = png_image_write_to_stdio(&image, file, 0, buffer,
                                            static_cast<png_int_32>(components), nullptr);
    int reason = errno;
    bool written = ok && std::fflush(file) == 0 && !std::ferror(file);
    if (!written && reason == 0) reason = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        reason = errno;
    }
    if (written) return true;
    error = reason != 0 ? std::strerror(reason) : image.message;
    png_image_free(&image);
    // A cut picture would look like a whole one to whoever opens it next.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
    return false;
}

namespace {

// Where the one integer conversion of a numbered name lies: [begin, end) of "%04d".
bool findConversion(std::string_view pattern, size_t& begin, size_t& end) {
    int found = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < pattern.size() && pattern[j] == '0') ++j;
        size_t digits = 0;
        while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])) && digits < 2) {
            ++j;
            ++digits;
        }
        if (j >= pattern.size() || pattern[j] != 'd') return false;
        begin = i;
        end = j + 1;
        ++found;
        i = j;
    }
    return found == 1;
}

}  // namespace

bool isNumberedName(std::string_view pattern) {
    size_t begin = 0;
    size_t end = 0;
    return findConversion(pattern, begin, end);
}

std::string numberedName(std::string_view pattern, uint64_t number) {
    size_t begin = 0;
    size_t end = 0;
    if (!findConversion(pattern, begin, end)) return std::string(pattern);
    std::string spec(pattern.substr(begin, end - begin - 1));
    spec += "llu";
    char digits[64];
    std::snprintf(digits, sizeof digits, spec.c_str(), static_cast<unsigned long long>(number));
    std::string out;
    auto literal = [&](std::string_view text) {
        for (size_t i = 0; i < text.size(); ++i) {
            out += text[i];
            if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
        }
    };
    literal(pattern.substr(0, begin));
    out += digits;
    literal(pattern.substr(end));
    return out;
}

}  // namespace pixelwell
