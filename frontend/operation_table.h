// The operations as the front-ends offer them (pixelwell-live's keys and trackbar, the page's
// menu): "none" and the 23 processing commands in the menu's order, each with its menu label,
// its mode name and its key.
#pragma once

#include <cstdint>
#include <string>

namespace pixelwell {

struct Operation {
    int32_t id;         // the menu command identifier, which is the processing mode
    const char* label;  // the menu label (UTF-8); "" for none
    const char* name;   // the mode's name, as --mode and pixelwell-filter take it
    const char* key;    // the key that chooses it, as the key map shows it
};

// Position 0 is none; 1 to 23 follow the menu. The trackbar and the arrow keys use positions.
constexpr int kPositions = 24;
const Operation& operationAt(int position);

// The position of a mode, or -1 when the menu has no such operation (1410, 1399, ...).
int positionOfMode(int32_t mode);

// The position a typed key chooses, or -1. Keys are the characters highgui reports.
int positionForKey(int key);

// "グレイ表示 gray" (with Japanese) or "gray".
std::string operationTitle(const Operation& operation, bool japanese);

// The key map, as printed at start and by h: the operations, then k for the kernel mode.
std::string keyMap();

// Every operation's key and name on lines of at most `columns`, each line starting with two
// spaces ("  0 none  1 normal  g gray ..."), for a program's --help.
std::string operationKeys(size_t columns);

}  // namespace pixelwell
