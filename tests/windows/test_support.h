// Shared by the Windows tests: records of the message boxes and beeps the program produced,
// switches that make platform calls fail, and a fixture that starts the real program in-process
// against the simulated capture device.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct BoxCall {
    HWND owner;
    std::string text;      // the bytes the program passed (Shift-JIS)
    std::string caption;
    UINT style;
    std::wstring shownText;     // what the box displayed, read back from it
    std::wstring shownCaption;
};

extern std::vector<BoxCall> g_boxes;
extern std::vector<UINT> g_beeps;

// Failure switches for start-up resources (reset by the fixture).
extern bool g_failCurrentDirectory;
extern bool g_failDibSection;
extern bool g_failCompatibleDC;

std::wstring fromCp932(const std::string& bytes);
std::string toCp932(const std::wstring& text);

// Dispatches every message waiting in the queue (stops, keeping it, at the quit message).
// Returns true when the quit message was seen.
bool pumpMessages();

SIZE clientSize(HWND window);
RECT windowRectIn(HWND window, HWND parent);

// Runs an executable as a child process, pressing OK in every message box it shows; returns its
// exit code (or STILL_ACTIVE on timeout) and what it showed.
struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::vector<std::wstring> boxTexts, boxCaptions, boxOwnerClasses;
    bool resultWindowSeen = false;     // a "Processing" window existed
    bool resultWindowShown = false;    // and was visible at some point
    SIZE controlClient{-1, -1};        // client size of "Pixelwell" once it was visible
};
// `exitCommand`: when non-zero, posted as WM_COMMAND to the control window once it is visible
// and has settled.
ChildRun runChild(const char* exePath, WORD exitCommand, DWORD timeoutMs);

class ProgramTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Creates both windows as WinMain does and handles what start-up posted.
    void start();
    // Posts a menu command as the menu would and handles what follows.
    void command(WORD id);
    // Runs the program's own message loop until it ends; returns the exit code.
    int runLoop();
};
