#include "operation_table.h"

#include <array>

#include "dispatcher.h"
#include "menu_labels.h"
#include "schedule.h"

namespace pixelwell {

namespace {

using namespace pixelwell;

// Digits for normal display and the averages, otherwise a letter, mostly the first of what the
// operation shows. Never a capital: some toolkits report a shifted letter as the plain one.
struct KeyBinding {
    int32_t mode;
    const char* key;
};
constexpr KeyBinding kKeys[] = {
    {kModeNone, "0"},       {kModeNormal, "1"},     {kModeGray, "g"},     {kModeBinarize, "t"},
    {kModeInvert, "i"},     {kModeAverage2, "2"},   {kModeAverage4, "4"}, {kModeAverage8, "8"},
    {kModeFrameDiff, "f"},  {kModeSimpleDiff, "d"}, {kModeDiff, "e"},     {kModeLaplacianA, "a"},
    {kModeLaplacianB, "b"}, {kModeLaplacianC, "c"}, {kModeSobelX, "x"},   {kModeSobelY, "y"},
    {kModeLowPass3, "l"},   {kModeHighPass3, "u"},  {kModeLowPass5, "o"}, {kModeHighPass5, "j"},
    {kModeMinimum, "-"},    {kModeMaximum, "+"},    {kModeMedian, "m"},   {kModeMean, "v"},
};

std::array<Operation, kPositions> buildOperations() {
    std::array<Operation, kPositions> operations{};
    operations[0] = {kModeNone, "", "none", "0"};
    int position = 1;
    for (const MenuItem& item : kMenuItems) operations[position++] = {item.id, item.label, "", ""};
    for (Operation& operation : operations) {
        if (const ModeInfo* info = findModeById(operation.id)) operation.name = info->name;
        for (const KeyBinding& binding : kKeys)
            if (binding.mode == operation.id) operation.key = binding.key;
    }
    return operations;
}

const std::array<Operation, kPositions>& operations() {
    static const std::array<Operation, kPositions> table = buildOperations();
    return table;
}

}  // namespace

const Operation& operationAt(int position) {
    return operations().at(position);
}

int positionOfMode(int32_t mode) {
    for (int position = 0; position < kPositions; ++position)
        if (operations()[position].id == mode) return position;
    return -1;
}

int positionForKey(int key) {
    if (key == '=') key = '+';  // the + key unshifted
    if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
    for (int position = 0; position < kPositions; ++position) {
        const char* k = operations()[position].key;
        if (k[0] == key && k[1] == '\0') return position;
    }
    return -1;
}

std::string operationTitle(const Operation& operation, bool japanese) {
    if (!japanese || operation.label[0] == '\0') return operation.name;
    return std::string(operation.label) + " " + operation.name;
}

std::string keyMap() {
    std::string text =
        "keys: <- -> (or p n) step through the operations in menu order; r new reference;\n"
        "      s save both pictures; h this map; q or Esc quit\n";
    for (int position = 0; position < kPositions; ++position) {
        const Operation& operation = operations()[position];
        std::string entry = std::string("  ") + operation.key + "  " + operation.name;
        if (operation.label[0] != '\0') entry += std::string(" (") + operation.label + ")";
        // Two columns: pad by display width, counting a 3-byte UTF-8 character as two columns.
        size_t columns = 0;
        for (size_t i = 0; i < entry.size(); ++i) {
            const auto c = static_cast<unsigned char>(entry[i]);
            if (c < 0x80)
                ++columns;
            else if (c >= 0xE0)
                columns += 2;
        }
        text += entry;
        text += position % 2 == 0 ? std::string(columns < 36 ? 36 - columns : 1, ' ') : "\n";
    }
    if (kPositions % 2 == 1) text += "\n";
    // The kernel mode, which the menu does not hold.
    return text + "  k  kernel: your own kernel (--kernel; Laplacian B's without it)\n";
}

std::string operationKeys(size_t columns) {
    std::string text;
    std::string line;
    for (int position = 0; position < kPositions; ++position) {
        const Operation& operation = operations()[position];
        const std::string entry = std::string(operation.key) + " " + operation.name;
        if (!line.empty() && line.size() + 2 + entry.size() > columns) {
            text += line + "\n";
            line.clear();
        }
        line += "  " + entry;
    }
    return text + line + "\n";
}

}  // namespace pixelwell
