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
#include "kernel_syntax.h"
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

TEST(Reproduce, TheKernelIsGivenOnlyWhereTheKernelModeWasChosen) {
    using pixelwell::ModeSwitch;
    pixelwell::ConvolutionKernel sharpen{3, 1, {{0, -1, 0}, {-1, 5, -1}, {0, -1, 0}}};
    pixelwell::ConvolutionKernel blur{3, 16, {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}}};
    const pixelwell::Selections chosen = {{0, ModeSwitch::kernelWeights(sharpen)}, {0, ModeSwitch::kernelDivisor(1)},
                                          {0, pixelwell::kModeGray},           {4, ModeSwitch::kernelMode()},
                                          {6, ModeSwitch::kernelWeights(blur)}, {6, ModeSwitch::kernelDivisor(16)}};
    EXPECT_EQ(pixelwell::reproduceCommand("f", 4, 2, chosen, 9, "r.raw"),
              "f --size 4x2 --kernel 0,-1,0/-1,5,-1/0,-1,0 --mode gray --mode kernel@4 --kernel 1,2,1/2,4,2/1,2,1@6 "
              "--divisor 16@6 -- r.raw OUT");
    // Never chosen within the recording: no kernel, which the filter would refuse.
    EXPECT_EQ(pixelwell::reproduceCommand("f", 4, 2, chosen, 4, "r.raw"), "f --size 4x2 --mode gray -- r.raw OUT");
}

TEST(Kernels, RowsAreReadAndWrittenAndEveryFaultIsNamedByRowAndEntry) {
    pixelwell::ConvolutionKernel k{3, 7, {}};
    std::string error;
    ASSERT_TRUE(pixelwell::parseKernelRows("1,2,3,4,5/6,7,8,9,10/-1,-2,-3,-4,-5/0,0,0,0,0/1000,-1000,0,0,1", k, error));
    EXPECT_EQ(k.size, 5);
    EXPECT_EQ(k.divisor, 7);  // left as it was
    EXPECT_EQ(k.weights[4][1], -1000);
    EXPECT_EQ(pixelwell::kernelRows(k), "1,2,3,4,5/6,7,8,9,10/-1,-2,-3,-4,-5/0,0,0,0,0/1000,-1000,0,0,1");
    const std::pair<const char*, const char*> bad[] = {
        {"", "no rows"},
        {"1,2,3", "1 row;"},
        {"1,2,3/4,5,6/7,8,9/1,2,3", "4 rows;"},
        {"1,2,3/4,5/7,8,9", "row 2 has 2 entries"},
        {"1,2,3/4,5,6/7,8,9,", "row 3 has 4 entries"},
        {"1,2,3/4,5,6/7,,9", "row 3, entry 2 is empty"},
        {"1,2,3/4, 5,6/7,8,9", "row 2, entry 2 is \" 5\", not a whole number"},
        {"1.5,2,3/4,5,6/7,8,9", "row 1, entry 1 is \"1.5\""},
        {"1,2,3/4,5,6/7,8,1001", "row 3, entry 3 is 1001; weights go from -1000 to 1000"},
        {"1,2,3/4,5,6/7,8,99999999999999999999", "row 3, entry 3 is \"99999999999999999999\", not a whole number"},
    };
    for (const auto& [text, said] : bad) {
        pixelwell::ConvolutionKernel before{3, 1, {{9}}};
        pixelwell::ConvolutionKernel kernel = before;
        EXPECT_FALSE(pixelwell::parseKernelRows(text, kernel, error)) << text;
        EXPECT_NE(error.find(said), std::string::npos) << text << ": " << error;
        EXPECT_EQ(kernel.weights[0][0], 9) << "changed by a refused kernel: " << text;
    }
    int32_t divisor = 0;
    EXPECT_TRUE(pixelwell::parseKernelDivisor("1000", divisor, error));
    EXPECT_EQ(divisor, 1000);
    for (const char* text : {"0", "1001", "-3", "2.5", "", "x"}) EXPECT_FALSE(pixelwell::parseKernelDivisor(text, divisor, error)) << text;
    // The presets are the nine filters' kernels, and read back as themselves.
    ASSERT_EQ(pixelwell::kernelPresets().size(), 9u);
    for (const pixelwell::KernelPreset& preset : pixelwell::kernelPresets()) {
        pixelwell::ConvolutionKernel read{0, preset.kernel->divisor, {}};
        ASSERT_TRUE(pixelwell::parseKernelRows(pixelwell::kernelRows(*preset.kernel), read, error));
        EXPECT_EQ(pixelwell::modeOfKernel(read), preset.mode) << preset.name;
    }
}

TEST(Kernels, AScheduleSetsTheKernelAndDivisorAtTheirFrames) {
    pixelwell::ModeSchedule schedule;
    std::string error;
    ASSERT_TRUE(pixelwell::addModeSwitch("KERNEL@2", schedule, error));
    ASSERT_TRUE(pixelwell::addKernelSwitch("1,0,-1/2,0,-2/1,0,-1", schedule, error));
    ASSERT_TRUE(pixelwell::addDivisorSwitch("4@3", schedule, error));
    EXPECT_FALSE(pixelwell::addDivisorSwitch("4@", schedule, error));
    EXPECT_NE(error.find("bad --divisor 4@: after @ comes a frame index"), std::string::npos) << error;
    EXPECT_FALSE(pixelwell::addKernelSwitch("1,0/2,0", schedule, error));
    EXPECT_EQ(error.rfind("bad --kernel 1,0/2,0: 2 rows", 0), 0u) << error;
    pixelwell::Core core({8, 8});
    for (uint64_t frame = 0; frame < 4; ++frame) pixelwell::applyModeSwitches(core, schedule, frame);
    EXPECT_TRUE(pixelwell::kernelModeChosen(core));
    EXPECT_EQ(core.Kernel.weights[1][0], 2);
    EXPECT_EQ(core.Kernel.divisor, 4);
    EXPECT_TRUE(pixelwell::choosesKernelMode(schedule) && pixelwell::setsKernel(schedule) &&
                pixelwell::setsDivisor(schedule));
    EXPECT_EQ(pixelwell::unreachedNotes(schedule, 3),
              std::vector<std::string>{"--divisor 4@3 was never reached: the input held 3 frames"});
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
    for (const auto& [w, h] : {std::pair{1, 1}, {3, 5}, {641, 479}}) {
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
