#pragma once

#include <windows.h>

namespace zorva {

// Capacity of the shared path buffer of one removal, terminator included.
inline constexpr int kRemovalPathCapacity = 2 * MAX_PATH;

// Deletes root\path with all its subkeys and values. True when no key of that path exists
// afterwards. The caller's string is not changed.
bool RemovePlugInKeys(HKEY root, const wchar_t* path);

// The recursive worker: `buffer` (kRemovalPathCapacity characters) holds the path of the
// key to delete; the rest of it is working space for the child paths. On return it holds
// that path again, possibly without a trailing backslash.
bool DeleteKeyTree(HKEY root, wchar_t* buffer);

}  // namespace zorva
