// The capture connection against the simulated device: the drivers connected, what is sent and
// with which record sizes, driver errors during the connects, the refresh's three queries and
// what a failed one leaves untouched, and frames reaching the core.
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
using CaptureTest = ProgramTest;

namespace {

std::vector<UINT> sentMessages() {
    std::vector<UINT> out;
    for (const auto& m : simcam::messageLog()) out.push_back(m.message);
    return out;
}

std::vector<WPARAM> sentWith(UINT message) {
    std::vector<WPARAM> out;
    for (const auto& m : simcam::messageLog())
        if (m.message == message) out.push_back(m.wParam);
    return out;
}

}  // namespace

TEST_F(CaptureTest, ConnectsEveryDriverThatAnswersExactlyOne) {
    simcam::setDrivers({0, 3});
    start();
    EXPECT_EQ(sentWith(WM_CAP_DRIVER_CONNECT), (std::vector<WPARAM>{0, 3}));
    TearDown();
    SetUp();
    simcam::setDrivers({2}, 2);  // a non-zero answer other than 1 is no driver
    start();
    EXPECT_TRUE(sentWith(WM_CAP_DRIVER_CONNECT).empty());
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEW), std::vector<WPARAM>{1});  // the rest is still sent
}

TEST_F(CaptureTest, CallbacksFirstThenParametersPreviewAndOverlayWithThePlatformsRecordSizes) {
    start();
    const std::vector<UINT> expected = {WM_CAP_SET_CALLBACK_ERRORA, WM_CAP_SET_CALLBACK_FRAME,
                                        WM_CAP_DRIVER_CONNECT,      WM_CAP_GET_SEQUENCE_SETUP,
                                        WM_CAP_SET_SEQUENCE_SETUP,  WM_CAP_SET_PREVIEWRATE,
                                        WM_CAP_SET_PREVIEW,         WM_CAP_SET_OVERLAY,
                                        WM_CAP_GET_SEQUENCE_SETUP};
    const std::vector<UINT> sent = sentMessages();
    ASSERT_GT(sent.size(), expected.size());
    EXPECT_EQ(std::vector<UINT>(sent.begin(), sent.begin() + expected.size()), expected);
    EXPECT_EQ(simcam::messageLog()[0].lParam, reinterpret_cast<LPARAM>(&onCaptureError));
    EXPECT_EQ(simcam::messageLog()[1].lParam, reinterpret_cast<LPARAM>(&onFrame));
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEWRATE), std::vector<WPARAM>{33});
    EXPECT_TRUE(simcam::previewOn() && simcam::overlayOn());

    const CAPTUREPARMS& p = simcam::parameters();
    EXPECT_EQ(p.dwRequestMicroSecPerFrame, 41666u);
    EXPECT_EQ(p.fMakeUserHitOKToCapture, TRUE);
    EXPECT_EQ(p.wPercentDropForError, 100u);
    EXPECT_EQ(p.vKeyAbort, static_cast<UINT>(VK_ESCAPE));
    EXPECT_EQ(p.wTimeLimit, 30u);
    EXPECT_EQ(p.fYield | p.fUsingDOSMemory | p.fCaptureAudio | p.wNumAudioRequested | p.fAbortLeftMouse |
                  p.fAbortRightMouse | p.fLimitEnabled | p.fMCIControl | p.fStepMCIDevice |
                  p.fStepCaptureAt2x | p.dwAudioBufferSize,
              0u);
    EXPECT_EQ(p.dwIndexSize, 34952u);  // the driver's own values stay
    EXPECT_EQ(p.wNumVideoRequested, 10u);
    EXPECT_EQ(std::memcmp(&p, &CaptureSetup, sizeof p), 0);  // read back

    command(IDM_GRAY);
    for (WPARAM size : sentWith(WM_CAP_GET_STATUS)) EXPECT_EQ(size, sizeof(CAPSTATUS));
    for (WPARAM size : sentWith(WM_CAP_GET_SEQUENCE_SETUP)) EXPECT_EQ(size, 96u);
    EXPECT_EQ(sentWith(WM_CAP_GET_VIDEOFORMAT), std::vector<WPARAM>{44});
    EXPECT_EQ(sizeof(CAPSTATUS), 80u);
}

TEST_F(CaptureTest, ErrorZeroDuringTheConnectsDoesNothing) {
    simcam::raiseErrorOnConnect(0, "ignored");
    start();
    EXPECT_TRUE(g_boxes.empty() && g_beeps.empty());
}

TEST_F(CaptureTest, ErrorSevenDuringTheConnectsShowsTextAndNumberAndTheProgramGoesOn) {
    simcam::raiseErrorOnConnect(7, "abc");
    start();
    expectOneBox(L"abc(7)", L"キャプチャエラー", MB_ICONWARNING | MB_OK, CaptureWindow);
    EXPECT_EQ(g_beeps, std::vector<UINT>{MB_ICONWARNING});
    EXPECT_EQ(clientSize(ControlWindow).cx, 640);
}

TEST_F(CaptureTest, Error418DuringTheConnectsShowsItsBoxAndEndsTheProgram) {
    simcam::raiseErrorOnConnect(418, "driver error");
    ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
    expectOneBox(L"デバイスが見つかりません。\nプログラムを終了します。", L"初期化エラー",
                 MB_ICONWARNING | MB_OK, CaptureWindow);
    EXPECT_EQ(g_beeps, std::vector<UINT>{MB_ICONWARNING});
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(IsWindow(ControlWindow));
}

TEST_F(CaptureTest, ALongErrorTextIsCutAtACharacterBoundaryKeepingTheNumber) {
    start();
    std::wstring wide = L"a";  // then 300 double-byte characters: a byte-wise cut would split one
    for (int i = 0; i < 300; ++i) wide += L"ソ";
    simcam::raiseError(12345, toCp932(wide));
    ASSERT_EQ(g_boxes.size(), 1u);
    const std::string& text = g_boxes[0].text;
    EXPECT_EQ(text.size(), 1u + 2 * 251 + 7);  // all that fits in 511 bytes
    EXPECT_EQ(g_boxes[0].shownText, wide.substr(0, 252) + L"(12345)");

    const char sjis[] = "a\x83\x5C\x83\x5C" "b";  // a ソ ソ b
    EXPECT_EQ(fitShiftJis(sjis, 6, 4), 3);
    EXPECT_EQ(fitShiftJis(sjis, 6, 5), 5);
    EXPECT_EQ(fitShiftJis("\xB1\xB2", 2, 1), 1);  // half-width katakana are single bytes
}

TEST_F(CaptureTest, EachFailedQueryShowsItsTextAndLeavesTheLaterRecordsUntouched) {
    struct Case {
        simcam::Query query;
        LRESULT answer;
        const wchar_t* text;
        size_t queries;
    };
    const Case cases[] = {
        {simcam::Query::SequenceSetup, 2, L"キャプチャーパラメータの取得に失敗しました", 1},  // only 1 succeeds
        {simcam::Query::Status, 0, L"キャプチャーステータスの取得に失敗しました", 2},
        {simcam::Query::VideoFormat, 0, L"キャプチャーデータフォーマットの取得に失敗しました", 3}};
    start();
    for (const Case& c : cases) {
        simcam::clearQueryAnswers();
        simcam::setFormat(640, 480, 24, BI_RGB);
        ASSERT_EQ(refreshCaptureInfo(), 1);
        const CAPSTATUS status = CaptureStatus;
        const VideoFormatRecord format = VideoFormat;
        simcam::setFormat(320, 240, 16, BI_RGB);
        simcam::setQueryAnswer(c.query, c.answer);
        simcam::clearMessageLog();
        g_boxes.clear();
        EXPECT_EQ(refreshCaptureInfo(), 0);
        EXPECT_EQ(sentMessages().size(), c.queries);
        expectOneBox(c.text, L"VFW ERROR", MB_OK, ControlWindow);
        EXPECT_EQ(std::memcmp(&status, &CaptureStatus, sizeof status) == 0, c.queries < 3);
        EXPECT_EQ(std::memcmp(&format, &VideoFormat, sizeof format), 0);
    }
    EXPECT_TRUE(g_beeps.empty());
    simcam::clearQueryAnswers();
    simcam::setQueryAnswer(simcam::Query::VideoFormat, 40);  // any non-zero size is success
    EXPECT_EQ(refreshCaptureInfo(), 1);
}

TEST_F(CaptureTest, RefreshWithoutACaptureWindowFailsAtTheParametersAndSendsNothing) {
    EXPECT_EQ(refreshCaptureInfo(), 0);
    expectOneBox(L"キャプチャーパラメータの取得に失敗しました", L"VFW ERROR", MB_OK, nullptr);
    EXPECT_TRUE(simcam::messageLog().empty());
}

TEST_F(CaptureTest, FramesReachTheCoreAndOnlyDrawnOnesAskForARepaint) {
    start();
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_EQ(FrameCounter, 2u);
    EXPECT_EQ(FrameGeometry.width, 640);
    EXPECT_EQ(std::memcmp(FrameRing[2].data(), simcam::lastFrame(), 640 * 480 * 3), 0);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    command(IDM_NORMAL);
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
}

TEST_F(CaptureTest, PreviewDeliversFramesOnItsOwnAtThePreviewRate) {
    start();
    simcam::setFrameTimer(true);
    for (const DWORD begin = GetTickCount(); GetTickCount() - begin < 500; Sleep(5)) pumpMessages();
    EXPECT_GE(FrameCounter, 5u);  // 33 ms apart: about 15, with room for a slow machine
    EXPECT_LE(FrameCounter, 17u);
}
