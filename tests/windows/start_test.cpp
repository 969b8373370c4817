// Start-up and shutdown of the real program: window sizes and visibility, menu, icon and display
// bitmap, the exact values classes and windows are made with, the order of the teardown, the
// start-up failure boxes and the exit codes (in-process, and as a child process).
#include <windows.h>
#include <vfw.h>

#include <algorithm>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "resource.h"
#include "shell.h"
#include "sim_device.h"
#include "test_support.h"

using namespace pixelwell;
using StartTest = ProgramTest;

TEST_F(StartTest, ClientAreaIsTheFrameThePreviewFillsItAndTheResultWindowIsHidden) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    start();
    EXPECT_TRUE(IsWindowVisible(ControlWindow));
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
    RECT preview, outer;
    GetWindowRect(CaptureWindow, &preview);
    MapWindowPoints(HWND_DESKTOP, ControlWindow, reinterpret_cast<POINT*>(&preview), 2);
    EXPECT_EQ(preview.left, 0);
    EXPECT_EQ(preview.top, 0);
    EXPECT_EQ(preview.right, 320);
    EXPECT_EQ(preview.bottom, 240);
    EXPECT_TRUE(IsWindowVisible(CaptureWindow));
    GetWindowRect(ControlWindow, &outer);
    EXPECT_EQ(outer.bottom - outer.top - 240, ControlBorder.cy);
    EXPECT_GT(ControlBorder.cy, ResultBorder.cy);  // the menu bar
    ASSERT_TRUE(IsWindow(ResultWindow));
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
    EXPECT_TRUE(g_boxes.empty() && g_beeps.empty());
}

TEST_F(StartTest, MenuIconAndDisplayBitmap) {
    start();
    char title[32];
    GetWindowTextA(ResultWindow, title, sizeof title);
    EXPECT_STREQ(title, "Processing...");
    EXPECT_EQ(GetWindowLongA(ControlWindow, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                                         WS_MAXIMIZEBOX | WS_THICKFRAME),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_EQ(GetClassLongA(ResultWindow, GCL_STYLE), CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE);

    // The menu, position by position: labels with '|' between items, "-" for a separator.
    HMENU bar = GetMenu(ControlWindow);
    const auto labels = [](HMENU menu) {
        std::wstring all;
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[64] = L"";
            GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
            all += (i ? L"|" : L"") + std::wstring(*text ? text : L"-");
        }
        return all;
    };
    EXPECT_EQ(labels(bar), L"制御|映像処理");
    EXPECT_EQ(labels(GetSubMenu(bar, 0)), L"設定|-|終了");
    EXPECT_EQ(labels(GetSubMenu(GetSubMenu(bar, 0), 0)), L"ビデオフォーマット|ビデオソース");
    EXPECT_EQ(labels(GetSubMenu(bar, 1)),
              L"通常表示|-|グレイ表示|-|二値化|-|反転表示|-|2フレーム加算|4フレーム加算|8フレーム加算|-|"
              L"フレーム差分|-|単純差分表示|差分表示|-|ラプラシアン A|ラプラシアン B|ラプラシアン C|-|"
              L"ゾーベル X方向|ゾーベル Y方向|-|ローパスフィルタ 3|ハイパスフィルタ 3|ローパスフィルタ 5|"
              L"ハイパスフィルタ 5|-|最小値 3x3|最大値 3x3|中間値 3x3|平均値 3x3|-");
    const UINT ids[] = {1401, 0, 1409, 0, 1451, 0, 1402, 0, 1403, 1404, 1405, 0, 1406, 0, 1407, 1408, 0,
                        1411, 1412, 1413, 0, 1421, 1422, 0, 1431, 1432, 1433, 1434, 0, 1441, 1442, 1443, 1444, 0};
    for (int i = 0; i < 34; ++i) EXPECT_EQ(GetMenuItemID(GetSubMenu(bar, 1), i), ids[i]) << i;
    EXPECT_EQ(GetMenuItemID(GetSubMenu(bar, 0), 2), static_cast<UINT>(IDM_EXIT));
    EXPECT_EQ(GetMenuItemID(GetSubMenu(GetSubMenu(bar, 0), 0), 1), static_cast<UINT>(IDM_VIDEOSOURCE));

    ICONINFO icon{};
    ASSERT_TRUE(GetIconInfo(reinterpret_cast<HICON>(GetClassLongPtrA(ControlWindow, GCLP_HICON)), &icon));
    BITMAP bm{};
    GetObjectA(icon.hbmColor, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);

    DIBSECTION section{};
    ASSERT_EQ(GetObjectA(DisplayBitmap, sizeof section, &section), static_cast<int>(sizeof section));
    EXPECT_EQ(section.dsBmih.biWidth, 1280);
    EXPECT_EQ(section.dsBmih.biHeight, 1280);  // bottom-up
    EXPECT_EQ(section.dsBmih.biBitCount, 32);
    EXPECT_EQ(section.dsBm.bmBits, ViewerCore.DisplaySurface);
    EXPECT_EQ(GetCurrentObject(MemoryDC, OBJ_BITMAP), DisplayBitmap);
}

TEST_F(StartTest, TheCameraProgramUnderWineFindsNoDeviceAndEndsWithZero) {
    // Wine's avicap32 creates no capture window: pixelwell.exe takes the no-device path.
    const ChildRun run = runChild(PIXELWELL_EXE, 0, 30000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.boxTexts, std::vector<std::wstring>{L"ビデオデバイスが見つかりません。"});
    EXPECT_EQ(run.boxCaptions, std::vector<std::wstring>{L"処理中断の案内"});
    EXPECT_EQ(run.boxOwnerClasses, std::vector<std::wstring>{L"Pixelwell"});
    EXPECT_FALSE(run.resultWindowShown);
}

TEST_F(StartTest, TheSimulatedProgramStartsAtTheFrameSizeAndExitsWithZero) {
    const ChildRun run = runChild(PIXELWELL_SIM_EXE, IDM_EXIT, 30000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxTexts.empty());
    EXPECT_EQ(run.controlClient.cx, 640);
    EXPECT_EQ(run.controlClient.cy, 480);
    EXPECT_FALSE(run.resultWindowShown);
}

TEST_F(StartTest, BothStartFailuresShowBothBoxesInOrderAndEndWithZero) {
    // The second box's modal loop meets the first close request while the window is still being
    // created; it is held back until creation is over.
    simcam::setWindowCreationFails(true);
    g_failCurrentDirectory = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].shownText, L"ビデオデバイスが見つかりません。");
    EXPECT_EQ(g_boxes[1].shownText, L"カレントディレクトリを取得に失敗しました。");
    for (const BoxCall& box : g_boxes) {
        EXPECT_EQ(fromCp932(box.caption), L"処理中断の案内");
        EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));
        EXPECT_EQ(box.owner, ControlWindow);
    }
    EXPECT_TRUE(g_beeps.empty());
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
}

TEST_F(StartTest, DisplayBitmapOrMemoryDCFailureShowsItsBoxClosesAndNeverDraws) {
    for (bool* failure : {&g_failDibSection, &g_failCompatibleDC}) {
        SetUp();
        *failure = true;
        ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
        EXPECT_EQ(ViewerCore.DisplaySurface, nullptr);
        selectProcessingMode(ViewerCore, kModeNormal);  // a drawing mode must not write through a missing surface
        EXPECT_TRUE(simcam::deliverFrame());
        EXPECT_EQ(runLoop(), 0);
        expectOneBox(L"表示用ビットマップの作成に失敗しました。", L"処理中断の案内", MB_OK, ControlWindow);
        EXPECT_TRUE(g_beeps.empty());
        TearDown();
    }
}

TEST_F(StartTest, BothClassesHaveTheirStylesAWhiteBackgroundTheArrowAndTheProgramIcon) {
    start();
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    const HICON icon = LoadIconA(instance, "PRGICON");
    ASSERT_NE(icon, nullptr);
    struct Case {
        const char* name;
        UINT style;
        WNDPROC procedure;
        LPCSTR menu;
    };
    const Case cases[] = {
        {"Pixelwell", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, controlWindowProc, MAKEINTRESOURCEA(1200)},
        {"Processing", CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE, resultWindowProc, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        ASSERT_TRUE(GetClassInfoExA(instance, c.name, &wc));
        EXPECT_EQ(wc.style, c.style);
        EXPECT_EQ(wc.lpfnWndProc, c.procedure);
        EXPECT_EQ(wc.cbClsExtra, 0);
        EXPECT_EQ(wc.cbWndExtra, 0);
        EXPECT_EQ(wc.hIcon, icon);
        EXPECT_EQ(wc.hIconSm, icon);
        EXPECT_EQ(wc.hCursor, LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
        EXPECT_EQ(wc.hbrBackground, GetStockObject(WHITE_BRUSH));
        EXPECT_EQ(wc.lpszMenuName, c.menu);
    }

    // "PRGICON" holds one image, 32 x 32 with 24-bit colour.
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct Group {
        WORD reserved, type, count;
        GroupEntry entries[1];
    };
#pragma pack(pop)
    HRSRC groupResource = FindResourceA(instance, "PRGICON", reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
    ASSERT_NE(groupResource, nullptr);
    const auto* group = static_cast<const Group*>(LockResource(LoadResource(instance, groupResource)));
    ASSERT_EQ(group->count, 1);
    EXPECT_EQ(group->entries[0].width, 32);
    EXPECT_EQ(group->entries[0].height, 32);
    EXPECT_EQ(group->entries[0].bitCount, 24);
    HRSRC image = FindResourceA(instance, MAKEINTRESOURCEA(group->entries[0].id), reinterpret_cast<LPCSTR>(RT_ICON));
    ASSERT_NE(image, nullptr);
    const auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(instance, image)));
    EXPECT_EQ(header->biWidth, 32);
    EXPECT_EQ(header->biHeight, 64);  // the colour image over its mask
    EXPECT_EQ(header->biBitCount, 24);
}

TEST_F(StartTest, BothWindowsAndTheCaptureWindowAreCreatedWithTheirExactValues) {
    start();
    struct Case {
        const char* className;
        const char* title;
        DWORD style;
    };
    const Case cases[] = {{"Pixelwell", "Video Viewer", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX},
                          {"Processing", "Processing...", WS_CAPTION | WS_SYSMENU}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.className);
        const auto made = std::find_if(g_windowCreations.begin(), g_windowCreations.end(),
                                       [&](const WindowCreation& w) { return w.className == c.className; });
        ASSERT_NE(made, g_windowCreations.end());
        EXPECT_EQ(made->exStyle, 0u);
        EXPECT_EQ(made->title, c.title);
        EXPECT_EQ(made->style, c.style);
        EXPECT_EQ(made->x, CW_USEDEFAULT);
        EXPECT_EQ(made->y, CW_USEDEFAULT);
        EXPECT_EQ(made->width, 960);
        EXPECT_EQ(made->height, 720);
        EXPECT_EQ(made->parent, nullptr);
        EXPECT_EQ(made->menu, nullptr);  // the control window's menu comes from its class
        EXPECT_EQ(made->instance, GetModuleHandleA(nullptr));
        EXPECT_EQ(made->param, nullptr);
    }
    ASSERT_EQ(simcam::windowRequests().size(), 1u);
    const simcam::WindowRequest& capture = simcam::windowRequests()[0];
    EXPECT_EQ(capture.name, "Capture");
    EXPECT_EQ(capture.style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE));
    EXPECT_EQ(capture.x, 0);
    EXPECT_EQ(capture.y, 0);
    EXPECT_EQ(capture.width, 640);
    EXPECT_EQ(capture.height, 480);
    EXPECT_EQ(capture.parent, ControlWindow);
    EXPECT_EQ(capture.id, 0);
}

TEST_F(StartTest, CloseClearsTheCallbacksDestroysTheCaptureWindowThenPutsBackAndDeletesTheDisplay) {
    start();
    command(IDM_GRAY);  // the result window is up: closing still ends the program
    const uintptr_t capture = handle(CaptureWindow), control = handle(ControlWindow);
    const uintptr_t dc = handle(MemoryDC), bitmap = handle(DisplayBitmap);
    // What the memory DC held before the display bitmap went in.
    const auto selected = callsNamed({"SelectObject"});
    ASSERT_EQ(selected.size(), 1u);
    ASSERT_EQ(selected[0].target, dc);
    const uintptr_t original = selected[0].b;
    g_calls.clear();
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(runLoop(), 0);
    std::vector<Call> teardown;
    for (const Call& call : callsNamed({"SendMessageA", "DestroyWindow", "SelectObject", "DeleteObject", "DeleteDC"}))
        if (call.name != "SendMessageA" || call.a == WM_CAP_SET_CALLBACK_ERRORA || call.a == WM_CAP_SET_CALLBACK_FRAME)
            teardown.push_back(call);
    EXPECT_EQ(teardown, (std::vector<Call>{{"SendMessageA", capture, WM_CAP_SET_CALLBACK_ERRORA, 0, 0},
                                           {"SendMessageA", capture, WM_CAP_SET_CALLBACK_FRAME, 0, 0},
                                           {"DestroyWindow", capture},
                                           {"SelectObject", dc, original, bitmap},
                                           {"DeleteObject", bitmap},
                                           {"DeleteDC", dc},
                                           {"DestroyWindow", control}}));
    EXPECT_FALSE(IsWindow(ControlWindow));
    EXPECT_EQ(ViewerCore.DisplaySurface, nullptr);
}

void CALLBACK chooseExit(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
}

// A loop that should not be running (or not for long) ends with this code instead of hanging.
constexpr int kStillRunning = 99;
void CALLBACK endStuckLoop(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    PostQuitMessage(kStillRunning);
}

TEST_F(StartTest, ExitCodes) {
    enum class Fault { None, ControlClass, ControlWindow, ResultClass, ResultWindow, GetMessage };
    struct Case {
        Fault fault;
        int exitCode;
        bool controlLeftOpen;
    };
    const Case cases[] = {{Fault::None, 0, false},         {Fault::ControlClass, 1, false},
                          {Fault::ControlWindow, 1, false}, {Fault::ResultClass, 1, true},
                          {Fault::ResultWindow, 1, true},   {Fault::GetMessage, -1, true}};
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        SetUp();
        // A class name already taken makes its registration fail.
        WNDCLASSEXA taken{};
        taken.cbSize = sizeof taken;
        taken.lpfnWndProc = DefWindowProcA;
        taken.hInstance = instance;
        switch (c.fault) {
            case Fault::None:
                SetTimer(nullptr, 0, 1, chooseExit);
                break;
            case Fault::ControlClass:
                taken.lpszClassName = "Pixelwell";
                ASSERT_NE(RegisterClassExA(&taken), 0);
                break;
            case Fault::ResultClass:
                taken.lpszClassName = "Processing";
                ASSERT_NE(RegisterClassExA(&taken), 0);
                break;
            case Fault::ControlWindow:
                g_failWindowClass = "Pixelwell";
                break;
            case Fault::ResultWindow:
                g_failWindowClass = "Processing";
                break;
            case Fault::GetMessage:
                g_failGetMessage = true;
                break;
        }
        const UINT_PTR guard = SetTimer(nullptr, 0, 3000, endStuckLoop);
        EXPECT_EQ(runPixelwell(instance), c.exitCode);
        KillTimer(nullptr, guard);
        EXPECT_EQ(IsWindow(ControlWindow) && IsWindowVisible(ControlWindow), c.controlLeftOpen);
        EXPECT_TRUE(g_boxes.empty());
        TearDown();
    }
}
