// Start-up and shutdown of the real program: window sizes and visibility, menu, icon and display
// bitmap, the start-up failure boxes and the exit codes (in-process, and as a child process).
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
    EXPECT_EQ(ProcessingMode, kModeNone);
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
    EXPECT_EQ(section.dsBm.bmBits, DisplaySurface);
    EXPECT_EQ(GetCurrentObject(MemoryDC, OBJ_BITMAP), DisplayBitmap);
}

TEST_F(StartTest, ExitClearsBothCallbacksBeforeTheCaptureWindowGoesAndEndsWithZero) {
    start();
    command(IDM_GRAY);  // the result window is up: closing still ends the program
    simcam::clearMessageLog();
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(IsWindow(ControlWindow));
    EXPECT_FALSE(IsWindow(CaptureWindow));
    EXPECT_EQ(DisplaySurface, nullptr);
    std::vector<std::pair<UINT, LPARAM>> sent;
    for (const auto& m : simcam::messageLog())
        if (m.message != WM_CAP_GET_STATUS) sent.push_back({m.message, m.lParam});  // exit's resize
    EXPECT_EQ(sent, (std::vector<std::pair<UINT, LPARAM>>{{WM_CAP_SET_CALLBACK_ERRORA, 0},
                                                          {WM_CAP_SET_CALLBACK_FRAME, 0}}));
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
        EXPECT_EQ(DisplaySurface, nullptr);
        ProcessingMode = kModeNormal;  // a drawing mode must not write through a missing surface
        EXPECT_TRUE(simcam::deliverFrame());
        EXPECT_EQ(runLoop(), 0);
        expectOneBox(L"表示用ビットマップの作成に失敗しました。", L"処理中断の案内", MB_OK, ControlWindow);
        EXPECT_TRUE(g_beeps.empty());
        TearDown();
    }
}

TEST_F(StartTest, AResultClassThatCannotBeRegisteredEndsWithOneAndLeavesTheControlWindow) {
    WNDCLASSEXA taken{};
    taken.cbSize = sizeof taken;
    taken.lpfnWndProc = DefWindowProcA;
    taken.hInstance = GetModuleHandleA(nullptr);
    taken.lpszClassName = "Processing";
    ASSERT_NE(RegisterClassExA(&taken), 0);
    EXPECT_EQ(runPixelwell(GetModuleHandleA(nullptr)), 1);
    EXPECT_TRUE(IsWindowVisible(ControlWindow));
    EXPECT_EQ(ResultWindow, nullptr);
    EXPECT_TRUE(g_boxes.empty());
}
