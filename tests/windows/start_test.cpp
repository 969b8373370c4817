// Start-up and shutdown of the real program against the simulated device: window sizes, classes
// and visibility, the display bitmap, the start-up failure boxes and the exit codes.
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

using StartTest = ProgramTest;

std::wstring menuLabel(HMENU menu, UINT position) {
    wchar_t text[64] = L"";
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

}  // namespace

TEST_F(StartTest, ClientAreaIsTheFrameAndPreviewFillsItFromTheTopLeft) {
    start();
    EXPECT_TRUE(IsWindowVisible(ControlWindow));
    const SIZE client = clientSize(ControlWindow);
    EXPECT_EQ(client.cx, 640);
    EXPECT_EQ(client.cy, 480);
    ASSERT_TRUE(IsWindow(CaptureWindow));
    EXPECT_EQ(GetParent(CaptureWindow), ControlWindow);
    EXPECT_TRUE(IsWindowVisible(CaptureWindow));
    const RECT preview = windowRectIn(CaptureWindow, ControlWindow);
    EXPECT_EQ(preview.left, 0);
    EXPECT_EQ(preview.top, 0);
    EXPECT_EQ(preview.right, 640);
    EXPECT_EQ(preview.bottom, 480);
    ASSERT_TRUE(IsWindow(ResultWindow));
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(g_beeps.empty());
}

TEST_F(StartTest, FollowsAnotherFrameSizeAndMeasuresItsBorders) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    start();
    const SIZE client = clientSize(ControlWindow);
    EXPECT_EQ(client.cx, 320);
    EXPECT_EQ(client.cy, 240);
    RECT outer;
    GetWindowRect(ControlWindow, &outer);
    EXPECT_EQ(outer.right - outer.left - client.cx, ControlBorder.cx);
    EXPECT_EQ(outer.bottom - outer.top - client.cy, ControlBorder.cy);
    EXPECT_GT(ControlBorder.cy, ResultBorder.cy);  // the menu bar
}

TEST_F(StartTest, WindowsAndClassesCarryTheirTitlesStylesMenuAndIcon) {
    start();
    char text[64];
    GetWindowTextA(ControlWindow, text, sizeof text);
    EXPECT_STREQ(text, "Video Viewer");
    GetWindowTextA(ResultWindow, text, sizeof text);
    EXPECT_STREQ(text, "Processing...");
    GetClassNameA(ControlWindow, text, sizeof text);
    EXPECT_STREQ(text, "Pixelwell");
    GetClassNameA(ResultWindow, text, sizeof text);
    EXPECT_STREQ(text, "Processing");
    GetWindowTextA(CaptureWindow, text, sizeof text);
    EXPECT_STREQ(text, "Capture");

    const auto style = [](HWND w) { return GetWindowLongA(w, GWL_STYLE); };
    const LONG frameBits = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;
    EXPECT_EQ(style(ControlWindow) & frameBits, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_EQ(style(ResultWindow) & frameBits, WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(GetClassLongA(ControlWindow, GCL_STYLE), CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS);
    EXPECT_EQ(GetClassLongA(ResultWindow, GCL_STYLE), CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE);
    EXPECT_NE(GetClassLongPtrA(ControlWindow, GCLP_HICON), 0);
    EXPECT_EQ(GetWindow(ControlWindow, GW_OWNER), nullptr);
    EXPECT_EQ(GetWindow(ResultWindow, GW_OWNER), nullptr);

    ICONINFO info{};
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), "PRGICON");
    ASSERT_NE(icon, nullptr);
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bm{};
    GetObjectA(info.hbmColor, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    EXPECT_EQ(bm.bmHeight, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    HMENU bar = GetMenu(ControlWindow);
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    EXPECT_EQ(menuLabel(bar, 0), L"制御");
    EXPECT_EQ(menuLabel(bar, 1), L"映像処理");
    HMENU control = GetSubMenu(bar, 0);
    ASSERT_EQ(GetMenuItemCount(control), 3);
    EXPECT_EQ(menuLabel(control, 0), L"設定");
    EXPECT_EQ(GetMenuItemID(control, 1), 0u);  // separator
    EXPECT_EQ(GetMenuItemID(control, 2), static_cast<UINT>(IDM_EXIT));
    EXPECT_EQ(menuLabel(control, 2), L"終了");
    HMENU settings = GetSubMenu(control, 0);
    ASSERT_EQ(GetMenuItemCount(settings), 2);
    EXPECT_EQ(GetMenuItemID(settings, 0), static_cast<UINT>(IDM_VIDEOFORMAT));
    EXPECT_EQ(menuLabel(settings, 0), L"ビデオフォーマット");
    EXPECT_EQ(GetMenuItemID(settings, 1), static_cast<UINT>(IDM_VIDEOSOURCE));
    EXPECT_EQ(menuLabel(settings, 1), L"ビデオソース");

    struct Entry {
        UINT id;
        const wchar_t* label;
    };
    const Entry expected[] = {
        {1401, L"通常表示"}, {0, L""}, {1409, L"グレイ表示"}, {0, L""}, {1451, L"二値化"}, {0, L""},
        {1402, L"反転表示"}, {0, L""}, {1403, L"2フレーム加算"}, {1404, L"4フレーム加算"},
        {1405, L"8フレーム加算"}, {0, L""}, {1406, L"フレーム差分"}, {0, L""},
        {1407, L"単純差分表示"}, {1408, L"差分表示"}, {0, L""}, {1411, L"ラプラシアン A"},
        {1412, L"ラプラシアン B"}, {1413, L"ラプラシアン C"}, {0, L""}, {1421, L"ゾーベル X方向"},
        {1422, L"ゾーベル Y方向"}, {0, L""}, {1431, L"ローパスフィルタ 3"},
        {1432, L"ハイパスフィルタ 3"}, {1433, L"ローパスフィルタ 5"}, {1434, L"ハイパスフィルタ 5"},
        {0, L""}, {1441, L"最小値 3x3"}, {1442, L"最大値 3x3"}, {1443, L"中間値 3x3"},
        {1444, L"平均値 3x3"}, {0, L""}};
    HMENU processing = GetSubMenu(bar, 1);
    ASSERT_EQ(GetMenuItemCount(processing), static_cast<int>(std::size(expected)));
    for (int i = 0; i < static_cast<int>(std::size(expected)); ++i) {
        EXPECT_EQ(GetMenuItemID(processing, i), expected[i].id) << "position " << i;
        EXPECT_EQ(menuLabel(processing, i), expected[i].label) << "position " << i;
        if (expected[i].id)
            EXPECT_EQ(GetMenuState(processing, i, MF_BYPOSITION) & (MF_CHECKED | MF_GRAYED), 0u);
    }
}

TEST_F(StartTest, DisplayBitmapIsA1280Square32BitBottomUpSectionHeldByTheMemoryDC) {
    start();
    ASSERT_NE(DisplayBitmap, nullptr);
    ASSERT_NE(MemoryDC, nullptr);
    DIBSECTION section{};
    ASSERT_EQ(GetObjectA(DisplayBitmap, sizeof section, &section), static_cast<int>(sizeof section));
    EXPECT_EQ(section.dsBmih.biWidth, 1280);
    EXPECT_EQ(section.dsBmih.biHeight, 1280);
    EXPECT_EQ(section.dsBmih.biBitCount, 32);
    EXPECT_EQ(section.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(section.dsBm.bmBits, DisplaySurface);
    EXPECT_EQ(GetCurrentObject(MemoryDC, OBJ_BITMAP), DisplayBitmap);
}

TEST_F(StartTest, ExitCommandClosesInOrderAndEndsWithZero) {
    start();
    simcam::clearMessageLog();
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(IsWindow(ControlWindow));
    EXPECT_FALSE(IsWindow(CaptureWindow));
    EXPECT_EQ(DisplaySurface, nullptr);
    const auto& log = simcam::messageLog();
    ASSERT_GE(log.size(), 2u);
    // Both callbacks are cleared before the capture window goes; no disconnect is sent.
    size_t i = 0;
    while (i < log.size() && log[i].message == WM_CAP_GET_STATUS) ++i;  // the exit's resize pass
    ASSERT_EQ(log.size() - i, 2u);
    EXPECT_EQ(log[i].message, static_cast<UINT>(WM_CAP_SET_CALLBACK_ERRORA));
    EXPECT_EQ(log[i].lParam, 0);
    EXPECT_EQ(log[i + 1].message, static_cast<UINT>(WM_CAP_SET_CALLBACK_FRAME));
    EXPECT_EQ(log[i + 1].lParam, 0);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(StartTest, NoCaptureWindowShowsTheBoxAndEndsWithZero) {
    simcam::setWindowCreationFails(true);
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"ビデオデバイスが見つかりません。");
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"処理中断の案内");
    EXPECT_EQ(g_boxes[0].shownText, L"ビデオデバイスが見つかりません。");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(g_boxes[0].owner, ControlWindow);
    EXPECT_TRUE(g_beeps.empty());
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(simcam::messageLog().size(), 0u);
}

TEST_F(StartTest, TheCameraProgramUnderWineFindsNoDeviceAndEndsWithZero) {
    // Wine's avicap32 creates no capture window: the real executable takes the no-device path.
    const ChildRun run = runChild(PIXELWELL_EXE, 0, 30000);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxTexts.size(), 1u);
    EXPECT_EQ(run.boxTexts[0], L"ビデオデバイスが見つかりません。");
    EXPECT_EQ(run.boxCaptions[0], L"処理中断の案内");
    EXPECT_EQ(run.boxOwnerClasses[0], L"Pixelwell");
    EXPECT_FALSE(run.resultWindowShown);
}

TEST_F(StartTest, TheSimulatedProgramStartsAtTheFrameSizeAndExitsWithZero) {
    const ChildRun run = runChild(PIXELWELL_SIM_EXE, IDM_EXIT, 30000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxTexts.empty());
    EXPECT_EQ(run.controlClient.cx, 640);
    EXPECT_EQ(run.controlClient.cy, 480);
    EXPECT_TRUE(run.resultWindowSeen);
    EXPECT_FALSE(run.resultWindowShown);
}

TEST_F(StartTest, CurrentDirectoryFailureShowsItsBoxAndCloses) {
    g_failCurrentDirectory = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"カレントディレクトリを取得に失敗しました。");
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"処理中断の案内");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(g_boxes[0].owner, ControlWindow);
    EXPECT_TRUE(g_beeps.empty());
}

TEST_F(StartTest, BothStartFailuresShowBothBoxesInOrderAndEndWithZero) {
    // The second box's modal loop meets the first close request inside creation; it is held
    // back, so the window is not destroyed while being created.
    simcam::setWindowCreationFails(true);
    g_failCurrentDirectory = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_TRUE(IsWindow(ControlWindow));
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"ビデオデバイスが見つかりません。");
    EXPECT_EQ(fromCp932(g_boxes[1].text), L"カレントディレクトリを取得に失敗しました。");
    EXPECT_FALSE(IsWindow(ControlWindow));
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
}

TEST_F(StartTest, DisplayBitmapFailureShowsItsBoxClosesAndNeverDraws) {
    g_failDibSection = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(DisplaySurface, nullptr);
    // A frame in a drawing mode before the close is handled must not touch a missing surface.
    ProcessingMode = kModeNormal;
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"表示用ビットマップの作成に失敗しました。");
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"処理中断の案内");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(g_boxes[0].owner, ControlWindow);
    EXPECT_TRUE(g_beeps.empty());
}

TEST_F(StartTest, MemoryDCFailureShowsTheSameBoxAndCloses) {
    g_failCompatibleDC = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(DisplaySurface, nullptr);
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"表示用ビットマップの作成に失敗しました。");
}

TEST_F(StartTest, ClosingWhileTheResultWindowIsVisibleEndsTheProgram) {
    start();
    command(IDM_GRAY);
    ASSERT_TRUE(IsWindowVisible(ResultWindow));
    PostMessageA(ControlWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(IsWindow(ControlWindow));
}
