// The menu commands: refused formats change nothing, processing commands show the result window
// at the frame size and set mode and reference flag, identifiers that select nothing still check
// and resize, what each command leaves in the queue, and the driver's dialogs (answered by script,
// as a person would) stop the processing, also without a capture window.
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
        EXPECT_EQ(ViewerCore.ProcessingMode, kModeNormal);
        EXPECT_TRUE(before == windows());
        TearDown();
    }
}

TEST_F(CommandTest, GrayDisplayShowsTheResultWindowSizedToTheFrame) {
    simcam::setFormat(320, 240, 24, BI_RGB);
    start();
    command(IDM_GRAY);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeGray);
    EXPECT_TRUE(IsWindowVisible(ResultWindow));
    for (HWND w : {ControlWindow, CaptureWindow, ResultWindow}) {
        EXPECT_EQ(clientSize(w).cx, 320);
        EXPECT_EQ(clientSize(w).cy, 240);
    }
    // Every other operation too, each handed a frame.
    for (WORD id : {1401, 1402, 1403, 1404, 1405, 1406, 1407, 1408, 1411, 1412, 1413, 1421, 1422,
                    1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451}) {
        command(id);
        EXPECT_EQ(ViewerCore.ProcessingMode, id);
        simcam::deliverFrame();
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(CommandTest, CancelledFormatDialogLeavesModeNoneResultHiddenAndTheFormat) {
    start();
    command(IDM_GRAY);
    simcam::answerFormatDialog({false, 0, 2});
    command(IDM_VIDEOFORMAT);
    EXPECT_EQ(simcam::formatDialogsShown(), 1);
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
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
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
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
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
}

TEST_F(CommandTest, FormatHidesTheResultWindowBeforeItsDialogSourceOnlyAfterItsDialogHasClosed) {
    struct Case {
        WORD id;
        const char* dialog;
        bool hiddenFirst;
    };
    const Case cases[] = {{IDM_VIDEOFORMAT, "FormatDialog", true}, {IDM_VIDEOSOURCE, "SourceDialog", false}};
    for (const Case& c : cases) {
        SetUp();
        start();
        command(IDM_GRAY);
        ASSERT_TRUE(IsWindowVisible(ResultWindow));
        bool visibleInDialog = false;
        simcam::setDialogObserver([&](simcam::DialogEvent e) {
            if (e == simcam::DialogEvent::FormatOpened || e == simcam::DialogEvent::SourceOpened)
                visibleInDialog = IsWindowVisible(ResultWindow);
            g_calls.push_back({"dialog", 0, e == simcam::DialogEvent::FormatOpened ||
                                                    e == simcam::DialogEvent::SourceOpened});
        });
        simcam::answerFormatDialog({false, 0, 0});
        simcam::answerSourceDialog({false, 0});
        g_calls.clear();
        command(c.id);
        std::vector<Call> order;
        for (const Call& call : callsNamed({"dialog", "ShowWindow"}))
            if (call.name == "dialog" || call.target == handle(ResultWindow)) order.push_back(call);
        const Call hide{"ShowWindow", handle(ResultWindow), SW_HIDE}, open{"dialog", 0, 1}, closed{"dialog", 0, 0};
        const std::vector<Call> expected =
            c.hiddenFirst ? std::vector<Call>{hide, open, closed} : std::vector<Call>{open, closed, hide};
        EXPECT_EQ(order, expected) << c.dialog;
        EXPECT_EQ(visibleInDialog, !c.hiddenFirst) << c.dialog;
        EXPECT_FALSE(IsWindowVisible(ResultWindow));
        TearDown();
    }
}

TEST_F(CommandTest, IdentifiersThatSelectNothingStillCheckTheFormatAndResize) {
    struct Case {
        WPARAM wParam;
        int32_t selects;  // 0: nothing; the high word is not looked at
    };
    const Case cases[] = {{1400, 0},
                          {1410, 0},
                          {9999, 0},
                          {MAKEWPARAM(1400, 1), 0},
                          {MAKEWPARAM(IDM_GRAY, 1), IDM_GRAY},
                          {MAKEWPARAM(IDM_SIMPLEDIFF, 0xFFFF), IDM_SIMPLEDIFF}};
    for (bool processing : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "wParam " << std::hex << c.wParam << (processing ? " while processing" : ""));
            SetUp();
            start();
            if (processing) {  // in difference mode with the reference taken
                command(IDM_DIFF);
                ASSERT_TRUE(simcam::deliverFrame());
                ASSERT_EQ(ViewerCore.ReferencePending, 0);
            }
            const int32_t mode = ViewerCore.ProcessingMode;
            const int32_t pending = ViewerCore.ReferencePending;
            const bool shown = IsWindowVisible(ResultWindow);
            simcam::setFormat(320, 240, 24, BI_RGB);
            simcam::clearMessageLog();
            PostMessageA(ControlWindow, WM_COMMAND, c.wParam, reinterpret_cast<LPARAM>(ResultWindow));
            pumpMessages();
            // The format check's three queries, then the resize path's status query.
            std::vector<UINT> sent;
            for (const auto& m : simcam::messageLog()) sent.push_back(m.message);
            ASSERT_GE(sent.size(), 4u);
            EXPECT_EQ(std::vector<UINT>(sent.begin(), sent.begin() + 4),
                      (std::vector<UINT>{WM_CAP_GET_SEQUENCE_SETUP, WM_CAP_GET_STATUS,
                                         WM_CAP_GET_VIDEOFORMAT, WM_CAP_GET_STATUS}));
            EXPECT_EQ(clientSize(ControlWindow).cx, 320);
            EXPECT_EQ(clientSize(ControlWindow).cy, 240);
            EXPECT_TRUE(g_boxes.empty());
            if (c.selects) {
                EXPECT_EQ(ViewerCore.ProcessingMode, c.selects);
                EXPECT_EQ(ViewerCore.ReferencePending, c.selects == IDM_SIMPLEDIFF ? 1 : pending);
                EXPECT_TRUE(IsWindowVisible(ResultWindow));
            } else {
                EXPECT_EQ(ViewerCore.ProcessingMode, mode);
                EXPECT_EQ(ViewerCore.ReferencePending, pending);
                EXPECT_EQ(IsWindowVisible(ResultWindow) != FALSE, shown);
            }
            TearDown();
        }
    }
}

TEST_F(CommandTest, WhatEachCommandLeavesInTheQueue) {
    enum Target { Control, Result };
    struct Case {
        WORD id;
        bool refusedFormat;
        std::vector<std::pair<Target, UINT>> left;
    };
    const Case cases[] = {
        {IDM_EXIT, false, {{Control, WM_CLOSE}, {Result, WM_SIZE}}},
        {IDM_VIDEOFORMAT, false, {{Control, WM_SIZE}, {Result, WM_SIZE}}},
        {IDM_VIDEOSOURCE, false, {{Control, WM_SIZE}, {Result, WM_SIZE}}},
        {IDM_GRAY, false, {{Result, WM_SIZE}}},
        {IDM_DIFF, false, {{Result, WM_SIZE}}},
        {1400, false, {{Result, WM_SIZE}}},
        {9999, false, {{Result, WM_SIZE}}},
        {IDM_GRAY, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << c.id << (c.refusedFormat ? " refused" : ""));
        SetUp();
        start();
        simcam::answerFormatDialog({false, 0, 0});
        simcam::answerSourceDialog({false, 0});
        if (c.refusedFormat) simcam::setFormat(640, 480, 16, BI_RGB);
        std::vector<Posted> expected;
        for (const auto& [target, message] : c.left)
            expected.push_back({target == Control ? ControlWindow : ResultWindow, message, 0, 0});
        EXPECT_EQ(commandPosts(c.id), expected);
        EXPECT_EQ(g_boxes.size(), c.refusedFormat ? 1u : 0u);
        TearDown();
    }
}

TEST_F(CommandTest, EitherReferenceCommandSetsTheFlagAndTheOtherOneTakesANewReference) {
    const std::vector<WORD> sequences[] = {
        {IDM_SIMPLEDIFF}, {IDM_DIFF}, {IDM_SIMPLEDIFF, IDM_DIFF}, {IDM_DIFF, IDM_SIMPLEDIFF}};
    for (const auto& sequence : sequences) {
        SetUp();
        start();
        command(IDM_DIFF);  // the flag starts at 1: take it down first
        ASSERT_TRUE(simcam::deliverFrame());
        for (WORD id : sequence) {
            SCOPED_TRACE(testing::Message() << "command " << id);
            ASSERT_EQ(ViewerCore.ReferencePending, 0);
            ASSERT_TRUE(simcam::deliverFrame());  // a frame that must not become the reference
            std::vector<uint8_t> before(ViewerCore.ReferenceFrame.begin(), ViewerCore.ReferenceFrame.begin() + 640 * 480 * 3);
            command(id);
            EXPECT_EQ(ViewerCore.ProcessingMode, id);
            EXPECT_EQ(ViewerCore.ReferencePending, 1);
            ASSERT_TRUE(simcam::deliverFrame());
            EXPECT_EQ(ViewerCore.ReferencePending, 0);
            EXPECT_EQ(std::memcmp(ViewerCore.ReferenceFrame.data(), simcam::lastFrame(), 640 * 480 * 3), 0);
            EXPECT_NE(std::memcmp(ViewerCore.ReferenceFrame.data(), before.data(), before.size()), 0);
        }
        TearDown();
    }
}

TEST_F(CommandTest, SettingsWithoutACaptureWindowStillResetHideReportAndResize) {
    struct Case {
        WORD id;
        bool creationFailed;  // otherwise the capture window went away later
    };
    const Case cases[] = {{IDM_VIDEOFORMAT, true}, {IDM_VIDEOSOURCE, true},
                          {IDM_VIDEOFORMAT, false}, {IDM_VIDEOSOURCE, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << c.id << (c.creationFailed ? ", never made" : ", gone"));
        SetUp();
        if (c.creationFailed) {
            simcam::setWindowCreationFails(true);
            ASSERT_EQ(startPixelwell(GetModuleHandleA(nullptr)), 0);
            MSG m;  // keep the program open past its start-up close request
            ASSERT_TRUE(PeekMessageA(&m, ControlWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE));
            pumpMessages();
            selectProcessingMode(ViewerCore, IDM_GRAY);
            ShowWindow(ResultWindow, SW_SHOW);
        } else {
            start();
            command(IDM_GRAY);
            DestroyWindow(CaptureWindow);
        }
        ASSERT_FALSE(IsWindow(CaptureWindow));
        ASSERT_TRUE(IsWindowVisible(ResultWindow));
        g_boxes.clear();
        EXPECT_EQ(commandPosts(c.id), (std::vector<Posted>{{ControlWindow, WM_SIZE, 0, 0},
                                                            {ResultWindow, WM_SIZE, 0, 0}}));
        EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
        EXPECT_FALSE(IsWindowVisible(ResultWindow));
        expectOneBox(L"キャプチャーパラメータの取得に失敗しました", L"VFW ERROR", MB_OK, ControlWindow);
        EXPECT_EQ(simcam::formatDialogsShown() + simcam::sourceDialogsShown(), 0);
        TearDown();
    }
}
