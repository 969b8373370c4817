// A simulated Video for Windows capture device: the window class behind the capture window of
// pixelwell-sim.exe and of the Windows tests (sim_entry.cpp stands in for the platform's
// capCreateCaptureWindowA and capGetDriverDescriptionA). It answers the WM_CAP_ messages the
// program sends, keeps CAPTUREPARMS, status and format, paints its own preview and, while preview
// is on, delivers test pictures (24-bit, bottom-up) through the frame callback at the preview rate.
//
// Like a strict driver it refuses a record size smaller than the platform's record (CAPTUREPARMS
// 96 bytes, CAPSTATUS 80 and CAPDRIVERCAPS 64 in a 64-bit build). Without a connected driver the
// format and capabilities queries and the dialogs fail and no frames come.
//
// Preview and overlay exclude each other, as on the platform: switching one on switches the other
// off, and frames reach the frame callback only while preview is on. By default the driver cannot
// overlay, so an overlay request fails and changes nothing; setOverlayCapable(true) makes a driver
// that reports overlay in its capabilities and switches preview off when overlay goes on.
//
// Dialogs (real modal dialogs from in-memory templates; their control IDs are stable so that
// another process can drive them by posting messages: LB_SETCURSEL on a list, then WM_COMMAND
// IDOK or IDCANCEL to the dialog):
//   "Video Format" dialog
//     kSizeListId (1001)    list box, one line per entry of kFrameSizes, in that order
//     kFormatListId (1002)  list box, one line per entry of kFormats, in that order
//     IDOK (1), IDCANCEL (2)
//   "Video Source" dialog
//     kPictureListId (1101) list box, one line per simcam::Picture, in enum order
//     IDOK (1), IDCANCEL (2)
// Each dialog window carries the window property "PixelwellSimDialog".
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_picture.h"

namespace simcam {

constexpr int kSizeListId = 1001;
constexpr int kFormatListId = 1002;
constexpr int kPictureListId = 1101;
constexpr char kDialogProperty[] = "PixelwellSimDialog";
constexpr char kDeviceClassName[] = "PixelwellSimCapture";

struct FrameSizeChoice {
    int32_t width;
    int32_t height;
};
// What the format dialog offers; the last one is larger than the program accepts.
constexpr FrameSizeChoice kFrameSizes[] = {{160, 120},  {320, 240},   {640, 480},  {800, 600},
                                           {1280, 720}, {1280, 1024}, {1600, 1200}};
constexpr int kFrameSizeCount = sizeof kFrameSizes / sizeof kFrameSizes[0];

struct FormatChoice {
    const wchar_t* label;
    WORD bitCount;
    DWORD compression;
};
constexpr DWORD kFourccMjpg = 0x47504A4D;  // 'MJPG'
constexpr FormatChoice kFormats[] = {{L"RGB 24-bit (uncompressed)", 24, BI_RGB},
                                     {L"RGB 16-bit (uncompressed)", 16, BI_RGB},
                                     {L"MJPG (compressed)", 24, kFourccMjpg}};
constexpr int kFormatCount = sizeof kFormats / sizeof kFormats[0];

enum class Query { SequenceSetup, Status, VideoFormat, DriverCaps };

// One WM_CAP_ message as the device received it.
struct CapMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// One capGetDriverDescriptionA call: the index and the buffer sizes offered.
struct DescriptionQuery {
    UINT index;
    int nameChars;
    int versionChars;
};

// One capCreateCaptureWindowA call, with what it was asked for.
struct WindowRequest {
    std::string name;
    DWORD style;
    int x, y, width, height;
    HWND parent;
    int id;
};

enum class DialogEvent { FormatOpened, FormatClosed, SourceOpened, SourceClosed };

// How a dialog answers when it opens without a person: OK with the given choices, or Cancel.
struct DialogAnswer {
    bool ok;
    int choice;        // format dialog: index into kFrameSizes; source dialog: a Picture
    int format = 0;    // format dialog only: index into kFormats
};

// Back to the defaults: one driver at index 0 that cannot overlay, window creation succeeds,
// 640x480 24-bit RGB, moving shapes, frame timer on, no scripted failures, empty logs, no dialog
// answers or observer.
void resetDevice();

// Which driver indices report a driver; `answer` is what capGetDriverDescriptionA returns there.
void setDrivers(const std::vector<int>& indices, BOOL answer = TRUE);
void setWindowCreationFails(bool fails);
// Whether the driver reports overlay in its capabilities (and can switch it on).
void setOverlayCapable(bool capable);

// Makes a query answer `result` instead of its real answer (0 fails it, copying nothing).
void setQueryAnswer(Query query, LRESULT result);
void clearQueryAnswers();

// Raises a driver error through the error callback: now, or at the next driver connect.
void raiseError(int id, const std::string& text);
void raiseErrorOnConnect(int id, const std::string& text);

// Frames: the timer (at the preview rate, while preview is on) can be switched off for tests,
// and a frame delivered on demand. deliverFrame is false when nobody would receive it (no
// capture window, no driver, preview off or no frame callback).
void setFrameTimer(bool enabled);
bool deliverFrame();
uint32_t framesDelivered();

void setFormat(int32_t width, int32_t height, WORD bitCount, DWORD compression);
void setPicture(Picture picture);
Picture picture();
// The bytes of the last frame rendered (24-bit, bottom-up, width*height*3).
const uint8_t* lastFrame();

// The next format / source dialog answers by itself (one answer per dialog opened).
void answerFormatDialog(const DialogAnswer& answer);
void answerSourceDialog(const DialogAnswer& answer);
int formatDialogsShown();
int sourceDialogsShown();
// Called when a dialog is up (before a scripted answer is given) and when it has closed.
void setDialogObserver(std::function<void(DialogEvent)> observer);

// What the device has seen and holds.
const std::vector<CapMessage>& messageLog();
void clearMessageLog();
const std::vector<DescriptionQuery>& descriptionQueries();
const std::vector<WindowRequest>& windowRequests();
HWND deviceWindow();
bool previewOn();
bool overlayOn();
UINT previewRate();
const CAPTUREPARMS& parameters();
std::vector<int> connectedDrivers();

// The platform's two entry points, as the device answers them: the capture window (none when
// creation is set to fail), and the description of the driver at an index (TRUE, or the answer
// set with setDrivers, where one is installed; FALSE elsewhere). Both calls are logged.
HWND createDeviceWindow(LPCSTR name, DWORD style, int x, int y, int width, int height,
                        HWND parent, int id);
BOOL describeDriver(UINT index, LPSTR name, int nameChars, LPSTR version, int versionChars);

}  // namespace simcam
