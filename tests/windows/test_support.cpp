// Test harness for the Windows program: records message boxes and beeps (the real box is still
// shown and closed at once by a hook, so its modal loop dispatches as for a person), makes
// chosen platform calls fail, and turns crashes into a failing exit code.
#include "test_support.h"

#include <cstdio>
#include <cstring>

#include "capture.h"
#include "frame_store.h"
#include "messages.h"
#include "shell.h"
#include "sim_device.h"

std::vector<BoxCall> g_boxes;
std::vector<UINT> g_beeps;
bool g_failCurrentDirectory = false;
bool g_failDibSection = false;
bool g_failCompatibleDC = false;

extern "C" {
extern int(WINAPI* __real___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);
extern DWORD(WINAPI* __real___imp_GetCurrentDirectoryA)(DWORD, LPSTR);
extern HBITMAP(WINAPI* __real___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD);
extern HDC(WINAPI* __real___imp_CreateCompatibleDC)(HDC);

static int WINAPI recordMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    g_boxes.push_back({owner, text ? text : "", caption ? caption : "", style, L"", L""});
    return __real___imp_MessageBoxA(owner, text, caption, style);
}
static BOOL WINAPI recordMessageBeep(UINT type) {
    g_beeps.push_back(type);
    return TRUE;
}
static DWORD WINAPI maybeGetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (g_failCurrentDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return __real___imp_GetCurrentDirectoryA(size, buffer);
}
static HBITMAP WINAPI maybeCreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                                            HANDLE section, DWORD offset) {
    if (g_failDibSection) {
        if (bits) *bits = nullptr;
        return nullptr;
    }
    return __real___imp_CreateDIBSection(dc, info, usage, bits, section, offset);
}
static HDC WINAPI maybeCreateCompatibleDC(HDC dc) {
    return g_failCompatibleDC ? nullptr : __real___imp_CreateCompatibleDC(dc);
}

int(WINAPI* __wrap___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT) = recordMessageBoxA;
BOOL(WINAPI* __wrap___imp_MessageBeep)(UINT) = recordMessageBeep;
DWORD(WINAPI* __wrap___imp_GetCurrentDirectoryA)(DWORD, LPSTR) = maybeGetCurrentDirectoryA;
HBITMAP(WINAPI* __wrap___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD) =
    maybeCreateDIBSection;
HDC(WINAPI* __wrap___imp_CreateCompatibleDC)(HDC) = maybeCreateCompatibleDC;
}

namespace {

bool isSimDialog(HWND w) { return GetPropA(w, simcam::kDialogProperty) != nullptr; }

std::wstring boxText(HWND box) {
    wchar_t text[1024] = L"";
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (GetDlgCtrlID(c) == 0xFFFF) GetWindowTextW(c, text, 1024);
    return text;
}

bool isDialogClass(HWND w) {
    char cls[16] = "";
    return GetClassNameA(w, cls, sizeof cls) && std::strcmp(cls, "#32770") == 0;
}

// Closes every message box as soon as it is active, after noting what it showed.
LRESULT CALLBACK closeBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        if (isDialogClass(box) && !isSimDialog(box)) {
            if (!g_boxes.empty()) {
                wchar_t caption[256] = L"";
                GetWindowTextW(box, caption, 256);
                g_boxes.back().shownText = boxText(box);
                g_boxes.back().shownCaption = caption;
            }
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* e) {
    std::fprintf(stderr, "unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::wstring fromCp932(const std::string& bytes) {
    std::wstring out(bytes.size() + 1, L'\0');
    const int n = MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0],
                                      static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string toCp932(const std::wstring& text) {
    std::string out(text.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    return out;
}

bool pumpMessages() {
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

SIZE clientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

RECT windowRectIn(HWND window, HWND parent) {
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

namespace {

struct ChildWindows {
    DWORD pid;
    std::vector<HWND> boxes;
    HWND control = nullptr;
    HWND result = nullptr;
};

BOOL CALLBACK collectChildWindows(HWND w, LPARAM param) {
    auto* c = reinterpret_cast<ChildWindows*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != c->pid) return TRUE;
    char cls[32] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (!std::strcmp(cls, "#32770") && IsWindowVisible(w)) c->boxes.push_back(w);
    if (!std::strcmp(cls, "Pixelwell")) c->control = w;
    if (!std::strcmp(cls, "Processing")) c->result = w;
    return TRUE;
}

std::string windowsPath(const char* path) {
    std::string p = path;
    if (!p.empty() && p[0] == '/') p = "Z:" + p;
    for (char& ch : p)
        if (ch == '/') ch = '\\';
    return p;
}

}  // namespace

ChildRun runChild(const char* exePath, WORD exitCommand, DWORD timeoutMs) {
    ChildRun run;
    std::string path = windowsPath(exePath);
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        ADD_FAILURE() << "cannot start " << path << ": error " << GetLastError();
        return run;
    }
    std::vector<HWND> answered;
    int settled = 0;
    const DWORD begin = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - begin > timeoutMs) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        ChildWindows found{pi.dwProcessId, {}, nullptr, nullptr};
        EnumWindows(collectChildWindows, reinterpret_cast<LPARAM>(&found));
        if (found.result) {
            run.resultWindowSeen = true;
            if (IsWindowVisible(found.result)) run.resultWindowShown = true;
        }
        for (HWND box : found.boxes) {
            bool seen = false;
            for (HWND a : answered) seen = seen || a == box;
            if (seen) continue;
            answered.push_back(box);
            wchar_t caption[256] = L"";
            GetWindowTextW(box, caption, 256);
            char ownerClass[64] = "";
            GetClassNameA(GetWindow(box, GW_OWNER), ownerClass, sizeof ownerClass);
            run.boxTexts.push_back(boxText(box));
            run.boxCaptions.push_back(caption);
            run.boxOwnerClasses.push_back(std::wstring(ownerClass, ownerClass + std::strlen(ownerClass)));
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        // Once the program's windows exist and its queue is idle, measure and send the command.
        if (exitCommand && found.control && found.result && IsWindowVisible(found.control) &&
            ++settled == 10) {
            DWORD_PTR r;
            SendMessageTimeoutA(found.control, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
            run.controlClient = clientSize(found.control);
            PostMessageA(found.control, WM_COMMAND, exitCommand, 0);
        }
    }
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

void ProgramTest::SetUp() {
    pixelwell::resetCore();
    pixelwell::DisplaySurface = nullptr;
    pixelwell::resetCapture();
    pixelwell::resetShell();
    simcam::resetDevice();
    simcam::setFrameTimer(false);  // frames come when a test delivers them
    g_boxes.clear();
    g_beeps.clear();
    g_failCurrentDirectory = g_failDibSection = g_failCompatibleDC = false;
}

void ProgramTest::TearDown() {
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
    DisplaySurface = nullptr;
}

void ProgramTest::start() {
    ASSERT_EQ(pixelwell::startPixelwell(GetModuleHandleA(nullptr)), 0);
    pumpMessages();
}

void ProgramTest::command(WORD id) {
    PostMessageA(pixelwell::ControlWindow, WM_COMMAND, id, 0);
    pumpMessages();
}

int ProgramTest::runLoop() { return pixelwell::runMessageLoop(); }

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(onCrash);
    SetWindowsHookExA(WH_CBT, closeBoxes, nullptr, GetCurrentThreadId());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
