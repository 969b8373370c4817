// The filter's pictures: PNGs written in every layout and row order read back as the same
// pixels, a JPEG's EXIF orientation is applied, numbered names, and every failure says why.
#include "pictures.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace pixelwell {
namespace {

class PicturesTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("pictures_test." + std::to_string(::getpid()) + "." +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

std::vector<uint8_t> noise(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> out(bytes);
    for (auto& b : out) b = static_cast<uint8_t>(random());
    return out;
}

TEST_F(PicturesTest, PngRoundTripsInEveryLayoutAndRowOrder) {
    const int sizes[][2] = {{1, 1}, {3, 5}, {641, 479}};
    for (auto [w, h] : sizes) {
        for (PixelLayout layout : {PixelLayout::Gray, PixelLayout::Bgr, PixelLayout::Bgrx}) {
            const int bpp = layout == PixelLayout::Gray ? 1 : layout == PixelLayout::Bgr ? 3 : 4;
            const auto pixels = noise(size_t(w) * h * bpp, w * 7 + bpp);
            // What a reader of the PNG must see, top row first.
            std::vector<uint8_t> expected(size_t(w) * h * 3);
            for (int bottomUp = 0; bottomUp < 2; ++bottomUp) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << " bpp " << bpp << " bottom-up " << bottomUp);
                const std::ptrdiff_t stride = std::ptrdiff_t{w} * bpp;
                // Bottom-up: memory's last row is the picture's top row.
                const uint8_t* top = bottomUp ? pixels.data() + (h - 1) * stride : pixels.data();
                const std::ptrdiff_t step = bottomUp ? -stride : stride;
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        const uint8_t* p = top + y * step + x * bpp;
                        for (int c = 0; c < 3; ++c) expected[(size_t(y) * w + x) * 3 + c] = bpp == 1 ? p[0] : p[c];
                    }
                }
                std::string error;
                const auto file = path("out.png");
                ASSERT_TRUE(writePng(file, w, h, layout, top, step, error)) << error;
                Picture read;
                ASSERT_TRUE(readPicture(file, read, error)) << error;
                ASSERT_EQ(read.width, w);
                ASSERT_EQ(read.height, h);
                ASSERT_TRUE(read.bgr == expected);
            }
        }
    }
}

// A JPEG of 2x3 flat blocks (each 8x8 pixels of one colour, so that the coding keeps them
// apart), with an EXIF orientation when one is given.
void writeBlocksJpeg(const std::string& file, int orientation) {
    const int bw = 2, bh = 3, w = bw * 8, h = bh * 8;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int block = (y / 8) * bw + x / 8;
            rgb[(size_t(y) * w + x) * 3 + 0] = static_cast<uint8_t>(40 * block);
            rgb[(size_t(y) * w + x) * 3 + 1] = static_cast<uint8_t>(255 - 40 * block);
            rgb[(size_t(y) * w + x) * 3 + 2] = 128;
        }
    FILE* out = std::fopen(file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    jpeg_compress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, out);
    info.image_width = w;
    info.image_height = h;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    if (orientation) {
        // "Exif\0\0", a little-endian TIFF header, one IFD entry: Orientation (0x0112), SHORT.
        const uint8_t exif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                0x12, 0x01, 3, 0, 1, 0, 0, 0, static_cast<uint8_t>(orientation), 0, 0, 0,
                                0, 0, 0, 0};
        jpeg_write_marker(&info, JPEG_APP0 + 1, exif, sizeof exif);
    }
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = rgb.data() + size_t(info.next_scanline) * w * 3;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(out);
}

TEST_F(PicturesTest, JpegOrientationIsApplied) {
    std::string error;
    Picture plain;
    writeBlocksJpeg(path("plain.jpg"), 0);
    ASSERT_TRUE(readPicture(path("plain.jpg"), plain, error)) << error;
    ASSERT_EQ(plain.width, 16);
    ASSERT_EQ(plain.height, 24);
    auto at = [](const Picture& p, int x, int y) {
        const uint8_t* q = &p.bgr[(size_t(y) * p.width + x) * 3];
        return std::array<uint8_t, 3>{q[0], q[1], q[2]};
    };
    // Block centres of the stored picture: (column, row) of 2 x 3 blocks.
    auto block = [&](int bx, int by) { return at(plain, bx * 8 + 4, by * 8 + 4); };
    // Orientation 6: the stored picture turned a quarter clockwise, so the shown one is 24 wide
    // and its top-left block is the stored bottom-left one.
    Picture turned;
    writeBlocksJpeg(path("six.jpg"), 6);
    ASSERT_TRUE(readPicture(path("six.jpg"), turned, error)) << error;
    ASSERT_EQ(turned.width, 24);
    ASSERT_EQ(turned.height, 16);
    EXPECT_EQ(at(turned, 4, 4), block(0, 2));
    EXPECT_EQ(at(turned, 20, 4), block(0, 0));
    EXPECT_EQ(at(turned, 4, 12), block(1, 2));
    // Orientation 3: upside down.
    Picture flipped;
    writeBlocksJpeg(path("three.jpg"), 3);
    ASSERT_TRUE(readPicture(path("three.jpg"), flipped, error)) << error;
    ASSERT_EQ(flipped.width, 16);
    EXPECT_EQ(at(flipped, 4, 4), block(1, 2));
    // Orientation 8: a quarter anticlockwise; the top-left block is the stored top-right one.
    Picture back;
    writeBlocksJpeg(path("eight.jpg"), 8);
    ASSERT_TRUE(readPicture(path("eight.jpg"), back, error)) << error;
    ASSERT_EQ(back.width, 24);
    EXPECT_EQ(at(back, 4, 4), block(1, 0));
    EXPECT_EQ(at(back, 20, 4), block(1, 2));
}

TEST_F(PicturesTest, FailuresSayWhy) {
    std::string error;
    Picture p;
    EXPECT_FALSE(readPicture(path("missing.png"), p, error));
    EXPECT_EQ(error, "No such file or directory");

    std::ofstream(path("text.png")) << "not a picture at all";
    EXPECT_FALSE(readPicture(path("text.png"), p, error));
    EXPECT_EQ(error, "not a PNG or JPEG picture");

    // Cut pictures: a PNG and a JPEG that end half way.
    const auto pixels = noise(64 * 64 * 3, 1);
    ASSERT_TRUE(writePng(path("whole.png"), 64, 64, PixelLayout::Bgr, pixels.data(), 64 * 3, error)) << error;
    writeBlocksJpeg(path("whole.jpg"), 0);
    for (const char* name : {"whole.png", "whole.jpg"}) {
        const auto size = std::filesystem::file_size(path(name));
        std::filesystem::copy_file(path(name), path(std::string("cut-") + name));
        std::filesystem::resize_file(path(std::string("cut-") + name), size / 2);
        error.clear();
        EXPECT_FALSE(readPicture(path(std::string("cut-") + name), p, error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }

    // A full disk: the write fails and says so.
    error.clear();
    EXPECT_FALSE(writePng("/dev/full", 64, 64, PixelLayout::Bgr, pixels.data(), 64 * 3, error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    // ... and leaves what it wrote into alone when that is not a plain file.
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    error.clear();
    EXPECT_FALSE(writePng(path("no/such/folder.png"), 4, 4, PixelLayout::Gray, pixels.data(), 4, error));
    EXPECT_FALSE(error.empty());
}

TEST(PictureNames, SuffixesAndNumberedNames) {
    EXPECT_TRUE(hasPictureSuffix("a.PNG"));
    EXPECT_TRUE(hasPictureSuffix("photo.jpeg"));
    EXPECT_TRUE(hasPictureSuffix("photo.JPG"));
    EXPECT_FALSE(hasPictureSuffix("clip.raw"));
    EXPECT_FALSE(hasPngSuffix("photo.jpg"));

    EXPECT_TRUE(isNumberedName("out-%04d.png"));
    EXPECT_TRUE(isNumberedName("%d.png"));
    EXPECT_FALSE(isNumberedName("out.png"));
    EXPECT_FALSE(isNumberedName("100%%.png"));
    EXPECT_FALSE(isNumberedName("%d-%d.png"));
    EXPECT_FALSE(isNumberedName("%s.png"));
    EXPECT_EQ(numberedName("out-%04d.png", 7), "out-0007.png");
    EXPECT_EQ(numberedName("%d.png", 12345), "12345.png");
    EXPECT_EQ(numberedName("100%%-%03d.png", 5), "100%-005.png");
}

}  // namespace
}  // namespace pixelwell
