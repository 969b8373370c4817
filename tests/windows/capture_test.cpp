// The capture connection against the simulated device: which drivers are connected, the
// parameters and record sizes sent, driver errors (also during the connects), the three queries
// of the refresh and what a failure leaves untouched, and frames reaching the core.
#include <cstring>

#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <iterator>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "shell.h"
#include "sim_device.h"
#include "test_support.h"

using namespace pixelwell;

namespace {

using CaptureTest = ProgramTest;

std::vector<WPARAM> sentWith(UINT message) {
    std::vector<WPARAM> out;
    for (const auto& m : simcam::messageLog())
        if (m.message == message) out.push_back(m.wParam);
    return out;
}

std::vector<UINT> sentMessages() {
    std::vector<UINT> out;
    for (const auto& m : simcam::messageLog()) out.push_back(m.message);
    return out;
}

}  // namespace

TEST_F(CaptureTest, ConnectsExactlyTheDriversAtIndicesZeroAndThreeInOrder) {
    simcam::setDrivers({0, 3});
    start();
    EXPECT_EQ(sentWith(WM_CAP_DRIVER_CONNECT), (std::vector<WPARAM>{0, 3}));
    EXPECT_EQ(simcam::connectedDrivers(), (std::vector<int>{0, 3}));
}

TEST_F(CaptureTest, ADescriptionAnswerOtherThanOneMeansNoDriver) {
    simcam::setDrivers({2}, 2);
    start();
    EXPECT_TRUE(sentWith(WM_CAP_DRIVER_CONNECT).empty());
}

TEST_F(CaptureTest, RegistersBothCallbacksBeforeConnectingThenSetsParametersPreviewAndOverlay) {
    start();
    const std::vector<UINT> expected = {
        WM_CAP_SET_CALLBACK_ERRORA, WM_CAP_SET_CALLBACK_FRAME, WM_CAP_DRIVER_CONNECT,
        WM_CAP_GET_SEQUENCE_SETUP,  WM_CAP_SET_SEQUENCE_SETUP, WM_CAP_SET_PREVIEWRATE,
        WM_CAP_SET_PREVIEW,         WM_CAP_SET_OVERLAY,        WM_CAP_GET_SEQUENCE_SETUP};
    const std::vector<UINT> sent = sentMessages();
    ASSERT_GE(sent.size(), expected.size());
    EXPECT_EQ(std::vector<UINT>(sent.begin(), sent.begin() + expected.size()), expected);
    const auto& log = simcam::messageLog();
    EXPECT_EQ(log[0].lParam, reinterpret_cast<LPARAM>(&onCaptureError));
    EXPECT_EQ(log[1].lParam, reinterpret_cast<LPARAM>(&onFrame));
    EXPECT_EQ(simcam::previewRate(), 33u);
    EXPECT_TRUE(simcam::previewOn());
    EXPECT_TRUE(simcam::overlayOn());
}

TEST_F(CaptureTest, WithoutADriverTheParametersPreviewAndOverlayAreStillSent) {
    simcam::setDrivers({});
    start();
    EXPECT_TRUE(sentWith(WM_CAP_DRIVER_CONNECT).empty());
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEWRATE), (std::vector<WPARAM>{33}));
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEW), (std::vector<WPARAM>{1}));
    EXPECT_EQ(sentWith(WM_CAP_SET_OVERLAY), (std::vector<WPARAM>{1}));
    EXPECT_EQ(sentWith(WM_CAP_SET_SEQUENCE_SETUP).size(), 1u);
    EXPECT_EQ(CaptureSetup.dwRequestMicroSecPerFrame, 41666u);  // read back
}

TEST_F(CaptureTest, SetsTheCaptureParametersAndKeepsTheDriversOthers) {
    start();
    const CAPTUREPARMS& p = simcam::parameters();
    EXPECT_EQ(p.dwRequestMicroSecPerFrame, 41666u);
    EXPECT_EQ(p.fMakeUserHitOKToCapture, TRUE);
    EXPECT_EQ(p.wPercentDropForError, 100u);
    EXPECT_EQ(p.fYield, FALSE);
    EXPECT_EQ(p.fUsingDOSMemory, FALSE);
    EXPECT_EQ(p.fCaptureAudio, FALSE);
    EXPECT_EQ(p.wNumAudioRequested, 0u);
    EXPECT_EQ(p.vKeyAbort, static_cast<UINT>(VK_ESCAPE));
    EXPECT_EQ(p.fAbortLeftMouse, FALSE);
    EXPECT_EQ(p.fAbortRightMouse, FALSE);
    EXPECT_EQ(p.fLimitEnabled, FALSE);
    EXPECT_EQ(p.wTimeLimit, 30u);
    EXPECT_EQ(p.fMCIControl, FALSE);
    EXPECT_EQ(p.fStepMCIDevice, FALSE);
    EXPECT_EQ(p.fStepCaptureAt2x, FALSE);
    EXPECT_EQ(p.dwAudioBufferSize, 0u);
    // Fields the program leaves as the driver had them.
    EXPECT_EQ(p.dwIndexSize, 34952u);
    EXPECT_EQ(p.wNumVideoRequested, 10u);
    EXPECT_EQ(p.AVStreamMaster, static_cast<UINT>(AVSTREAMMASTER_AUDIO));
    EXPECT_EQ(std::memcmp(&p, &CaptureSetup, sizeof p), 0);
}

TEST_F(CaptureTest, RecordSizesAreThePlatformsOwn) {
    start();
    command(1409);
    for (WPARAM size : sentWith(WM_CAP_GET_STATUS)) EXPECT_EQ(size, 80u);
    for (WPARAM size : sentWith(WM_CAP_GET_SEQUENCE_SETUP)) EXPECT_EQ(size, 96u);
    for (WPARAM size : sentWith(WM_CAP_SET_SEQUENCE_SETUP)) EXPECT_EQ(size, 96u);
    EXPECT_EQ(sentWith(WM_CAP_GET_VIDEOFORMAT), (std::vector<WPARAM>{44}));
    EXPECT_EQ(sizeof(CAPSTATUS), 80u);
}

TEST_F(CaptureTest, ErrorZeroDuringTheConnectsDoesNothing) {
    simcam::raiseErrorOnConnect(0, "ignored");
    start();
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(g_beeps.empty());
    EXPECT_TRUE(IsWindowVisible(ControlWindow));
    EXPECT_EQ(onCaptureError(CaptureWindow, 0, "x"), 1);
}

TEST_F(CaptureTest, ErrorSevenDuringTheConnectsBeepsAndShowsTextAndNumber) {
    simcam::raiseErrorOnConnect(7, "abc");
    start();
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, "abc(7)");
    EXPECT_EQ(g_boxes[0].shownText, L"abc(7)");
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"キャプチャエラー");
    EXPECT_EQ(g_boxes[0].shownCaption, L"キャプチャエラー");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(g_boxes[0].owner, CaptureWindow);
    EXPECT_EQ(g_beeps, std::vector<UINT>{MB_ICONWARNING});
    // The capture stays open and the program goes on.
    EXPECT_TRUE(IsWindowVisible(ControlWindow));
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
}

TEST_F(CaptureTest, Error418DuringTheConnectsBeepsShowsTheBoxAndEndsTheProgram) {
    simcam::raiseErrorOnConnect(418, "driver error");
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    const HWND capture = CaptureWindow;
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"デバイスが見つかりません。\nプログラムを終了します。");
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"初期化エラー");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(g_boxes[0].owner, capture);
    EXPECT_EQ(g_beeps, std::vector<UINT>{MB_ICONWARNING});
    EXPECT_FALSE(IsWindow(ControlWindow));
}

TEST_F(CaptureTest, Error418FollowedByAnotherStartBoxStillShowsBothAndEndsWithZero) {
    simcam::raiseErrorOnConnect(418, "driver error");
    g_failCurrentDirectory = true;
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(fromCp932(g_boxes[0].caption), L"初期化エラー");
    EXPECT_EQ(fromCp932(g_boxes[1].text), L"カレントディレクトリを取得に失敗しました。");
}

TEST_F(CaptureTest, Error418WhileRunningPostsOneClose) {
    start();
    simcam::raiseError(418, "lost");
    ASSERT_EQ(g_boxes.size(), 1u);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, ControlWindow, WM_CLOSE, WM_CLOSE, PM_NOREMOVE));
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(CaptureTest, ALongErrorTextIsCutAtACharacterBoundaryKeepingTheNumber) {
    start();
    // "a" then 300 double-byte characters: 601 bytes, odd so that a byte-wise cut would split one.
    std::wstring wide = L"a";
    for (int i = 0; i < 300; ++i) wide += L"ソ";
    const std::string text = toCp932(wide);
    ASSERT_EQ(text.size(), 601u);
    simcam::raiseError(12345, text);
    ASSERT_EQ(g_boxes.size(), 1u);
    const std::string& shown = g_boxes[0].text;
    EXPECT_LE(shown.size() + 1, static_cast<size_t>(kErrorMessageBytes));
    ASSERT_GT(shown.size(), 7u);
    EXPECT_EQ(shown.substr(shown.size() - 7), "(12345)");
    const std::string body = shown.substr(0, shown.size() - 7);
    EXPECT_EQ(body, text.substr(0, body.size()));
    EXPECT_EQ(body.size() % 2, 1u);  // "a" plus whole characters only
    EXPECT_GE(body.size() + 7 + 2, static_cast<size_t>(kErrorMessageBytes - 1));  // nothing wasted
    EXPECT_EQ(g_boxes[0].shownText, wide.substr(0, (body.size() + 1) / 2) + L"(12345)");
}

TEST(ShiftJisCut, NeverSplitsADoubleByteCharacter) {
    const char text[] = "a\x83\x5C\x83\x5C" "b";  // a ソ ソ b
    EXPECT_EQ(fitShiftJis(text, 6, 6), 6);
    EXPECT_EQ(fitShiftJis(text, 6, 5), 5);
    EXPECT_EQ(fitShiftJis(text, 6, 4), 3);
    EXPECT_EQ(fitShiftJis(text, 6, 2), 1);
    EXPECT_EQ(fitShiftJis(text, 6, 0), 0);
    const char half[] = "\xB1\xB2";  // half-width katakana are single bytes
    EXPECT_EQ(fitShiftJis(half, 2, 1), 1);
    const char torn[] = "ab\x83";  // a lead byte at the very end counts alone
    EXPECT_EQ(fitShiftJis(torn, 3, 3), 3);
}

TEST_F(CaptureTest, RefreshReadsAllThreeRecords) {
    start();
    simcam::clearMessageLog();
    EXPECT_EQ(refreshCaptureInfo(), 1);
    EXPECT_EQ(sentMessages(), (std::vector<UINT>{WM_CAP_GET_SEQUENCE_SETUP, WM_CAP_GET_STATUS,
                                                 WM_CAP_GET_VIDEOFORMAT}));
    EXPECT_EQ(CaptureStatus.uiImageWidth, 640u);
    EXPECT_EQ(CaptureStatus.uiImageHeight, 480u);
    EXPECT_EQ(VideoFormat.header.biBitCount, 24);
    EXPECT_EQ(VideoFormat.header.biWidth, 640);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CaptureTest, AFormatQueryAnsweringFortyCountsAsSuccess) {
    start();
    simcam::setQueryAnswer(simcam::Query::VideoFormat, 40);
    EXPECT_EQ(refreshCaptureInfo(), 1);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CaptureTest, FailedParametersQueryShowsItsTextAndQueriesNothingElse) {
    start();
    ASSERT_EQ(refreshCaptureInfo(), 1);
    const CAPSTATUS status = CaptureStatus;
    const VideoFormatRecord format = VideoFormat;
    simcam::setFormat(320, 240, 16, BI_RGB);
    simcam::setQueryAnswer(simcam::Query::SequenceSetup, 2);  // only exactly 1 succeeds
    simcam::clearMessageLog();
    EXPECT_EQ(refreshCaptureInfo(), 0);
    EXPECT_EQ(sentMessages(), std::vector<UINT>{WM_CAP_GET_SEQUENCE_SETUP});
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーパラメータの取得に失敗しました");
    EXPECT_EQ(g_boxes[0].caption, "VFW ERROR");
    EXPECT_EQ(g_boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(g_boxes[0].owner, ControlWindow);
    EXPECT_TRUE(g_beeps.empty());
    EXPECT_EQ(std::memcmp(&status, &CaptureStatus, sizeof status), 0);
    EXPECT_EQ(std::memcmp(&format, &VideoFormat, sizeof format), 0);
}

TEST_F(CaptureTest, FailedStatusQueryShowsItsTextAndLeavesTheFormatUntouched) {
    start();
    ASSERT_EQ(refreshCaptureInfo(), 1);
    const CAPSTATUS status = CaptureStatus;
    const VideoFormatRecord format = VideoFormat;
    simcam::setFormat(320, 240, 16, BI_RGB);
    simcam::setQueryAnswer(simcam::Query::Status, 0);
    simcam::clearMessageLog();
    EXPECT_EQ(refreshCaptureInfo(), 0);
    EXPECT_EQ(sentMessages(), (std::vector<UINT>{WM_CAP_GET_SEQUENCE_SETUP, WM_CAP_GET_STATUS}));
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーステータスの取得に失敗しました");
    EXPECT_EQ(g_boxes[0].caption, "VFW ERROR");
    EXPECT_EQ(std::memcmp(&status, &CaptureStatus, sizeof status), 0);
    EXPECT_EQ(std::memcmp(&format, &VideoFormat, sizeof format), 0);
}

TEST_F(CaptureTest, FailedFormatQueryShowsItsTextAndKeepsTheOldFormat) {
    start();
    ASSERT_EQ(refreshCaptureInfo(), 1);
    const VideoFormatRecord format = VideoFormat;
    simcam::setFormat(320, 240, 16, BI_RGB);
    simcam::setQueryAnswer(simcam::Query::VideoFormat, 0);
    EXPECT_EQ(refreshCaptureInfo(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーデータフォーマットの取得に失敗しました");
    EXPECT_EQ(CaptureStatus.uiImageWidth, 320u);  // the status query before it did succeed
    EXPECT_EQ(std::memcmp(&format, &VideoFormat, sizeof format), 0);
}

TEST_F(CaptureTest, RefreshWithoutACaptureWindowFailsAtTheParametersAndSendsNothing) {
    EXPECT_EQ(refreshCaptureInfo(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), L"キャプチャーパラメータの取得に失敗しました");
    EXPECT_TRUE(simcam::messageLog().empty());
    EXPECT_EQ(sendCaptureMessage(WM_CAP_GET_STATUS, sizeof CaptureStatus,
                                 reinterpret_cast<LPARAM>(&CaptureStatus)), 0);
}

TEST_F(CaptureTest, FramesReachTheCoreInEveryModeAndRepaintOnlyWhenDrawn) {
    start();
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_EQ(FrameCounter, 2u);
    EXPECT_EQ(FrameGeometry.width, 640);
    EXPECT_EQ(FrameGeometry.height, 480);
    EXPECT_EQ(std::memcmp(FrameRing[2].data(), simcam::lastFrame(), 640 * 480 * 3), 0);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    command(1401);
    pumpMessages();
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
}

TEST_F(CaptureTest, PreviewDeliversFramesOnItsOwnAtThePreviewRate) {
    start();
    simcam::setFrameTimer(true);
    const DWORD begin = GetTickCount();
    while (GetTickCount() - begin < 500) {
        pumpMessages();
        Sleep(5);
    }
    // 33 ms apart: about 15 in half a second; allow for a slow machine.
    EXPECT_GE(FrameCounter, 5u);
    EXPECT_LE(FrameCounter, 17u);
}
