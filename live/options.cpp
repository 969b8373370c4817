#include "options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <type_traits>

#include "dispatcher.h"
#include "operation_table.h"
#include "schedule.h"
#include "pixelwell_version.h"

namespace live {

namespace {

using pixelwell::ModeInfo;
using pixelwell::ModeTable;

// The help's end; the operations' keys come from the operations table.
std::string footer() {
    return "Keys (in either window):\n"
           "  -> or n, <- or p   next / previous operation in menu order (wraps through none)\n" +
           pixelwell::operationKeys(92) + R"(  space freeze / go on   . one frame on (frozen)   r new reference (simple-diff, diff)
  k the kernel mode: --kernel's kernel (Laplacian B's without it)
  s save both pictures   h key map   q or Esc quit
While frozen, another operation shows the held frame through it, as it would have shown it had
it been chosen just before that frame.

A file plays at its own timing (its timestamps), an image sequence at 25 fps, unless --fps
says otherwise; after a pause (a stop, a freeze) the pace counts from the resume. A source
that delivers nothing for the longer of 1 s and three of its recent frame intervals is shown as
stalled ("no frame for N s"); after --lost-after seconds it counts as lost. A frame over 1280
a side is scaled down to fit 1280x1280 (said once). A recording holds one frame size: it ends,
whole, where the size changes, and the viewer goes on. FILE.txt beside a recording holds the
command that reproduces it.

Exit status: 0 an ordinary end (q, Esc, a closed window, --frames, the end of a file);
1 the run did not complete (the source was lost or is damaged, the frame size changed under
--record, a recording or picture could not be written); 2 it could not start (a usage
error, a source that cannot be opened, no display); 129, 130, 143 ended by SIGHUP, SIGINT,
SIGTERM (the recording holds whole frames; the summary is printed).)";
}

// Numbers as people type them, with a message that says what is wanted.
template <typename Number>
std::function<void(const std::string&)> numberFrom(const char* option, Number low, Number high, const char* wanted,
                                                   Number& value) {
    return [=, &value](const std::string& text) {
        errno = 0;
        char* end = nullptr;
        bool good = !text.empty() && !std::isspace(static_cast<unsigned char>(text[0]));
        if constexpr (std::is_floating_point_v<Number>) {
            const double parsed = good ? std::strtod(text.c_str(), &end) : 0;
            good = good && *end == '\0' && errno == 0 && std::isfinite(parsed) && parsed >= low && parsed <= high;
            if (good) value = static_cast<Number>(parsed);
        } else {
            const long long parsed = good ? std::strtoll(text.c_str(), &end, 10) : 0;
            good = good && *end == '\0' && errno == 0 && parsed >= static_cast<long long>(low) &&
                   parsed <= static_cast<long long>(high);
            if (good) value = static_cast<Number>(parsed);
        }
        if (!good)
            throw CLI::ValidationError(std::string(option) + " wants " + wanted + ", not " +
                                       (text.empty() ? "nothing" : text));
    };
}

}  // namespace

std::string manualHint() {
    std::string where;
#if !defined(_WIN32) && !defined(__APPLE__)
    std::error_code failure;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (!failure) {
        for (const auto& candidate : {self.parent_path().parent_path() / "share/doc/pixelwell/docs/live.md",
                                      std::filesystem::path(PIXELWELL_SOURCE_DOCS) / "live.md"}) {
            if (std::filesystem::is_regular_file(candidate, failure)) {
                where = std::filesystem::weakly_canonical(candidate, failure).string();
                break;
            }
        }
    }
#endif
    return where.empty() ? "man pixelwell-live" : where + " or man pixelwell-live";
}

int parseOptions(int argc, char** argv, Options& options) {
    CLI::App app{"Shows a camera, a video file or stream, a picture, or the test picture beside the Pixelwell "
                 "core's result.",
                 "pixelwell-live"};
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("pixelwell-live: ") + e.what() + "\nRun with --help for more information.\n";
    });
    auto* camera = app.add_option_function<std::string>(
                          "--camera", numberFrom<int>("--camera", 0, INT_MAX, "a number from 0", options.camera),
                          "camera index (default 0)")
                       ->type_name("N");
    app.add_option("--input", options.input,
                   "a video file, still picture, stream URL, pipe, device path or image-sequence pattern "
                   "(shot_%03d.png); \"test\" for the test picture")
        ->type_name("PATH|URL")
        ->excludes(camera);
    app.add_option("--size", options.size, "frame size to ask of the camera, WxH (default 640x480)")
        ->type_name("WxH");
    app.add_option("--mode", options.modes, "mode name or number, optionally @K: chosen before frame K")
        ->type_name("M[@K]")
        ->allow_extra_args(false);
    app.add_option("--kernel", options.kernel,
                   "the kernel mode's kernel (key k): rows from the top split by /, entries by , "
                   "(3x3 or 5x5, weights -1000 to 1000; default Laplacian B's, -1,-1,-1/-1,8,-1/-1,-1,-1)")
        ->type_name("ROWS");
    app.add_option("--divisor", options.divisor, "the kernel mode's divisor, 1 to 1000 (default 1)")->type_name("N");
    app.add_option_function<std::string>(
           "--frames",
           numberFrom<int64_t>("--frames", 1, INT64_MAX, "a whole number from 1 to 9223372036854775807",
                               options.frames),
           "stop after N frames")
        ->type_name("N");
    app.add_option("--record", options.record,
                   "write the raw frames handed to the core (bottom-up BGR), and FILE.txt with the command that "
                   "reproduces them; an existing file only with -y")
        ->type_name("FILE");
    app.add_flag("-y,--overwrite", options.overwrite, "let --record and saved pictures replace existing files");
    app.add_option("--save-dir", options.saveDir, "folder for the pictures s saves (default .)")->type_name("DIR");
    app.add_option("--save-at", options.saveAt, "save both pictures after frame K (0-based), as s does; K,K,...")
        ->type_name("K[,K...]")
        ->allow_extra_args(false)
        ->delimiter(',');
    app.add_option_function<std::string>(
           "--fps", numberFrom<double>("--fps", 0, 1e6, "a number from 0 (0: as fast as they come)", options.fps),
           "frames per second for a file, an image sequence or the test picture, instead of their own timing "
           "(0: as fast as they come)")
        ->type_name("F");
    app.add_option_function<std::string>(
           "--lost-after",
           numberFrom<double>("--lost-after", 0, 1e9, "a number of seconds from 0 (0: wait for ever)",
                              options.lostAfter),
           "seconds without a frame (or without the source opening) before it counts as lost (default 10; "
           "0: wait for ever)")
        ->type_name("S");
    app.add_flag("--stats", options.stats, "print the time spent per stage at exit");
    app.set_version_flag("--version", "pixelwell-live " PIXELWELL_VERSION, "print the version and exit");
    app.add_flag_callback(
           "--list-modes",
           [] {
               for (const ModeInfo& info : ModeTable) std::printf("%d %-12s %s\n", info.id, info.name, info.description);
               std::printf("%-4s %-12s %s\n", "-", pixelwell::kKernelModeName, "your own kernel (--kernel ROWS, --divisor N)");
               throw CLI::Success();
           },
           "list the modes (number, name, what it shows) and exit")
        ->trigger_on_parse();
    app.footer(footer());
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::string unknown = pixelwell::unknownOption(app);
        if (unknown.empty()) {
            app.exit(e);
        } else {
            std::fprintf(stderr, "pixelwell-live: %s\nRun with --help for more information.\n", unknown.c_str());
        }
        return kExitCannotStart;
    }
    options.cameraGiven = app.count("--camera") > 0;
    options.sizeGiven = app.count("--size") > 0;
    return -1;
}

}  // namespace live
