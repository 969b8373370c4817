#include "reproduce.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "kernel_syntax.h"
#include "schedule.h"

namespace pixelwell {

std::string shellQuoted(const std::string& text) {
    if (!text.empty() && text[0] != '-' && text[0] != '~' &&
        text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_-./=@%+:,") == std::string::npos)
        return text;
    const bool control = std::any_of(text.begin(), text.end(), [](char c) { return c >= 0 && c < 0x20; });
    if (control) {
        // A newline or a tab in a name: $'...' keeps the command on one line (bash, zsh, ksh).
        std::string quoted = "$'";
        for (const char c : text) {
            if (c == '\\' || c == '\'') {
                quoted += '\\';
                quoted += c;
            } else if (c >= 0 && c < 0x20) {
                char octal[8];
                std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
                quoted += octal;
            } else {
                quoted += c;
            }
        }
        return quoted + "'";
    }
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string filterProgram() {
#if !defined(_WIN32) && !defined(__APPLE__)
    std::error_code failure;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (!failure) {
        for (const auto& candidate : {self.parent_path() / "pixelwell-filter",
                                      self.parent_path().parent_path() / "tools" / "pixelwell-filter"}) {
            if (access(candidate.c_str(), X_OK) == 0)
                return shellQuoted(std::filesystem::weakly_canonical(candidate, failure).string());
        }
    }
#endif
    return "pixelwell-filter";
}

std::string reproduceCommand(const std::string& filter, int width, int height, const Selections& selections,
                             uint64_t frames, const std::string& recording, const std::string& output) {
    bool kernelMode = false;
    for (const auto& [at, choice] : selections) kernelMode = kernelMode || (at < frames && choice.kind == ModeSwitch::kKernelMode);
    std::string modes, last;
    for (const auto& [at, choice] : selections) {
        if (at >= frames) continue;
        std::string word;
        switch (choice.kind) {
            case ModeSwitch::kMode: word = " --mode " + modeName(choice.mode); break;
            case ModeSwitch::kKernelMode: word = std::string(" --mode ") + kKernelModeName; break;
            case ModeSwitch::kKernel:
                if (!kernelMode) continue;
                word = " --kernel " + kernelRows(choice.kernel);
                break;
            case ModeSwitch::kDivisor:
                if (!kernelMode || (at == 0 && choice.kernel.divisor == 1)) continue;
                word = " --divisor " + std::to_string(choice.kernel.divisor);
                break;
        }
        if (at > 0) word += "@" + std::to_string(at);
        if (word != last) modes += word;
        last = word;
    }
    return filter + " --size " + std::to_string(width) + "x" + std::to_string(height) +
           (modes.empty() ? " --mode none" : modes) + " -- " + shellQuoted(recording) + " " + shellQuoted(output);
}

std::string recordingNotes(const std::string& command, int width, int height, const std::string& recording) {
    const std::string frame = std::to_string(static_cast<long long>(width) * height * 3);
    const std::string name = shellQuoted(recording);
    return "# " + recording + ": frames of " + std::to_string(width) + "x" + std::to_string(height) + ", " + frame +
           " bytes each (B, G, R per pixel, rows bottom-up), as pixelwell-live handed them to the core.\n"
           "# A recording whose program was killed may end inside a frame; cut it to whole frames first:\n"
           "#   truncate -s $(( $(stat -c %s " + name + ") / " + frame + " * " + frame + " )) " + name + "\n"
           "# The result window's pictures, from the recording (OUT: the file to write):\n" +
           command + "\n";
}

}  // namespace pixelwell
