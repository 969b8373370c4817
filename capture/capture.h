// The link to the Video for Windows capture driver: the capture window, the driver connection,
// the records the driver fills in, and the two callbacks (frame and error).
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>

namespace pixelwell {

// The driver's video format: a BITMAPINFOHEADER at the start of a 44-byte buffer.
union VideoFormatRecord {
    BITMAPINFOHEADER header;
    BYTE bytes[44];
};
static_assert(sizeof(VideoFormatRecord) == 44, "the format query asks for 44 bytes");

// What the capture connection hands to the program around it, which gives it to openCapture.
struct CaptureClient {
    // Every frame the driver delivers, from inside the frame callback: its bytes and their
    // number (the header's dwBufferLength, taken as signed).
    void (*frameDelivered)(const uint8_t* frame, int32_t length);
    // The driver reported an error it cannot go on after (the user has been told): the program
    // is to close.
    void (*fatalError)();
};

extern HWND CaptureWindow;           // the driver's preview window, a child of ControlWindow
extern CAPTUREPARMS CaptureSetup;    // capture parameters as last read back from the driver
extern CAPSTATUS CaptureStatus;      // uiImageWidth/uiImageHeight are the frame geometry
extern VideoFormatRecord VideoFormat;

// Size of the error message buffer of onCaptureError, terminating zero included.
constexpr int kErrorMessageBytes = 512;

// Creates the capture window in `parent`, registers both callbacks and connects the drivers;
// `parent` owns the message boxes of the capture information, and `client` takes the frames and
// the fatal error. False when no capture window could be created (nothing else is done then).
bool openCapture(HWND parent, const CaptureClient& client);

// Connects every installed driver among indices 0..9 and sets parameters, preview and overlay.
void connectCaptureDriver();

// Reads the capture parameters, the status and the video format, in that order. Returns 1 when
// all three were read; 0 after the first failure, which has been reported in a message box.
int refreshCaptureInfo();

// The capture window's error callback: reports driver errors to the user.
LRESULT CALLBACK onCaptureError(HWND window, int id, LPCSTR text);

// The capture window's frame callback: hands the frame to the client.
LRESULT CALLBACK onFrame(HWND window, LPVIDEOHDR header);

// Clears both callbacks and destroys the capture window.
void closeCapture();

// Sends a capture message only while the capture window exists; 0 (failure) otherwise.
LRESULT sendCaptureMessage(UINT message, WPARAM wParam, LPARAM lParam);

// Number of leading bytes of a Shift-JIS text (length bytes) that fit in `room` bytes without
// splitting a double-byte character.
int32_t fitShiftJis(const char* text, int32_t length, int32_t room);

// Puts every record of this file back to its start-up contents (for a fresh start in tests).
void resetCapture();

}  // namespace pixelwell
