// Soak: the real program, started as WinMain starts it, takes a long stream of frames from the
// simulated device while every processing command is chosen in turn, the reference modes are
// chosen again, and the format and source dialogs are answered (frame sizes changed, to one the
// program refuses and back). After a warm-up the resident memory must stay flat, no GDI object or
// window may be created per frame or left behind per command, every DC taken must be given back,
// and the program must end with exit code 0 when told to close.
//
// PIXELWELL_SOAK_FRAMES sets the number of frames (default 3000; the long run uses 100000).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capture.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "resource.h"
#include "robustness_support.h"
#include "shell.h"
#include "sim_device.h"

using namespace robust;

namespace {

constexpr int kFramesPerStep = 10;
constexpr long kFlatSlackKiB = 4096;  // allocator and X server noise, far below one frame a second

// Indices into simcam::kFrameSizes.
constexpr int k160x120 = 0, k320x240 = 1, k640x480 = 2, k1600x1200 = 6;

struct Step {
    WORD command;
    int formatSize = -1;  // answer of the format dialog
    int picture = -1;     // answer of the source dialog; -2 cancels it
    bool refused = false; // the format check refuses this command (one box)
};

// One cycle of commands: each leaves the program as it found it, object-wise. Most frames are
// small, so that the long run's hundred thousand frames fit in minutes; every size change goes
// through the format dialog.
std::vector<Step> commandCycle(int cycle) {
    std::vector<Step> steps;
    steps.push_back({IDM_VIDEOFORMAT, k160x120});
    const WORD operations[] = {IDM_NORMAL,      IDM_INVERT,      IDM_AVERAGE2,    IDM_AVERAGE4,
                               IDM_AVERAGE8,    IDM_FRAMEDIFF,   IDM_SIMPLEDIFF,  IDM_DIFF,
                               IDM_GRAY,        IDM_LAPLACIAN_A, IDM_LAPLACIAN_B, IDM_LAPLACIAN_C,
                               IDM_SOBEL_X,     IDM_SOBEL_Y,     IDM_LOWPASS3,    IDM_HIGHPASS3,
                               IDM_LOWPASS5,    IDM_HIGHPASS5,   IDM_MINIMUM,     IDM_MAXIMUM,
                               IDM_MEDIAN,      IDM_MEAN,        IDM_BINARIZE};
    for (WORD id : operations) steps.push_back({id});
    steps.push_back({IDM_SIMPLEDIFF});  // chosen again: a new reference each time
    steps.push_back({IDM_DIFF});
    steps.push_back({IDM_DIFF});
    steps.push_back({IDM_VIDEOFORMAT, k640x480});
    steps.push_back({IDM_MEDIAN});
    steps.push_back({IDM_VIDEOSOURCE, -1, cycle % simcam::kPictureCount});
    steps.push_back({IDM_LOWPASS5});
    steps.push_back({IDM_VIDEOFORMAT, k1600x1200});
    steps.push_back({IDM_NORMAL, -1, -1, true});  // too large: refused, frames still arrive
    steps.push_back({IDM_VIDEOFORMAT, k320x240});
    steps.push_back({IDM_SIMPLEDIFF});
    steps.push_back({IDM_VIDEOSOURCE, -1, -2});   // cancelled
    steps.push_back({IDM_BINARIZE});
    return steps;
}

class SoakTest : public RobustTest {};

TEST_F(SoakTest, RunsLongWithFlatMemoryAndBalancedObjectsAndExitsWithZero) {
    const char* setting = std::getenv("PIXELWELL_SOAK_FRAMES");
    const long frames = setting ? std::atol(setting) : 3000;
    ASSERT_GT(frames, 0);

    const long rssBeforeStart = residentKiB();
    if (rssBeforeStart == 0)
        GTEST_SKIP() << "no /proc entry to read: start as sh -c 'PIXELWELL_UNIX_PID=$$ exec ...'";
    start();
    ASSERT_NE(pixelwell::ViewerCore.DisplaySurface, nullptr);
    const ObjectCounts started = objectCounts();
    const long rssStarted = residentKiB();
    const ULONGLONG begin = GetTickCount64();

    long delivered = 0, commands = 0, refusals = 0, cycles = 0;
    long rssWarm = 0, rssPeakAfterWarm = 0;
    ObjectCounts warm{};
    const long warmUpFrames = frames / 5;

    while (delivered < frames) {
        for (const Step& step : commandCycle(static_cast<int>(cycles))) {
            if (step.formatSize >= 0) simcam::answerFormatDialog({true, step.formatSize, 0});
            if (step.picture >= 0) simcam::answerSourceDialog({true, step.picture});
            if (step.picture == -2) simcam::answerSourceDialog({false, 0});
            const size_t boxesBefore = g_boxes.size();
            command(step.command);
            ++commands;
            ASSERT_EQ(g_boxes.size() - boxesBefore, step.refused ? 1u : 0u)
                << "command " << step.command << " in cycle " << cycles;
            refusals += step.refused ? 1 : 0;
            if (!step.refused && pixelwell::modeSelectsOperation(step.command)) {
                ASSERT_EQ(pixelwell::ViewerCore.ProcessingMode, step.command);
            }

            // Frames alone create nothing and give back every DC they take.
            const ObjectCounts before = objectCounts();
            for (int k = 0; k < kFramesPerStep && delivered < frames; ++k) {
                ASSERT_TRUE(simcam::deliverFrame());
                ++delivered;
                ASSERT_FALSE(pump());
            }
            const ObjectCounts after = objectCounts();
            ASSERT_EQ(after.gdiCreated, before.gdiCreated) << "GDI object created per frame";
            ASSERT_EQ(after.windowsCreated, before.windowsCreated) << "window created per frame";
            ASSERT_EQ(after.dcAcquired, after.dcReleased) << "DC not released";
        }
        ++cycles;
        g_boxes.clear();  // the test's own records must not grow with the run
        simcam::clearMessageLog();

        const ObjectCounts now = objectCounts();
        const long rss = residentKiB();
        if (cycles % 25 == 0) {
            std::printf("soak: %ld frames, %.0f s, resident %ld KiB, GDI objects live %ld\n",
                        delivered, static_cast<double>(GetTickCount64() - begin) / 1000.0, rss,
                        now.gdiLive);
            std::fflush(stdout);  // a pipe would hold it back until the end
        }
        if (!rssWarm && delivered >= warmUpFrames && cycles >= 2) {
            rssWarm = rss;
            warm = now;
        } else if (rssWarm) {
            rssPeakAfterWarm = std::max(rssPeakAfterWarm, rss);
            ASSERT_EQ(now.gdiLive, warm.gdiLive) << "GDI objects left behind in cycle " << cycles;
            ASSERT_EQ(now.windowsLive, warm.windowsLive) << "windows left behind in cycle " << cycles;
        }
    }
    const long rssEnd = residentKiB();
    const ObjectCounts end = objectCounts();
    const double seconds = static_cast<double>(GetTickCount64() - begin) / 1000.0;

    PostMessageA(pixelwell::ControlWindow, WM_COMMAND, IDM_EXIT, 0);
    const int exitCode = runLoop();
    const ObjectCounts closed = objectCounts();

    std::printf(
        "soak: %ld frames in %.1f s (%.0f frames/s), %ld cycles, %ld commands (%ld refused), "
        "%d format and %d source dialogs\n"
        "soak: resident memory KiB: before start %ld, started %ld, after warm-up %ld, "
        "peak after warm-up %ld, end %ld\n"
        "soak: GDI objects created %ld deleted %ld, live at start %ld / after warm-up %ld / end %ld "
        "/ after close %ld; DCs taken %ld given back %ld; windows created %ld, live at start %ld "
        "/ end %ld / after close %ld; exit code %d\n",
        delivered, seconds, delivered / (seconds > 0 ? seconds : 1), cycles, commands, refusals,
        simcam::formatDialogsShown(), simcam::sourceDialogsShown(), rssBeforeStart, rssStarted,
        rssWarm, rssPeakAfterWarm, rssEnd, closed.gdiCreated, closed.gdiDeleted, started.gdiLive,
        warm.gdiLive, end.gdiLive, closed.gdiLive, closed.dcAcquired, closed.dcReleased,
        closed.windowsCreated, started.windowsLive, end.windowsLive, closed.windowsLive, exitCode);

    ASSERT_GT(rssWarm, 0) << "the run was too short to warm up";
    EXPECT_LE(rssEnd - rssWarm, kFlatSlackKiB) << "resident memory grew after warm-up";
    EXPECT_LE(rssPeakAfterWarm - rssWarm, kFlatSlackKiB);
    EXPECT_EQ(end.gdiLive, started.gdiLive);
    EXPECT_EQ(end.windowsLive, started.windowsLive);
    EXPECT_EQ(exitCode, 0);
    // Closing deletes the display bitmap and its DC; only the hidden result window is left for
    // the end of the process to take away.
    EXPECT_EQ(closed.gdiLive, 0);
    EXPECT_EQ(closed.dcAcquired, closed.dcReleased);
    EXPECT_LE(closed.windowsLive, 1);
}

}  // namespace
