// Drives a running Pixelwell from outside, as a person at the menu would (scripts/run uses it
// for its headless check). Usage:
//   pixelwell-remote wait MS        wait until the "Video Viewer" window is visible (exit 1 if not)
//   pixelwell-remote command ID     choose menu command ID and wait until it has been handled
//   pixelwell-remote size           print the client size of both windows
//   pixelwell-remote side-by-side   move "Processing..." to the right of "Video Viewer"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND findVisible(const char* className, DWORD waitMs) {
    for (DWORD waited = 0;; waited += 50) {
        HWND w = FindWindowA(className, nullptr);
        if (w && IsWindowVisible(w)) return w;
        if (waited >= waitMs) return nullptr;
        Sleep(50);
    }
}

// A sent message is handled at the target's next GetMessage: after two round trips a posted
// command has been dispatched (or its handler now waits in a modal loop).
void sync(HWND w) {
    DWORD_PTR result;
    for (int i = 0; i < 2; ++i) SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
}

int usage() {
    std::fprintf(stderr, "usage: pixelwell-remote wait MS | command ID | size | side-by-side\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    if (!std::strcmp(argv[1], "wait") && argc == 3) {
        HWND w = findVisible("Pixelwell", static_cast<DWORD>(std::atoi(argv[2])));
        if (w) sync(w);
        return w ? 0 : 1;
    }
    HWND control = findVisible("Pixelwell", 0);
    if (!control) {
        std::fprintf(stderr, "pixelwell-remote: no Video Viewer window\n");
        return 1;
    }
    if (!std::strcmp(argv[1], "command") && argc == 3) {
        char* end = nullptr;
        const long id = std::strtol(argv[2], &end, 10);
        if (*end || id <= 0 || id > 0xFFFF) return usage();
        PostMessageA(control, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        sync(control);
        return 0;
    }
    if (!std::strcmp(argv[1], "size") && argc == 2) {
        RECT r;
        GetClientRect(control, &r);
        std::printf("Video Viewer client %ldx%ld", r.right, r.bottom);
        HWND result = FindWindowA("Processing", nullptr);
        if (result && IsWindowVisible(result)) {
            GetClientRect(result, &r);
            std::printf(", Processing... client %ldx%ld", r.right, r.bottom);
        }
        std::printf("\n");
        return 0;
    }
    if (!std::strcmp(argv[1], "side-by-side") && argc == 2) {
        HWND result = FindWindowA("Processing", nullptr);
        if (!result) return 1;
        RECT r;
        GetWindowRect(control, &r);
        SetWindowPos(result, nullptr, r.right + 8, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        sync(result);
        return 0;
    }
    return usage();
}
