// What the command-line programs share of their arguments: "--mode M[@K]" (a mode by name or
// number, chosen before frame K, exactly as the menu command would choose it), numbers and
// frame sizes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"

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

// Frame index -> modes chosen before that frame, in the order given.
using ModeSchedule = std::multimap<uint64_t, int32_t>;

// The mode of that name, ignoring case; nullptr when there is none.
const ModeInfo* findModeByName(std::string_view name);

// The mode's table entry by identifier; nullptr for a number the menu does not hold.
const ModeInfo* findModeById(int32_t id);

// Parses "M" or "M@K" into the schedule. M is a name or any 32-bit decimal integer, K a
// 0-based frame index. On failure returns false and says why in error (for an unknown
// name, the closest names and a pointer to --list-modes).
bool addModeSwitch(std::string_view text, ModeSchedule& schedule, std::string& error);

// Chooses every mode scheduled before frame `frame`, in the order given.
void applyModeSwitches(const ModeSchedule& schedule, uint64_t frame);

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
