// The floor under ShellCommandInstall: the shell opens the download page.

#include "probe.h"

extern "C" __declspec(dllexport) void CALLBACK ProbeInstall(HWND, HINSTANCE, LPSTR, int)
{
    zorva_bench::ShellOpen(L"http://download.zorva.example/?mod=download&device=zrv");
}
