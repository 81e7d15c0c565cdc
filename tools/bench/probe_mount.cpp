// The floor under ShellCommandMount: the device lookup, then \\host\Public connected with
// the library's arguments (an empty local name and CONNECT_REDIRECT: the system picks the
// drive letter).

#include "probe.h"

#include <winnetwk.h>

#include <string>

extern "C" __declspec(dllexport) void CALLBACK ProbeMount(HWND, HINSTANCE, LPSTR tail, int)
{
    wchar_t host[zorva_bench::kHostCapacity] = {};
    if (!zorva_bench::FindDeviceHost(tail, host)) {
        return;
    }
    std::wstring remoteName = L"\\\\" + std::wstring(host) + L"\\Public";
    wchar_t localName[MAX_PATH] = {};
    wchar_t accessName[MAX_PATH] = {};
    NETRESOURCEW resource = {};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = localName;
    resource.lpRemoteName = &remoteName[0];
    DWORD accessNameSize = MAX_PATH;
    DWORD result = 0;
    WNetUseConnectionW(nullptr, &resource, nullptr, nullptr, CONNECT_REDIRECT, accessName, &accessNameSize,
                       &result);
}
