// Sizes and seconds as the messages and the windows' titles write them.
#pragma once

#include <cstdio>
#include <string>

namespace live {

inline std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Tenths under ten seconds, whole seconds above.
inline std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.1f" : "%.0f", seconds);
    return text;
}

}  // namespace live
