#pragma once

// Owners of the handles that only the console programs (the device installer, the demo, the
// benchmark), the tests and the stand-ins hold; the library's own owners are in
// common/unique_resource.h.

#include "common/unique_resource.h"

#include <windows.h>

namespace zorva {

// CreateFileW and CreateToolhelp32Snapshot report failure as INVALID_HANDLE_VALUE, not null.
using UniqueFileHandle = UniqueAny<HANDLE, CloseHandle, InvalidHandleValue>;
using UniqueFindHandle = UniqueAny<HANDLE, FindClose, InvalidHandleValue>;
using UniqueModule = UniqueAny<HMODULE, FreeLibrary>;

}  // namespace zorva
