// The menu commands: the format check and what a refused command leaves alone, processing
// commands showing the result window at the frame size, the reference flag, and the driver's
// format and source dialogs (answered by script, as a person would).
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

class CommandTest : public ProgramTest {
protected:
    struct Snapshot {
        RECT control, capture, result;
        bool resultVisible;
        int32_t mode;
    };
    Snapshot snapshot() {
        Snapshot s{};
        GetWindowRect(ControlWindow, &s.control);
        GetWindowRect(CaptureWindow, &s.capture);
        GetWindowRect(ResultWindow, &s.result);
        s.resultVisible = IsWindowVisible(ResultWindow) != FALSE;
        s.mode = ProcessingMode;
        return s;
    }
    static bool same(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != FALSE; }

    // Starts in the given format, chooses グレイ表示, and checks it was refused unchanged.
    void expectRefused(int32_t width, int32_t height, WORD bits, DWORD compression,
                       const wchar_t* text) {
        start();
        command(IDM_NORMAL);  // accepted in the start format, so the refusal must keep it
        ASSERT_TRUE(g_boxes.empty());
        simcam::setFormat(width, height, bits, compression);
        const Snapshot before = snapshot();
        command(IDM_GRAY);
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(fromCp932(g_boxes[0].text), text);
        EXPECT_EQ(g_boxes[0].shownText, text);
        EXPECT_EQ(fromCp932(g_boxes[0].caption), L"画像フォーマットエラー");
        EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_OK));
        EXPECT_EQ(g_boxes[0].owner, ControlWindow);
        EXPECT_TRUE(g_beeps.empty());
        const Snapshot after = snapshot();
        EXPECT_EQ(after.mode, kModeNormal);
        EXPECT_TRUE(after.resultVisible);
        EXPECT_TRUE(same(before.control, after.control));
        EXPECT_TRUE(same(before.capture, after.capture));
        EXPECT_TRUE(same(before.result, after.result));
    }
};

const wchar_t kNot24Bit[] = L"画像フォーマットは、\n無圧縮の 24 ビットに設定してください";
const wchar_t kTooLarge[] = L"画像サイズは、\n1280x1280 以下に設定してください";

}  // namespace

TEST_F(CommandTest, CompressedFormatIsRefusedAndChangesNothing) {
    expectRefused(640, 480, 24, simcam::kFourccMjpg, kNot24Bit);
}

TEST_F(CommandTest, SixteenBitFormatIsRefusedAndChangesNothing) {
    expectRefused(640, 480, 16, BI_RGB, kNot24Bit);
}

TEST_F(CommandTest, TwentyFourBitWithNonZeroCompressionIsRefused) {
    expectRefused(640, 480, 24, BI_BITFIELDS, kNot24Bit);
}

TEST_F(CommandTest, FramesLargerThan1280AreRefusedAndChangeNothing) {
    expectRefused(1600, 1200, 24, BI_RGB, kTooLarge);
}

TEST_F(CommandTest, TheLargestAcceptedFrameFitsOnTheScreen) {
    simcam::setFormat(1280, 1024, 24, BI_RGB);
    start();
    command(IDM_GRAY);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(clientSize(ControlWindow).cx, 1280);
    EXPECT_EQ(clientSize(ControlWindow).cy, 1024);
    EXPECT_EQ(clientSize(ResultWindow).cx, 1280);
    EXPECT_EQ(clientSize(ResultWindow).cy, 1024);
}

TEST_F(CommandTest, ACompressedFormatRightAfterStartKeepsModeAndResultWindow) {
    simcam::setFormat(640, 480, 24, simcam::kFourccMjpg);
    start();
    command(IDM_NORMAL);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
}

TEST_F(CommandTest, GrayDisplayShowsTheResultWindowSizedToTheFrame) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    start();
    command(IDM_GRAY);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(ProcessingMode, kModeGray);
    EXPECT_TRUE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(clientSize(ResultWindow).cx, 320);
    EXPECT_EQ(clientSize(ResultWindow).cy, 240);
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
    EXPECT_EQ(clientSize(CaptureWindow).cx, 320);
    EXPECT_EQ(clientSize(CaptureWindow).cy, 240);
}

TEST_F(CommandTest, EveryProcessingCommandSetsItsMode) {
    start();
    const WORD ids[] = {1401, 1402, 1403, 1404, 1405, 1406, 1407, 1408, 1409, 1411, 1412, 1413,
                        1421, 1422, 1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451};
    for (WORD id : ids) {
        command(id);
        EXPECT_EQ(ProcessingMode, id);
        simcam::deliverFrame();
        pumpMessages();
    }
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(IsWindowVisible(ResultWindow));
}

TEST_F(CommandTest, UnknownIdentifiersAreCheckedButSelectNothing) {
    start();
    command(1400);
    command(1410);
    command(9999);
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(simcam::formatDialogsShown() + simcam::sourceDialogsShown(), 0);
}

TEST_F(CommandTest, DifferenceDisplayTwiceTakesANewReferenceEachTime) {
    start();
    command(IDM_DIFF);
    EXPECT_EQ(ReferencePending, 1);
    EXPECT_EQ(ProcessingMode, kModeDiff);
    simcam::deliverFrame();
    EXPECT_EQ(ReferencePending, 0);
    const uint8_t first = ReferenceFrame[0];
    simcam::deliverFrame();
    simcam::deliverFrame();
    command(IDM_DIFF);
    EXPECT_EQ(ReferencePending, 1);
    simcam::deliverFrame();
    EXPECT_EQ(ReferencePending, 0);
    EXPECT_EQ(std::memcmp(ReferenceFrame.data(), simcam::lastFrame(), 640 * 480 * 3), 0);
    (void)first;
    command(IDM_SIMPLEDIFF);
    EXPECT_EQ(ReferencePending, 1);
    EXPECT_EQ(ProcessingMode, kModeSimpleDiff);
}

TEST_F(CommandTest, CancelledFormatDialogLeavesModeNoneResultHiddenAndFormat) {
    start();
    command(IDM_GRAY);
    ASSERT_TRUE(IsWindowVisible(ResultWindow));
    simcam::answerFormatDialog({false, 0, 2});
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(simcam::formatDialogsShown(), 1);
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
    EXPECT_EQ(VideoFormat.header.biBitCount, 24);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, FormatDialogChoosingASizeResizesTheWindows) {
    start();
    simcam::answerFormatDialog({true, 1, 0});  // 320 x 240, 24-bit
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(ControlWindow).cy, 240);
    EXPECT_EQ(clientSize(CaptureWindow).cx, 320);
    command(IDM_GRAY);
    EXPECT_EQ(clientSize(ResultWindow).cx, 320);
    EXPECT_EQ(clientSize(ResultWindow).cy, 240);
}

TEST_F(CommandTest, ACompressedFormatFromTheDialogIsRefusedOnlyAtTheNextCommand) {
    start();
    simcam::answerFormatDialog({true, 2, 2});  // 640 x 480, MJPG
    command(IDM_VIDEOFORMAT);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(VideoFormat.header.biCompression, simcam::kFourccMjpg);
    command(IDM_GRAY);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), kNot24Bit);
    EXPECT_EQ(ProcessingMode, kModeNone);
}

TEST_F(CommandTest, SettingsAndExitAreNeverRefusedByTheFormatCheck) {
    simcam::setFormat(640, 480, 16, BI_RGB);
    start();
    simcam::answerSourceDialog({true, static_cast<int>(simcam::Picture::ColourBars)});
    command(IDM_VIDEOSOURCE);
    EXPECT_EQ(simcam::sourceDialogsShown(), 1);
    EXPECT_EQ(simcam::picture(), simcam::Picture::ColourBars);
    simcam::answerFormatDialog({false, 0, 0});
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(simcam::formatDialogsShown(), 1);
    EXPECT_TRUE(g_boxes.empty());
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(runLoop(), 0);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, SourceDialogKeepsTheResultWindowUpUntilItCloses) {
    start();
    command(IDM_GRAY);
    bool visibleDuringDialog = false;
    // The dialog is answered by script; look at the result window while it is open.
    static bool* seen;
    seen = &visibleDuringDialog;
    HHOOK hook = SetWindowsHookExA(
        WH_CBT,
        [](int code, WPARAM wParam, LPARAM lParam) -> LRESULT {
            if (code == HCBT_ACTIVATE && GetPropA(reinterpret_cast<HWND>(wParam), simcam::kDialogProperty))
                *seen = IsWindowVisible(ResultWindow) != FALSE;
            return CallNextHookEx(nullptr, code, wParam, lParam);
        },
        nullptr, GetCurrentThreadId());
    simcam::answerSourceDialog({true, static_cast<int>(simcam::Picture::Noise)});
    command(IDM_VIDEOSOURCE);
    UnhookWindowsHookEx(hook);
    EXPECT_TRUE(visibleDuringDialog);
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_EQ(simcam::picture(), simcam::Picture::Noise);
}

TEST_F(CommandTest, AFailedQueryInTheFormatCheckShowsBothBoxesWhenTheOldFormatIsRefused) {
    simcam::setFormat(640, 480, 16, BI_RGB);
    start();
    simcam::setQueryAnswer(simcam::Query::Status, 0);
    command(IDM_GRAY);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーステータスの取得に失敗しました");
    EXPECT_EQ(fromCp932(g_boxes[1].text), kNot24Bit);
    EXPECT_EQ(ProcessingMode, kModeNone);
}

TEST_F(CommandTest, AFailedQueryWithAnAcceptedOldFormatGoesAhead) {
    start();
    ASSERT_EQ(refreshCaptureInfo(), 1);
    simcam::setQueryAnswer(simcam::Query::VideoFormat, 0);
    command(IDM_GRAY);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーデータフォーマットの取得に失敗しました");
    EXPECT_EQ(ProcessingMode, kModeGray);
}
