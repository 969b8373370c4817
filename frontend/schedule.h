// What the front-ends share of their arguments: "--mode M[@K]" (a mode by name or number, chosen
// before frame K, exactly as the menu command would choose it), numbers, frame sizes, and the
// answer to a misspelt option.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "operations.h"

namespace pixelwell {

// Edits (insertions, deletions, substitutions), ignoring case, that turn a into b: how far a
// typed name is from a real one.
size_t editDistance(std::string_view a, std::string_view b);

// For a command line with an unknown option: "unknown option --mdoe (did you mean --mode?)" for
// the first argument left over that looks like an option ("--mdoe", "--sise=5x3", "-z"; not
// "-5", nor anything after "--"), given the long options' names ("mode", "size"). Empty when no
// argument looks like an option. A misspelt option is named before what it leaves missing.
std::string unknownOption(const std::vector<std::string>& leftOver, const std::vector<std::string>& longNames);

// The same for a CLI11 application, after its parse failed.
template <typename App>
std::string unknownOption(const App& app) {
    std::vector<std::string> names;
    for (const auto* option : app.get_options())
        for (const std::string& name : option->get_lnames()) names.push_back(name);
    return unknownOption(app.remaining(false), names);
}

// A whole decimal integer from low to high, nothing before or after it.
bool parseInteger(std::string_view text, int64_t low, int64_t high, int64_t& value);

// "WxH" (or "WXH") with W and H from 1 to maxSide.
bool parseFrameSize(std::string_view text, int32_t maxSide, int32_t& width, int32_t& height);

// One choice made before a frame: a mode by identifier (as the menu command), the kernel mode
// (by its name only), or the kernel mode's kernel (its size and weights) or divisor.
struct ModeSwitch {
    enum Kind : uint8_t { kMode, kKernelMode, kKernel, kDivisor };
    ModeSwitch() = default;
    ModeSwitch(int32_t mode) : mode(mode) {}  // NOLINT: a mode is the common choice
    static ModeSwitch kernelMode();
    static ModeSwitch kernelWeights(const ConvolutionKernel& kernel);
    static ModeSwitch kernelDivisor(int32_t divisor);
    bool choosesMode() const { return kind == kMode || kind == kKernelMode; }
    bool operator==(const ModeSwitch& other) const;

    Kind kind = kMode;
    int32_t mode = kModeNone;              // kMode: the identifier; kKernelMode: kModeKernel
    ConvolutionKernel kernel{3, 1, {}};    // kKernel: size and weights; kDivisor: divisor
};

// Frame index -> choices made before that frame, in the order given.
using ModeSchedule = std::multimap<uint64_t, ModeSwitch>;

// The mode of that name, ignoring case; nullptr when there is none.
const ModeInfo* findModeByName(std::string_view name);

// The mode's table entry by identifier; nullptr for a number the menu does not hold.
const ModeInfo* findModeById(int32_t id);

// Parses "M" or "M@K" into the schedule. M is a name ("kernel" for the kernel mode) or any
// 32-bit decimal integer, K a 0-based frame index. On failure returns false and says why in
// error (for an unknown name, the closest names and a pointer to --list-modes).
bool addModeSwitch(std::string_view text, ModeSchedule& schedule, std::string& error);

// The same for "ROWS[@K]" (the kernel, see kernel_syntax.h) and "N[@K]" (the divisor); the
// error starts "bad --kernel ROWS: " or "bad --divisor N: ".
bool addKernelSwitch(std::string_view text, ModeSchedule& schedule, std::string& error);
bool addDivisorSwitch(std::string_view text, ModeSchedule& schedule, std::string& error);

// Makes, in the core, every choice scheduled before frame `frame`, in the order given.
void applyModeSwitches(Core& core, const ModeSchedule& schedule, uint64_t frame);
void applyModeSwitch(Core& core, const ModeSwitch& choice);

// What a schedule holds of the kernel mode: a choice of it, and kernels or divisors.
bool choosesKernelMode(const ModeSchedule& schedule);
bool setsKernel(const ModeSchedule& schedule);
bool setsDivisor(const ModeSchedule& schedule);

// The name the kernel mode is chosen by.
constexpr const char* kKernelModeName = "kernel";

// The mode's name ("gray"), or the bare number for one the menu does not hold.
std::string modeName(int32_t id);

// "none (1400)" for a mode of the table, the bare number otherwise.
std::string modeLabel(int32_t id);

// What a user may not expect of a schedule, one line each: a switch to a number that selects
// no operation (frames are counted and stored, nothing is drawn), frames that come before
// the first switch, and several switches before one frame (the last takes effect).
std::vector<std::string> scheduleNotes(const ModeSchedule& schedule);

// One line per switch scheduled at or after `frames`, which a run of that many frames never
// reached.
std::vector<std::string> unreachedNotes(const ModeSchedule& schedule, uint64_t frames);

}  // namespace pixelwell
