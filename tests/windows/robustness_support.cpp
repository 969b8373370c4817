// The test build links with -Wl,--wrap=__imp_<call> for every call below, so each call of the
// program (and of the simulated device, which lives in the same executable) comes here first.
#include "robustness_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "capture.h"
#include "frame_store.h"
#include "messages.h"
#include "shell.h"
#include "sim_device.h"

namespace robust {

std::vector<Box> g_boxes;
int g_beeps = 0;
std::function<void()> g_whileBoxOpen;

namespace {

ObjectCounts g_counts;
std::set<HGDIOBJ> g_liveGdi;
std::vector<HWND> g_windows;

template <typename Handle>
Handle created(Handle handle) {
    if (handle) {
        ++g_counts.gdiCreated;
        g_liveGdi.insert(reinterpret_cast<HGDIOBJ>(handle));
    }
    return handle;
}

void deleted(HGDIOBJ handle, BOOL ok) {
    if (ok && g_liveGdi.erase(handle)) ++g_counts.gdiDeleted;
}

HWND windowCreated(HWND window) {
    if (window) {
        ++g_counts.windowsCreated;
        g_windows.push_back(window);
    }
    return window;
}

}  // namespace

ObjectCounts objectCounts() {
    ObjectCounts counts = g_counts;
    counts.gdiLive = static_cast<long>(g_liveGdi.size());
    counts.windowsLive = 0;
    for (HWND w : g_windows) counts.windowsLive += IsWindow(w) ? 1 : 0;
    return counts;
}

void resetObjectCounts() {
    g_counts = ObjectCounts{};
    std::vector<HWND> live;
    for (HWND w : g_windows)
        if (IsWindow(w)) live.push_back(w);
    g_windows = std::move(live);
}

}  // namespace robust

using robust::created;
using robust::deleted;
using robust::g_counts;
using robust::windowCreated;

extern "C" {
extern HBITMAP(WINAPI* __real___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD);
extern HDC(WINAPI* __real___imp_CreateCompatibleDC)(HDC);
extern HBITMAP(WINAPI* __real___imp_CreateCompatibleBitmap)(HDC, int, int);
extern HBRUSH(WINAPI* __real___imp_CreateSolidBrush)(COLORREF);
extern HPEN(WINAPI* __real___imp_CreatePen)(int, int, COLORREF);
extern BOOL(WINAPI* __real___imp_DeleteObject)(HGDIOBJ);
extern BOOL(WINAPI* __real___imp_DeleteDC)(HDC);
extern HDC(WINAPI* __real___imp_GetDC)(HWND);
extern int(WINAPI* __real___imp_ReleaseDC)(HWND, HDC);
extern HDC(WINAPI* __real___imp_BeginPaint)(HWND, LPPAINTSTRUCT);
extern BOOL(WINAPI* __real___imp_EndPaint)(HWND, const PAINTSTRUCT*);
extern HWND(WINAPI* __real___imp_CreateWindowExA)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int,
                                                  HWND, HMENU, HINSTANCE, LPVOID);
extern HWND(WINAPI* __real___imp_CreateWindowExW)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int,
                                                  HWND, HMENU, HINSTANCE, LPVOID);
extern int(WINAPI* __real___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);

static HBITMAP WINAPI countCreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                                            HANDLE section, DWORD offset) {
    return created(__real___imp_CreateDIBSection(dc, info, usage, bits, section, offset));
}
static HDC WINAPI countCreateCompatibleDC(HDC dc) { return created(__real___imp_CreateCompatibleDC(dc)); }
static HBITMAP WINAPI countCreateCompatibleBitmap(HDC dc, int cx, int cy) {
    return created(__real___imp_CreateCompatibleBitmap(dc, cx, cy));
}
static HBRUSH WINAPI countCreateSolidBrush(COLORREF c) { return created(__real___imp_CreateSolidBrush(c)); }
static HPEN WINAPI countCreatePen(int style, int width, COLORREF c) {
    return created(__real___imp_CreatePen(style, width, c));
}
static BOOL WINAPI countDeleteObject(HGDIOBJ object) {
    const BOOL ok = __real___imp_DeleteObject(object);
    deleted(object, ok);
    return ok;
}
static BOOL WINAPI countDeleteDC(HDC dc) {
    const BOOL ok = __real___imp_DeleteDC(dc);
    deleted(dc, ok);
    return ok;
}
static HDC WINAPI countGetDC(HWND window) {
    HDC dc = __real___imp_GetDC(window);
    if (dc) ++g_counts.dcAcquired;
    return dc;
}
static int WINAPI countReleaseDC(HWND window, HDC dc) {
    const int released = __real___imp_ReleaseDC(window, dc);
    if (released) ++g_counts.dcReleased;
    return released;
}
static HDC WINAPI countBeginPaint(HWND window, LPPAINTSTRUCT paint) {
    HDC dc = __real___imp_BeginPaint(window, paint);
    if (dc) ++g_counts.dcAcquired;
    return dc;
}
static BOOL WINAPI countEndPaint(HWND window, const PAINTSTRUCT* paint) {
    ++g_counts.dcReleased;
    return __real___imp_EndPaint(window, paint);
}
static HWND WINAPI countCreateWindowExA(DWORD exStyle, LPCSTR cls, LPCSTR name, DWORD style, int x,
                                        int y, int cx, int cy, HWND parent, HMENU menu,
                                        HINSTANCE instance, LPVOID param) {
    return windowCreated(__real___imp_CreateWindowExA(exStyle, cls, name, style, x, y, cx, cy, parent,
                                                      menu, instance, param));
}
static HWND WINAPI countCreateWindowExW(DWORD exStyle, LPCWSTR cls, LPCWSTR name, DWORD style, int x,
                                        int y, int cx, int cy, HWND parent, HMENU menu,
                                        HINSTANCE instance, LPVOID param) {
    return windowCreated(__real___imp_CreateWindowExW(exStyle, cls, name, style, x, y, cx, cy, parent,
                                                      menu, instance, param));
}
static int WINAPI recordMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    robust::g_boxes.push_back({text ? text : "", caption ? caption : "", style, owner});
    return __real___imp_MessageBoxA(owner, text, caption, style);
}
static BOOL WINAPI countMessageBeep(UINT) {
    ++robust::g_beeps;
    return TRUE;
}

HBITMAP(WINAPI* __wrap___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD) =
    countCreateDIBSection;
HDC(WINAPI* __wrap___imp_CreateCompatibleDC)(HDC) = countCreateCompatibleDC;
HBITMAP(WINAPI* __wrap___imp_CreateCompatibleBitmap)(HDC, int, int) = countCreateCompatibleBitmap;
HBRUSH(WINAPI* __wrap___imp_CreateSolidBrush)(COLORREF) = countCreateSolidBrush;
HPEN(WINAPI* __wrap___imp_CreatePen)(int, int, COLORREF) = countCreatePen;
BOOL(WINAPI* __wrap___imp_DeleteObject)(HGDIOBJ) = countDeleteObject;
BOOL(WINAPI* __wrap___imp_DeleteDC)(HDC) = countDeleteDC;
HDC(WINAPI* __wrap___imp_GetDC)(HWND) = countGetDC;
int(WINAPI* __wrap___imp_ReleaseDC)(HWND, HDC) = countReleaseDC;
HDC(WINAPI* __wrap___imp_BeginPaint)(HWND, LPPAINTSTRUCT) = countBeginPaint;
BOOL(WINAPI* __wrap___imp_EndPaint)(HWND, const PAINTSTRUCT*) = countEndPaint;
HWND(WINAPI* __wrap___imp_CreateWindowExA)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND,
                                           HMENU, HINSTANCE, LPVOID) = countCreateWindowExA;
HWND(WINAPI* __wrap___imp_CreateWindowExW)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND,
                                           HMENU, HINSTANCE, LPVOID) = countCreateWindowExW;
int(WINAPI* __wrap___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT) = recordMessageBoxA;
BOOL(WINAPI* __wrap___imp_MessageBeep)(UINT) = countMessageBeep;
}

namespace robust {

namespace {

HWND g_heldBox = nullptr;  // the box kept open while g_whileBoxOpen runs

bool isMessageBox(HWND w) {
    char cls[16] = "";
    return GetClassNameA(w, cls, sizeof cls) && std::strcmp(cls, "#32770") == 0 &&
           GetPropA(w, simcam::kDialogProperty) == nullptr;
}

// Runs inside the held box's modal loop, so the box is still open meanwhile.
void CALLBACK runWhileBoxOpen(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    auto action = std::move(g_whileBoxOpen);
    g_whileBoxOpen = nullptr;
    if (action) action();
    if (IsWindow(g_heldBox)) PostMessageA(g_heldBox, WM_COMMAND, IDOK, 0);
    g_heldBox = nullptr;
}

// Closes every message box as soon as it is active (the sim device's dialogs are left alone).
LRESULT CALLBACK closeBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        if (isMessageBox(box)) {
            if (g_whileBoxOpen && !g_heldBox) {
                g_heldBox = box;
                SetTimer(nullptr, 0, 1, runWhileBoxOpen);
            } else if (box != g_heldBox) {
                PostMessageA(box, WM_COMMAND, IDOK, 0);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* e) {
    std::fprintf(stderr, "unhandled exception 0x%08lx at %p\n",
                 static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode),
                 e->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

namespace {

// All of /proc/<pid>/<name> (Wine maps drive Z: to the Linux root), or "" when unreadable.
std::string readProc(const char* pid, const char* name) {
    const std::string path = std::string("Z:\\proc\\") + pid + "\\" + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

}  // namespace

long residentKiB() {
    // Wine opens files in its server, so /proc/self would be the server's entry: the Linux pid
    // of this process comes from whoever started it (sh -c 'PIXELWELL_UNIX_PID=$$ exec ...'; the
    // exec chain keeps the pid), and its command line must name this program.
    const char* pid = std::getenv("PIXELWELL_UNIX_PID");
    if (!pid || readProc(pid, "cmdline").find("robustness_tests") == std::string::npos) return 0;
    const std::string status = readProc(pid, "status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

GuardedBuffer::GuardedBuffer(size_t length) {
    const size_t page = 4096;
    const size_t pages = (length + page - 1) / page;
    base_ = VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    auto* bytes = static_cast<uint8_t*>(base_);
    DWORD old;
    VirtualProtect(bytes + pages * page, page, PAGE_NOACCESS, &old);
    data_ = bytes + pages * page - length;
}

GuardedBuffer::~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }

bool pump() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(m.wParam));  // leave it for the program's loop
            return true;
        }
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return false;
}

void RobustTest::SetUp() {
    pixelwell::resetCapture();
    pixelwell::resetShell();
    simcam::resetDevice();
    simcam::setFrameTimer(false);  // frames come when a test delivers them
    g_boxes.clear();
    g_beeps = 0;
    g_whileBoxOpen = nullptr;
    resetObjectCounts();
}

void RobustTest::TearDown() {
    using namespace pixelwell;
    if (IsWindow(ControlWindow)) SendMessageA(ControlWindow, WM_CLOSE, 0, 0);
    if (IsWindow(ResultWindow)) DestroyWindow(ResultWindow);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    UnregisterClassA(kControlClassName, instance);
    UnregisterClassA(kResultClassName, instance);
    simcam::resetDevice();
    lendSurface(ViewerCore, nullptr);
}

void RobustTest::start() {
    ASSERT_EQ(pixelwell::startPixelwell(GetModuleHandleA(nullptr)), 0);
    pump();
}

void RobustTest::command(WORD id) {
    PostMessageA(pixelwell::ControlWindow, WM_COMMAND, id, 0);
    pump();
}

int RobustTest::runLoop() { return pixelwell::runMessageLoop(); }

}  // namespace robust

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(robust::onCrash);
    SetWindowsHookExA(WH_CBT, robust::closeBoxes, nullptr, GetCurrentThreadId());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
