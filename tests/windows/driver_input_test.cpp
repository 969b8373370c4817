// Bad input from the driver side, through the callbacks the program registered: frame buffers
// whose length does not match the geometry, a geometry beyond 1280 from the status, a 100,000
// character error text, errors during the connects and while a box is open, frames while the
// format dialog is open, and a close while frames arrive. Frame buffers and error texts end at
// an inaccessible page, so a read past their end fails the run.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "messages.h"
#include "resource.h"
#include "robustness_support.h"
#include "shell.h"
#include "sim_device.h"

using namespace pixelwell;
using namespace robust;

namespace {

constexpr uint8_t kUntouched = 0xCD;

class DriverInputTest : public RobustTest {
protected:
    // Delivers `length` bytes (dwBufferLength, taken as signed by the program) from a guarded
    // buffer holding `bytes` bytes of a fixed pattern.
    void deliver(DWORD length, size_t bytes) {
        GuardedBuffer buffer(bytes);
        for (size_t k = 0; k < bytes; ++k) buffer.data()[k] = static_cast<uint8_t>(k * 7 + 3);
        VIDEOHDR header{};
        header.lpData = buffer.data();
        header.dwBufferLength = length;
        header.dwBytesUsed = length;
        onFrame(simcam::deviceWindow(), &header);
    }
    void deliver(size_t bytes) { deliver(static_cast<DWORD>(bytes), bytes); }

    void clearSurface() { std::memset(ViewerCore.DisplaySurface, kUntouched, kSurfaceBytes); }
    bool surfaceUntouched() const {
        for (int32_t k = 0; k < kSurfaceBytes; ++k)
            if (ViewerCore.DisplaySurface[k] != kUntouched) return false;
        return true;
    }
    // True when the region of a width x height frame was drawn (every fourth byte 0).
    bool regionDrawn(int32_t width, int32_t height) const {
        for (int32_t i = 0; i < height; ++i)
            for (int32_t j = 0; j < width; ++j)
                if (ViewerCore.DisplaySurface[static_cast<size_t>(placedRow(ViewerCore, i, height)) * kSurfaceStride + 4 * j + 3] != 0)
                    return false;
        return true;
    }
    // Takes the repaint the frame callback posted, if any.
    bool repaintPosted() {
        MSG m;
        return PeekMessageA(&m, ResultWindow, WM_PAINT, WM_PAINT, PM_REMOVE) != 0;
    }
};

const WORD kOperations[] = {IDM_NORMAL,      IDM_INVERT,      IDM_AVERAGE2,    IDM_AVERAGE4,
                            IDM_AVERAGE8,    IDM_FRAMEDIFF,   IDM_SIMPLEDIFF,  IDM_DIFF,
                            IDM_GRAY,        IDM_LAPLACIAN_A, IDM_LAPLACIAN_B, IDM_LAPLACIAN_C,
                            IDM_SOBEL_X,     IDM_SOBEL_Y,     IDM_LOWPASS3,    IDM_HIGHPASS3,
                            IDM_LOWPASS5,    IDM_HIGHPASS5,   IDM_MINIMUM,     IDM_MAXIMUM,
                            IDM_MEDIAN,      IDM_MEAN,        IDM_BINARIZE};

TEST_F(DriverInputTest, LengthsShortOfTheGeometryDrawNothingButStillAskForARepaint) {
    start();
    const size_t need = 640 * 480 * 3;
    for (WORD mode : kOperations) {
        command(mode);
        ASSERT_EQ(ViewerCore.ProcessingMode, mode);
        // 0, short by one byte, half, and lengths that are negative when taken as signed; the
        // negative ones come with a small buffer, of which nothing may be read.
        const struct { DWORD length; size_t bytes; } cases[] = {
            {0, 0}, {static_cast<DWORD>(need - 1), need - 1}, {static_cast<DWORD>(need / 2), need / 2},
            {0x80000000u, 16}, {0xFFFFFFFFu, 16}, {0xFFFFFF00u, 256}};
        for (const auto& c : cases) {
            pump();
            clearSurface();
            const uint32_t counter = ViewerCore.FrameCounter;
            deliver(c.length, c.bytes);
            EXPECT_EQ(ViewerCore.FrameCounter, counter + 1);
            EXPECT_TRUE(surfaceUntouched()) << "mode " << mode << " length " << c.length;
            EXPECT_TRUE(repaintPosted()) << "mode " << mode << " length " << c.length;
        }
    }
    EXPECT_TRUE(IsWindow(ControlWindow));
}

TEST_F(DriverInputTest, LengthsBeyondTheGeometryOrASlotDrawTheFrameAndStoreAtMostASlot) {
    start();
    const size_t need = 640 * 480 * 3;
    for (WORD mode : kOperations) {
        command(mode);
        for (size_t bytes : {need + 1, need + 4096, static_cast<size_t>(kSlotBytes) + 12345}) {
            pump();
            clearSurface();
            deliver(bytes);
            EXPECT_TRUE(regionDrawn(640, 480)) << "mode " << mode << " length " << bytes;
            EXPECT_TRUE(repaintPosted());
            // The slot holds the buffer as far as it reaches, at most a whole slot.
            const size_t last = std::min(bytes, static_cast<size_t>(kSlotBytes)) - 1;
            EXPECT_EQ(ViewerCore.FrameRing[ViewerCore.FrameCounter & 7][last], static_cast<uint8_t>(last * 7 + 3));
        }
    }
}

TEST_F(DriverInputTest, AGeometryBeyond1280FromTheStatusDrawsNothingAndTheMenuRefusesIt) {
    start();
    command(IDM_NORMAL);
    // The driver changes its size on its own; the next resize reads it from the status.
    simcam::setFormat(1600, 1200, 24, BI_RGB);
    PostMessageA(ControlWindow, WM_SIZE, 0, 0);
    pump();
    ASSERT_EQ(ViewerCore.FrameGeometry.width, 1600);
    ASSERT_EQ(ViewerCore.FrameGeometry.height, 1200);
    clearSurface();
    const uint32_t counter = ViewerCore.FrameCounter;
    ASSERT_TRUE(simcam::deliverFrame());
    deliver(1600 * 1200 * 3);
    deliver(1281 * 3);
    EXPECT_EQ(ViewerCore.FrameCounter, counter + 3);
    EXPECT_TRUE(surfaceUntouched());
    EXPECT_TRUE(repaintPosted());
    // The ring slot took the first 4,915,200 bytes and no more.
    EXPECT_EQ(ViewerCore.FrameRing[(counter + 2) & 7][kSlotBytes - 1], static_cast<uint8_t>((kSlotBytes - 1) * 7 + 3));

    const size_t boxes = g_boxes.size();
    command(IDM_GRAY);
    ASSERT_EQ(g_boxes.size(), boxes + 1);
    EXPECT_EQ(g_boxes.back().text, kTextSizeTooLarge);
    EXPECT_EQ(ViewerCore.ProcessingMode, IDM_NORMAL);

    simcam::setFormat(320, 240, 24, BI_RGB);
    command(IDM_GRAY);
    EXPECT_EQ(ViewerCore.ProcessingMode, IDM_GRAY);
    clearSurface();
    ASSERT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(regionDrawn(320, 240));
}

// 'a' then `characters` - 1 double-byte characters (or single-byte ones), zero-terminated, in a
// guarded buffer; the error callback gets it as the driver would hand it over.
void raiseLongError(int id, int characters, bool doubleByte) {
    const size_t bytes = doubleByte ? 1 + 2 * static_cast<size_t>(characters - 1) : characters;
    GuardedBuffer text(bytes + 1);
    char* t = reinterpret_cast<char*>(text.data());
    t[0] = 'a';
    for (size_t k = 1; k < bytes; k += doubleByte ? 2 : 1) {
        t[k] = doubleByte ? '\x83' : 'x';  // ソ is 0x83 0x5C
        if (doubleByte) t[k + 1] = '\x5C';
    }
    t[bytes] = '\0';
    onCaptureError(simcam::deviceWindow(), id, t);
}

void expectCut(const Box& box, const std::string& ending, bool doubleByte) {
    const std::string& shown = box.text;
    ASSERT_LE(shown.size() + 1, static_cast<size_t>(kErrorMessageBytes));
    ASSERT_GT(shown.size(), ending.size());
    EXPECT_EQ(shown.substr(shown.size() - ending.size()), ending);
    const std::string body = shown.substr(0, shown.size() - ending.size());
    EXPECT_EQ(body[0], 'a');
    // Nothing wasted: at most one byte short of the buffer (a double-byte character that did
    // not fit whole).
    EXPECT_GE(body.size() + ending.size() + 1 + 1, static_cast<size_t>(kErrorMessageBytes));
    if (doubleByte) {
        EXPECT_EQ(body.size() % 2, 1u) << "a double-byte character was split";
        for (size_t k = 1; k < body.size(); k += 2) ASSERT_EQ(body.substr(k, 2), "\x83\x5C");
    }
}

TEST_F(DriverInputTest, AnErrorTextOf100000CharactersIsCutAtACharacterBoundaryKeepingItsNumber) {
    start();
    raiseLongError(7, 100000, true);
    raiseLongError(1234567, 100000, false);
    ASSERT_EQ(g_boxes.size(), 2u);
    expectCut(g_boxes[0], "(7)", true);
    expectCut(g_boxes[1], "(1234567)", false);
    EXPECT_EQ(g_beeps, 2);
    EXPECT_TRUE(IsWindow(ControlWindow));
}

TEST_F(DriverInputTest, ALongErrorDuringTheConnectsIsCutTooAndTheProgramRunsOn) {
    std::string text = "a";
    for (int k = 1; k < 100000; ++k) text += "\x83\x5C";
    simcam::raiseErrorOnConnect(9, text);
    start();
    ASSERT_EQ(g_boxes.size(), 1u);
    expectCut(g_boxes[0], "(9)", true);
    EXPECT_NE(ViewerCore.DisplaySurface, nullptr);
    command(IDM_GRAY);
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(regionDrawn(640, 480));
}

TEST_F(DriverInputTest, AnErrorWhileABoxIsOpenShowsItsOwnBoxAndTheProgramRunsOn) {
    start();
    g_whileBoxOpen = [] { simcam::raiseError(11, "second"); };
    simcam::raiseError(10, "first");
    pump();
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].text, "first(10)");
    EXPECT_EQ(g_boxes[1].text, "second(11)");
    EXPECT_EQ(g_beeps, 2);
    ASSERT_TRUE(IsWindow(ControlWindow));
    command(IDM_NORMAL);
    EXPECT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(regionDrawn(640, 480));
}

TEST_F(DriverInputTest, TheFatalErrorWhileABoxIsOpenEndsTheProgramWithZero) {
    start();
    g_whileBoxOpen = [] { simcam::raiseError(418, ""); };
    simcam::raiseError(10, "first");
    EXPECT_EQ(runLoop(), 0);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].text, "first(10)");
    EXPECT_EQ(g_boxes[1].text, kTextDriverError);
    EXPECT_FALSE(IsWindow(ControlWindow));
}

TEST_F(DriverInputTest, TheFatalErrorWhileAConnectBoxIsOpenEndsTheProgramWithZero) {
    simcam::raiseErrorOnConnect(7, "connect");
    g_whileBoxOpen = [] { simcam::raiseError(418, ""); };
    start();
    EXPECT_EQ(runLoop(), 0);
    ASSERT_GE(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].text, "connect(7)");
    EXPECT_EQ(g_boxes[1].text, kTextDriverError);
}

// Runs inside the format dialog's modal loop: frames keep coming while it is open.
struct DialogVisit {
    int frames = 0;
    bool surfaceChanged = false;
    bool done = false;
} g_visit;

BOOL CALLBACK findSimDialog(HWND w, LPARAM found) {
    if (GetPropA(w, simcam::kDialogProperty)) {
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK whileFormatDialogOpen(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findSimDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) return;  // not open yet
    KillTimer(nullptr, timer);
    std::memset(ViewerCore.DisplaySurface, kUntouched, kSurfaceBytes);
    for (int k = 0; k < 5; ++k) g_visit.frames += simcam::deliverFrame() ? 1 : 0;
    GuardedBuffer shortFrame(100);
    VIDEOHDR header{};
    header.lpData = shortFrame.data();
    header.dwBufferLength = 100;
    onFrame(simcam::deviceWindow(), &header);
    for (int32_t k = 0; k < kSurfaceBytes; ++k)
        if (ViewerCore.DisplaySurface[k] != kUntouched) g_visit.surfaceChanged = true;
    // The person picks 320 x 240 and presses OK.
    SendDlgItemMessageA(dialog, simcam::kSizeListId, LB_SETCURSEL, 1, 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    g_visit.done = true;
}

TEST_F(DriverInputTest, FramesWhileTheFormatDialogIsOpenAreStoredButNotDrawn) {
    start();
    command(IDM_GRAY);
    ASSERT_TRUE(simcam::deliverFrame());
    g_visit = DialogVisit{};
    const uint32_t counter = ViewerCore.FrameCounter;
    SetTimer(nullptr, 0, 10, whileFormatDialogOpen);
    command(IDM_VIDEOFORMAT);
    ASSERT_TRUE(g_visit.done);
    EXPECT_EQ(g_visit.frames, 5);
    EXPECT_EQ(ViewerCore.FrameCounter, counter + 6);
    EXPECT_FALSE(g_visit.surfaceChanged);  // the dialog set mode none
    EXPECT_EQ(ViewerCore.ProcessingMode, kModeNone);
    EXPECT_EQ(ViewerCore.FrameGeometry.width, 320);
    EXPECT_EQ(ViewerCore.FrameGeometry.height, 240);
    command(IDM_GRAY);
    std::memset(ViewerCore.DisplaySurface, kUntouched, kSurfaceBytes);
    ASSERT_TRUE(simcam::deliverFrame());
    EXPECT_TRUE(regionDrawn(320, 240));
}

void CALLBACK closeNow(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    // A frame just before the close request and one right after it, still ahead of it.
    simcam::deliverFrame();
    PostMessageA(ControlWindow, WM_CLOSE, 0, 0);
    simcam::deliverFrame();
}

TEST_F(DriverInputTest, CloseWhileFramesArriveEndsWithZeroAndNoFrameComesAfter) {
    start();
    command(IDM_MEDIAN);
    simcam::setFrameTimer(true);  // frames at the preview rate, from the device's own timer
    SetTimer(nullptr, 0, 400, closeNow);
    const uint32_t before = simcam::framesDelivered();
    EXPECT_EQ(runLoop(), 0);
    EXPECT_GT(simcam::framesDelivered(), before + 2);
    const uint32_t counter = ViewerCore.FrameCounter;
    EXPECT_FALSE(simcam::deliverFrame());
    EXPECT_EQ(ViewerCore.FrameCounter, counter);
    EXPECT_EQ(ViewerCore.DisplaySurface, nullptr);
    EXPECT_EQ(objectCounts().gdiLive, 0);
}

}  // namespace
