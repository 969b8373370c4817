// Shared by the Windows tests: what the program showed (message boxes, beeps), switches that make
// start-up platform calls fail, and a fixture that runs the real program in-process against the
// simulated capture device.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
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
extern bool g_failCurrentDirectory, g_failDibSection, g_failCompatibleDC, g_failGetMessage;
extern std::string g_failWindowClass;  // CreateWindowExA of this class answers no window

// Calls made through the wrapped platform functions, in order (the tests' own calls included):
// MessageBeep, MessageBoxA, ShowWindow, SendMessageA, PostMessageA, DestroyWindow, SelectObject
// (its result as the third value), DeleteObject and DeleteDC. A test may add its own events.
struct Call {
    std::string name;
    uintptr_t target;            // the window, DC or object the call is made on
    uintptr_t a = 0, b = 0, c = 0;  // the following arguments
    bool operator==(const Call& o) const {
        return name == o.name && target == o.target && a == o.a && b == o.b && c == o.c;
    }
};
void PrintTo(const Call& call, std::ostream* out);
extern std::vector<Call> g_calls;
// The calls with one of these names, in order.
std::vector<Call> callsNamed(std::initializer_list<const char*> names);
template <typename T>
uintptr_t handle(T h) { return reinterpret_cast<uintptr_t>(h); }

// The arguments of every CreateWindowExA call.
struct WindowCreation {
    DWORD exStyle;
    std::string className, title;
    DWORD style;
    int x, y, width, height;
    HWND parent;
    HMENU menu;
    HINSTANCE instance;
    LPVOID param;
};
extern std::vector<WindowCreation> g_windowCreations;

// One message posted to a window.
struct Posted {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Posted& o) const {
        return window == o.window && message == o.message && wParam == o.wParam && lParam == o.lParam;
    }
};
void PrintTo(const Posted& posted, std::ostream* out);

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
    // Handles one WM_COMMAND (wParam as given) and returns, in order, what it posted to the two
    // windows; those messages stay in the queue, undispatched.
    std::vector<Posted> commandPosts(WPARAM wParam);
    int runLoop();            // the program's own message loop; returns the exit code
    // Expects exactly one box with this text, caption, style and owner.
    void expectOneBox(const wchar_t* text, const wchar_t* caption, UINT style, HWND owner);
};
