// pixelwell-filter: runs raw 24-bit frames through the frame-processing core exactly as the
// capture callback does, and writes what the result window would show.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "frames.h"
#include "kernel_syntax.h"
#include "pictures.h"
#include "reproduce.h"
#include "schedule.h"
#include "stages.h"
#include "pixelwell_version.h"

namespace {

using namespace pixelwell;

// Usage errors (and files that cannot be opened or would be overwritten while read) are
// refused before anything is written; a run that stops part-way ends with kExitIncomplete.
constexpr int kExitUsage = 2;
constexpr int kExitIncomplete = 1;

constexpr const char* kFooterHead =
    R"(IN and OUT may stand before, between or after the options; "-" is standard input
or output, and "--" ends the options. Each --mode takes one value and may be repeated:
--mode gray --mode invert@100 shows gray levels, then inverts from frame 100 on.

Use --top-down with ffmpeg (its rawvideo rows come top row first). Without it rows are
taken bottom-up, as the camera driver delivers them; a top-down input is then processed
upside down, which flips the sign of sobel-y.

Example: a 30 fps video through the Sobel X filter (give the source's frame rate):
  ffmpeg -i in.mp4 -vf scale=640:480 -f rawvideo -pix_fmt bgr24 - |
    pixelwell-filter --size 640x480 --top-down --mode sobel-x |
    ffmpeg -y -f rawvideo -pix_fmt bgr0 -s 640x480 -framerate 30 -i - -pix_fmt yuv420p out.mp4
)";

constexpr const char* kFooterTail =
    R"(
Pictures: an IN named *.png, *.jpg or *.jpeg is one frame of the picture's size (upright,
--size optional); an OUT named *.png is written upright as PNG (result, gray, levels), one
file a frame with a numbered name such as out-%04d.png.
--stage gray|values|levels writes that stage instead of the picture: gray levels (1 byte a
pixel), the filter values (4 bytes, signed, little-endian) or their levels before the
stretch (1 byte), rows as --top-down says.

Exit status: 0 done; 1 the run did not complete (the input ended inside a frame, or a
read or write failed; the frames before it were written); 2 usage error, a file that
cannot be opened, or IN and OUT the same file (nothing written).)";

// The help's kernels: your own, and the nine filters' as --kernel, whose pictures are theirs.
std::string kernelHelp() {
    std::string text =
        "\nYour own kernel: --kernel ROWS, the rows from the top separated by /, the entries by ,\n"
        "(3x3 or 5x5, weights -1000 to 1000), with --divisor N (1 to 1000, default 1); @K as for\n"
        "--mode. --kernel alone means --mode kernel. The nine filters as kernels:\n";
    for (const KernelPreset& preset : kernelPresets()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-12s --kernel %s\n", preset.name, kernelOptions(*preset.kernel).substr(9).c_str());
        text += line;
    }
    text += "More kernels to start from (the page offers them too):\n";
    for (const KernelPreset& preset : moreKernelPresets()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-12s --kernel %s\n", preset.name, kernelOptions(*preset.kernel).substr(9).c_str());
        text += line;
    }
    return text;
}

// What --stage writes, and what a frame of it holds.
struct StageChoice {
    const char* name;
    bool result;
    Stage stage;
};
constexpr StageChoice kStages[] = {{"result", true, Stage::Gray},
                                   {"gray", false, Stage::Gray},
                                   {"values", false, Stage::Values},
                                   {"levels", false, Stage::Levels}};

struct Options {
    std::string size;
    std::vector<std::string> modes;
    std::vector<std::string> kernels;
    std::vector<std::string> divisors;
    std::string stage = "result";
    int64_t length = 0;
    bool topDown = false;
    bool fullSurface = false;
    std::string input = "-";
    std::string output = "-";
};

void say(const std::string& message) { std::fprintf(stderr, "pixelwell-filter: %s\n", message.c_str()); }

int usageError(const std::string& message) {
    say(message);
    return kExitUsage;
}

std::string reason(int error) { return std::strerror(error); }

// An open input or output: its descriptor, the name messages use, and what it is.
struct Stream {
    int fd = -1;
    std::string name;
    struct stat info {};
};

// The whole buffer, or as much as the input still holds; false on a read error (errno set).
bool readFully(int fd, uint8_t* buffer, size_t size, size_t& done) {
    done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return true;
}

// Written straight through, frame by frame: a failure is seen at the frame it happens to.
bool writeFully(int fd, const uint8_t* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, buffer + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// What a file starting with these bytes most likely is, when it is a container or picture
// format rather than raw frames; nullptr otherwise. Only ever a hint: raw frames may start with
// any bytes.
const char* containerKind(const std::string& head) {
    auto at = [&](size_t offset, const char* bytes, size_t size) {
        return head.size() >= offset + size && head.compare(offset, size, bytes, size) == 0;
    };
    if (at(4, "ftyp", 4) || at(4, "moov", 4) || at(4, "mdat", 4)) return "an MP4/MOV video";
    if (at(0, "\x1a\x45\xdf\xa3", 4)) return "a Matroska/WebM video";
    if (at(0, "RIFF", 4) && at(8, "AVI ", 4)) return "an AVI video";
    if (at(0, "RIFF", 4) && at(8, "WEBP", 4)) return "a WebP picture";
    if (at(0, "YUV4MPEG2", 9)) return "a Y4M video";
    if (at(0, "\x89PNG\r\n\x1a\n", 8)) return "a PNG picture";
    if (at(0, "\xff\xd8\xff", 3)) return "a JPEG picture";
    if (at(0, "GIF87a", 6) || at(0, "GIF89a", 6)) return "a GIF picture";
    if (at(0, "BM", 2) && head.size() >= 14) return "a BMP picture";
    if (at(0, "FLV", 3)) return "an FLV video";
    if (at(0, "OggS", 4)) return "an Ogg video";
    if (at(0, "\x30\x26\xb2\x75\x8e\x66\xcf\x11", 8)) return "a WMV/ASF video";
    if (at(0, "\x00\x00\x01\xba", 4)) return "an MPEG program stream";
    return nullptr;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && (S_ISREG(a.st_mode) || S_ISBLK(a.st_mode));
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Runs raw 24-bit frames (or a picture) through the Pixelwell processing core and writes, for\n"
        "every frame, what the result window shows. --size (for raw frames) and --mode (or --kernel)\n"
        "are required.",
        "pixelwell-filter"};
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("pixelwell-filter: ") + e.what() + "\nRun with --help for more information.\n";
    });
    CLI::Option* size = app.add_option("--size", options.size, "frame size, W and H from 1 to 1280 (e.g. 640x480)")
                            ->type_name("WxH");
    // One value per --mode, so that the files after it stay files; every --mode is kept.
    CLI::Option* modes = app.add_option("--mode", options.modes,
                                        "mode by name (--list-modes) or number; with @K chosen before frame K\n"
                                        "(K counts from 0 and defaults to 0); repeat for a schedule")
                             ->type_name("M[@K]")
                             ->expected(1)
                             ->allow_extra_args(false)
                             ->take_all();
    app.add_option("--kernel", options.kernels,
                   "the kernel mode's kernel: rows from the top, split by /, entries by ,\n"
                   "(3x3 or 5x5; see below); @K from frame K on")
        ->type_name("ROWS[@K]")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
    app.add_option("--divisor", options.divisors, "the kernel mode's divisor, 1 to 1000 (default 1); @K from frame K on")
        ->type_name("N[@K]")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
    app.add_option("--stage", options.stage,
                   "what is written of each frame: result (the picture, default), gray,\n"
                   "values or levels (see below)")
        ->type_name("S");
    app.add_flag("--top-down", options.topDown,
                 "rows top row first in input and output (ffmpeg's order; see below)");
    app.add_flag_callback(
           "--list-modes",
           [] {
               for (const ModeInfo& info : ModeTable)
                   std::printf("%d %-12s %s\n", info.id, info.name, info.description);
               std::printf("%-4s %-12s %s\n", "-", kKernelModeName, "your own kernel (--kernel ROWS, --divisor N)");
               throw CLI::Success();
           },
           "list the modes (number, name, what it shows) and exit")
        ->trigger_on_parse();
    const char* testing = "For testing";
    CLI::Option* length =
        app.add_option("--length", options.length,
                       "buffer length per frame instead of W*H*3 (cut or zero-padded; may be 0 or < 0)")
            ->type_name("L")
            ->group(testing);
    app.add_flag("--full-surface", options.fullSurface,
                 "write the whole 1280x1280 surface per frame, rows bottom-up as stored")
        ->group(testing);
    app.add_option("IN", options.input, "raw frames, W*H*3 bytes each, B,G,R per pixel, or a PNG or JPEG\n(default -)")
        ->type_name("");
    app.add_option("OUT", options.output, "B,G,R,X per pixel, W*H*4 bytes per frame, or PNG (default -)")
        ->type_name("");
    app.set_version_flag("--version", "pixelwell-filter " PIXELWELL_VERSION, "print the version and exit");
    app.footer(std::string(kFooterHead) + kernelHelp() + kFooterTail);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::string unknown = unknownOption(app);
        if (unknown.empty()) {
            app.exit(e);
        } else {
            say(unknown);
            std::fputs("Run with --help for more information.\n", stderr);
        }
        return kExitUsage;
    }
    (void)modes;

    // The schedule: modes, kernels and divisors, each at its frame.
    ModeSchedule schedule;
    for (const std::string& text : options.modes) {
        std::string error;
        if (!addModeSwitch(text, schedule, error)) return usageError(error);
    }
    for (const std::string& text : options.kernels) {
        std::string error;
        if (!addKernelSwitch(text, schedule, error)) return usageError(error);
    }
    for (const std::string& text : options.divisors) {
        std::string error;
        if (!addDivisorSwitch(text, schedule, error)) return usageError(error);
    }
    if (options.modes.empty()) {
        if (options.kernels.empty())
            return usageError("--mode is required: a mode's name or number (--list-modes), or --kernel ROWS for a "
                              "kernel of your own");
        schedule.emplace(0, ModeSwitch::kernelMode());  // --kernel alone: the kernel mode from the start
    }
    if (choosesKernelMode(schedule)) {
        if (!setsKernel(schedule))
            return usageError("--mode kernel needs the kernel: --kernel ROWS, e.g. --kernel 0,-1,0/-1,4,-1/0,-1,0");
        // Without a kernel by then, the kernel mode would run one nobody gave.
        uint64_t firstMode = UINT64_MAX, firstKernel = UINT64_MAX;
        for (const auto& [frame, choice] : schedule) {
            if (choice.kind == ModeSwitch::kKernelMode) firstMode = std::min(firstMode, frame);
            if (choice.kind == ModeSwitch::kKernel) firstKernel = std::min(firstKernel, frame);
        }
        if (firstKernel > firstMode)
            return usageError("--mode kernel@" + std::to_string(firstMode) + " comes before the first --kernel (@" +
                              std::to_string(firstKernel) + "): give the kernel from frame " +
                              std::to_string(firstMode) + " on");
    } else if (setsKernel(schedule) || setsDivisor(schedule)) {
        return usageError(std::string(options.kernels.empty() ? "--divisor" : "--kernel") +
                          " is for the kernel mode, which no --mode chooses: add --mode kernel");
    }

    const StageChoice* stage = nullptr;
    for (const StageChoice& choice : kStages)
        if (options.stage == choice.name) stage = &choice;
    if (!stage) return usageError("bad --stage " + options.stage + ": the stages are result, gray, values and levels");
    if (!stage->result) {
        if (options.fullSurface)
            return usageError("--stage " + options.stage +
                              " and --full-surface do not go together: --full-surface writes the result");
        // Every mode the schedule chooses must have the stage.
        for (const auto& [frame, choice] : schedule) {
            if (!choice.choosesMode()) continue;
            if (modeHasStage(choice.mode, choice.kind == ModeSwitch::kKernelMode, stage->stage)) continue;
            const std::string name = choice.kind == ModeSwitch::kKernelMode ? kKernelModeName : modeLabel(choice.mode);
            return usageError("--stage " + options.stage + ": mode " + name + " has no such stage (" +
                              (stage->stage == Stage::Gray
                                   ? "gray levels are of gray, the filters, kernel and the rank filters"
                                   : "values and levels are of the nine filters and kernel") +
                              ")");
        }
    }
    if (length->count() > 0 && (options.length < INT32_MIN || options.length > INT32_MAX))
        return usageError("--length must fit in 32 bits");

    // Pictures in and out, told by their names.
    const bool pictureIn = options.input != "-" && hasPictureSuffix(options.input);
    const bool pngOut = options.output != "-" && hasPngSuffix(options.output);
    if (pngOut && options.fullSurface) return usageError("--full-surface writes raw frames, not " + options.output);
    if (pngOut && !stage->result && stage->stage == Stage::Values)
        return usageError("--stage values are 32-bit numbers, which a PNG does not hold: write them to a raw file");
    // An existing file's name is a file before it is a pattern.
    struct stat existing {};
    const bool outExists = options.output != "-" && ::stat(options.output.c_str(), &existing) == 0;
    const bool numbered = pngOut && !outExists && isNumberedName(options.output);

    int32_t width = 0, height = 0;
    if (size->count() > 0 && !parseFrameSize(options.size, kMaxSide, width, height))
        return usageError("--size must be WxH with W and H from 1 to 1280: " + options.size);
    if (size->count() == 0 && !pictureIn) return usageError("--size is required (W x H of the raw frames)");

    // The input first: a file that cannot be read leaves OUT as it was.
    Stream in, out;
    Picture picture;
    if (pictureIn) {
        std::string error;
        in.name = options.input;
        if (::stat(options.input.c_str(), &in.info) != 0) return usageError("cannot open " + in.name + ": " + reason(errno));
        if (!readPicture(options.input, picture, error)) return usageError("cannot read " + in.name + ": " + error);
        if (picture.width > kMaxSide || picture.height > kMaxSide)
            return usageError(in.name + " is " + std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                              ": a frame is at most 1280x1280 (scale it down first)");
        if (size->count() > 0 && (width != picture.width || height != picture.height))
            return usageError("--size " + options.size + " does not match " + in.name + ", which is " +
                              std::to_string(picture.width) + "x" + std::to_string(picture.height));
        width = picture.width;
        height = picture.height;
    } else if (options.input == "-") {
        in.fd = STDIN_FILENO;
        in.name = "standard input";
    } else {
        in.name = options.input;
        in.fd = ::open(options.input.c_str(), O_RDONLY);
        if (in.fd < 0) return usageError("cannot open " + in.name + ": " + reason(errno));
    }
    if (!pictureIn) {
        if (::fstat(in.fd, &in.info) != 0) return usageError("cannot read " + in.name + ": " + reason(errno));
        if (S_ISDIR(in.info.st_mode)) return usageError("cannot read " + in.name + ": " + reason(EISDIR));
    }
    // Frames are binary: typed at a terminal or shown on one they are of no use, and shown they
    // garble it. Refused as compressors refuse, before anything is read or written.
    const bool typedInput = in.fd == STDIN_FILENO && ::isatty(STDIN_FILENO);
    const bool shownOutput = options.output == "-" && ::isatty(STDOUT_FILENO);
    if (typedInput)
        say("the frames are expected on standard input, which is a terminal: pipe them in\n"
            "  (pixelwell-clip | pixelwell-filter ...) or give the file: pixelwell-filter ... in.raw out.raw");
    if (shownOutput)
        say("the output is binary frames and standard output is a terminal: redirect it\n"
            "  (pixelwell-filter ... > out.raw), pipe it on, or give the file: pixelwell-filter ... in.raw out.raw");
    if (typedInput || shownOutput) return kExitUsage;

    const size_t frameBytes = static_cast<size_t>(width) * height * 3;
    // A PNG holds one picture: a run of several frames needs a numbered name, which a raw
    // file's size tells before anything is written (a pipe's, only at its second frame).
    const uint64_t knownFrames = pictureIn ? 1 : S_ISREG(in.info.st_mode) ? static_cast<uint64_t>(in.info.st_size) / frameBytes : 0;
    if (pngOut && !numbered && knownFrames > 1)
        return usageError(in.name + " holds " + std::to_string(knownFrames) + " frames and " + options.output +
                          " one picture: give a numbered name such as out-%04d.png");

    // The same file as IN is refused before OUT is opened for writing; OUT is then opened
    // without truncating it and compared again, in case the name changed hands meanwhile.
    const bool ownOutput = options.output != "-";
    auto refuseSameFile = [&](const std::string& outName) {
        return usageError(in.name + " and " + outName +
                          " are the same file: writing would destroy the frames still to be read");
    };
    if (outExists && sameFile(in.info, existing)) return refuseSameFile(options.output);
    if (pngOut) {
        out.name = options.output;
    } else if (ownOutput) {
        out.name = options.output;
        out.fd = ::open(options.output.c_str(), O_WRONLY | O_CREAT, 0666);
        if (out.fd < 0) return usageError("cannot open " + out.name + ": " + reason(errno));
    } else {
        out.fd = STDOUT_FILENO;
        out.name = "standard output";
    }
    if (!pngOut) {
        if (::fstat(out.fd, &out.info) != 0) return usageError("cannot write " + out.name + ": " + reason(errno));
        if (sameFile(in.info, out.info)) return refuseSameFile(out.name);
        if (ownOutput && S_ISREG(out.info.st_mode) && ::ftruncate(out.fd, 0) != 0)
            return usageError("cannot write " + out.name + ": " + reason(errno));
    }

    // A reader that went away or a file size limit is a write error with a message, not a
    // silent death by signal.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    for (const std::string& note : scheduleNotes(schedule)) say(note);

    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const int32_t handedLength =
        length->count() > 0 ? static_cast<int32_t>(options.length) : static_cast<int32_t>(frameBytes);
    std::vector<uint8_t> frame(frameBytes);
    std::vector<uint8_t> bottomUp(frameBytes);
    // Exactly handedLength bytes, so that a read past the end is caught by the sanitizers.
    std::vector<uint8_t> handed(handedLength > 0 ? static_cast<size_t>(handedLength) : 0);
    std::vector<uint8_t> region(static_cast<size_t>(width) * height * 4);
    // A stage keeps what it last held through frames that were not drawn, as the surface does.
    std::vector<uint8_t> staged(stage->result ? 0 : static_cast<size_t>(width) * height * stageBytes(stage->stage));

    // A core for frames of this size, drawing into a surface of its own (all zero at the start);
    // the whole surface of the Windows program's 1280x1280 bitmap with --full-surface.
    Core core(options.fullSurface ? FrameSize{kMaxSide, kMaxSide} : FrameSize{width, height});
    const size_t outBytes = options.fullSurface ? core.surfaceBytes() : !stage->result ? staged.size() : region.size();
    setFrameGeometry(core, width, height);
    // Pictures are upright: their rows go out top row first whatever --top-down says.
    const bool topDownOut = options.topDown || pngOut;

    // The input's first bytes, kept to recognise a video or picture given by mistake.
    std::string head;
    uint64_t index = 0;
    for (;; ++index) {
        size_t got = 0;
        const uint8_t* source = frame.data();
        if (pictureIn) {
            if (index == 1) break;
            // The picture is upright; the core takes rows bottom-up.
            flipRows(picture.bgr.data(), bottomUp.data(), height, rowBytes);
            source = bottomUp.data();
        } else {
            if (!readFully(in.fd, frame.data(), frameBytes, got)) {
                say("cannot read " + in.name + " at frame " + std::to_string(index) + ": " + reason(errno) +
                    " (" + std::to_string(index) + " complete frames written)");
                return kExitIncomplete;
            }
            if (got == 0) break;
            if (head.size() < 16)
                head.append(reinterpret_cast<const char*>(frame.data()), std::min(got, 16 - head.size()));
            if (got < frameBytes) {
                say(in.name + " ends inside frame " + std::to_string(index) + ": " +
                    std::to_string(frameBytes - got) + " of its " + std::to_string(frameBytes) +
                    " bytes missing (" + std::to_string(index) + " complete frames written)");
                if (const char* kind = containerKind(head)) {
                    const std::string input = options.input == "-" ? "in.mp4" : shellQuoted(options.input);
                    say(in.name + " starts like " + kind + ", not raw frames; ffmpeg makes raw frames of it:\n"
                        "  ffmpeg -i " + input + " -vf scale=" + std::to_string(width) + ":" + std::to_string(height) +
                        " -f rawvideo -pix_fmt bgr24 - |\n"
                        "    pixelwell-filter --size " + std::to_string(width) + "x" + std::to_string(height) +
                        " --top-down --mode ...");
                }
                return kExitIncomplete;
            }
            if (options.topDown) {
                flipRows(frame.data(), bottomUp.data(), height, rowBytes);
                source = bottomUp.data();
            }
        }
        if (pngOut && !numbered && index == 1) {
            say(in.name + " holds more than one frame and " + out.name +
                " one picture: give a numbered name such as out-%04d.png (frame 0 written)");
            return kExitIncomplete;
        }
        applyModeSwitches(core, schedule, index);

        if (!handed.empty()) {
            const size_t copied = std::min(handed.size(), frameBytes);
            std::memcpy(handed.data(), source, copied);
            std::memset(handed.data() + copied, 0, handed.size() - copied);
        }
        processFrame(core, handed.data(), handedLength);

        const uint8_t* result = core.DisplaySurface;
        if (!stage->result) {
            FrameStages stages;
            if (makeStages(core, stages)) copyStage(core, stages, stage->stage, topDownOut, staged.data());
            result = staged.data();
        } else if (!options.fullSurface) {
            surfaceRegion(core, width, height, topDownOut, region.data());
            result = region.data();
        }
        if (pngOut) {
            const std::string name = numbered ? numberedName(options.output, index) : options.output;
            std::string error;
            const PixelLayout layout = stage->result ? PixelLayout::Bgrx : PixelLayout::Gray;
            const ptrdiff_t stride = static_cast<ptrdiff_t>(width) * (stage->result ? 4 : 1);
            if (!writePng(name, width, height, layout, result, stride, error)) {
                say("cannot write " + name + " at frame " + std::to_string(index) + ": " + error + " (" +
                    std::to_string(index) + " complete frames written)");
                return kExitIncomplete;
            }
            continue;
        }
        if (!writeFully(out.fd, result, outBytes)) {
            const int error = errno;
            std::string kept = std::to_string(index) + " complete frames written";
            // A file of ours keeps whole frames only, so that what is there can be used.
            if (ownOutput && S_ISREG(out.info.st_mode) &&
                ::ftruncate(out.fd, static_cast<off_t>(index * outBytes)) == 0)
                kept = out.name + " keeps the " + std::to_string(index) + " complete frames before it";
            say("cannot write " + out.name + " at frame " + std::to_string(index) + ": " + reason(error) +
                " (" + kept + ")");
            return kExitIncomplete;
        }
    }
    if (index == 0)
        say("no frame in " + in.name + ": the output is empty");
    else
        for (const std::string& note : unreachedNotes(schedule, index)) say(note);
    if (!pngOut && ownOutput && ::close(out.fd) != 0) {
        say("cannot write " + out.name + ": " + reason(errno));
        return kExitIncomplete;
    }
    return 0;
}
