// Deliberate faults, one per argument, for the sanitizer build: its tests expect each to be
// reported and to end the process with a failure, which proves that a report cannot pass
// unnoticed in the suite.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile int sink;
char* volatile escaped;  // makes the compiler keep the allocation it could otherwise drop

int overRead(int length) {
    char* buffer = new char[length];
    std::memset(buffer, 1, length);
    const int value = buffer[length];  // one past the end
    delete[] buffer;
    return value;
}

// Several blocks: the last one's address may linger in a register or on the stack, where the
// leak check (which scans them) would still find it.
int leak(int length) {
    for (int k = 0; k < 8; ++k) {
        char* buffer = new char[length];
        std::memset(buffer, 1, length);
        escaped = buffer;
    }
    escaped = nullptr;  // all lost
    return length;
}

int overflow(int value) { return value + 1; }  // INT_MAX + 1

int shiftTooFar(int bits) { return 1 << bits; }  // bits = 40

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int n = std::atoi("7");
    if (!std::strcmp(argv[1], "over-read")) sink = overRead(n);
    else if (!std::strcmp(argv[1], "leak")) sink = leak(n);
    else if (!std::strcmp(argv[1], "overflow")) sink = overflow(std::atoi("2147483647"));
    else if (!std::strcmp(argv[1], "shift")) sink = shiftTooFar(std::atoi("40"));
    else return 2;
    std::puts("fault went unnoticed");
    return 0;
}
