// The floor under ShellCommandOpen: the device lookup, then the shell opens \\host.

#include "probe.h"

#include <string>

extern "C" __declspec(dllexport) void CALLBACK ProbeOpen(HWND, HINSTANCE, LPSTR tail, int)
{
    wchar_t host[zorva_bench::kHostCapacity] = {};
    if (zorva_bench::FindDeviceHost(tail, host)) {
        zorva_bench::ShellOpen((L"\\\\" + std::wstring(host)).c_str());
    }
}
