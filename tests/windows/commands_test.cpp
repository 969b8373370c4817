// The menu commands: refused formats change nothing, processing commands show the result window
// at the frame size and set mode and reference flag, and the driver's dialogs (answered by
// script, as a person would) stop the processing.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "resource.h"
#include "shell.h"
#include "sim_device.h"
#include "test_support.h"

using namespace pixelwell;
using CommandTest = ProgramTest;

namespace {

const wchar_t kNot24Bit[] = L"画像フォーマットは、\n無圧縮の 24 ビットに設定してください";
const wchar_t kTooLarge[] = L"画像サイズは、\n1280x1280 以下に設定してください";

struct Windows {
    RECT control, capture, result;
    bool resultVisible;
    bool operator==(const Windows& o) const {
        return EqualRect(&control, &o.control) && EqualRect(&capture, &o.capture) &&
               EqualRect(&result, &o.result) && resultVisible == o.resultVisible;
    }
};

Windows windows() {
    Windows w{};
    GetWindowRect(ControlWindow, &w.control);
    GetWindowRect(CaptureWindow, &w.capture);
    GetWindowRect(ResultWindow, &w.result);
    w.resultVisible = IsWindowVisible(ResultWindow) != FALSE;
    return w;
}

}  // namespace

TEST_F(CommandTest, RefusedFormatsShowTheirBoxAndChangeNothing) {
    struct Case {
        int32_t width, height;
        WORD bits;
        DWORD compression;
        const wchar_t* text;
    };
    const Case cases[] = {{640, 480, 24, simcam::kFourccMjpg, kNot24Bit},
                          {640, 480, 16, BI_RGB, kNot24Bit},
                          {640, 480, 24, BI_BITFIELDS, kNot24Bit},
                          {1600, 1200, 24, BI_RGB, kTooLarge}};
    for (const Case& c : cases) {
        SetUp();
        start();
        command(IDM_NORMAL);  // accepted in the start format; a refusal must keep all of it
        simcam::setFormat(c.width, c.height, c.bits, c.compression);
        const Windows before = windows();
        command(IDM_GRAY);
        expectOneBox(c.text, L"画像フォーマットエラー", MB_OK, ControlWindow);
        EXPECT_TRUE(g_beeps.empty());
        EXPECT_EQ(ProcessingMode, kModeNormal);
        EXPECT_TRUE(before == windows());
        TearDown();
    }
}

TEST_F(CommandTest, GrayDisplayShowsTheResultWindowSizedToTheFrame) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    start();
    command(IDM_GRAY);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(ProcessingMode, kModeGray);
    EXPECT_TRUE(IsWindowVisible(ResultWindow));
    for (HWND w : {ControlWindow, CaptureWindow, ResultWindow}) {
        EXPECT_EQ(clientSize(w).cx, 320);
        EXPECT_EQ(clientSize(w).cy, 240);
    }
    // Every other operation too, each handed a frame.
    for (WORD id : {1401, 1402, 1403, 1404, 1405, 1406, 1407, 1408, 1411, 1412, 1413, 1421, 1422,
                    1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451}) {
        command(id);
        EXPECT_EQ(ProcessingMode, id);
        simcam::deliverFrame();
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, DifferenceDisplayTwiceTakesANewReferenceEachTime) {
    start();
    command(IDM_DIFF);
    EXPECT_EQ(ReferencePending, 1);
    simcam::deliverFrame();
    EXPECT_EQ(ReferencePending, 0);
    simcam::deliverFrame();
    command(IDM_DIFF);
    EXPECT_EQ(ReferencePending, 1);
    simcam::deliverFrame();
    EXPECT_EQ(ReferencePending, 0);
    EXPECT_EQ(std::memcmp(ReferenceFrame.data(), simcam::lastFrame(), 640 * 480 * 3), 0);
}

TEST_F(CommandTest, CancelledFormatDialogLeavesModeNoneResultHiddenAndTheFormat) {
    start();
    command(IDM_GRAY);
    simcam::answerFormatDialog({false, 0, 2});
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(simcam::formatDialogsShown(), 1);
    EXPECT_EQ(ProcessingMode, kModeNone);
    EXPECT_FALSE(IsWindowVisible(ResultWindow));
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
    EXPECT_EQ(VideoFormat.header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, FormatChosenInTheDialogResizesAndACompressedOneIsRefusedAtTheNextCommand) {
    start();
    simcam::answerFormatDialog({true, 1, 0});  // 320 x 240, 24-bit
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(clientSize(ControlWindow).cx, 320);
    EXPECT_EQ(clientSize(CaptureWindow).cy, 240);
    simcam::answerFormatDialog({true, 2, 2});  // 640 x 480, MJPG
    command(IDM_VIDEOFORMAT);
    EXPECT_TRUE(g_boxes.empty());
    command(IDM_GRAY);
    expectOneBox(kNot24Bit, L"画像フォーマットエラー", MB_OK, ControlWindow);
    EXPECT_EQ(ProcessingMode, kModeNone);
}

TEST_F(CommandTest, SettingsAndExitAreNeverRefusedByTheFormatCheck) {
    simcam::setFormat(640, 480, 16, BI_RGB);
    start();
    simcam::answerSourceDialog({true, static_cast<int>(simcam::Picture::ColourBars)});
    command(IDM_VIDEOSOURCE);
    EXPECT_EQ(simcam::picture(), simcam::Picture::ColourBars);
    simcam::answerFormatDialog({false, 0, 0});
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(simcam::formatDialogsShown() + simcam::sourceDialogsShown(), 2);
    PostMessageA(ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(runLoop(), 0);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, AFailedQueryInTheCheckIsShownThenTheOldFormatIsJudged) {
    simcam::setFormat(640, 480, 16, BI_RGB);
    start();
    simcam::setQueryAnswer(simcam::Query::Status, 0);
    command(IDM_GRAY);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].shownText, L"キャプチャーステータスの取得に失敗しました");
    EXPECT_EQ(g_boxes[1].shownText, kNot24Bit);
    EXPECT_EQ(ProcessingMode, kModeNone);
}
