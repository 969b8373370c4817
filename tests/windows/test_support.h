// Shared by the Windows tests: what the program showed (message boxes, beeps), switches that make
// start-up platform calls fail, and a fixture that runs the real program in-process against the
// simulated capture device.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct BoxCall {
    HWND owner;
    std::string text, caption;  // the bytes the program passed (Shift-JIS)
    UINT style;
    std::wstring shownText;     // what the box displayed
};
extern std::vector<BoxCall> g_boxes;
extern std::vector<UINT> g_beeps;
extern bool g_failCurrentDirectory, g_failDibSection, g_failCompatibleDC;

std::wstring fromCp932(const std::string& bytes);
std::string toCp932(const std::wstring& text);

// Dispatches every waiting message; stops at the quit message, leaving it for the program's loop.
void pumpMessages();
SIZE clientSize(HWND window);

// Runs an executable as a child process, pressing OK in each box it shows and, once its windows
// are up, choosing menu command `command` (0: none).
struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::vector<std::wstring> boxTexts, boxCaptions, boxOwnerClasses;
    bool resultWindowShown = false;
    SIZE controlClient{-1, -1};
};
ChildRun runChild(const char* exePath, WORD command, DWORD timeoutMs);

class ProgramTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void start();             // creates both windows as WinMain does, then handles what was posted
    void command(WORD id);    // a menu command, and what follows it
    int runLoop();            // the program's own message loop; returns the exit code
    // Expects exactly one box with this text, caption, style and owner.
    void expectOneBox(const wchar_t* text, const wchar_t* caption, UINT style, HWND owner);
};
