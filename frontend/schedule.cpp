#include "schedule.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "kernel_syntax.h"

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
    std::vector<std::string_view> all;
    for (const ModeInfo& info : ModeTable) all.push_back(info.name);
    all.push_back(kKernelModeName);
    for (const std::string_view name : all) {
        bool contains = false;
        for (size_t at = 0; !typed.empty() && at + typed.size() <= name.size() && !contains; ++at)
            contains = equalIgnoringCase(name.substr(at, typed.size()), typed);
        if (contains || editDistance(typed, name) <= 2) {
            if (!names.empty()) names += ", ";
            names += name;
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

ModeSwitch ModeSwitch::kernelMode() {
    ModeSwitch choice(kModeKernel);
    choice.kind = kKernelMode;
    return choice;
}

ModeSwitch ModeSwitch::kernelWeights(const ConvolutionKernel& kernel) {
    ModeSwitch choice;
    choice.kind = kKernel;
    choice.kernel = kernel;
    return choice;
}

ModeSwitch ModeSwitch::kernelDivisor(int32_t divisor) {
    ModeSwitch choice;
    choice.kind = kDivisor;
    choice.kernel.divisor = divisor;
    return choice;
}

bool ModeSwitch::operator==(const ModeSwitch& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
        case kMode:
        case kKernelMode: return mode == other.mode;
        case kDivisor: return kernel.divisor == other.kernel.divisor;
        case kKernel:
            for (int32_t a = 0; a < 5; ++a)
                for (int32_t b = 0; b < 5; ++b)
                    if (kernel.weights[a][b] != other.kernel.weights[a][b]) return false;
            return kernel.size == other.kernel.size;
    }
    return false;
}

namespace {

// "VALUE" or "VALUE@K" of an option: the value, and K (0 without one).
bool splitFrame(std::string_view text, const char* option, std::string_view& value, uint64_t& frame,
                std::string& error) {
    const size_t at = text.find('@');
    value = text.substr(0, at);
    frame = 0;
    if (at == std::string_view::npos) return true;
    int64_t k = 0;
    if (!parseInteger(text.substr(at + 1), 0, INT64_MAX, k)) {
        error = std::string("bad ") + option + " " + std::string(text) + ": after @ comes a frame index (0, 1, 2, ...)";
        return false;
    }
    frame = static_cast<uint64_t>(k);
    return true;
}

}  // namespace

bool addKernelSwitch(std::string_view text, ModeSchedule& schedule, std::string& error) {
    std::string_view rows;
    uint64_t frame = 0;
    if (!splitFrame(text, "--kernel", rows, frame, error)) return false;
    ConvolutionKernel kernel{3, 1, {}};
    if (!parseKernelRows(rows, kernel, error)) {
        error = "bad --kernel " + std::string(rows) + ": " + error;
        return false;
    }
    schedule.emplace(frame, ModeSwitch::kernelWeights(kernel));
    return true;
}

bool addDivisorSwitch(std::string_view text, ModeSchedule& schedule, std::string& error) {
    std::string_view number;
    uint64_t frame = 0;
    if (!splitFrame(text, "--divisor", number, frame, error)) return false;
    int32_t divisor = 1;
    if (!parseKernelDivisor(number, divisor, error)) {
        error = "bad --divisor " + std::string(number) + ": " + error;
        return false;
    }
    schedule.emplace(frame, ModeSwitch::kernelDivisor(divisor));
    return true;
}

bool addModeSwitch(std::string_view text, ModeSchedule& schedule, std::string& error) {
    std::string_view name;
    uint64_t frame = 0;
    if (!splitFrame(text, "--mode", name, frame, error)) return false;
    if (equalIgnoringCase(name, kKernelModeName)) {
        schedule.emplace(frame, ModeSwitch::kernelMode());
        return true;
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

void applyModeSwitch(Core& core, const ModeSwitch& choice) {
    ConvolutionKernel kernel = core.Kernel;
    switch (choice.kind) {
        case ModeSwitch::kMode: selectProcessingMode(core, choice.mode); break;
        case ModeSwitch::kKernelMode: selectKernelMode(core); break;
        case ModeSwitch::kKernel:
            kernel.size = choice.kernel.size;
            std::copy(&choice.kernel.weights[0][0], &choice.kernel.weights[0][0] + 25, &kernel.weights[0][0]);
            setKernel(core, kernel);
            break;
        case ModeSwitch::kDivisor:
            kernel.divisor = choice.kernel.divisor;
            setKernel(core, kernel);
            break;
    }
}

void applyModeSwitches(Core& core, const ModeSchedule& schedule, uint64_t frame) {
    const auto [first, last] = schedule.equal_range(frame);
    for (auto it = first; it != last; ++it) applyModeSwitch(core, it->second);
}

namespace {

bool holds(const ModeSchedule& schedule, ModeSwitch::Kind kind) {
    return std::any_of(schedule.begin(), schedule.end(), [&](const auto& entry) { return entry.second.kind == kind; });
}

// The option that makes the choice, as typed ("--mode gray", "--kernel 0,1,0/1,-4,1/0,1,0").
std::string optionOf(const ModeSwitch& choice) {
    switch (choice.kind) {
        case ModeSwitch::kMode: return "--mode " + modeName(choice.mode);
        case ModeSwitch::kKernelMode: return std::string("--mode ") + kKernelModeName;
        case ModeSwitch::kKernel: return "--kernel " + kernelRows(choice.kernel);
        case ModeSwitch::kDivisor: return "--divisor " + std::to_string(choice.kernel.divisor);
    }
    return "";
}

std::string nameOf(const ModeSwitch& choice) {
    return choice.kind == ModeSwitch::kKernelMode ? std::string(kKernelModeName) : modeName(choice.mode);
}

}  // namespace

bool choosesKernelMode(const ModeSchedule& schedule) { return holds(schedule, ModeSwitch::kKernelMode); }
bool setsKernel(const ModeSchedule& schedule) { return holds(schedule, ModeSwitch::kKernel); }
bool setsDivisor(const ModeSchedule& schedule) { return holds(schedule, ModeSwitch::kDivisor); }

std::string modeName(int32_t id) {
    const ModeInfo* info = findModeById(id);
    return info ? std::string(info->name) : std::to_string(id);
}

std::string modeLabel(int32_t id) {
    const ModeInfo* info = findModeById(id);
    return info ? std::string(info->name) + " (" + std::to_string(id) + ")" : std::to_string(id);
}

std::vector<std::string> scheduleNotes(const ModeSchedule& full) {
    // Only the choices of a mode: kernels and divisors are notes of no one's.
    ModeSchedule schedule;
    for (const auto& [frame, choice] : full)
        if (choice.choosesMode()) schedule.emplace(frame, choice);
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
            for (auto at = it; at != last; ++at) names += (names.empty() ? "" : ", ") + nameOf(at->second);
            notes.push_back("modes " + names + " all before frame " + std::to_string(it->first) + ": " +
                            nameOf(std::prev(last)->second) + " takes effect");
        }
        it = last;
    }
    for (const auto& [frame, choice] : schedule) {
        if (choice.kind == ModeSwitch::kKernelMode || modeSelectsOperation(choice.mode)) continue;
        std::string note = "mode " + modeLabel(choice.mode) + " selects no operation";
        if (frame > 0) note += " (from frame " + std::to_string(frame) + ")";
        notes.push_back(note + ": frames are counted and stored, nothing is drawn");
    }
    return notes;
}

std::vector<std::string> unreachedNotes(const ModeSchedule& schedule, uint64_t frames) {
    std::vector<std::string> notes;
    for (auto it = schedule.lower_bound(frames); it != schedule.end(); ++it)
        notes.push_back(optionOf(it->second) + "@" + std::to_string(it->first) +
                        " was never reached: the input held " + std::to_string(frames) +
                        (frames == 1 ? " frame" : " frames"));
    return notes;
}

}  // namespace pixelwell
