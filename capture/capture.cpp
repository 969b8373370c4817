#include "capture.h"

#include <cstdio>
#include <cstring>

#include "messages.h"

namespace pixelwell {

HWND CaptureWindow = nullptr;
CAPTUREPARMS CaptureSetup{};
CAPSTATUS CaptureStatus{};
VideoFormatRecord VideoFormat{};

namespace {

HWND CaptureOwner = nullptr;  // the window openCapture was given: it owns the refresh's boxes
CaptureClient Client{};       // where frames and the fatal error go

constexpr int kDriverIndices = 10;
constexpr int kDescriptionChars = 127;
constexpr int kErrorDriverFatal = 418;  // IDS_CAP_DRIVER_ERROR: the driver cannot go on

// Asks the connected driver whether it can overlay; a failed query counts as no.
bool driverHasOverlay() {
    CAPDRIVERCAPS caps{};
    return sendCaptureMessage(WM_CAP_DRIVER_GET_CAPS, sizeof caps, reinterpret_cast<LPARAM>(&caps)) == TRUE &&
           caps.fHasOverlay;
}

}  // namespace

void resetCapture() {
    CaptureWindow = nullptr;
    CaptureSetup = CAPTUREPARMS{};
    CaptureStatus = CAPSTATUS{};
    VideoFormat = VideoFormatRecord{};
    CaptureOwner = nullptr;
    Client = CaptureClient{};
}

LRESULT sendCaptureMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(CaptureWindow)) return 0;
    return SendMessageA(CaptureWindow, message, wParam, lParam);
}

bool openCapture(HWND parent, const CaptureClient& client) {
    CaptureOwner = parent;
    Client = client;
    CaptureWindow = capCreateCaptureWindowA(kCaptureWindowName, WS_CHILD | WS_VISIBLE, 0, 0, 640,
                                            480, parent, 0);
    if (!CaptureWindow) return false;
    // The error callback goes first so that errors raised while connecting are reported.
    sendCaptureMessage(WM_CAP_SET_CALLBACK_ERRORA, 0, reinterpret_cast<LPARAM>(&onCaptureError));
    sendCaptureMessage(WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&onFrame));
    connectCaptureDriver();
    return true;
}

void connectCaptureDriver() {
    for (int index = 0; index < kDriverIndices; ++index) {
        char name[kDescriptionChars + 1] = "";
        char version[kDescriptionChars + 1] = "";
        // Only exactly 1 means a driver is installed; every one found is connected in turn.
        if (capGetDriverDescriptionA(static_cast<WORD>(index), name, kDescriptionChars, version,
                                     kDescriptionChars) == 1)
            sendCaptureMessage(WM_CAP_DRIVER_CONNECT, static_cast<WPARAM>(index), 0);
    }

    // The parameters are set whether or not a driver answered; no result here is consulted,
    // since whatever goes wrong reaches the user through the error callback.
    CAPTUREPARMS setup{};
    sendCaptureMessage(WM_CAP_GET_SEQUENCE_SETUP, sizeof setup, reinterpret_cast<LPARAM>(&setup));
    setup.dwRequestMicroSecPerFrame = 41666;  // 24 frames a second
    setup.fMakeUserHitOKToCapture = TRUE;
    setup.wPercentDropForError = 100;
    setup.fYield = FALSE;
    setup.fUsingDOSMemory = FALSE;
    setup.fCaptureAudio = FALSE;
    setup.wNumAudioRequested = 0;
    setup.vKeyAbort = VK_ESCAPE;
    setup.fAbortLeftMouse = FALSE;
    setup.fAbortRightMouse = FALSE;
    setup.fLimitEnabled = FALSE;
    setup.wTimeLimit = 30;
    setup.fMCIControl = FALSE;
    setup.fStepMCIDevice = FALSE;
    setup.fStepCaptureAt2x = FALSE;
    setup.dwAudioBufferSize = 0;
    sendCaptureMessage(WM_CAP_SET_SEQUENCE_SETUP, sizeof setup, reinterpret_cast<LPARAM>(&setup));
    sendCaptureMessage(WM_CAP_SET_PREVIEWRATE, 33, 0);
    sendCaptureMessage(WM_CAP_SET_PREVIEW, TRUE, 0);
    // Overlay and preview exclude each other, and frames reach the callback only in preview: on
    // a driver that can overlay, switching overlay on would stop every frame. Elsewhere the
    // request fails and changes nothing.
    if (!driverHasOverlay()) sendCaptureMessage(WM_CAP_SET_OVERLAY, TRUE, 0);
    sendCaptureMessage(WM_CAP_GET_SEQUENCE_SETUP, sizeof CaptureSetup,
                       reinterpret_cast<LPARAM>(&CaptureSetup));
}

int refreshCaptureInfo() {
    // Record sizes are the platform's own: CAPSTATUS holds a palette handle, so it is 80 bytes
    // in a 64-bit build, and a strict driver refuses anything shorter.
    const char* failure = nullptr;
    if (sendCaptureMessage(WM_CAP_GET_SEQUENCE_SETUP, sizeof CaptureSetup,
                           reinterpret_cast<LPARAM>(&CaptureSetup)) != 1)
        failure = kTextNoCaptureParameters;
    else if (sendCaptureMessage(WM_CAP_GET_STATUS, sizeof CaptureStatus,
                                reinterpret_cast<LPARAM>(&CaptureStatus)) != 1)
        failure = kTextNoCaptureStatus;
    else if (sendCaptureMessage(WM_CAP_GET_VIDEOFORMAT, sizeof VideoFormat,
                                reinterpret_cast<LPARAM>(&VideoFormat)) == 0)
        failure = kTextNoCaptureFormat;
    if (!failure) return 1;
    MessageBoxA(CaptureOwner, failure, kCaptionVfwError, MB_OK);
    return 0;
}

int32_t fitShiftJis(const char* text, int32_t length, int32_t room) {
    int32_t used = 0;
    while (used < length) {
        const auto lead = static_cast<unsigned char>(text[used]);
        const bool doubleByte = ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) &&
                                used + 1 < length;
        const int32_t step = doubleByte ? 2 : 1;
        if (used + step > room) break;
        used += step;
    }
    return used;
}

LRESULT CALLBACK onCaptureError(HWND, int id, LPCSTR text) {
    if (id == 0) return 1;
    if (id == kErrorDriverFatal) {
        MessageBeep(MB_ICONWARNING);
        MessageBoxA(CaptureWindow, kTextDriverError, kCaptionDriverError, MB_ICONWARNING | MB_OK);
        if (Client.fatalError) Client.fatalError();
        return 1;
    }
    // The driver's text has no bound: cut it, at a character boundary, so that the "(N)" ending
    // and the terminating zero always fit.
    const int suffixBytes = std::snprintf(nullptr, 0, "(%d)", id);
    const char* body = text ? text : "";
    const int32_t bodyBytes = fitShiftJis(body, static_cast<int32_t>(std::strlen(body)),
                                          kErrorMessageBytes - 1 - suffixBytes);
    char message[kErrorMessageBytes];
    std::snprintf(message, sizeof message, kFormatCaptureError, static_cast<int>(bodyBytes), body, id);
    MessageBeep(MB_ICONWARNING);
    MessageBoxA(CaptureWindow, message, kCaptionCaptureError, MB_ICONWARNING | MB_OK);
    return 1;
}

LRESULT CALLBACK onFrame(HWND, LPVIDEOHDR header) {
    if (Client.frameDelivered)
        Client.frameDelivered(header->lpData, static_cast<int32_t>(header->dwBufferLength));
    return TRUE;
}

void closeCapture() {
    // No result is looked at: the capture window goes whatever the driver answers.
    sendCaptureMessage(WM_CAP_SET_CALLBACK_ERRORA, 0, 0);
    sendCaptureMessage(WM_CAP_SET_CALLBACK_FRAME, 0, 0);
    DestroyWindow(CaptureWindow);
}

}  // namespace pixelwell
