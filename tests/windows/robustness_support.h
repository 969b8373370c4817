// Shared by the robustness tests of the Windows program (the soak and the bad driver input): GDI
// and USER objects counted through wrapped platform calls, message boxes recorded and closed,
// guard-page buffers, the process's resident memory, and a fixture that starts the real program
// in-process against the simulated capture device.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace robust {

// Every call the test build routes through its wrappers, counted since the last reset.
struct ObjectCounts {
    long gdiCreated = 0;       // CreateDIBSection, CreateCompatibleDC, brushes, pens, bitmaps...
    long gdiDeleted = 0;       // DeleteObject, DeleteDC of one of those
    long gdiLive = 0;          // created and not yet deleted
    long dcAcquired = 0;       // GetDC, BeginPaint
    long dcReleased = 0;       // ReleaseDC, EndPaint
    long windowsCreated = 0;   // CreateWindowExA/W
    long windowsLive = 0;      // of those, still a window now
};
ObjectCounts objectCounts();
void resetObjectCounts();  // forgets the history; live objects stay counted as live

struct Box {
    std::string text;     // the bytes passed (Shift-JIS)
    std::string caption;
    UINT style;
    HWND owner;
};
extern std::vector<Box> g_boxes;
extern int g_beeps;
// Called when a message box is about to close itself (inside its modal loop), e.g. to raise
// another error while it is open.
extern std::function<void()> g_whileBoxOpen;

// Resident memory of this process, read from the Linux /proc entry of the Wine process (Wine's
// own process memory counters answer 0), whose pid PIXELWELL_UNIX_PID names. In KiB; 0 when it
// cannot be read.
long residentKiB();

// A buffer of exactly `length` bytes that ends where an inaccessible page begins, so a read past
// its end faults (and the crash filter fails the test run).
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t length);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    uint8_t* data() { return data_; }

private:
    void* base_ = nullptr;
    uint8_t* data_ = nullptr;
};

// Dispatches everything waiting; true when the quit message was seen (left in the queue).
bool pump();

class RobustTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void start();                 // both windows created as WinMain does, start-up handled
    void command(WORD id);        // a menu command, and what follows it
    int runLoop();                // the program's own loop until it ends; the exit code
};

}  // namespace robust
