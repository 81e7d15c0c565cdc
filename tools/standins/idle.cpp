// Keeps one GUI-capable process of the test prefix alive for the whole suite. Wine's
// desktop process (explorer.exe /desktop) ends about a second after its last user and then
// fails to start again under the same wineserver; every later process that touches the
// desktop (rundll32 among them) would then wait about 1.3 s instead of 0.2 s. The fixture
// starts this program once and the wineserver's shutdown ends it.

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Connects this process to the desktop, which starts the desktop process if need be.
    GetDesktopWindow();
    for (;;) {
        Sleep(INFINITE);
    }
}
