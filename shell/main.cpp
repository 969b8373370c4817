// Pixelwell: a live-camera viewer that shows the picture processed by the operation chosen in
// the menu beside the camera's own preview.
#include <windows.h>

#include "shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return pixelwell::runPixelwell(instance);
}
