// The capture connection against the simulated device: the drivers asked and connected, what is
// sent and with which record sizes, overlay only where it does not stop the frames, driver errors
// during the connects, the refresh's three queries and what a failed one leaves untouched, and
// frames reaching the core.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
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

TEST_F(CaptureTest, EveryIndexFrom0To9IsAskedWith127CharacterBuffers) {
    struct Case {
        std::vector<int> drivers;
        BOOL answer;
        std::vector<WPARAM> connected;
    };
    const Case cases[] = {{{}, TRUE, {}}, {{0}, TRUE, {0}}, {{0, 3}, TRUE, {0, 3}},
                          {{9}, TRUE, {9}}, {{4}, 2, {}}};
    for (const Case& c : cases) {
        SetUp();
        simcam::setDrivers(c.drivers, c.answer);
        start();
        const auto& asked = simcam::descriptionQueries();
        ASSERT_EQ(asked.size(), 10u);
        for (UINT k = 0; k < 10; ++k) {
            EXPECT_EQ(asked[k].index, k);
            EXPECT_EQ(asked[k].nameChars, 127);
            EXPECT_EQ(asked[k].versionChars, 127);
        }
        EXPECT_EQ(sentWith(WM_CAP_DRIVER_CONNECT), c.connected);
        TearDown();
    }
}

TEST_F(CaptureTest, CallbacksFirstThenParametersPreviewAndOverlayWithThePlatformsRecordSizes) {
    start();
    const std::vector<UINT> expected = {WM_CAP_SET_CALLBACK_ERRORA, WM_CAP_SET_CALLBACK_FRAME,
                                        WM_CAP_DRIVER_CONNECT,      WM_CAP_GET_SEQUENCE_SETUP,
                                        WM_CAP_SET_SEQUENCE_SETUP,  WM_CAP_SET_PREVIEWRATE,
                                        WM_CAP_SET_PREVIEW,         WM_CAP_DRIVER_GET_CAPS,
                                        WM_CAP_SET_OVERLAY,         WM_CAP_GET_SEQUENCE_SETUP};
    const std::vector<UINT> sent = sentMessages();
    ASSERT_GT(sent.size(), expected.size());
    EXPECT_EQ(std::vector<UINT>(sent.begin(), sent.begin() + expected.size()), expected);
    EXPECT_EQ(simcam::messageLog()[0].lParam, reinterpret_cast<LPARAM>(&onCaptureError));
    EXPECT_EQ(simcam::messageLog()[1].lParam, reinterpret_cast<LPARAM>(&onFrame));
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEWRATE), std::vector<WPARAM>{33});
    EXPECT_EQ(sentWith(WM_CAP_SET_PREVIEW), std::vector<WPARAM>{1});
    EXPECT_EQ(sentWith(WM_CAP_SET_OVERLAY), std::vector<WPARAM>{1});
    EXPECT_EQ(sentWith(WM_CAP_DRIVER_GET_CAPS), std::vector<WPARAM>{sizeof(CAPDRIVERCAPS)});
    EXPECT_TRUE(simcam::previewOn());

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
    EXPECT_EQ(sizeof(CAPDRIVERCAPS), 64u);
}

// Overlay switches preview off, and frames come only in preview: a driver that reports overlay
// is left in preview; every other driver gets the overlay request, which it refuses.
TEST_F(CaptureTest, OverlayIsRequestedOnlyFromDriversThatCannotOverlaySoFramesKeepComing) {
    struct Case {
        bool canOverlay;
        bool capsQueryFails;
        bool overlayRequested;
        bool framesCome;
    };
    const Case cases[] = {{false, false, true, true},
                          {true, false, false, true},
                          {false, true, true, true},
                          {true, true, true, false}};  // a failed query counts as no overlay
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "overlay " << c.canOverlay << ", query fails " << c.capsQueryFails);
        SetUp();
        simcam::setOverlayCapable(c.canOverlay);
        if (c.capsQueryFails) simcam::setQueryAnswer(simcam::Query::DriverCaps, 0);
        simcam::setPicture(simcam::Picture::ColourBars);
        start();
        // Asked after preview goes on and before the overlay request would be made.
        std::vector<UINT> sent = sentMessages();
        const auto preview = std::find(sent.begin(), sent.end(), UINT{WM_CAP_SET_PREVIEW});
        ASSERT_LT(preview + 2, sent.end());
        EXPECT_EQ(preview[1], UINT{WM_CAP_DRIVER_GET_CAPS});
        EXPECT_EQ(preview[2], c.overlayRequested ? UINT{WM_CAP_SET_OVERLAY} : UINT{WM_CAP_GET_SEQUENCE_SETUP});
        EXPECT_EQ(sentWith(WM_CAP_SET_OVERLAY), c.overlayRequested ? std::vector<WPARAM>{1} : std::vector<WPARAM>{});
        EXPECT_EQ(sentWith(WM_CAP_DRIVER_GET_CAPS), std::vector<WPARAM>{sizeof(CAPDRIVERCAPS)});
        EXPECT_EQ(simcam::previewOn(), c.framesCome);

        // The device's own timer delivers at the preview rate; the result window shows the frames.
        // (Waiting for three frames, or 300 ms when none is to come; a loaded machine is slower.)
        command(IDM_NORMAL);
        simcam::setFrameTimer(true);
        for (const DWORD begin = GetTickCount();
             GetTickCount() - begin < (c.framesCome ? 5000u : 300u) && ViewerCore.FrameCounter < 3; Sleep(5))
            pumpMessages();
        simcam::setFrameTimer(false);
        pumpMessages();
        if (c.framesCome) {
            EXPECT_GE(ViewerCore.FrameCounter, 3u);
            HDC dc = GetDC(ResultWindow);
            const uint8_t* p = simcam::lastFrame() + (static_cast<size_t>(479 - 100) * 640 + 300) * 3;
            EXPECT_EQ(GetPixel(dc, 300, 100), RGB(p[2], p[1], p[0]));
            ReleaseDC(ResultWindow, dc);
        } else {
            EXPECT_EQ(ViewerCore.FrameCounter, 0u);
        }
        TearDown();
    }
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

TEST_F(CaptureTest, Error418BeepsShowsItsBoxAndOnlyThenAsksForTheClose) {
    start();
    g_calls.clear();
    simcam::raiseError(418, "driver error");
    std::vector<Call> order;
    for (const Call& call : callsNamed({"MessageBeep", "MessageBoxA", "PostMessageA"}))
        if (call.name != "PostMessageA" || call.target == handle(ControlWindow)) order.push_back(call);
    EXPECT_EQ(order, (std::vector<Call>{{"MessageBeep", 0, MB_ICONWARNING},
                                        {"MessageBoxA", handle(CaptureWindow), MB_ICONWARNING | MB_OK},
                                        {"PostMessageA", handle(ControlWindow), WM_CLOSE, 0, 0}}));
    EXPECT_EQ(runLoop(), 0);
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
        bool statusKept;  // a status query answering 2 has written its record all the same
    };
    // Only exactly 1 counts as success for the parameters and the status.
    const Case cases[] = {
        {simcam::Query::SequenceSetup, 2, L"キャプチャーパラメータの取得に失敗しました", 1, true},
        {simcam::Query::Status, 0, L"キャプチャーステータスの取得に失敗しました", 2, true},
        {simcam::Query::Status, 2, L"キャプチャーステータスの取得に失敗しました", 2, false},
        {simcam::Query::VideoFormat, 0, L"キャプチャーデータフォーマットの取得に失敗しました", 3, false}};
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
        EXPECT_EQ(std::memcmp(&status, &CaptureStatus, sizeof status) == 0, c.statusKept);
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
    EXPECT_EQ(ViewerCore.FrameCounter, 2u);
    EXPECT_EQ(ViewerCore.FrameGeometry.width, 640);
    EXPECT_EQ(std::memcmp(ViewerCore.FrameRing[2].data(), simcam::lastFrame(), 640 * 480 * 3), 0);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    command(IDM_NORMAL);
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_NOREMOVE));
}

TEST_F(CaptureTest, PreviewDeliversFramesOnItsOwnAtThePreviewRate) {
    start();
    simcam::setFrameTimer(true);
    // A loaded machine delivers fewer frames, never more than one per 33 ms: wait for ten (at most
    // 5 s), then check they did not come faster than the rate.
    const DWORD begin = GetTickCount();
    while (ViewerCore.FrameCounter < 10 && GetTickCount() - begin < 5000) {
        Sleep(5);
        pumpMessages();
    }
    const DWORD elapsed = GetTickCount() - begin;
    EXPECT_GE(ViewerCore.FrameCounter, 10u);
    EXPECT_LE(ViewerCore.FrameCounter, elapsed / 33 + 2);  // +2: timer and tick granularity
}
