#pragma once

// The floor probes: for each verb, a DLL that imports and makes only the platform calls the
// verb needs, with the library's flags, so that rundll32 running it shows the least a verb
// can cost. Each probe is its own DLL: a DLL that imported what every verb needs would make
// the download verb's floor pay for loading COM, WinHTTP and mpr.

#include "common/unique_resource.h"

#include <windows.h>

#include <shellapi.h>

namespace zorva_bench {

// WinHttpCrackUrl's host buffer, as the library sizes it.
inline constexpr DWORD kHostCapacity = 256;

// The device named by the first "uuid:" of a rundll32 tail, looked up through the UPnP
// device finder in the multithreaded apartment: the host of its description URL.
bool FindDeviceHost(const char* tail, wchar_t (&host)[kHostCapacity]);

// ShellExecuteExW with the library's flags, verb and show command. Inline, so that only the
// probes that call it import shell32.
inline void ShellOpen(const wchar_t* target)
{
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = target;
    info.nShow = SW_SHOWNORMAL;
    ShellExecuteExW(&info);
    const zorva::UniqueHandle process(info.hProcess);
}

}  // namespace zorva_bench
