#pragma once

// Owners of the handles that only the tests, the stand-ins, the demo, the benchmark and the
// device installer hold; the library's own owners are in common/unique_resource.h.

#include "common/unique_resource.h"

#include <windows.h>

#include <setupapi.h>

namespace zorva {

// CreateFileW and CreateToolhelp32Snapshot report failure as INVALID_HANDLE_VALUE, not null.
using UniqueFileHandle = UniqueAny<HANDLE, CloseHandle, InvalidHandleValue>;
using UniqueFindHandle = UniqueAny<HANDLE, FindClose, InvalidHandleValue>;
using UniqueModule = UniqueAny<HMODULE, FreeLibrary>;
using UniqueDevInfo = UniqueAny<HDEVINFO, SetupDiDestroyDeviceInfoList, InvalidHandleValue>;

}  // namespace zorva
