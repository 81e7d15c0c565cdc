// The peer that shows what rundll32 itself costs under Wine: an entry point that does
// nothing, in a DLL that imports nothing beyond the C runtime.

#include <windows.h>

extern "C" __declspec(dllexport) void CALLBACK Empty(HWND, HINSTANCE, LPSTR, int) {}
