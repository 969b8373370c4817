// The program's frame on the desktop: the control window with the menu and the capture preview,
// the result window that shows the processed picture, the display bitmap, and the message loop.
#pragma once

#include <windows.h>

#include "core.h"

namespace pixelwell {

// Outer size minus client size of a window, taken once when it is created.
struct WindowBorder {
    int cx;
    int cy;
};

// The program's two top-level windows, recorded by their window procedures at WM_CREATE. The
// capture side posts to them too: a close on the fatal driver error, a repaint after each drawn
// frame.
extern HWND ControlWindow;
extern HWND ResultWindow;

extern WindowBorder ControlBorder;
extern WindowBorder ResultBorder;
extern HBITMAP DisplayBitmap;  // 1280x1280 32-bit bottom-up DIB section; its pixels are the surface
extern HDC MemoryDC;           // holds DisplayBitmap for the whole run

// The program's one stream of the processing core: capacity 1280x1280, drawing into the
// DisplayBitmap's pixels, lent to it while the bitmap exists (4,915,200-byte ring slots).
extern Core ViewerCore;

// WinMain's whole body: start, then the message loop. Returns the process exit code.
int runPixelwell(HINSTANCE instance);

// Registers both classes and creates both windows (the control window shown, the result window
// hidden). Returns 0 on success, or the exit code 1 when a class or a window could not be made.
int startPixelwell(HINSTANCE instance);

// Dispatches messages until the quit message (returns 0) or a retrieval failure (returns -1).
int runMessageLoop();

LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK resultWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The control window's resize path: reads the capture status and gives the control window, the
// capture window and (through a posted WM_SIZE) the result window the frame size. Returns 0.
LRESULT resizeToFrame(HWND window);

// The menu commands (WM_COMMAND of the control window). Returns 0.
LRESULT handleCommand(HWND window, WPARAM wParam);

// Refreshes the capture information and refuses, with a message box, any format the processing
// cannot take: not 24-bit uncompressed, or frames wider or taller than 1280. True when accepted.
bool checkVideoFormat(HWND window);

// Puts the shell's records back to their start-up contents, the core's included (for a fresh
// start in tests).
void resetShell();

}  // namespace pixelwell
