#include "shell.h"

#include "capture.h"
#include "dispatcher.h"
#include "messages.h"
#include "resource.h"

namespace pixelwell {

HWND ControlWindow = nullptr;
HWND ResultWindow = nullptr;
WindowBorder ControlBorder{};
WindowBorder ResultBorder{};
HBITMAP DisplayBitmap = nullptr;
HDC MemoryDC = nullptr;
Core ViewerCore({kMaxSide, kMaxSide}, SurfaceSource::Lent);

namespace {

HGDIOBJ g_memoryDCDefault = nullptr;  // what MemoryDC held before DisplayBitmap; put back at close
PAINTSTRUCT g_resultPaint;            // the result window's paint record

// A modal box inside WM_CREATE dispatches posted messages, a close request among them; closing
// then would destroy the window inside its own creation. Such requests wait until it is done.
bool g_creating = false;
int g_heldCloses = 0;

constexpr int kCurrentDirectoryChars = 260;

WindowBorder measureBorder(HWND window) {
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    return {outer.right - outer.left - client.right, outer.bottom - outer.top - client.bottom};
}

int frameWidth() { return static_cast<int>(CaptureStatus.uiImageWidth); }
int frameHeight() { return static_cast<int>(CaptureStatus.uiImageHeight); }

// Posts to the result window; before it exists nobody is there to follow.
void postToResultWindow(UINT message) {
    if (ResultWindow) PostMessageA(ResultWindow, message, 0, 0);
}

// The frame size last read from the driver is the core's FrameGeometry.
void takeFrameGeometry() {
    setFrameGeometry(ViewerCore, static_cast<int32_t>(CaptureStatus.uiImageWidth),
                     static_cast<int32_t>(CaptureStatus.uiImageHeight));
}

// A frame from the driver, inside its frame callback: through the core, then a repaint if the
// mode drew. The paint is posted, not sent, so it runs after the callback.
void onFrameDelivered(const uint8_t* frame, int32_t length) {
    takeFrameGeometry();
    if (processFrame(ViewerCore, frame, length)) postToResultWindow(WM_PAINT);
}

// The driver cannot go on: the program closes, as from its close box.
void onFatalCaptureError() { PostMessageA(ControlWindow, WM_CLOSE, 0, 0); }

// Creates the DisplayBitmap and the MemoryDC that holds it; the core gets the pixels only when
// both exist, so it never draws into a bitmap nobody can show.
bool createDisplay(HWND window) {
    BITMAPINFO info{};
    BITMAPINFOHEADER& h = info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = kMaxSide;
    h.biHeight = kMaxSide;  // positive: rows run bottom-up
    h.biPlanes = 1;
    h.biBitCount = 32;
    h.biCompression = BI_RGB;
    h.biSizeImage = kSurfaceBytes;
    void* pixels = nullptr;
    DisplayBitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);

    HDC windowDC = GetDC(window);
    MemoryDC = CreateCompatibleDC(windowDC);
    ReleaseDC(window, windowDC);

    if (!DisplayBitmap || !MemoryDC || !pixels) return false;
    g_memoryDCDefault = SelectObject(MemoryDC, DisplayBitmap);
    lendSurface(ViewerCore, static_cast<uint8_t*>(pixels));
    return true;
}

void destroyDisplay() {
    lendSurface(ViewerCore, nullptr);
    if (MemoryDC && g_memoryDCDefault) SelectObject(MemoryDC, g_memoryDCDefault);
    if (DisplayBitmap) DeleteObject(DisplayBitmap);
    if (MemoryDC) DeleteDC(MemoryDC);
    DisplayBitmap = nullptr;
    MemoryDC = nullptr;
    g_memoryDCDefault = nullptr;
}

// Shows a start-up failure and asks for the program to close.
void stopAtStart(HWND window, const char* text) {
    MessageBoxA(window, text, kCaptionStopped, MB_OK);
    PostMessageA(window, WM_CLOSE, 0, 0);
}

//
//  Control window
//

void onControlCreate(HWND window) {
    g_creating = true;
    ControlWindow = window;
    ControlBorder = measureBorder(window);

    if (!openCapture(window, CaptureClient{onFrameDelivered, onFatalCaptureError}))
        stopAtStart(window, kTextNoVideoDevice);

    char directory[kCurrentDirectoryChars];
    if (GetCurrentDirectoryA(kCurrentDirectoryChars, directory) == 0)
        stopAtStart(window, kTextNoCurrentDirectory);

    if (!createDisplay(window)) stopAtStart(window, kTextNoDisplayBitmap);

    PostMessageA(window, WM_SIZE, 0, 0);

    g_creating = false;
    for (; g_heldCloses > 0; --g_heldCloses) PostMessageA(window, WM_CLOSE, 0, 0);
}

void onControlClose(HWND window) {
    if (g_creating) {
        ++g_heldCloses;
        return;
    }
    closeCapture();
    destroyDisplay();
    DestroyWindow(window);
}

//
//  Result window
//

void onResultCreate(HWND window) {
    ResultWindow = window;
    ResultBorder = measureBorder(window);
}

// Follows the frame size last read by the control window; no new status query.
void onResultSize(HWND window) {
    SetWindowPos(window, nullptr, 0, 0, frameWidth() + ResultBorder.cx,
                 frameHeight() + ResultBorder.cy, SWP_NOMOVE | SWP_NOZORDER);
}

// Repaints come posted by the frame callback with nothing invalidated, so the copy goes through
// a GetDC context, which the (empty) update region does not clip.
void onResultPaint(HWND window) {
    BeginPaint(window, &g_resultPaint);
    HDC dc = GetDC(window);
    if (MemoryDC) BitBlt(dc, 0, 0, frameWidth(), frameHeight(), MemoryDC, 0, 0, SRCCOPY);
    ReleaseDC(window, dc);
    EndPaint(window, &g_resultPaint);
}

//
//  Commands
//

// The settings commands stop the processing and open one of the driver's dialogs. A failed
// refresh afterwards has been shown; the resize follows either way.
void chooseVideoFormat(HWND window) {
    selectProcessingMode(ViewerCore, kModeNone);
    ShowWindow(ResultWindow, SW_HIDE);
    sendCaptureMessage(WM_CAP_DLG_VIDEOFORMAT, 0, 0);
    refreshCaptureInfo();
    PostMessageA(window, WM_SIZE, 0, 0);
}

// Unlike the format, the source is chosen with the processed picture still on screen.
void chooseVideoSource(HWND window) {
    selectProcessingMode(ViewerCore, kModeNone);
    sendCaptureMessage(WM_CAP_DLG_VIDEOSOURCE, 0, 0);
    ShowWindow(ResultWindow, SW_HIDE);
    refreshCaptureInfo();
    PostMessageA(window, WM_SIZE, 0, 0);
}

void selectOperation(int id) {
    selectProcessingMode(ViewerCore, id);
    ShowWindow(ResultWindow, SW_SHOW);
}

}  // namespace

void resetShell() {
    ControlWindow = nullptr;
    ResultWindow = nullptr;
    ControlBorder = {};
    ResultBorder = {};
    DisplayBitmap = nullptr;
    MemoryDC = nullptr;
    g_memoryDCDefault = nullptr;
    g_creating = false;
    g_heldCloses = 0;
    resetCore(ViewerCore);
    lendSurface(ViewerCore, nullptr);
}

LRESULT resizeToFrame(HWND window) {
    // The status result is not looked at: on failure the last known size stays.
    if (IsWindow(CaptureWindow))
        sendCaptureMessage(WM_CAP_GET_STATUS, sizeof CaptureStatus,
                           reinterpret_cast<LPARAM>(&CaptureStatus));
    takeFrameGeometry();
    // Changing the size delivers a nested WM_SIZE before SetWindowPos returns; that pass finds
    // the size already right and only posts one more WM_SIZE to the result window.
    SetWindowPos(window, nullptr, 0, 0, frameWidth() + ControlBorder.cx,
                 frameHeight() + ControlBorder.cy, SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(CaptureWindow, nullptr, 0, 0, frameWidth(), frameHeight(),
                 SWP_NOMOVE | SWP_NOZORDER);
    postToResultWindow(WM_SIZE);
    return 0;
}

bool checkVideoFormat(HWND window) {
    refreshCaptureInfo();  // judged on whatever the records hold, also after a failed query
    if (VideoFormat.header.biBitCount != 24 || VideoFormat.header.biCompression != BI_RGB) {
        MessageBoxA(window, kTextFormatNot24Bit, kCaptionFormatError, MB_OK);
        return false;
    }
    // Larger frames do not fit the processing buffers.
    if (CaptureStatus.uiImageWidth > static_cast<UINT>(kMaxSide) ||
        CaptureStatus.uiImageHeight > static_cast<UINT>(kMaxSide)) {
        MessageBoxA(window, kTextSizeTooLarge, kCaptionFormatError, MB_OK);
        return false;
    }
    return true;
}

LRESULT handleCommand(HWND window, WPARAM wParam) {
    const int id = LOWORD(wParam);
    const bool settingsOrExit = id == IDM_EXIT || id == IDM_VIDEOFORMAT || id == IDM_VIDEOSOURCE;
    if (!settingsOrExit && !checkVideoFormat(window)) return 0;

    switch (id) {
        case IDM_EXIT:
            PostMessageA(window, WM_CLOSE, 0, 0);
            break;
        case IDM_VIDEOFORMAT:
            chooseVideoFormat(window);
            break;
        case IDM_VIDEOSOURCE:
            chooseVideoSource(window);
            break;
        default:
            if (modeSelectsOperation(id)) selectOperation(id);
            break;
    }
    return resizeToFrame(window);
}

// Both window procedures answer 0 to every message they handle themselves.
LRESULT CALLBACK controlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            onControlCreate(window);
            return 0;
        case WM_SIZE:  // every size event, minimising included
            resizeToFrame(window);
            return 0;
        case WM_COMMAND:
            handleCommand(window, wParam);
            return 0;
        case WM_CLOSE:
            onControlClose(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK resultWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            onResultCreate(window);
            return 0;
        case WM_SIZE:
            onResultSize(window);
            return 0;
        case WM_PAINT:
            onResultPaint(window);
            return 0;
        case WM_COMMAND:  // the result window has no commands of its own
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

namespace {

bool registerClass(HINSTANCE instance, const char* name, UINT style, WNDPROC procedure,
                   const char* menu) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, IDI_PRGICON);
    wc.hIconSm = LoadIconA(instance, IDI_PRGICON);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = menu;
    wc.lpszClassName = name;
    return RegisterClassExA(&wc) != 0;
}

HWND createTopLevel(HINSTANCE instance, const char* className, const char* title, DWORD style) {
    return CreateWindowExA(0, className, title, style, CW_USEDEFAULT, CW_USEDEFAULT, 960, 720,
                           nullptr, nullptr, instance, nullptr);
}

}  // namespace

int startPixelwell(HINSTANCE instance) {
    if (!registerClass(instance, kControlClassName, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                       controlWindowProc, MAKEINTRESOURCEA(IDR_MAINMENU)))
        return 1;
    HWND control = createTopLevel(instance, kControlClassName, kControlTitle,
                                  WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    if (!control) return 1;
    ShowWindow(control, SW_SHOW);
    UpdateWindow(control);

    if (!registerClass(instance, kResultClassName, CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE,
                       resultWindowProc, nullptr))
        return 1;
    HWND result = createTopLevel(instance, kResultClassName, kResultTitle, WS_CAPTION | WS_SYSMENU);
    if (!result) return 1;
    ShowWindow(result, SW_HIDE);
    UpdateWindow(result);
    return 0;
}

int runMessageLoop() {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) return 0;
        if (got == -1) return -1;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

int runPixelwell(HINSTANCE instance) {
    const int failure = startPixelwell(instance);
    if (failure) return failure;
    return runMessageLoop();
}

}  // namespace pixelwell
