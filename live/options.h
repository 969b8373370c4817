// pixelwell-live's command line: what a run is asked to do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace live {

constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;  // the source lost or damaged, a recording or picture not written
constexpr int kExitCannotStart = 2;

struct Options {
    int camera = 0;
    std::string input;
    std::string size = "640x480";
    std::vector<std::string> modes;
    std::string kernel;   // the kernel mode's, ROWS as pixelwell-filter takes them; "" for Laplacian B's
    std::string divisor;  // "" for 1
    int64_t frames = 0;  // 0: no limit
    std::string record;
    std::string saveDir = ".";
    std::vector<uint64_t> saveAt;
    double fps = -1;  // -1: the source's own timing
    double lostAfter = 10;
    bool overwrite = false;
    bool stats = false;
    bool cameraGiven = false;
    bool sizeGiven = false;
};

// Parses the command line. Returns -1 to go on, or the exit code when the run ends here
// (--help, --version, --list-modes: 0; a usage error, said on stderr: 2).
int parseOptions(int argc, char** argv, Options& options);

// Where this program's manual is: the installed docs/live.md beside the program (or in the
// source tree it was built from), and its man page.
std::string manualHint();

}  // namespace live
