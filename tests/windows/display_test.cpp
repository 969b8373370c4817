// What the user sees of frames and sizing: the processed picture read back from the result window
// after a delivered frame, the resize path (nested, minimised, before any status), and the result
// window's own handlers.
#include <windows.h>
#include <vfw.h>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "resource.h"
#include "shell.h"
#include "sim_device.h"
#include "test_support.h"

using namespace pixelwell;
using DisplayTest = ProgramTest;

namespace {

// The delivered frame's pixel at column x, row y from the top.
COLORREF framePixel(int x, int y, int width, int height) {
    const uint8_t* p = simcam::lastFrame() + (static_cast<size_t>(height - 1 - y) * width + x) * 3;
    return RGB(p[2], p[1], p[0]);
}

int g_controlSizes = 0;  // WM_SIZE messages the control window received

LRESULT CALLBACK countSizes(int code, WPARAM wParam, LPARAM lParam) {
    const auto* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->hwnd == ControlWindow && m->message == WM_SIZE) ++g_controlSizes;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

int takeQueuedResultSizes() {
    int n = 0;
    for (MSG m; PeekMessageA(&m, ResultWindow, WM_SIZE, WM_SIZE, PM_REMOVE);) ++n;
    return n;
}

}  // namespace

TEST_F(DisplayTest, NormalAndGrayDisplayPaintTheFrameIntoTheResultWindow) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    simcam::setPicture(simcam::Picture::ColourBars);
    start();
    command(IDM_NORMAL);
    ASSERT_TRUE(simcam::deliverFrame());
    pumpMessages();
    HDC dc = GetDC(ResultWindow);
    for (POINT p : {POINT{5, 5}, {60, 30}, {150, 100}, {250, 200}, {319, 0}, {0, 239}, {319, 239}})
        EXPECT_EQ(GetPixel(dc, p.x, p.y), framePixel(p.x, p.y, 320, 240)) << p.x << "," << p.y;
    command(IDM_GRAY);
    ASSERT_TRUE(simcam::deliverFrame());
    pumpMessages();
    for (int x = 10; x < 320; x += 40) {
        const COLORREF c = framePixel(x, 100, 320, 240);
        const int level = grayLevel(GetBValue(c), GetGValue(c), GetRValue(c));
        EXPECT_EQ(GetPixel(dc, x, 100), RGB(level, level, level)) << "column " << x;
    }
    ReleaseDC(ResultWindow, dc);
}

TEST_F(DisplayTest, APaintWithNothingInvalidStillDrawsTheWholeFrame) {
    simcam::setPicture(simcam::Picture::ColourBars);
    start();
    command(IDM_INVERT);
    ASSERT_TRUE(simcam::deliverFrame());
    HDC dc = GetDC(ResultWindow);  // wipe and validate: only the posted paint can redraw
    const RECT all{0, 0, 640, 480};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    ValidateRect(ResultWindow, nullptr);
    pumpMessages();
    const COLORREF c = framePixel(600, 450, 640, 480);
    EXPECT_EQ(GetPixel(dc, 600, 450), RGB(255 - GetRValue(c), 255 - GetGValue(c), 255 - GetBValue(c)));
    ReleaseDC(ResultWindow, dc);
}

TEST_F(DisplayTest, ANewFrameSizeNestsOneWmSizeAndPostsTwoToTheResultWindow) {
    start();
    takeQueuedResultSizes();
    simcam::setFormat(320, 240, 24, BI_RGB);
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, countSizes, nullptr, GetCurrentThreadId());
    SendMessageA(ControlWindow, WM_SIZE, 0, 0);
    EXPECT_EQ(g_controlSizes, 2);  // the outer pass and the one its own SetWindowPos brings
    EXPECT_EQ(takeQueuedResultSizes(), 2);
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
    g_controlSizes = 0;
    SendMessageA(ControlWindow, WM_SIZE, 0, 0);  // the size is already right: no nesting
    EXPECT_EQ(g_controlSizes, 1);
    EXPECT_EQ(takeQueuedResultSizes(), 1);
    UnhookWindowsHookEx(hook);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ControlWindow, WM_SIZE, WM_SIZE, PM_NOREMOVE));  // no loop

    ShowWindow(ControlWindow, SW_MINIMIZE);  // minimising runs the same path; restoring keeps it
    ShowWindow(ControlWindow, SW_RESTORE);
    pumpMessages();
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
}

TEST_F(DisplayTest, MinimisingTheControlWindowRunsTheResizePath) {
    start();
    takeQueuedResultSizes();
    simcam::setFormat(320, 240, 24, BI_RGB);
    simcam::clearMessageLog();
    ShowWindow(ControlWindow, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(ControlWindow));
    ASSERT_FALSE(simcam::messageLog().empty());
    EXPECT_EQ(simcam::messageLog()[0].message, static_cast<UINT>(WM_CAP_GET_STATUS));
    EXPECT_EQ(CaptureStatus.uiImageWidth, 320u);
    EXPECT_EQ(clientSize(CaptureWindow).cx, 320);
    EXPECT_GE(takeQueuedResultSizes(), 1);
    ShowWindow(ControlWindow, SW_RESTORE);
    pumpMessages();
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
}

TEST_F(DisplayTest, BeforeTheFirstSuccessfulStatusQueryTheFrameIs0By0) {
    simcam::setQueryAnswer(simcam::Query::Status, 0);
    start();
    EXPECT_EQ(CaptureStatus.uiImageWidth, 0u);
    EXPECT_EQ(CaptureStatus.uiImageHeight, 0u);
    EXPECT_EQ(ViewerCore.FrameGeometry.width, 0);
    EXPECT_EQ(ViewerCore.FrameGeometry.height, 0);
    EXPECT_EQ(clientSize(ControlWindow).cy, 0);  // border and menu bar only
    EXPECT_EQ(clientSize(CaptureWindow).cx, 0);
    EXPECT_EQ(clientSize(CaptureWindow).cy, 0);
    simcam::clearQueryAnswers();
    SendMessageA(ControlWindow, WM_SIZE, 0, 0);
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
    EXPECT_EQ(clientSize(ControlWindow).cy, 480);
}

TEST_F(DisplayTest, TheResultWindowIgnoresCommandsKeepsItsSizeWithoutAQueryAndEndsTheLoopOnClose) {
    struct Case {
        UINT message;
        WPARAM wParam;
        bool endsLoop;
    };
    const Case cases[] = {{WM_COMMAND, IDM_EXIT, false},
                          {WM_COMMAND, IDM_GRAY, false},
                          {WM_COMMAND, IDM_VIDEOFORMAT, false},
                          {WM_SIZE, 0, false},
                          {WM_CLOSE, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << c.message << " " << std::dec << c.wParam);
        SetUp();
        start();
        command(IDM_NORMAL);
        simcam::setFormat(320, 240, 24, BI_RGB);  // only a status query would see it
        simcam::answerFormatDialog({false, 0, 0});  // in case a dialog opens after all
        simcam::clearMessageLog();
        g_calls.clear();
        EXPECT_EQ(SendMessageA(ResultWindow, c.message, c.wParam, 0), 0);
        EXPECT_TRUE(simcam::messageLog().empty());
        EXPECT_TRUE(callsNamed({"PostMessageA", "ShowWindow"}).empty());
        EXPECT_EQ(ViewerCore.ProcessingMode, IDM_NORMAL);
        EXPECT_EQ(simcam::formatDialogsShown(), 0);
        EXPECT_TRUE(IsWindow(ControlWindow));
        MSG m;
        EXPECT_EQ(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0, c.endsLoop);
        if (c.endsLoop) {
            EXPECT_FALSE(IsWindow(ResultWindow));
            if (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
                EXPECT_EQ(runLoop(), 0);
            }
        } else {
            EXPECT_EQ(clientSize(ResultWindow).cx, 640);
            EXPECT_EQ(clientSize(ResultWindow).cy, 480);
        }
        TearDown();
    }
}
