// Holds Wine's desktop open between test processes (wineserver closes a desktop 1 s after its
// last user process exits; the next GUI test would wait for a new one). Exits after argv[1] s.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    CreateMutexA(nullptr, TRUE, "Local\\wine_desktop_pin");
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    HWND w = CreateWindowExA(0, "STATIC", "wine_desktop_pin", WS_POPUP, 0, 0, 1, 1, nullptr,
                             nullptr, nullptr, nullptr);
    SetTimer(nullptr, 0, (argc > 1 ? atoi(argv[1]) : 900) * 1000u, nullptr);
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0 && m.message != WM_TIMER) DispatchMessageA(&m);
    DestroyWindow(w);
    return 0;
}
