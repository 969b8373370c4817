// What the user sees of the frames and of the sizing: the processed picture read back from the
// result window after a delivered frame, the resize path's nested WM_SIZE, and minimising.
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <iterator>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "resource.h"
#include "shell.h"
#include "sim_device.h"
#include "test_support.h"

using namespace pixelwell;

namespace {

using DisplayTest = ProgramTest;

// The frame's pixel at column x, row y counted from the top, as R, G, B.
COLORREF framePixel(int x, int y, int width, int height) {
    const uint8_t* p = simcam::lastFrame() + (static_cast<size_t>(height - 1 - y) * width + x) * 3;
    return RGB(p[2], p[1], p[0]);
}

int grayOf(COLORREF c) { return grayLevel(GetBValue(c), GetGValue(c), GetRValue(c)); }

// WM_SIZE messages the control window received, and how deep they were nested.
int g_sizeCalls = 0;
int g_sizeDepth = 0;
int g_maxSizeDepth = 0;
LRESULT CALLBACK countSizes(int code, WPARAM wParam, LPARAM lParam) {
    const auto* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->hwnd == ControlWindow && m->message == WM_SIZE) ++g_sizeCalls;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

int queuedResultSizes() {
    int n = 0;
    MSG m;
    while (PeekMessageA(&m, ResultWindow, WM_SIZE, WM_SIZE, PM_REMOVE)) ++n;
    return n;
}

}  // namespace

TEST_F(DisplayTest, NormalDisplayPaintsTheFrameIntoTheResultWindow) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    simcam::setPicture(simcam::Picture::ColourBars);
    start();
    command(IDM_NORMAL);
    ASSERT_TRUE(simcam::deliverFrame());
    pumpMessages();
    HDC dc = GetDC(ResultWindow);
    const POINT points[] = {{5, 5}, {60, 30}, {150, 100}, {250, 200}, {319, 0}, {0, 239}, {319, 239}};
    for (const POINT& p : points)
        EXPECT_EQ(GetPixel(dc, p.x, p.y), framePixel(p.x, p.y, 320, 240)) << p.x << "," << p.y;
    ReleaseDC(ResultWindow, dc);
}

TEST_F(DisplayTest, GrayDisplayPaintsGrayLevels) {
    simcam::setPicture(simcam::Picture::ColourBars);
    start();
    command(IDM_GRAY);
    ASSERT_TRUE(simcam::deliverFrame());
    pumpMessages();
    HDC dc = GetDC(ResultWindow);
    for (int x = 10; x < 640; x += 80) {
        const int level = grayOf(framePixel(x, 100, 640, 480));
        EXPECT_EQ(GetPixel(dc, x, 100), RGB(level, level, level)) << "column " << x;
    }
    ReleaseDC(ResultWindow, dc);
}

TEST_F(DisplayTest, APaintWithNothingInvalidStillDrawsTheWholeFrame) {
    simcam::setPicture(simcam::Picture::ColourBars);
    start();
    command(IDM_INVERT);
    ASSERT_TRUE(simcam::deliverFrame());
    // Wipe the window and validate it: only the posted paint can bring the picture back.
    HDC dc = GetDC(ResultWindow);
    RECT all{0, 0, 640, 480};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    ValidateRect(ResultWindow, nullptr);
    pumpMessages();
    const COLORREF source = framePixel(600, 450, 640, 480);
    EXPECT_EQ(GetPixel(dc, 600, 450),
              RGB(255 - GetRValue(source), 255 - GetGValue(source), 255 - GetBValue(source)));
    ReleaseDC(ResultWindow, dc);
}

TEST_F(DisplayTest, ModeNoneDrawsNothingAndPostsNoPaint) {
    start();
    ASSERT_TRUE(simcam::deliverFrame());
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    EXPECT_EQ(FrameCounter, 1u);
}

TEST_F(DisplayTest, ResizingToANewFrameSizeNestsOneWmSizeAndPostsTwoToTheResultWindow) {
    start();
    queuedResultSizes();
    simcam::setFormat(320, 240, 24, BI_RGB);
    g_sizeCalls = 0;
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, countSizes, nullptr, GetCurrentThreadId());
    SendMessageA(ControlWindow, WM_SIZE, 0, 0);
    // The outer pass and the nested one from its own SetWindowPos, which changes nothing more.
    EXPECT_EQ(g_sizeCalls, 2);
    EXPECT_EQ(queuedResultSizes(), 2);
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
    EXPECT_EQ(clientSize(CaptureWindow).cx, 320);

    g_sizeCalls = 0;
    SendMessageA(ControlWindow, WM_SIZE, 0, 0);
    EXPECT_EQ(g_sizeCalls, 1);
    EXPECT_EQ(queuedResultSizes(), 1);
    UnhookWindowsHookEx(hook);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ControlWindow, WM_SIZE, WM_SIZE, PM_NOREMOVE));  // no loop
    (void)g_sizeDepth;
    (void)g_maxSizeDepth;
}

TEST_F(DisplayTest, MinimisingRunsTheResizePathAndRestoringKeepsTheFrameSize) {
    start();
    simcam::clearMessageLog();
    ShowWindow(ControlWindow, SW_MINIMIZE);
    pumpMessages();
    bool statusRead = false;
    for (const auto& m : simcam::messageLog()) statusRead = statusRead || m.message == WM_CAP_GET_STATUS;
    EXPECT_TRUE(statusRead);
    ShowWindow(ControlWindow, SW_RESTORE);
    pumpMessages();
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
    EXPECT_EQ(clientSize(ControlWindow).cy, 480);
}

TEST_F(DisplayTest, ResultWindowFollowsTheLastReadSizeWithoutAQueryOfItsOwn) {
    start();
    command(IDM_NORMAL);
    simcam::setFormat(160, 120, 24, BI_RGB);
    simcam::clearMessageLog();
    SendMessageA(ResultWindow, WM_SIZE, 0, 0);
    EXPECT_TRUE(simcam::messageLog().empty());
    EXPECT_EQ(clientSize(ResultWindow).cx, 640);
    command(IDM_NORMAL);
    EXPECT_EQ(clientSize(ResultWindow).cx, 160);
    EXPECT_EQ(clientSize(ResultWindow).cy, 120);
}
