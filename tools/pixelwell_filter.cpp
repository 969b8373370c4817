// pixelwell-filter: runs raw 24-bit frames through the frame-processing core exactly as the
// capture callback does, and writes what the result window would show.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "mode_args.h"

namespace {

using namespace pixelwell;

constexpr int kExitUsage = 2;
constexpr int kExitTruncated = 1;

struct Options {
    std::string size;
    std::vector<std::string> modes;
    int64_t length = -1;
    bool lengthGiven = false;
    bool topDown = false;
    bool fullSurface = false;
    bool listModes = false;
    std::string input = "-";
    std::string output = "-";
};

bool parseInt(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

bool parseSize(const std::string& text, int32_t& width, int32_t& height) {
    const auto x = text.find('x');
    int64_t w = 0, h = 0;
    if (x == std::string::npos || !parseInt(text.substr(0, x), 1, kMaxSide, w) ||
        !parseInt(text.substr(x + 1), 1, kMaxSide, h))
        return false;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "pixelwell-filter: %s\n", message.c_str());
    return kExitUsage;
}

// Reads up to size bytes; returns how many were read.
size_t readFully(std::FILE* in, uint8_t* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const size_t got = std::fread(buffer + done, 1, size - done, in);
        if (got == 0) break;
        done += got;
    }
    return done;
}

alignas(64) uint8_t Surface[kSurfaceBytes];

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Runs raw 24-bit frames through the Pixelwell processing core."};
    app.add_option("--size", options.size, "frame size WxH, each 1..1280");
    app.add_option("--mode", options.modes,
                   "mode name or number, optionally @K: chosen before frame K (default 0)");
    app.add_option("--length", options.length,
                   "buffer length handed over with each frame (default W*H*3)");
    app.add_flag("--top-down", options.topDown, "input and output rows top row first");
    app.add_flag("--full-surface", options.fullSurface,
                 "write the whole 1280x1280 surface, rows as stored (bottom-up)");
    app.add_flag("--list-modes", options.listModes, "list the modes and exit");
    app.add_option("IN", options.input, "raw BGR frames (default standard input)");
    app.add_option("OUT", options.output, "output pixels B,G,R,X (default standard output)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    options.lengthGiven = app.count("--length") > 0;

    if (options.listModes) {
        for (const ModeInfo& info : ModeTable)
            std::printf("%d %-12s %s\n", info.id, info.name, info.description);
        return 0;
    }

    int32_t width = 0, height = 0;
    if (options.size.empty()) return usageError("--size WxH is required");
    if (!parseSize(options.size, width, height))
        return usageError("--size must be WxH with W and H from 1 to 1280: " + options.size);
    if (options.modes.empty()) return usageError("at least one --mode is required");
    ModeSchedule schedule;
    for (const std::string& text : options.modes) {
        std::string error;
        if (!addModeSwitch(text, schedule, error)) return usageError(error);
    }
    if (options.lengthGiven && (options.length < INT32_MIN || options.length > INT32_MAX))
        return usageError("--length must fit in 32 bits");

    std::FILE* in = options.input == "-" ? stdin : std::fopen(options.input.c_str(), "rb");
    if (!in) return usageError("cannot open " + options.input + ": " + std::strerror(errno));
    std::FILE* out = options.output == "-" ? stdout : std::fopen(options.output.c_str(), "wb");
    if (!out) return usageError("cannot open " + options.output + ": " + std::strerror(errno));

    const size_t frameBytes = static_cast<size_t>(width) * height * 3;
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const int32_t length =
        options.lengthGiven ? static_cast<int32_t>(options.length) : static_cast<int32_t>(frameBytes);
    std::vector<uint8_t> frame(frameBytes);
    std::vector<uint8_t> bottomUp(frameBytes);
    // Exactly length bytes, so that a read past the end is caught by the sanitizers.
    std::vector<uint8_t> handed(length > 0 ? static_cast<size_t>(length) : 0);
    std::vector<uint8_t> region(static_cast<size_t>(width) * height * 4);

    DisplaySurface = Surface;
    FrameGeometry = {width, height};

    for (uint64_t index = 0;; ++index) {
        const size_t got = readFully(in, frame.data(), frameBytes);
        if (got == 0) break;
        if (got < frameBytes) {
            std::fprintf(stderr,
                         "pixelwell-filter: input ends inside frame %llu: %zu of %zu bytes "
                         "missing\n",
                         static_cast<unsigned long long>(index), frameBytes - got, frameBytes);
            std::fflush(out);
            return kExitTruncated;
        }
        applyModeSwitches(schedule, index);

        const uint8_t* source = frame.data();
        if (options.topDown) {
            for (int32_t i = 0; i < height; ++i)
                std::memcpy(bottomUp.data() + i * rowBytes,
                            frame.data() + (height - 1 - i) * rowBytes, rowBytes);
            source = bottomUp.data();
        }
        if (!handed.empty()) {
            const size_t copied = std::min(handed.size(), frameBytes);
            std::memcpy(handed.data(), source, copied);
            std::memset(handed.data() + copied, 0, handed.size() - copied);
        }
        processFrame(handed.data(), length);

        if (options.fullSurface) {
            std::fwrite(Surface, 1, sizeof Surface, out);
        } else {
            const size_t outRow = static_cast<size_t>(width) * 4;
            for (int32_t i = 0; i < height; ++i) {
                const int32_t row = options.topDown ? height - 1 - i : i;
                std::memcpy(region.data() + i * outRow, surfaceRow(row, height), outRow);
            }
            std::fwrite(region.data(), 1, region.size(), out);
        }
        if (std::ferror(out)) {
            std::fprintf(stderr, "pixelwell-filter: write failed\n");
            return kExitUsage;
        }
    }
    return std::fflush(out) == 0 ? 0 : kExitUsage;
}
