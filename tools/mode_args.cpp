#include "mode_args.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace pixelwell {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}


// Names that contain the typed text, or are within two edits of it.
std::string closestNames(std::string_view typed) {
    std::string names;
    for (const ModeInfo& info : ModeTable) {
        const std::string_view name = info.name;
        bool contains = false;
        for (size_t at = 0; !typed.empty() && at + typed.size() <= name.size() && !contains; ++at)
            contains = equalIgnoringCase(name.substr(at, typed.size()), typed);
        if (contains || editDistance(typed, name) <= 2) {
            if (!names.empty()) names += ", ";
            names += info.name;
        }
    }
    return names;
}

}  // namespace

size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string unknownOption(const std::vector<std::string>& leftOver, const std::vector<std::string>& longNames) {
    for (const std::string& left : leftOver) {
        if (left == "--") break;  // what follows it are files, whatever their names
        if (left.size() < 2 || left[0] != '-' || (left[1] >= '0' && left[1] <= '9')) continue;
        const std::string typed = left.substr(0, left.find('='));
        std::string message = "unknown option " + typed;
        std::string closest;
        size_t best = 3;  // at most two edits away, or it is no guess
        for (const std::string& name : longNames) {
            const size_t d = editDistance(typed, "--" + name);
            if (d < best) best = d, closest = "--" + name;
        }
        if (!closest.empty()) message += " (did you mean " + closest + "?)";
        return message;
    }
    return {};
}

bool parseInteger(std::string_view text, int64_t low, int64_t high, int64_t& value) {
    const std::string copy(text);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0]))) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(copy.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

bool parseFrameSize(std::string_view text, int32_t maxSide, int32_t& width, int32_t& height) {
    const size_t x = text.find_first_of("xX");
    int64_t w = 0, h = 0;
    if (x == std::string_view::npos || !parseInteger(text.substr(0, x), 1, maxSide, w) ||
        !parseInteger(text.substr(x + 1), 1, maxSide, h))
        return false;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

const ModeInfo* findModeByName(std::string_view name) {
    for (const ModeInfo& info : ModeTable)
        if (equalIgnoringCase(name, info.name)) return &info;
    return nullptr;
}

const ModeInfo* findModeById(int32_t id) {
    for (const ModeInfo& info : ModeTable)
        if (info.id == id) return &info;
    return nullptr;
}

bool addModeSwitch(std::string_view text, ModeSchedule& schedule, std::string& error) {
    const size_t at = text.find('@');
    const std::string_view name = text.substr(0, at);
    uint64_t frame = 0;
    if (at != std::string_view::npos) {
        int64_t k = 0;
        if (!parseInteger(text.substr(at + 1), 0, INT64_MAX, k)) {
            error = "bad --mode " + std::string(text) + ": after @ comes a frame index (0, 1, 2, ...)";
            return false;
        }
        frame = static_cast<uint64_t>(k);
    }
    if (name.empty()) {
        error = "bad --mode " + std::string(text) + ": a mode name or number comes first (--list-modes lists them)";
        return false;
    }
    int32_t mode = 0;
    int64_t number = 0;
    if (const ModeInfo* info = findModeByName(name)) {
        mode = info->id;
    } else if (parseInteger(name, INT32_MIN, INT32_MAX, number)) {
        mode = static_cast<int32_t>(number);
    } else {
        error = "bad --mode " + std::string(name) + ": no mode has that name";
        const std::string close = closestNames(name);
        if (!close.empty()) error += " (did you mean " + close + "?)";
        error += "; --list-modes lists them";
        return false;
    }
    schedule.emplace(frame, mode);
    return true;
}

void applyModeSwitches(const ModeSchedule& schedule, uint64_t frame) {
    const auto [first, last] = schedule.equal_range(frame);
    for (auto it = first; it != last; ++it) selectProcessingMode(it->second);
}

std::string modeName(int32_t id) {
    const ModeInfo* info = findModeById(id);
    return info ? std::string(info->name) : std::to_string(id);
}

std::string modeLabel(int32_t id) {
    const ModeInfo* info = findModeById(id);
    return info ? std::string(info->name) + " (" + std::to_string(id) + ")" : std::to_string(id);
}

std::vector<std::string> scheduleNotes(const ModeSchedule& schedule) {
    std::vector<std::string> notes;
    if (!schedule.empty() && schedule.begin()->first > 0) {
        const uint64_t first = schedule.begin()->first;
        notes.push_back("no mode before frame " + std::to_string(first) + ": frame" +
                        (first > 1 ? "s 0 to " + std::to_string(first - 1) + " are" : " 0 is") +
                        " counted and stored, nothing is drawn");
    }
    // Several switches before one frame are all made, in order; the last is the one that shows.
    for (auto it = schedule.begin(); it != schedule.end();) {
        const auto last = schedule.upper_bound(it->first);
        if (std::next(it) != last) {
            std::string names;
            for (auto at = it; at != last; ++at) names += (names.empty() ? "" : ", ") + modeName(at->second);
            notes.push_back("modes " + names + " all before frame " + std::to_string(it->first) + ": " +
                            modeName(std::prev(last)->second) + " takes effect");
        }
        it = last;
    }
    for (const auto& [frame, mode] : schedule) {
        if (modeSelectsOperation(mode)) continue;
        std::string note = "mode " + modeLabel(mode) + " selects no operation";
        if (frame > 0) note += " (from frame " + std::to_string(frame) + ")";
        notes.push_back(note + ": frames are counted and stored, nothing is drawn");
    }
    return notes;
}

std::vector<std::string> unreachedNotes(const ModeSchedule& schedule, uint64_t frames) {
    std::vector<std::string> notes;
    for (auto it = schedule.lower_bound(frames); it != schedule.end(); ++it)
        notes.push_back("--mode " + modeName(it->second) + "@" + std::to_string(it->first) +
                        " was never reached: the input held " + std::to_string(frames) +
                        (frames == 1 ? " frame" : " frames"));
    return notes;
}

}  // namespace pixelwell
