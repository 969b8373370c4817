// Harness of the Windows tests: records message boxes and beeps (the real box is still shown and
// a hook closes it at once, so its modal loop dispatches as it would for a person), makes chosen
// platform calls fail, and turns a crash into a failing exit code.
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture.h"
#include "frame_store.h"
#include "messages.h"
#include "shell.h"
#include "sim_device.h"

std::vector<BoxCall> g_boxes;
std::vector<UINT> g_beeps;
bool g_failCurrentDirectory, g_failDibSection, g_failCompatibleDC, g_failGetMessage;
std::string g_failWindowClass;
std::vector<Call> g_calls;
std::vector<WindowCreation> g_windowCreations;

namespace {

void trace(const char* name, uintptr_t target, uintptr_t a = 0, uintptr_t b = 0, uintptr_t c = 0) {
    g_calls.push_back({name, target, a, b, c});
}

// A class given as an atom has no name to compare.
std::string classArgument(LPCSTR name) { return IS_INTRESOURCE(name) ? "#atom" : name; }

}  // namespace

extern "C" {
extern int(WINAPI* __real___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);
extern DWORD(WINAPI* __real___imp_GetCurrentDirectoryA)(DWORD, LPSTR);
extern HBITMAP(WINAPI* __real___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD);
extern HDC(WINAPI* __real___imp_CreateCompatibleDC)(HDC);
extern BOOL(WINAPI* __real___imp_ShowWindow)(HWND, int);
extern LRESULT(WINAPI* __real___imp_SendMessageA)(HWND, UINT, WPARAM, LPARAM);
extern BOOL(WINAPI* __real___imp_PostMessageA)(HWND, UINT, WPARAM, LPARAM);
extern BOOL(WINAPI* __real___imp_DestroyWindow)(HWND);
extern HGDIOBJ(WINAPI* __real___imp_SelectObject)(HDC, HGDIOBJ);
extern BOOL(WINAPI* __real___imp_DeleteObject)(HGDIOBJ);
extern BOOL(WINAPI* __real___imp_DeleteDC)(HDC);
extern BOOL(WINAPI* __real___imp_GetMessageA)(LPMSG, HWND, UINT, UINT);
extern HWND(WINAPI* __real___imp_CreateWindowExA)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int,
                                                  HWND, HMENU, HINSTANCE, LPVOID);

static int WINAPI recordBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    g_boxes.push_back({owner, text ? text : "", caption ? caption : "", style, L""});
    trace("MessageBoxA", handle(owner), style);
    return __real___imp_MessageBoxA(owner, text, caption, style);
}
static BOOL WINAPI recordBeep(UINT type) {
    g_beeps.push_back(type);
    trace("MessageBeep", 0, type);
    return TRUE;
}
static BOOL WINAPI recordShowWindow(HWND window, int command) {
    trace("ShowWindow", handle(window), static_cast<uintptr_t>(command));
    return __real___imp_ShowWindow(window, command);
}
static LRESULT WINAPI recordSendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    trace("SendMessageA", handle(window), message, wParam, static_cast<uintptr_t>(lParam));
    return __real___imp_SendMessageA(window, message, wParam, lParam);
}
static BOOL WINAPI recordPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    trace("PostMessageA", handle(window), message, wParam, static_cast<uintptr_t>(lParam));
    return __real___imp_PostMessageA(window, message, wParam, lParam);
}
static BOOL WINAPI recordDestroyWindow(HWND window) {
    trace("DestroyWindow", handle(window));
    return __real___imp_DestroyWindow(window);
}
static HGDIOBJ WINAPI recordSelectObject(HDC dc, HGDIOBJ object) {
    HGDIOBJ previous = __real___imp_SelectObject(dc, object);
    trace("SelectObject", handle(dc), handle(object), handle(previous));
    return previous;
}
static BOOL WINAPI recordDeleteObject(HGDIOBJ object) {
    trace("DeleteObject", handle(object));
    return __real___imp_DeleteObject(object);
}
static BOOL WINAPI recordDeleteDC(HDC dc) {
    trace("DeleteDC", handle(dc));
    return __real___imp_DeleteDC(dc);
}
static BOOL WINAPI getMessage(LPMSG msg, HWND window, UINT first, UINT last) {
    return g_failGetMessage ? -1 : __real___imp_GetMessageA(msg, window, first, last);
}
static HWND WINAPI createWindow(DWORD exStyle, LPCSTR cls, LPCSTR title, DWORD style, int x, int y,
                                int cx, int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    const std::string name = classArgument(cls);
    g_windowCreations.push_back(
        {exStyle, name, title ? title : "", style, x, y, cx, cy, parent, menu, instance, param});
    if (!g_failWindowClass.empty() && name == g_failWindowClass) return nullptr;
    return __real___imp_CreateWindowExA(exStyle, cls, title, style, x, y, cx, cy, parent, menu, instance, param);
}
static DWORD WINAPI currentDirectory(DWORD size, LPSTR buffer) {
    return g_failCurrentDirectory ? 0 : __real___imp_GetCurrentDirectoryA(size, buffer);
}
static HBITMAP WINAPI dibSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE s, DWORD o) {
    if (!g_failDibSection) return __real___imp_CreateDIBSection(dc, info, usage, bits, s, o);
    *bits = nullptr;
    return nullptr;
}
static HDC WINAPI compatibleDC(HDC dc) {
    return g_failCompatibleDC ? nullptr : __real___imp_CreateCompatibleDC(dc);
}
int(WINAPI* __wrap___imp_MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT) = recordBox;
BOOL(WINAPI* __wrap___imp_MessageBeep)(UINT) = recordBeep;
DWORD(WINAPI* __wrap___imp_GetCurrentDirectoryA)(DWORD, LPSTR) = currentDirectory;
HBITMAP(WINAPI* __wrap___imp_CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD) = dibSection;
HDC(WINAPI* __wrap___imp_CreateCompatibleDC)(HDC) = compatibleDC;
BOOL(WINAPI* __wrap___imp_ShowWindow)(HWND, int) = recordShowWindow;
LRESULT(WINAPI* __wrap___imp_SendMessageA)(HWND, UINT, WPARAM, LPARAM) = recordSendMessage;
BOOL(WINAPI* __wrap___imp_PostMessageA)(HWND, UINT, WPARAM, LPARAM) = recordPostMessage;
BOOL(WINAPI* __wrap___imp_DestroyWindow)(HWND) = recordDestroyWindow;
HGDIOBJ(WINAPI* __wrap___imp_SelectObject)(HDC, HGDIOBJ) = recordSelectObject;
BOOL(WINAPI* __wrap___imp_DeleteObject)(HGDIOBJ) = recordDeleteObject;
BOOL(WINAPI* __wrap___imp_DeleteDC)(HDC) = recordDeleteDC;
BOOL(WINAPI* __wrap___imp_GetMessageA)(LPMSG, HWND, UINT, UINT) = getMessage;
HWND(WINAPI* __wrap___imp_CreateWindowExA)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND,
                                           HMENU, HINSTANCE, LPVOID) = createWindow;
}

namespace {

std::string className(HWND w) {
    char name[64] = "";
    GetClassNameA(w, name, sizeof name);
    return name;
}

std::wstring windowText(HWND w) {
    wchar_t text[1024] = L"";
    GetWindowTextW(w, text, 1024);
    return text;
}

// The text of a message box is its static control with the identifier 0xFFFF.
std::wstring boxText(HWND box) {
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (GetDlgCtrlID(c) == 0xFFFF) return windowText(c);
    return L"";
}

// Closes each message box once it is active (the simulated device's dialogs answer by script).
LRESULT CALLBACK closeBoxes(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && className(box) == "#32770" && !GetPropA(box, simcam::kDialogProperty)) {
        if (!g_boxes.empty()) g_boxes.back().shownText = boxText(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* e) {
    std::fprintf(stderr, "unhandled exception 0x%08lx\n", e->ExceptionRecord->ExceptionCode);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void PrintTo(const Call& call, std::ostream* out) {
    *out << call.name << "(" << std::hex << "0x" << call.target << ", 0x" << call.a << ", 0x" << call.b
         << ", 0x" << call.c << ")" << std::dec;
}

void PrintTo(const Posted& posted, std::ostream* out) {
    *out << "{" << className(posted.window) << " 0x" << std::hex << posted.message << std::dec << " "
         << posted.wParam << " " << posted.lParam << "}";
}

std::vector<Call> callsNamed(std::initializer_list<const char*> names) {
    std::vector<Call> out;
    for (const Call& call : g_calls)
        for (const char* name : names)
            if (call.name == name) out.push_back(call);
    return out;
}

std::wstring fromCp932(const std::string& bytes) {
    std::wstring out(bytes.size(), L'\0');
    out.resize(MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0],
                                   static_cast<int>(out.size())));
    return out;
}

std::string toCp932(const std::wstring& text) {
    std::string out(text.size() * 2, '\0');
    out.resize(WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                   static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

void pumpMessages() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) return PostQuitMessage(static_cast<int>(m.wParam));
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

SIZE clientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

ChildRun runChild(const char* exePath, WORD command, DWORD timeoutMs) {
    ChildRun run;
    std::string path = std::string("Z:") + exePath;
    for (char& ch : path) ch = ch == '/' ? '\\' : ch;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << path;
        return run;
    }
    struct Found {
        DWORD pid;
        std::vector<HWND> boxes;
        HWND control, result;
    };
    std::vector<HWND> answered;
    const DWORD begin = GetTickCount();
    for (int idle = 0; WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT;) {
        if (GetTickCount() - begin > timeoutMs) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        Found f{pi.dwProcessId, {}, nullptr, nullptr};
        EnumWindows([](HWND w, LPARAM p) -> BOOL {
            auto* f = reinterpret_cast<Found*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid != f->pid) return TRUE;
            const std::string cls = className(w);
            if (cls == "#32770" && IsWindowVisible(w)) f->boxes.push_back(w);
            if (cls == "Pixelwell") f->control = w;
            if (cls == "Processing") f->result = w;
            return TRUE;
        }, reinterpret_cast<LPARAM>(&f));
        if (f.result && IsWindowVisible(f.result)) run.resultWindowShown = true;
        for (HWND box : f.boxes) {
            if (std::find(answered.begin(), answered.end(), box) != answered.end()) continue;
            answered.push_back(box);
            run.boxTexts.push_back(boxText(box));
            run.boxCaptions.push_back(windowText(box));
            const std::string owner = className(GetWindow(box, GW_OWNER));
            run.boxOwnerClasses.push_back(std::wstring(owner.begin(), owner.end()));
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        // Once both windows exist and the queue has settled, measure, then choose the command.
        if (command && f.control && f.result && IsWindowVisible(f.control) && ++idle == 10) {
            DWORD_PTR r;
            SendMessageTimeoutA(f.control, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
            run.controlClient = clientSize(f.control);
            PostMessageA(f.control, WM_COMMAND, command, 0);
        }
    }
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

void ProgramTest::SetUp() {
    pixelwell::resetCapture();
    pixelwell::resetShell();
    simcam::resetDevice();
    simcam::setFrameTimer(false);  // frames come when a test delivers them
    g_boxes.clear();
    g_beeps.clear();
    g_failCurrentDirectory = g_failDibSection = g_failCompatibleDC = g_failGetMessage = false;
    g_failWindowClass.clear();
    g_calls.clear();
    g_windowCreations.clear();
}

void ProgramTest::TearDown() {
    using namespace pixelwell;
    if (IsWindow(ControlWindow)) SendMessageA(ControlWindow, WM_CLOSE, 0, 0);
    if (IsWindow(ResultWindow)) DestroyWindow(ResultWindow);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) continue;  // the quit message included
    UnregisterClassA(kControlClassName, GetModuleHandleA(nullptr));
    UnregisterClassA(kResultClassName, GetModuleHandleA(nullptr));
    simcam::resetDevice();
    lendSurface(ViewerCore, nullptr);
}

void ProgramTest::start() {
    ASSERT_EQ(pixelwell::startPixelwell(GetModuleHandleA(nullptr)), 0);
    pumpMessages();
}

void ProgramTest::command(WORD id) {
    PostMessageA(pixelwell::ControlWindow, WM_COMMAND, id, 0);
    pumpMessages();
}

std::vector<Posted> ProgramTest::commandPosts(WPARAM wParam) {
    using pixelwell::ControlWindow;
    using pixelwell::ResultWindow;
    pumpMessages();
    g_calls.clear();
    // Handled exactly as its dispatch from the queue would be; nothing else is dispatched, so
    // the posts (read from the trace: Wine may put messages of its own in the queue) stay there.
    SendMessageA(ControlWindow, WM_COMMAND, wParam, 0);
    std::vector<Posted> posted;
    for (const Call& call : callsNamed({"PostMessageA"}))
        if (call.target == handle(ControlWindow) || call.target == handle(ResultWindow))
            posted.push_back({reinterpret_cast<HWND>(call.target), static_cast<UINT>(call.a), call.b,
                              static_cast<LPARAM>(call.c)});
    return posted;
}

int ProgramTest::runLoop() { return pixelwell::runMessageLoop(); }

void ProgramTest::expectOneBox(const wchar_t* text, const wchar_t* caption, UINT style, HWND owner) {
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(fromCp932(g_boxes[0].text), text);
    EXPECT_EQ(g_boxes[0].shownText, text);
    EXPECT_EQ(fromCp932(g_boxes[0].caption), caption);
    EXPECT_EQ(g_boxes[0].style, style);
    EXPECT_EQ(g_boxes[0].owner, owner);
}

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(onCrash);
    SetWindowsHookExA(WH_CBT, closeBoxes, nullptr, GetCurrentThreadId());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
