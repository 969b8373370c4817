// The two capture entry points of the platform's avicap32, answered by the simulated device.
// Linked in place of avicap32 (the platform header declares them without dllimport).
#include <windows.h>
#include <vfw.h>

#include "sim_device.h"

extern "C" HWND WINAPI capCreateCaptureWindowA(LPCSTR name, DWORD style, int x, int y, int width,
                                               int height, HWND parent, int id) {
    return simcam::createDeviceWindow(name, style, x, y, width, height, parent, id);
}

extern "C" WINBOOL WINAPI capGetDriverDescriptionA(UINT index, LPSTR name, int nameChars,
                                                   LPSTR version, int versionChars) {
    return simcam::describeDriver(index, name, nameChars, version, versionChars);
}
