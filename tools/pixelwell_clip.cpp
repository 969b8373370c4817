// pixelwell-clip: writes frames of a generated picture as raw 24-bit BGR, for the demo, the
// contact sheet and the benchmarks.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pixelwell_version.h"
#include "test_picture.h"

int main(int argc, char** argv) {
    int32_t width = 640, height = 480;
    uint32_t frames = 1, first = 0;
    bool topDown = false;
    simcam::Picture picture = simcam::Picture::MovingShapes;
    const std::map<std::string, simcam::Picture> pictures{{"shapes", simcam::Picture::MovingShapes},
                                                          {"bars", simcam::Picture::ColourBars},
                                                          {"noise", simcam::Picture::Noise},
                                                          {"still", simcam::Picture::Still}};
    CLI::App app{"Writes raw 24-bit frames of a generated test picture to standard output."};
    app.add_option("--width", width)->check(CLI::Range(1, 1280));
    app.add_option("--height", height)->check(CLI::Range(1, 1280));
    app.add_option("--frames", frames, "number of frames");
    app.add_option("--first", first, "number of the first frame");
    app.add_option("--picture", picture, "shapes, bars, noise or still")
        ->transform(CLI::CheckedTransformer(pictures, CLI::ignore_case));
    app.add_flag("--top-down", topDown, "top row first (ffmpeg's bgr24) instead of bottom-up");
    app.set_version_flag("--version", "pixelwell-clip " PIXELWELL_VERSION, "print the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> frame(row * height), flipped(row * height);
    for (uint32_t n = 0; n < frames; ++n) {
        simcam::renderPicture(picture, width, height, first + n, frame.data());
        const uint8_t* out = frame.data();
        if (topDown) {
            for (int32_t i = 0; i < height; ++i)
                std::memcpy(flipped.data() + i * row, frame.data() + (height - 1 - i) * row, row);
            out = flipped.data();
        }
        if (std::fwrite(out, 1, frame.size(), stdout) != frame.size()) return 1;
    }
    return 0;
}
