#pragma once

#include <windows.h>

namespace zorva {

// The one path buffer a removal builds every child path in, with its capacity in its type,
// terminator included.
inline constexpr int kRemovalPathCapacity = 2 * MAX_PATH;
using RemovalPathBuffer = wchar_t[kRemovalPathCapacity];

// Deletes root\path with all its subkeys and values. True when no key of that path exists
// afterwards. The caller's string is not changed. A registry link inside the tree, the
// named key included, is deleted itself and never followed: nothing outside the named tree
// is opened for deletion, enumerated or deleted.
[[nodiscard]] bool RemovePlugInKeys(HKEY root, const wchar_t* path) noexcept;

// The recursive worker: `buffer` holds the path of the key to delete; the rest of it is
// working space for the child paths. On return it holds that path again, possibly without
// a trailing backslash.
[[nodiscard]] bool DeleteKeyTree(HKEY root, RemovalPathBuffer& buffer) noexcept;

// What a key opened with REG_OPTION_OPEN_LINK is, told by the REG_LINK value
// "SymbolicLinkValue" in which a registry link names its target: a link; no link (no such
// value, or one of another type); or not known, when the value cannot be read. A plain key
// that merely carries such a value counts as a link too, which only ever means leaving it
// alone.
enum class LinkState { Link, NoLink, Unknown };
[[nodiscard]] LinkState RegistryLinkState(HKEY key) noexcept;

}  // namespace zorva
