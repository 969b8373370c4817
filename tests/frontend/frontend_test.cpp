// The front-end library: the reproduce command and its quoting reach a shell as written, for any
// name; a misspelt option is named with the closest; frames convert both ways; large frames fit.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core.h"
#include "frames.h"
#include "reproduce.h"
#include "schedule.h"

namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() {
        char name[] = "/tmp/frontend-test-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~Folder() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// What bash prints for the command.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(("bash -c " + pixelwell::shellQuoted(command)).c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    pclose(pipe);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The reproduce command

const std::vector<std::string> kOddNames = {
    "plain.raw", "with space.raw", "it's.raw", "\"quoted\".raw", "$HOME.raw", "`date`.raw", "back\\slash.raw",
    "new\nline.raw", "-starts-with-dash.raw", "~tilde.raw", "50%discount_%03d.raw", "star*.raw", "semi;colon.raw",
    "録画.raw", "a=b.raw", "tab\there.raw", "!bang.raw"};

TEST(Reproduce, EveryOddNameReachesTheShellAsItIs) {
    for (const std::string& name : kOddNames) {
        const std::string said = run("printf '%s' " + pixelwell::shellQuoted(name));
        EXPECT_EQ(said, name) << "quoted as " << pixelwell::shellQuoted(name);
    }
}

TEST(Reproduce, TheCommandAndTheCutOfNAMEtxtRunAsWritten) {
    Folder folder;
    for (const std::string& odd : kOddNames) {
        const std::string path = folder / odd;
        // Two and a half frames of 2x2, as a killed run may leave.
        std::ofstream(path, std::ios::binary) << std::string(30, 'x');
        const std::string command = pixelwell::reproduceCommand(
            "printf '%s|'", 2, 2, {{0, pixelwell::kModeGray}, {5, pixelwell::kModeSobelX}, {9, 1399}}, 9, path);
        const std::string words = run(command.substr(0, command.size() - 4) + " OUT");
        EXPECT_EQ(words, "--size|2x2|--mode|gray|--mode|sobel-x@5|--|" + path + "|OUT|") << command;
        const std::string notes = pixelwell::recordingNotes(command, 2, 2, path);
        const size_t cut = notes.find("#   truncate");
        ASSERT_NE(cut, std::string::npos);
        const std::string line = notes.substr(cut + 4, notes.find('\n', cut) - cut - 4);
        run(line);
        EXPECT_EQ(fs::file_size(path), 24u) << line;
        EXPECT_EQ(notes.substr(notes.rfind('\n', notes.size() - 2) + 1), command + "\n");
    }
}

TEST(Reproduce, NoChoiceIsNone) {
    EXPECT_EQ(pixelwell::reproduceCommand("f", 4, 2, {}, 3, "r.raw"), "f --size 4x2 --mode none -- r.raw OUT");
}

// The page's command names the results it saved, and a choice made twice before one frame once.
TEST(Reproduce, TheOutputIsNamedAndARepeatedChoiceSaidOnce) {
    using pixelwell::kModeGray;
    EXPECT_EQ(pixelwell::reproduceCommand("pixelwell-filter", 320, 240, {{0, kModeGray}, {0, kModeGray}, {4, kModeGray}}, 9,
                                          "recording.raw", "results.bgrx"),
              "pixelwell-filter --size 320x240 --mode gray --mode gray@4 -- recording.raw results.bgrx");
    EXPECT_EQ(pixelwell::reproduceCommand("f", 2, 2, {{0, pixelwell::kModeSobelX}}, 1, "r.raw", "results-sobel x.bgrx"),
              "f --size 2x2 --mode sobel-x -- r.raw 'results-sobel x.bgrx'");
}

// ---------------------------------------------------------------------------------------------
// Misspelt options, as both programs answer them

TEST(Options, AMisspeltOptionIsNamedWithTheClosest) {
    const std::vector<std::string> names = {"camera", "input", "size", "mode", "record"};
    EXPECT_EQ(pixelwell::unknownOption({"test", "--inptu"}, names), "unknown option --inptu (did you mean --input?)");
    EXPECT_EQ(pixelwell::unknownOption({"--sise=5x3"}, names), "unknown option --sise (did you mean --size?)");
    EXPECT_EQ(pixelwell::unknownOption({"-z"}, names), "unknown option -z");
    EXPECT_EQ(pixelwell::unknownOption({"-5", "--", "--inptu"}, names), "");
}

// ---------------------------------------------------------------------------------------------
// Frames

TEST(Frames, ConversionsGoBothWaysOverOddSizes) {
    std::mt19937 random(5);
    for (const auto [w, h] : {std::pair{1, 1}, {3, 5}, {641, 479}}) {
        std::vector<uint8_t> bgr(size_t(w) * h * 3);
        for (auto& b : bgr) b = static_cast<uint8_t>(random());
        std::vector<uint8_t> rgba(size_t(w) * h * 4), back(bgr.size()), flipped(bgr.size()), twice(bgr.size());
        pixelwell::rgbaFromFrame(bgr.data(), rgba.data(), w, h);
        // Bottom-up B,G,R to top-down R,G,B,A: the bottom row's first pixel is the last row's.
        EXPECT_EQ(rgba[size_t(h - 1) * w * 4], bgr[2]);
        EXPECT_EQ(rgba[size_t(h - 1) * w * 4 + 3], 255);
        pixelwell::frameFromRgba(rgba.data(), back.data(), w, h);
        EXPECT_TRUE(back == bgr) << w << "x" << h;
        pixelwell::flipRows(bgr.data(), flipped.data(), h, size_t(w) * 3);
        pixelwell::flipRows(flipped.data(), twice.data(), h, size_t(w) * 3);
        EXPECT_TRUE(twice == bgr);
    }
}

TEST(Frames, TheSurfaceRegionReadsTheSameInEveryLayout) {
    pixelwell::Core core({7, 5});
    const int w = 6, h = 4;
    std::mt19937 random(9);
    const size_t stride = size_t(core.surfaceStride());
    for (size_t k = 0; k < core.surfaceBytes(); ++k) core.DisplaySurface[k] = static_cast<uint8_t>(random());
    std::vector<uint8_t> up(size_t(w) * h * 4), down(up.size()), bgr(size_t(w) * h * 3), rgba(up.size());
    pixelwell::surfaceRegion(core, w, h, false, up.data());
    pixelwell::surfaceRegion(core, w, h, true, down.data());
    pixelwell::surfaceRegionBgr(core, w, h, bgr.data(), w * 3);
    pixelwell::surfaceRegionRgba(core, w, h, rgba.data());
    for (int i = 0; i < h; ++i) {        // frame row i, bottom-up
        for (int x = 0; x < w; ++x) {
            // The frame fills the surface's last rows.
            const uint8_t* s = core.DisplaySurface + (5 - h + i) * stride + 4 * x;
            const uint8_t* u = &up[(size_t(i) * w + x) * 4];
            const uint8_t* d = &down[(size_t(h - 1 - i) * w + x) * 4];
            const uint8_t* b = &bgr[(size_t(h - 1 - i) * w + x) * 3];
            const uint8_t* r = &rgba[(size_t(h - 1 - i) * w + x) * 4];
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(u[c], s[c]);
                ASSERT_EQ(d[c], s[c]);
            }
            ASSERT_TRUE(b[0] == s[0] && b[1] == s[1] && b[2] == s[2]);
            ASSERT_TRUE(r[0] == s[2] && r[1] == s[1] && r[2] == s[0] && r[3] == 255);
        }
    }
}

TEST(Frames, LargeFramesFitWithin1280KeepingTheirShape) {
    using pixelwell::fitWithin;
    auto is = [](pixelwell::FrameSize s, int w, int h) { return s.width == w && s.height == h; };
    EXPECT_TRUE(is(fitWithin(640, 480), 640, 480));
    EXPECT_TRUE(is(fitWithin(1280, 1280), 1280, 1280));
    EXPECT_TRUE(is(fitWithin(1920, 1080), 1280, 720));
    EXPECT_TRUE(is(fitWithin(1080, 1920), 720, 1280));
    EXPECT_TRUE(is(fitWithin(1600, 1201), 1280, 961));  // 960.8, rounded
    EXPECT_TRUE(is(fitWithin(4000, 3), 1280, 1));
    EXPECT_TRUE(is(fitWithin(100000, 1), 1280, 1));
    EXPECT_TRUE(is(fitWithin(1281, 1281), 1280, 1280));
}

// The page's grid cells: within a box of another shape, the side that reaches it first takes
// its length; over many sizes the result lies in the box, keeps the shape to the nearest pixel,
// never grows, and a square box gives what the square rule gives.
TEST(Frames, FramesFitWithinABoxKeepingTheirShape) {
    using pixelwell::fitWithin;
    const pixelwell::FrameSize box{320, 480};
    auto is = [](pixelwell::FrameSize s, int w, int h) { return s.width == w && s.height == h; };
    EXPECT_TRUE(is(fitWithin(640, 480, box), 320, 240));
    EXPECT_TRUE(is(fitWithin(1280, 720, box), 320, 180));
    EXPECT_TRUE(is(fitWithin(720, 1280, box), 270, 480));
    EXPECT_TRUE(is(fitWithin(160, 120, box), 160, 120));
    EXPECT_TRUE(is(fitWithin(1, 4000, box), 1, 480));
    for (int w = 1; w <= 1300; w += 7) {
        for (int h = 1; h <= 1300; h += 11) {
            const pixelwell::FrameSize s = fitWithin(w, h, box);
            ASSERT_TRUE(s.width >= 1 && s.height >= 1 && s.width <= std::min(w, box.width) && s.height <= std::min(h, box.height))
                << w << "x" << h << " gave " << s.width << "x" << s.height;
            if (w <= box.width && h <= box.height) {
                ASSERT_TRUE(is(s, w, h));
            } else if (int64_t{w} * box.height >= int64_t{h} * box.width) {  // wider than the box: its width
                ASSERT_EQ(s.width, box.width) << w << "x" << h;
                if (s.height > 1) {  // the height to the nearest pixel of h x 320 / w
                    ASSERT_LE(std::abs(2 * (int64_t{s.height} * w - int64_t{h} * box.width)), w) << w << "x" << h;
                }
            } else {
                ASSERT_EQ(s.height, box.height) << w << "x" << h;
                if (s.width > 1) {
                    ASSERT_LE(std::abs(2 * (int64_t{s.width} * h - int64_t{w} * box.height)), h) << w << "x" << h;
                }
            }
            const pixelwell::FrameSize square = fitWithin(w, h, pixelwell::FrameSize{300, 300});
            ASSERT_TRUE(is(square, fitWithin(w, h, 300).width, fitWithin(w, h, 300).height));
        }
    }
}

}  // namespace
